// The display-sleep inhibitor on a private session bus with a stand-in screensaver, and without
// any session bus at all.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "core/camera/DisplaySleepInhibitor.h"

extern char** environ;

namespace qv::test {
namespace {

// A dbus-daemon of the test's own, and a screensaver on it that hands out cookies.
class PrivateBus {
public:
  PrivateBus() {
    int out[2];
    if (::pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char* argv[] = {const_cast<char*>("dbus-daemon"), const_cast<char*>("--session"), const_cast<char*>("--nofork"),
                    const_cast<char*>("--print-address=1"), nullptr};
    const bool spawned = posix_spawnp(&daemon_, "dbus-daemon", &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (!spawned) {
      ::close(out[0]);
      daemon_ = 0;
      return;
    }
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') address_ += c;
    ::close(out[0]);
  }
  ~PrivateBus() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    sd_bus_slot_unref(slot_);
    sd_bus_flush_close_unref(bus_);
    if (daemon_ > 0) {
      ::kill(daemon_, SIGTERM);
      ::waitpid(daemon_, nullptr, 0);
    }
  }
  bool up() const { return !address_.empty(); }
  const std::string& address() const { return address_; }

  // Serves org.freedesktop.ScreenSaver on the bus.
  bool serveScreenSaver() {
    if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address_.c_str()) < 0 ||
        sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0)
      return false;
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Inhibit", "ss", "u", &PrivateBus::inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("UnInhibit", "u", "", &PrivateBus::uninhibit, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END};
    if (sd_bus_add_object_vtable(bus_, &slot_, "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", vtable,
                                 this) < 0 ||
        sd_bus_request_name(bus_, "org.freedesktop.ScreenSaver", 0) < 0)
      return false;
    thread_ = std::thread([this] {
      while (!stop_) {
        if (sd_bus_process(bus_, nullptr) > 0) continue;
        sd_bus_wait(bus_, 20000);
      }
    });
    return true;
  }

  std::set<std::uint32_t> held() const {
    std::lock_guard lock(mutex_);
    return held_;
  }
  std::string lastReason() const {
    std::lock_guard lock(mutex_);
    return reason_;
  }

private:
  static int inhibit(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* bus = static_cast<PrivateBus*>(self);
    const char* application = nullptr;
    const char* reason = nullptr;
    if (sd_bus_message_read(m, "ss", &application, &reason) < 0) return -EINVAL;
    std::lock_guard lock(bus->mutex_);
    bus->reason_ = std::string(application) + ": " + reason;
    const std::uint32_t cookie = ++bus->next_;
    bus->held_.insert(cookie);
    return sd_bus_reply_method_return(m, "u", cookie);
  }
  static int uninhibit(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* bus = static_cast<PrivateBus*>(self);
    std::uint32_t cookie = 0;
    if (sd_bus_message_read(m, "u", &cookie) < 0) return -EINVAL;
    std::lock_guard lock(bus->mutex_);
    bus->held_.erase(cookie);
    return sd_bus_reply_method_return(m, "");
  }

  pid_t daemon_ = 0;
  std::string address_;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* slot_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::set<std::uint32_t> held_;
  std::string reason_;
  std::uint32_t next_ = 100;
};

TEST(DisplaySleepInhibitor, HoldsTheScreensaverOffUntilReleased) {
  PrivateBus bus;
  if (!bus.up()) GTEST_SKIP() << "no dbus-daemon to run a private session bus";
  ASSERT_TRUE(bus.serveScreenSaver());
  ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);

  ScreenSaverInhibitor inhibitor("Quorvel");
  const std::uint32_t first = inhibitor.inhibit("Scanning 3D model");
  ASSERT_NE(first, 0u);
  EXPECT_EQ(bus.lastReason(), "Quorvel: Scanning 3D model");
  const std::uint32_t second = inhibitor.inhibit("Scanning 3D model");
  EXPECT_EQ(bus.held(), (std::set<std::uint32_t>{first, second}));
  inhibitor.release(first);
  EXPECT_EQ(bus.held(), std::set<std::uint32_t>{second});
  inhibitor.release(second);
  inhibitor.release(0);  // none held: nothing to do
  EXPECT_TRUE(bus.held().empty());
}

TEST(DisplaySleepInhibitor, WithoutASessionBusItIsSkipped) {
  const std::filesystem::path nowhere = std::filesystem::temp_directory_path() / "quorvel-no-bus-here";
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + nowhere.string()).c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", nowhere.c_str(), 1);
  ScreenSaverInhibitor inhibitor;
  EXPECT_EQ(inhibitor.inhibit("Scanning 3D model"), 0u);
  inhibitor.release(0);

  // A bus with no screensaver on it: no assertion either.
  PrivateBus bus;
  if (!bus.up()) return;
  ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
  EXPECT_EQ(inhibitor.inhibit("Scanning 3D model"), 0u);
}

}  // namespace
}  // namespace qv::test
