// One serial port: its settings, raw terminal I/O at the chosen speed, and a reading thread that
// hands what arrives to the delegate on the main queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <termios.h>

#include "platform/Observable.h"
#include "scanlink/ORSSerialPortDelegate.h"
#include "scanlink/SerialPortInfo.h"

enum class ORSSerialParity : std::uint64_t { None = 0, Odd = 1, Even = 2 };

// There is at most one live port object per path: asking again by path (or by a port source's
// description of the device) while one lives gives that same object, with its settings and open
// state. Every member may be called from any thread. The delegate is held weakly.
class ORSSerialPort : public std::enable_shared_from_this<ORSSerialPort> {
  struct Private {};

public:
  // The port of the device some port source has at `path` (its callout or its dial-in path);
  // nullptr when no source has one.
  static std::shared_ptr<ORSSerialPort> serialPortWithPath(const std::string& path);
  // The port of a device a source described; the live one for its callout path when there is one.
  static std::shared_ptr<ORSSerialPort> serialPortWithDevice(const qv::SerialPortInfo& device);
  // The live port whose path is `path`, if any.
  static std::shared_ptr<ORSSerialPort> existingPortWithPath(const std::string& path);
  // The device a source has at `path`; nothing for an empty or unknown path.
  static std::optional<qv::SerialPortInfo> deviceFromBSDPath(const std::string& path);

  ORSSerialPort(Private, qv::SerialPortInfo device);
  ORSSerialPort(const ORSSerialPort&) = delete;
  ORSSerialPort& operator=(const ORSSerialPort&) = delete;
  // Leaves the registry and, when still open, closes (telling nobody).
  ~ORSSerialPort();

  void setDelegate(const std::shared_ptr<ORSSerialPortDelegate>& delegate);
  std::shared_ptr<ORSSerialPortDelegate> delegate() const;
  // Clears the delegate only when it is `delegate`, so that one that was set since stays.
  void resignDelegate(const ORSSerialPortDelegate* delegate);

  const std::string& path() const { return device_.calloutPath; }
  const std::string& name() const { return device_.ttyName; }
  const qv::SerialPortInfo& device() const { return device_; }
  std::string description() const { return name(); }

  bool isOpen() const;
  // The open descriptor, or -1 when closed (0 is a descriptor like any other).
  int fileDescriptor() const;
  // Told of every change of the open state.
  qv::Observable<bool>& openState() { return openState_; }

  // Framing and speed; each change applies at once to an open port, else at the next open.
  int baudRate() const;
  void setBaudRate(int baudRate);
  std::uint64_t numberOfStopBits() const;
  void setNumberOfStopBits(std::uint64_t count);
  bool shouldEchoReceivedData() const;
  void setShouldEchoReceivedData(bool echo);
  ORSSerialParity parity() const;
  void setParity(ORSSerialParity parity);  // a value outside the three is stored as None

  // Changing a flow-control flag closes an open port and opens it again. Linux has only RTS/CTS
  // flow control; the DTR/DSR and DCD flags are kept but change nothing on the line.
  bool usesRTSCTSFlowControl() const;
  void setUsesRTSCTSFlowControl(bool uses);
  bool usesDTRDSRFlowControl() const;
  void setUsesDTRDSRFlowControl(bool uses);
  bool usesDCDOutputFlowControl() const;
  void setUsesDCDOutputFlowControl(bool uses);

  // The output lines as asked for; an open port drives them at once.
  bool RTS() const;
  void setRTS(bool on);
  bool DTR() const;
  void setDTR(bool on);
  // The input lines as last polled (stored only, by the poll on the main queue).
  bool CTS() const { return cts_; }
  void setCTS(bool on) { cts_ = on; }
  bool DSR() const { return dsr_; }
  void setDSR(bool on) { dsr_ = on; }
  bool DCD() const { return dcd_; }
  void setDCD(bool on) { dcd_ = on; }
  // False once the device has answered that it has no modem lines (a pseudo-terminal), or while
  // closed.
  bool isPollingModemLines() const { return pollingModemLines_; }

  // Bytes accepted and not yet written (empty between calls: a write either goes out whole or
  // fails and is dropped).
  qv::Data writeBuffer() const;

  // Opens read-write with an exclusive lock, raw at the chosen speed, and starts the reading
  // thread. True when the port is open afterwards; a failure is reported to the delegate on the
  // main queue.
  bool open();
  // Stops the reading thread, puts back the terminal settings found at open and closes. True at
  // once when not open.
  bool close();
  // The device has gone: close, then tell the delegate.
  void cleanup();
  // Writes the bytes; false when the port is not open or the write failed (the bytes are then
  // dropped, and the error reported to the delegate on the calling thread).
  bool sendData(const qv::Data& data);
  // Hands bytes to the delegate (the reading thread's deliveries end here, on the main queue).
  void receiveData(const qv::Data& data);

  // Reports an error number to the delegate, on the calling thread.
  void notifyDelegateOfPosixError(int error);

  friend bool operator==(const ORSSerialPort& a, const ORSSerialPort& b) { return a.path() == b.path(); }

private:
  struct Reader;

  bool closePort(bool tellDelegate);
  void setPortOptionsLocked();
  int setModemLineLocked(int line, bool on);
  void stopReaderLocked();
  void readLoop(int fd, int wakeFd, std::uint64_t session, bool pollModemLines);
  void postPosixError(int error);
  void deliver(std::uint64_t session, const qv::Data& data);

  const qv::SerialPortInfo device_;

  mutable std::mutex mutex_;  // guards the descriptor, the buffer, the settings and the reader
  int fd_ = -1;
  termios originalPortAttributes_{};
  qv::Data writeBuffer_;
  int baudRate_ = 19200;
  std::uint64_t numberOfStopBits_ = 1;
  bool shouldEchoReceivedData_ = false;
  ORSSerialParity parity_ = ORSSerialParity::None;
  bool usesRTSCTSFlowControl_ = false;
  bool usesDTRDSRFlowControl_ = false;
  bool usesDCDOutputFlowControl_ = false;
  bool rts_ = false;
  bool dtr_ = false;
  std::unique_ptr<Reader> reader_;

  // Each open starts a session; bytes read in an earlier one are not delivered.
  std::atomic<std::uint64_t> session_{0};
  std::atomic<bool> pollingModemLines_{false};
  std::atomic<bool> cts_{false};
  std::atomic<bool> dsr_{false};
  std::atomic<bool> dcd_{false};

  mutable std::mutex delegateMutex_;
  std::weak_ptr<ORSSerialPortDelegate> delegate_;

  qv::Observable<bool> openState_{false};
};
