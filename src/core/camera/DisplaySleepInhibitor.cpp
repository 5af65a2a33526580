// The screensaver inhibit call over sd-bus.
#include "core/camera/DisplaySleepInhibitor.h"

#include <systemd/sd-bus.h>

#include <cstring>

#include "platform/Log.h"

namespace qv {

namespace {
constexpr const char* kService = "org.freedesktop.ScreenSaver";
constexpr const char* kPath = "/org/freedesktop/ScreenSaver";
constexpr const char* kInterface = "org.freedesktop.ScreenSaver";
// Connecting runs on the caller's thread; a screensaver that does not answer must not hang it.
constexpr std::uint64_t kCallTimeout_us = 1000000;
}  // namespace

struct ScreenSaverInhibitor::Bus {
  sd_bus* bus = nullptr;
  ~Bus() { sd_bus_flush_close_unref(bus); }
};

ScreenSaverInhibitor::ScreenSaverInhibitor(std::string applicationName) : applicationName_(std::move(applicationName)) {}

ScreenSaverInhibitor::~ScreenSaverInhibitor() = default;

std::shared_ptr<ScreenSaverInhibitor> ScreenSaverInhibitor::shared() {
  static const auto inhibitor = std::make_shared<ScreenSaverInhibitor>();
  return inhibitor;
}

std::uint32_t ScreenSaverInhibitor::inhibit(const std::string& reason) {
  std::lock_guard lock(mutex_);
  if (!bus_) {
    auto bus = std::make_unique<Bus>();
    if (const int r = sd_bus_open_user(&bus->bus); r < 0) {
      QVLogInfo("No session bus (%s): the display may sleep while the camera runs", std::strerror(-r));
      return 0;
    }
    sd_bus_set_method_call_timeout(bus->bus, kCallTimeout_us);
    bus_ = std::move(bus);
  }
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  std::uint32_t cookie = 0;
  int r = sd_bus_call_method(bus_->bus, kService, kPath, kInterface, "Inhibit", &error, &reply, "ss",
                             applicationName_.c_str(), reason.c_str());
  if (r >= 0) r = sd_bus_message_read(reply, "u", &cookie);
  if (r < 0) {
    QVLogInfo("The screensaver cannot be held off (%s): the display may sleep while the camera runs",
              error.message ? error.message : std::strerror(-r));
    cookie = 0;
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  if (cookie != 0) ++held_;
  else if (held_ == 0) bus_.reset();
  return cookie;
}

void ScreenSaverInhibitor::release(std::uint32_t assertionID) {
  if (assertionID == 0) return;
  std::lock_guard lock(mutex_);
  if (!bus_) return;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const int r = sd_bus_call_method(bus_->bus, kService, kPath, kInterface, "UnInhibit", &error, nullptr, "u", assertionID);
  if (r < 0) QVLogInfo("The screensaver did not take back its inhibition: %s", error.message ? error.message : std::strerror(-r));
  sd_bus_error_free(&error);
  if (held_ > 0 && --held_ == 0) bus_.reset();
}

}  // namespace qv
