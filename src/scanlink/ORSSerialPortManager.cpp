// The serial-port manager: lists the sources' ports, keeps the list current and announces changes.
#include "scanlink/ORSSerialPortManager.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/NotificationCenter.h"
#include "scanlink/internal/ConsoleLog.h"

namespace {

bool listed(const ORSSerialPortList& ports, const ORSSerialPort& port) {
  return std::any_of(ports.begin(), ports.end(), [&](const auto& p) { return *p == port; });
}

void exitCleanUp() {
  ORSSerialPortManager::sharedSerialPortManager()->cleanUpAllPorts();
}

}  // namespace

ORSSerialPortList ORSSerialPortsInNotification(const qv::Notification& notification, const char* key) {
  const qv::Value* value = qv::find(notification.userInfo, key);
  if (!value) return {};
  const auto* ports = value->object<ORSSerialPortList>();
  return ports ? *ports : ORSSerialPortList{};
}

std::shared_ptr<ORSSerialPortManager> ORSSerialPortManager::sharedSerialPortManager() {
  static auto* shared = [] {
    auto* manager = new std::shared_ptr<ORSSerialPortManager>(create(qv::SerialPortSource::defaultSources()));
    if (std::atexit(exitCleanUp) != 0) {
      qv::consoleLog("ORSSerialPort was unable to register its termination handler for serial port cleanup: %i",
                     errno);
    }
    return manager;
  }();
  return *shared;
}

std::shared_ptr<ORSSerialPortManager> ORSSerialPortManager::create(
    std::vector<std::shared_ptr<qv::SerialPortSource>> sources) {
  auto manager = std::make_shared<ORSSerialPortManager>(Private{}, std::move(sources));
  manager->retrieveAvailablePortsAndRegisterForChangeNotifications();
  return manager;
}

ORSSerialPortManager::ORSSerialPortManager(Private, std::vector<std::shared_ptr<qv::SerialPortSource>> sources)
    : sources_(std::move(sources)) {}

ORSSerialPortManager::~ORSSerialPortManager() {
  for (const auto& source : sources_) source->stopWatching();
}

void ORSSerialPortManager::retrieveAvailablePortsAndRegisterForChangeNotifications() {
  const std::weak_ptr<ORSSerialPortManager> weak = weak_from_this();
  ORSSerialPortList found;
  for (const auto& source : sources_) {
    qv::SerialPortSource::registerForLookup(source);
    // Watching starts before the listing, so that a port arriving in between is not missed; one
    // both listed and reported arrives as already listed (an empty connected notification).
    source->startWatching(
        [weak](std::vector<qv::SerialPortInfo> devices) {
          if (auto manager = weak.lock()) manager->serialPortsWerePublished(devices);
        },
        [weak](std::vector<qv::SerialPortInfo> devices) {
          if (auto manager = weak.lock()) manager->serialPortsWereTerminated(devices);
        });
    for (const auto& device : source->presentPorts()) {
      auto port = ORSSerialPort::serialPortWithDevice(device);
      if (port && !listed(found, *port)) found.push_back(std::move(port));
    }
  }
  availablePorts_.set(std::move(found));
}

void ORSSerialPortManager::serialPortsWerePublished(const std::vector<qv::SerialPortInfo>& devices) {
  ORSSerialPortList ports = availablePorts_.get();
  ORSSerialPortList added;
  for (const auto& device : devices) {
    auto port = ORSSerialPort::serialPortWithDevice(device);
    if (port && !listed(ports, *port) && !listed(added, *port)) added.push_back(std::move(port));
  }
  if (!added.empty()) {
    ports.insert(ports.end(), added.begin(), added.end());
    availablePorts_.set(std::move(ports));
  }
  qv::NotificationCenter::defaultCenter().post(ORSSerialPortsWereConnectedNotification, this,
                                               {{ORSConnectedSerialPortsKey, qv::Value::object(added)}});
}

void ORSSerialPortManager::serialPortsWereTerminated(const std::vector<qv::SerialPortInfo>& devices) {
  ORSSerialPortList removed;
  for (const auto& device : devices) {
    if (auto port = ORSSerialPort::serialPortWithDevice(device)) removed.push_back(std::move(port));
  }
  // Closed and their delegates told before anyone hears of the removal.
  for (const auto& port : removed) port->cleanup();
  ORSSerialPortList ports = availablePorts_.get();
  const auto before = ports.size();
  std::erase_if(ports, [&](const auto& p) { return listed(removed, *p); });
  if (ports.size() != before) availablePorts_.set(std::move(ports));
  qv::NotificationCenter::defaultCenter().post(ORSSerialPortsWereDisconnectedNotification, this,
                                               {{ORSDisconnectedSerialPortsKey, qv::Value::object(removed)}});
}

void ORSSerialPortManager::systemWillSleep() {
  for (const auto& port : availablePorts_.get()) {
    if (port->isOpen() && port->close()) {
      std::lock_guard lock(sleepMutex_);
      portsToReopenAfterSleep_.push_back(port);
    }
  }
}

void ORSSerialPortManager::systemDidWake() {
  ORSSerialPortList ports;
  {
    std::lock_guard lock(sleepMutex_);
    ports.swap(portsToReopenAfterSleep_);
  }
  for (const auto& port : ports) port->open();
}

void ORSSerialPortManager::cleanUpAllPorts() {
  for (const auto& port : availablePorts_.get()) port->cleanup();
  availablePorts_.set({});
}
