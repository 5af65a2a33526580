// The process's serial-port manager: the list of ports present, kept current from the port
// sources, with a notification for ports that arrive and one for ports that leave.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/Observable.h"
#include "scanlink/ORSSerialPort.h"
#include "scanlink/SerialPortSource.h"

using ORSSerialPortList = std::vector<std::shared_ptr<ORSSerialPort>>;

// Posted on the main queue by the manager (the sender); the user information holds the ports
// (an ORSSerialPortList wrapped with qv::Value::object) under the key of the same kind.
inline constexpr const char* ORSSerialPortsWereConnectedNotification = "ORSSerialPortWasConnectedNotification";
inline constexpr const char* ORSSerialPortsWereDisconnectedNotification = "ORSSerialPortWasDisconnectedNotification";
inline constexpr const char* ORSConnectedSerialPortsKey = "ORSConnectedSerialPortsKey";
inline constexpr const char* ORSDisconnectedSerialPortsKey = "ORSDisconnectedSerialPortsKey";

// The ports of a connected or disconnected notification (empty when it holds none).
ORSSerialPortList ORSSerialPortsInNotification(const qv::Notification& notification, const char* key);

class ORSSerialPortManager : public std::enable_shared_from_this<ORSSerialPortManager> {
  struct Private {};

public:
  // The one manager of the process, over the default port sources; made on first use (from any
  // thread), with an exit handler that closes every listed port.
  static std::shared_ptr<ORSSerialPortManager> sharedSerialPortManager();
  // A manager over chosen sources (tests, tools); it lists the ports present and starts watching.
  static std::shared_ptr<ORSSerialPortManager> create(
      std::vector<std::shared_ptr<qv::SerialPortSource>> sources);

  ORSSerialPortManager(Private, std::vector<std::shared_ptr<qv::SerialPortSource>> sources);
  ORSSerialPortManager(const ORSSerialPortManager&) = delete;
  ORSSerialPortManager& operator=(const ORSSerialPortManager&) = delete;
  ~ORSSerialPortManager();  // stops watching

  // The ports present, in the order found; every change is told to the observable's listeners.
  ORSSerialPortList availablePorts() const { return availablePorts_.get(); }
  std::size_t countOfAvailablePorts() const { return availablePorts_.get().size(); }
  qv::Observable<ORSSerialPortList>& availablePortsObservable() { return availablePorts_; }

  // What the sources report, on the main queue: ports published and ports terminated.
  void serialPortsWerePublished(const std::vector<qv::SerialPortInfo>& devices);
  void serialPortsWereTerminated(const std::vector<qv::SerialPortInfo>& devices);

  // Closes every open listed port, remembering those that closed, and opens them again.
  void systemWillSleep();
  void systemDidWake();

  // The exit clean-up: every listed port is cleaned up (closed, its delegate told of its removal)
  // and the list emptied.
  void cleanUpAllPorts();

private:
  void retrieveAvailablePortsAndRegisterForChangeNotifications();

  const std::vector<std::shared_ptr<qv::SerialPortSource>> sources_;
  qv::Observable<ORSSerialPortList> availablePorts_;
  std::mutex sleepMutex_;
  ORSSerialPortList portsToReopenAfterSleep_;
};
