// Named notifications with a sender and details, delivered synchronously to their observers.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace qv {

struct Notification {
  std::string name;
  const void* object = nullptr;  // the sender, compared by identity
  Dictionary userInfo;
};

class NotificationCenter {
public:
  using Observer = std::function<void(const Notification&)>;
  using Token = std::uint64_t;

  static NotificationCenter& defaultCenter();

  // Observes notifications of `name` (every name when empty) from `object` (any sender when
  // null). The observer runs on the posting thread, before post() returns.
  Token addObserver(std::string name, const void* object, Observer observer);
  // After this returns the observer is not called again by any delivery that checks afterwards;
  // a call already running on another thread finishes.
  void removeObserver(Token token);

  void post(const std::string& name, const void* object = nullptr, Dictionary userInfo = {});
  void post(const Notification& notification);

private:
  struct Entry {
    Token token = 0;
    std::string name;
    const void* object = nullptr;
    Observer observer;
    std::atomic<bool> removed{false};
  };
  std::mutex mutex_;
  std::vector<std::shared_ptr<Entry>> registrations_;
  Token nextToken_ = 1;
};

// Removes its observer when destroyed: the usual way for an object to observe for its lifetime.
class ObserverRegistration {
public:
  ObserverRegistration() = default;
  ObserverRegistration(NotificationCenter& center, NotificationCenter::Token token)
      : center_(&center), token_(token) {}
  ObserverRegistration(ObserverRegistration&& o) noexcept { *this = std::move(o); }
  ObserverRegistration& operator=(ObserverRegistration&& o) noexcept {
    if (this != &o) {
      reset();
      center_ = o.center_;
      token_ = o.token_;
      o.center_ = nullptr;
    }
    return *this;
  }
  ObserverRegistration(const ObserverRegistration&) = delete;
  ObserverRegistration& operator=(const ObserverRegistration&) = delete;
  ~ObserverRegistration() { reset(); }

  void reset() {
    if (center_) center_->removeObserver(token_);
    center_ = nullptr;
  }

private:
  NotificationCenter* center_ = nullptr;
  NotificationCenter::Token token_ = 0;
};

}  // namespace qv
