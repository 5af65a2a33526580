// A value whose changes can be listened to: the stand-in for key-value observation.
#pragma once

#include <functional>
#include <map>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

namespace qv {

// Every set() tells each listener the old and the new value, on the setting thread, even when the
// two are equal (observers of the original were told of every set as well). Reads and writes are
// indivisible; listeners run without the lock held.
template <typename T>
class Observable {
public:
  using Listener = std::function<void(const T& oldValue, const T& newValue)>;
  using Token = std::uint64_t;

  Observable() = default;
  explicit Observable(T initial) : value_(std::move(initial)) {}
  Observable(const Observable&) = delete;
  Observable& operator=(const Observable&) = delete;

  T get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }

  void set(T newValue) {
    T oldValue;
    std::map<Token, std::shared_ptr<Listener>> listeners;
    {
      std::lock_guard lock(mutex_);
      oldValue = std::exchange(value_, newValue);
      listeners = listeners_;
    }
    for (const auto& [token, listener] : listeners) (*listener)(oldValue, newValue);
  }

  Token addListener(Listener listener) {
    std::lock_guard lock(mutex_);
    Token token = nextToken_++;
    listeners_.emplace(token, std::make_shared<Listener>(std::move(listener)));
    return token;
  }

  void removeListener(Token token) {
    std::lock_guard lock(mutex_);
    listeners_.erase(token);
  }

private:
  mutable std::mutex mutex_;
  T value_{};
  std::map<Token, std::shared_ptr<Listener>> listeners_;
  Token nextToken_ = 1;
};

}  // namespace qv
