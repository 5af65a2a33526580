// What the command interpreter needs of a scanner device: line writes, firmware flashing, and the
// notification through which the device announces every line it sends and receives.
// Header only: the command library includes it without linking the link library.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/Error.h"

namespace qv {

// Posted through the default notification centre for every line a device sends (user information
// kSentDataKey: the line as given to writeLine) and every complete line it receives
// (kReceivedDataKey: the line without its line end); each notification carries one of the two.
// The sender is the device's notificationSender().
inline constexpr const char* kDeviceLineNotification = "QVLINotification";
inline constexpr const char* kSentDataKey = "SentData";
inline constexpr const char* kReceivedDataKey = "ReceivedData";

// Completion of a firmware update: success, or the error that ended it.
using FirmwareCompletion = std::function<void(bool success, const std::optional<Error>& error)>;

}  // namespace qv

class QVLIDeviceProtocol {
public:
  virtual ~QVLIDeviceProtocol() = default;

  // Queues one line; it is written later, after every line queued before it. `complete` runs once
  // its bytes went out, else `error` runs with the reason; both on the device's write queue.
  // Either may be empty.
  virtual void writeLine(const std::string& line, qv::Completion complete, qv::ErrorCallback error) = 0;

  // Writes the Intel-hex file into the device's flash with the firmware programmer; returns after
  // the programmer has ended, the completion having run on the calling thread. With
  // `usingArduinoAvrDude` the programmer of an installed Arduino IDE is used.
  virtual void updateFirmwareFromContentOfFile(const std::string& hexFilePath, bool usingArduinoAvrDude,
                                               qv::FirmwareCompletion completion) = 0;

  // False once the device's line is gone (unplugged, or closed): a request whose reply never
  // came must then fail rather than be taken as done.
  virtual bool isConnected() const { return true; }

  // The sender of the device's line notifications, to observe them by: the device seen through
  // this interface (a class implementing several interfaces has several addresses).
  const void* notificationSender() const { return static_cast<const QVLIDeviceProtocol*>(this); }
};
