// The device link: one scanner reached through one serial port path. Writes command lines one at a
// time, cuts received bytes into lines, announces both, resets into the boot loader and flashes.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Queue.h"
#include "scanlink/FirmwareProgrammer.h"
#include "scanlink/ORSSerialPort.h"
#include "scanlink/ORSSerialPortDelegate.h"
#include "scanlink/QVLCDeviceProtocol.h"
#include "scanlink/QVLIDeviceProtocol.h"

namespace qv {

// Cuts received text into complete lines. Carriage returns and line feeds each end a line; empty
// lines are dropped; text after the last line end is kept in `partial` and put in front of the
// next text. Bytes outside ASCII become '?', so that a garbled byte spoils one line, not a chunk.
std::vector<std::string> cutLines(std::string& partial, const Data& bytes);

}  // namespace qv

// A device is a thin handle on a path: several device objects may exist for one path, and they are
// equal. Made only through createDeviceForPort (it must be owned by a shared pointer). Every
// member may be called from any thread; received lines are announced on the main queue, and
// written lines and the write callbacks run on the device's write queue.
class QVLCDevice final : public ORSSerialPortDelegate,
                         public QVLIDeviceProtocol,
                         public QVLCDeviceProtocol,
                         public std::enable_shared_from_this<QVLCDevice> {
  struct Private {};

public:
  static constexpr int kCommandBaudRate = 115200;
  static constexpr int kBootLoaderResetBaudRate = 1200;

  // A device for the port at `path`; nothing is opened.
  static std::shared_ptr<QVLCDevice> createDeviceForPort(const std::string& path);

  QVLCDevice(Private, std::string path);
  ~QVLCDevice() override;

  // QVLCDeviceProtocol
  bool connect() override;
  bool disconnect() override;
  bool resetHardware(qv::Error* error) override;
  void simulateCommunincationsError() override;
  std::string port() const override { return serialPortPath_; }

  // Opens the port at the given speed and becomes its delegate. False (holding no port) when no
  // port source has the path or the port does not open.
  bool connectAtBaud(int baudRate);

  // QVLIDeviceProtocol
  void writeLine(const std::string& line, qv::Completion complete, qv::ErrorCallback error) override;
  void updateFirmwareFromContentOfFile(const std::string& hexFilePath, bool usingArduinoAvrDude,
                                       qv::FirmwareCompletion completion) override;
  bool isConnected() const override;

  // ORSSerialPortDelegate
  void serialPortDidReceiveData(ORSSerialPort& port, const qv::Data& data) override;
  void serialPortWasRemovedFromSystem(ORSSerialPort& port) override;
  // A hang-up seen by the port's reader (end of file, an I/O error, a vanished device) means the
  // scanner's line is gone even before any removal notice arrives: the port is closed then.
  void serialPortDidEncounterError(ORSSerialPort& port, const qv::Error& error) override;

  // The port while connected, else nullptr.
  std::shared_ptr<ORSSerialPort> serialPort() const;
  const std::string& serialPortPath() const { return serialPortPath_; }
  // Received text still waiting for its line end.
  std::string partialResponse() const;
  bool shouldSimulateCommunicationsFault() const;
  const qv::QueuePtr& dispatchWriteQueue() const { return dispatchWriteQueue_; }

  // Where the programmer is found. Unless set here, it is read from the standard settings at each
  // update.
  void setFirmwareProgrammer(std::optional<qv::FirmwareProgrammer> programmer);
  qv::FirmwareProgrammer firmwareProgrammer() const;

  // The open port's path, else an identity text.
  std::string description() const;

  bool isEqual(const QVLCDevice& other) const { return port() == other.port(); }
  friend bool operator==(const QVLCDevice& a, const QVLCDevice& b) { return a.isEqual(b); }

private:
  // Opens a connection; its number (every connection has a new one), or nothing on failure.
  std::optional<std::uint64_t> openConnection(int baudRate);
  // Closes the held port, but only when it is still the connection numbered `connection`.
  void disconnectConnection(std::uint64_t connection);
  bool closeHeldPortLocked();
  void writeNow(const std::string& line, const qv::Completion& complete, const qv::ErrorCallback& error);

  const std::string serialPortPath_;
  const qv::QueuePtr dispatchWriteQueue_;

  mutable std::mutex connectionMutex_;  // the held port and its connection number
  std::shared_ptr<ORSSerialPort> serialPort_;
  std::uint64_t connection_ = 0;

  mutable std::mutex framingMutex_;  // the kept fragment, the fault flag, the programmer paths
  std::string partialResponse_;
  bool shouldSimulateCommunicationsFault_ = false;
  std::optional<qv::FirmwareProgrammer> programmer_;
};
