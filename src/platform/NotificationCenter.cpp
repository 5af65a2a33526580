// The process-wide notification centre.
#include "platform/NotificationCenter.h"

#include <algorithm>

namespace qv {

NotificationCenter& NotificationCenter::defaultCenter() {
  static auto* center = new NotificationCenter;
  return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, const void* object,
                                                          Observer observer) {
  std::lock_guard lock(mutex_);
  Token token = nextToken_++;
  auto entry = std::make_shared<Entry>();
  entry->token = token;
  entry->name = std::move(name);
  entry->object = object;
  entry->observer = std::move(observer);
  registrations_.push_back(std::move(entry));
  return token;
}

void NotificationCenter::removeObserver(Token token) {
  std::lock_guard lock(mutex_);
  std::erase_if(registrations_, [token](const std::shared_ptr<Entry>& r) {
    if (r->token != token) return false;
    r->removed.store(true, std::memory_order_release);
    return true;
  });
}

void NotificationCenter::post(const std::string& name, const void* object, Dictionary userInfo) {
  post(Notification{name, object, std::move(userInfo)});
}

void NotificationCenter::post(const Notification& notification) {
  // Observers run without the lock held, so that one may post, observe or wait on another thread
  // that posts. Each call first checks that its registration still stands, so an observer removed
  // before the call (by an earlier observer of this delivery, say) is skipped.
  std::vector<std::shared_ptr<Entry>> matching;
  {
    std::lock_guard lock(mutex_);
    for (const auto& r : registrations_) {
      if (!r->name.empty() && r->name != notification.name) continue;
      if (r->object && r->object != notification.object) continue;
      matching.push_back(r);
    }
  }
  for (const auto& entry : matching) {
    if (entry->removed.load(std::memory_order_acquire)) continue;
    entry->observer(notification);
  }
}

}  // namespace qv
