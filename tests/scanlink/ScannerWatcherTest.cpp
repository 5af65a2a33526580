// The scanner watcher over a private simulator folder: which ports are scanners, the list built on
// first use, arrivals and removals told to the delegate after the list changed.
#include "ScanlinkTestSupport.h"
#include "scanlink/QVLCControl.h"

namespace qv::test {
namespace {

// Records the delegate calls with the watcher's list as the delegate saw it during each call.
class RecordingControlDelegate : public QVLCControlDelegate {
public:
  explicit RecordingControlDelegate(QVLCControl& control) : control_(control) {}
  void deviceAdded(const std::shared_ptr<QVLCDevice>& device) override { record("added", device); }
  void deviceRemoved(const std::shared_ptr<QVLCDevice>& device) override { record("removed", device); }

  struct Call {
    std::string kind;
    std::string port;
    std::vector<std::string> listed;
  };
  std::vector<Call> calls;

private:
  void record(const std::string& kind, const std::shared_ptr<QVLCDevice>& device) {
    std::vector<std::string> listed;
    for (const auto& d : control_.devices()) listed.push_back(d->port());
    calls.push_back({kind, device->port(), listed});
  }
  QVLCControl& control_;
};

class ScannerWatcherTest : public SimulatorTest {
protected:
  ScannerWatcherTest() : manager_(ORSSerialPortManager::create({source_})), control_(manager_), delegate_(control_) {
    control_.setDelegate(&delegate_);
  }
  std::vector<std::string> listedPorts() {
    std::vector<std::string> ports;
    for (const auto& d : control_.devices()) ports.push_back(d->port());
    return ports;
  }
  // Waits until the manager has announced `count` notifications in all.
  void waitForManagerNotifications(int count) {
    ASSERT_TRUE(waitFor([&] { return managerNotifications_ >= count; }));
  }

  int managerNotifications_ = 0;
  ObserverRegistration counter_{NotificationCenter::defaultCenter(),
                                NotificationCenter::defaultCenter().addObserver(
                                    {}, nullptr, [this](const Notification& n) {
                                      if (n.object == manager_.get()) ++managerNotifications_;
                                    })};
  std::shared_ptr<ORSSerialPortManager> manager_;
  QVLCControl control_;
  RecordingControlDelegate delegate_;
};

TEST(ScannerPortPath, IsAUSBModemPortOrASimulatorLinkOfThatName) {
  EXPECT_TRUE(QVLCControl::isScannerPortPath("/dev/ttyACM0"));
  EXPECT_TRUE(QVLCControl::isScannerPortPath("/run/user/1000/quorvel-sim/ttyACM3"));
  EXPECT_FALSE(QVLCControl::isScannerPortPath("/dev/ttyUSB0"));
  EXPECT_FALSE(QVLCControl::isScannerPortPath("/dev/ttyacm0"));
  EXPECT_FALSE(QVLCControl::isScannerPortPath("/dev/ttyACM0/../ttyS0"));
}

TEST_F(ScannerWatcherTest, ListsOnlyTheScannersAmongThePortsPresent) {
  // Ports plugged after the manager was made but before the list is asked for.
  auto scanner = plugIn("ttyACM0");
  auto adapter = plugIn("ttyUSB0");
  waitForManagerNotifications(2);
  EXPECT_EQ(listedPorts(), std::vector<std::string>{scanner->path()});
  ASSERT_EQ(delegate_.calls.size(), 1u);  // the adapter's arrival is logged, not told
  EXPECT_EQ(delegate_.calls[0].kind, "added");
  EXPECT_EQ(delegate_.calls[0].port, scanner->path());
  EXPECT_EQ(delegate_.calls[0].listed, std::vector<std::string>{scanner->path()});
}

TEST_F(ScannerWatcherTest, ScannerArrivingAfterTheListWasBuiltIsAppendedOnce) {
  auto first = plugIn("ttyACM0");
  waitForManagerNotifications(1);
  ASSERT_EQ(listedPorts().size(), 1u);
  auto second = plugIn("ttyACM1");
  ASSERT_TRUE(waitFor([&] { return delegate_.calls.size() == 2; }));
  EXPECT_EQ(listedPorts(), (std::vector<std::string>{first->path(), second->path()}));
  EXPECT_EQ(delegate_.calls[1].port, second->path());
  EXPECT_EQ(delegate_.calls[1].listed, (std::vector<std::string>{first->path(), second->path()}));

  // A repeated arrival of a listed scanner lists it no second time.
  manager_->serialPortsWerePublished(source_->presentPorts());
  control_.serialPortAdded(Notification{ORSSerialPortsWereConnectedNotification, manager_.get(),
                                        {{ORSConnectedSerialPortsKey, Value::object(manager_->availablePorts())}}});
  EXPECT_EQ(listedPorts().size(), 2u);
}

TEST_F(ScannerWatcherTest, ScannerLeavesTheListBeforeTheDelegateHearsOfIt) {
  auto scanner = plugIn("ttyACM0");
  auto adapter = plugIn("ttyUSB0");
  waitForManagerNotifications(2);
  const auto listedDevice = control_.devices().at(0);

  adapter->unplug();
  waitForManagerNotifications(3);
  EXPECT_EQ(delegate_.calls.size(), 1u);  // only the scanner's arrival

  scanner->unplug();
  ASSERT_TRUE(waitFor([&] { return delegate_.calls.size() == 2; }));
  EXPECT_EQ(delegate_.calls[1].kind, "removed");
  EXPECT_EQ(delegate_.calls[1].port, scanner->path());
  EXPECT_TRUE(delegate_.calls[1].listed.empty());
  EXPECT_TRUE(control_.devices().empty());
}

TEST_F(ScannerWatcherTest, EmptyArrivalAndUnknownRemovalChangeNothing) {
  auto scanner = plugIn("ttyACM0");
  waitForManagerNotifications(1);
  const auto callsBefore = delegate_.calls.size();
  NotificationCenter::defaultCenter().post(ORSSerialPortsWereConnectedNotification, manager_.get(),
                                           {{ORSConnectedSerialPortsKey, Value::object(ORSSerialPortList{})}});
  SerialPortInfo strangerInfo;
  strangerInfo.calloutPath = (simFolder() / "ttyACM5").string();
  strangerInfo.ttyName = "ttyACM5";
  auto stranger = ORSSerialPort::serialPortWithDevice(strangerInfo);
  NotificationCenter::defaultCenter().post(ORSSerialPortsWereDisconnectedNotification, manager_.get(),
                                           {{ORSDisconnectedSerialPortsKey, Value::object(ORSSerialPortList{stranger})}});
  EXPECT_EQ(delegate_.calls.size(), callsBefore);
  EXPECT_EQ(listedPorts(), std::vector<std::string>{scanner->path()});
}

}  // namespace
}  // namespace qv::test
