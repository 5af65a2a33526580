// The device link: connection, line writes on the write queue, line framing and its announcements,
// the boot-loader reset and firmware flashing.
#include "scanlink/QVLCDevice.h"

#include <cerrno>

#include <cstring>
#include <filesystem>

#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/Settings.h"
#include "scanlink/internal/ConsoleLog.h"
#include "scanlink/internal/Subprocess.h"

namespace qv {

std::vector<std::string> cutLines(std::string& partial, const Data& bytes) {
  std::string text;
  text.swap(partial);
  text.reserve(text.size() + bytes.size());
  for (std::uint8_t byte : bytes) text.push_back(byte < 0x80 ? static_cast<char>(byte) : '?');

  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    if (i > start) lines.push_back(text.substr(start, i - start));
    start = i + 1;
  }
  if (start < text.size()) partial = text.substr(start);
  return lines;
}

}  // namespace qv

namespace {

qv::Error controlError(int code, const char* description, qv::Dictionary userInfo = {}) {
  return qv::Error(qv::kControlErrorDomain, code, description, std::move(userInfo));
}

constexpr const char* kCompletionPrefix = "COMMAND COMPLETE";

}  // namespace

std::shared_ptr<QVLCDevice> QVLCDevice::createDeviceForPort(const std::string& path) {
  return std::make_shared<QVLCDevice>(Private{}, path);
}

QVLCDevice::QVLCDevice(Private, std::string path)
    : serialPortPath_(std::move(path)),
      dispatchWriteQueue_(qv::makeSerialQueue("com.quorvel.scanlink.DeviceSerialWriteQueue")) {}

QVLCDevice::~QVLCDevice() { QVLogVerbose("Exit device"); }

std::shared_ptr<ORSSerialPort> QVLCDevice::serialPort() const {
  std::lock_guard lock(connectionMutex_);
  return serialPort_;
}

bool QVLCDevice::isConnected() const {
  const auto port = serialPort();
  return port && port->isOpen();
}

std::string QVLCDevice::partialResponse() const {
  std::lock_guard lock(framingMutex_);
  return partialResponse_;
}

bool QVLCDevice::shouldSimulateCommunicationsFault() const {
  std::lock_guard lock(framingMutex_);
  return shouldSimulateCommunicationsFault_;
}

void QVLCDevice::simulateCommunincationsError() {
  std::lock_guard lock(framingMutex_);
  shouldSimulateCommunicationsFault_ = true;
}

void QVLCDevice::setFirmwareProgrammer(std::optional<qv::FirmwareProgrammer> programmer) {
  std::lock_guard lock(framingMutex_);
  programmer_ = std::move(programmer);
}

qv::FirmwareProgrammer QVLCDevice::firmwareProgrammer() const {
  {
    std::lock_guard lock(framingMutex_);
    if (programmer_) return *programmer_;
  }
  return qv::FirmwareProgrammer::fromSettings(qv::Settings::standard());
}

std::string QVLCDevice::description() const {
  if (auto port = serialPort(); port && !port->path().empty()) return port->path();
  return qv::format("<QVLCDevice: %p>", static_cast<const void*>(this));
}

// ---- connecting ----

bool QVLCDevice::connect() { return connectAtBaud(kCommandBaudRate); }

bool QVLCDevice::connectAtBaud(int baudRate) { return openConnection(baudRate).has_value(); }

std::optional<std::uint64_t> QVLCDevice::openConnection(int baudRate) {
  qv::consoleLog("Connecting with baudRate = %d", baudRate);
  {
    // A fragment of an earlier connection must not be glued to the first line of this one.
    std::lock_guard lock(framingMutex_);
    partialResponse_.clear();
  }
  auto port = ORSSerialPort::serialPortWithPath(serialPortPath_);
  std::lock_guard lock(connectionMutex_);
  if (!port) {
    qv::consoleLog("Connection failed = no serial port at %s", serialPortPath_.c_str());
    serialPort_.reset();
    return std::nullopt;
  }
  port->setBaudRate(baudRate);
  port->setRTS(true);
  port->setDelegate(shared_from_this());
  if (!port->open()) {
    port->resignDelegate(this);
    qv::consoleLog("Connection failed = %s could not be opened", serialPortPath_.c_str());
    serialPort_.reset();
    return std::nullopt;
  }
  serialPort_ = std::move(port);
  return ++connection_;
}

bool QVLCDevice::closeHeldPortLocked() {
  auto port = std::move(serialPort_);
  serialPort_.reset();
  if (!port) return false;
  port->resignDelegate(this);
  return port->close();
}

bool QVLCDevice::disconnect() {
  qv::consoleLog("Disconnecting");
  std::lock_guard lock(connectionMutex_);
  return closeHeldPortLocked();
}

void QVLCDevice::disconnectConnection(std::uint64_t connection) {
  std::lock_guard lock(connectionMutex_);
  if (connection != connection_ || !serialPort_) return;  // a newer connection is not ours to close
  qv::consoleLog("Disconnecting");
  closeHeldPortLocked();
}

void QVLCDevice::serialPortWasRemovedFromSystem(ORSSerialPort& port) {
  std::lock_guard lock(connectionMutex_);
  if (serialPort_ && serialPort_->path() == port.path()) closeHeldPortLocked();
}

void QVLCDevice::serialPortDidEncounterError(ORSSerialPort& port, const qv::Error& error) {
  const bool lineGone = error.domain == qv::kPosixErrorDomain &&
                        (error.code == EIO || error.code == ENXIO || error.code == ENODEV);
  if (!lineGone) return;
  std::lock_guard lock(connectionMutex_);
  if (serialPort_ && serialPort_.get() == &port) {
    QVLogWarn("The line of %s hung up (%s): closing it", port.path().c_str(), error.description.c_str());
    closeHeldPortLocked();
  }
}

bool QVLCDevice::resetHardware(qv::Error* /*error*/) {
  if (serialPort()) disconnect();
  QVLogInfo("Device is being reset with baudRate = 1200");
  // Opening at 1200 baud and closing again sends the controller into its boot loader; nothing is
  // written meanwhile (a line would be refused at this speed anyway).
  const auto connection = openConnection(kBootLoaderResetBaudRate);
  if (connection) {
    qv::after(qv::seconds(2.0), qv::mainQueue(),
              [self = shared_from_this(), id = *connection] { self->disconnectConnection(id); });
  }
  return false;
}

// ---- writing ----

void QVLCDevice::writeLine(const std::string& line, qv::Completion complete, qv::ErrorCallback error) {
  QVLogVerbose("Send: %s", line.c_str());
  dispatchWriteQueue_->async(
      [self = shared_from_this(), line, complete = std::move(complete), error = std::move(error)] {
        self->writeNow(line, complete, error);
      });
}

void QVLCDevice::writeNow(const std::string& line, const qv::Completion& complete,
                          const qv::ErrorCallback& error) {
  const auto port = serialPort();
  if (!port) {
    if (error) error(controlError(6, "The scanner is not connected"));
    return;
  }
  if (port->baudRate() != kCommandBaudRate) {
    if (error) error(controlError(8, "The scanner's port is not at 115200 baud"));
    return;
  }
  qv::NotificationCenter::defaultCenter().post(qv::kDeviceLineNotification, notificationSender(),
                                               {{qv::kSentDataKey, qv::Value(line)}});
  std::string bytes = line;
  if (bytes.empty() || bytes.back() != '\n') bytes.push_back('\n');
  if (!port->sendData(qv::Data(bytes.begin(), bytes.end()))) {
    if (error) error(controlError(4, "The line could not be written to the scanner"));
    return;
  }
  if (complete) complete();
}

// ---- receiving ----

void QVLCDevice::serialPortDidReceiveData(ORSSerialPort& /*port*/, const qv::Data& data) {
  std::vector<std::string> lines;
  {
    std::lock_guard lock(framingMutex_);
    lines = qv::cutLines(partialResponse_, data);
    for (auto& line : lines) {
      if (shouldSimulateCommunicationsFault_ && line.rfind(kCompletionPrefix, 0) == 0) {
        shouldSimulateCommunicationsFault_ = false;
        line.erase(3, 1);
        QVLogDebug("Mangled to: %s", line.c_str());
      }
    }
  }
  // Observers run synchronously, so each line has been handled before the next is posted.
  for (const auto& line : lines) {
    QVLogVerbose("Received: %s", line.c_str());
    qv::NotificationCenter::defaultCenter().post(qv::kDeviceLineNotification, notificationSender(),
                                                 {{qv::kReceivedDataKey, qv::Value(line)}});
  }
}

// ---- flashing ----

void QVLCDevice::updateFirmwareFromContentOfFile(const std::string& hexFilePath, bool usingArduinoAvrDude,
                                                 qv::FirmwareCompletion completion) {
  const qv::FirmwareProgrammer programmer = firmwareProgrammer();
  std::filesystem::path avrdude = programmer.avrdude;
  if (usingArduinoAvrDude) {
    std::error_code ec;
    for (const auto& required : {programmer.arduinoFolder, programmer.arduinoAvrDude()}) {
      if (!std::filesystem::exists(required, ec)) {
        QVLogInfo("The firmware programmer is missing: %s", required.c_str());
        if (completion) {
          completion(false, controlError(9, "The firmware programmer is missing",
                                         {{qv::Error::kFilePathKey, qv::Value(required.string())}}));
        }
        return;
      }
    }
    avrdude = programmer.arduinoAvrDude();
  }

  // An argument vector, not a shell line: a port or file path with spaces or shell characters
  // reaches the programmer intact and runs nothing.
  const auto arguments = qv::FirmwareProgrammer::arguments(avrdude.string(), programmer.configuration.string(),
                                                           port(), hexFilePath);
  QVLogInfo("Executing: %s", qv::shellQuoted(arguments).c_str());
  const qv::SubprocessResult result = qv::runSubprocess(arguments);
  if (!result.started) {
    QVLogInfo("The firmware programmer could not be started: %s", std::strerror(result.spawnError));
  }
  QVLogInfo("stderr: %s", result.standardError.c_str());
  if (result.exitStatus == 0) {
    if (completion) completion(true, std::nullopt);
    QVLogInfo("Firmware update succeeded.");
  } else {
    if (completion) completion(false, controlError(-1, "The firmware programmer failed"));
    QVLogInfo("Firmware update failed.");
  }
}
