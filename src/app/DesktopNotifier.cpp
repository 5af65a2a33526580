// Desktop notifications over sd-bus.
#include "app/DesktopNotifier.h"

#include <systemd/sd-bus.h>

#include <cstring>

#include "platform/Log.h"
#include "platform/Queue.h"

namespace qv::app {

namespace {
constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr const char* kApplicationName = "Quorvel";
constexpr const char* kIconName = "quorvel";
// The sound theme's sound for a finished job: the desktop's counterpart of the default sound.
constexpr const char* kSoundName = "complete";
constexpr std::int32_t kServerDecidesTimeout = -1;
constexpr std::uint64_t kCallTimeout_us = 2000000;
}  // namespace

void DesktopNotifier::notify(const std::string& title, const std::string& text) {
  qv::globalQueue(qv::QueuePriority::Background)->async([title, text] { send(title, text); });
}

bool DesktopNotifier::send(const std::string& title, const std::string& text) {
  sd_bus* bus = nullptr;
  int r = sd_bus_open_user(&bus);
  if (r < 0) {
    QVLogInfo("No session bus for the notification \"%s\" (%s)", text.c_str(), std::strerror(-r));
    return false;
  }
  sd_bus_set_method_call_timeout(bus, kCallTimeout_us);
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  r = sd_bus_message_new_method_call(bus, &call, kService, kPath, kInterface, "Notify");
  // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout
  if (r >= 0)
    r = sd_bus_message_append(call, "susssas", kApplicationName, 0u, kIconName, title.c_str(), text.c_str(), 0);
  if (r >= 0) r = sd_bus_message_append(call, "a{sv}", 1, "sound-name", "s", kSoundName);
  if (r >= 0) r = sd_bus_message_append(call, "i", kServerDecidesTimeout);
  if (r >= 0) r = sd_bus_call(bus, call, kCallTimeout_us, &error, &reply);
  if (r < 0)
    QVLogInfo("The notification \"%s\" could not be shown: %s", text.c_str(),
              error.message ? error.message : std::strerror(-r));
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  sd_bus_flush_close_unref(bus);
  return r >= 0;
}

}  // namespace qv::app
