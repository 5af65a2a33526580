// The port manager over a private simulator folder: the list at creation, arrivals and removals
// with their notifications in order, and the udev source's filtering.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "ScanlinkTestSupport.h"
#include "scanlink/ORSSerialPortManager.h"
#include "scanlink/UdevPortSource.h"

namespace qv::test {
namespace {

std::vector<std::string> pathsOf(const ORSSerialPortList& ports) {
  std::vector<std::string> paths;
  for (const auto& port : ports) paths.push_back(port->path());
  return paths;
}

// Records a manager's notifications with the ports they carry and the list as it stood then.
class ManagerRecorder {
public:
  explicit ManagerRecorder(const std::shared_ptr<ORSSerialPortManager>& manager) : manager_(manager) {
    auto& center = NotificationCenter::defaultCenter();
    connected_ = ObserverRegistration(
        center, center.addObserver(ORSSerialPortsWereConnectedNotification, manager.get(), [this](const Notification& n) {
          record("connected", ORSSerialPortsInNotification(n, ORSConnectedSerialPortsKey));
        }));
    disconnected_ = ObserverRegistration(
        center, center.addObserver(ORSSerialPortsWereDisconnectedNotification, manager.get(), [this](const Notification& n) {
          record("disconnected", ORSSerialPortsInNotification(n, ORSDisconnectedSerialPortsKey));
        }));
  }
  struct Entry {
    std::string name;
    std::vector<std::string> ports;
    std::vector<std::string> listed;  // the manager's list when the notification came
  };
  std::vector<Entry> entries;

private:
  void record(const std::string& name, const ORSSerialPortList& ports) {
    entries.push_back({name, pathsOf(ports), pathsOf(manager_->availablePorts())});
  }
  std::shared_ptr<ORSSerialPortManager> manager_;
  ObserverRegistration connected_;
  ObserverRegistration disconnected_;
};

class PortManagerTest : public SimulatorTest {
protected:
  std::shared_ptr<ORSSerialPortManager> makeManager() { return ORSSerialPortManager::create({source_}); }
  // Watches the folder, recording the names of the ports that arrive and leave.
  void watchNames() {
    auto into = [](std::vector<std::string>& names) {
      return [&names](const std::vector<SerialPortInfo>& ports) {
        for (const auto& p : ports) names.push_back(p.ttyName);
      };
    };
    ASSERT_TRUE(source_->startWatching(into(arrived), into(removed)));
  }
  std::vector<std::string> arrived, removed;
};

TEST_F(PortManagerTest, ListsThePortsPresentAtCreationInOrderWithoutNotifying) {
  auto usb = plugIn("ttyUSB0");
  auto second = plugIn("ttyACM1");
  auto first = plugIn("ttyACM0");
  std::ofstream((simFolder() / "readme").string()) << "not a port";
  ASSERT_EQ(::symlink("/nonexistent/pts/99", (simFolder() / "ttyACM7").c_str()), 0);

  int notifications = 0;
  auto& center = NotificationCenter::defaultCenter();
  ObserverRegistration any(center, center.addObserver({}, nullptr, [&](const Notification& n) {
    if (n.name == ORSSerialPortsWereConnectedNotification || n.name == ORSSerialPortsWereDisconnectedNotification) {
      ++notifications;
    }
  }));
  auto manager = makeManager();
  drainMainQueue();
  EXPECT_EQ(pathsOf(manager->availablePorts()),
            (std::vector<std::string>{first->path(), second->path(), usb->path()}));
  EXPECT_EQ(notifications, 0);
  // The listed port is the one live object for its path.
  EXPECT_EQ(manager->availablePorts().front(), ORSSerialPort::serialPortWithPath(first->path()));
}

TEST_F(PortManagerTest, ArrivalIsListedBeforeItIsAnnounced) {
  auto manager = makeManager();
  ManagerRecorder recorder(manager);
  ASSERT_TRUE(manager->availablePorts().empty());

  auto peer = plugIn();
  ASSERT_TRUE(waitFor([&] { return !recorder.entries.empty(); }));
  ASSERT_EQ(recorder.entries.size(), 1u);
  EXPECT_EQ(recorder.entries[0].name, "connected");
  EXPECT_EQ(recorder.entries[0].ports, std::vector<std::string>{peer->path()});
  EXPECT_EQ(recorder.entries[0].listed, std::vector<std::string>{peer->path()});

  // A second report of a port already listed announces an empty list and lists nothing twice.
  manager->serialPortsWerePublished(source_->presentPorts());
  ASSERT_EQ(recorder.entries.size(), 2u);
  EXPECT_TRUE(recorder.entries[1].ports.empty());
  EXPECT_EQ(manager->countOfAvailablePorts(), 1u);
}

TEST_F(PortManagerTest, UnplugClosesTheOpenPortTellsItsDelegateThenAnnouncesTheRemoval) {
  auto keep = plugIn("ttyACM0");
  auto peer = plugIn("ttyACM1");
  auto manager = makeManager();
  ManagerRecorder recorder(manager);
  auto port = ORSSerialPort::serialPortWithPath(peer->path());
  auto delegate = std::make_shared<RecordingPortDelegate>();
  port->setDelegate(delegate);
  ASSERT_TRUE(port->open());

  peer->unplug();
  ASSERT_TRUE(waitFor([&] { return !recorder.entries.empty(); }));
  EXPECT_FALSE(port->isOpen());
  auto calls = delegate->calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), "removed");
  EXPECT_TRUE(delegate->closedWhenRemoved());
  ASSERT_EQ(recorder.entries.size(), 1u);
  EXPECT_EQ(recorder.entries[0].name, "disconnected");
  EXPECT_EQ(recorder.entries[0].ports, std::vector<std::string>{peer->path()});
  EXPECT_EQ(recorder.entries[0].listed, std::vector<std::string>{keep->path()});
}

// Reported without anyone listing the ports first; a link made hidden and renamed into place (as a
// publisher that never shows a half-made port does) arrives once, under its final name.
TEST_F(PortManagerTest, TheSimulatorFolderReportsPortsPresentAtTheStartAndIgnoresHiddenLinks) {
  auto present = plugIn("ttyACM0");
  ASSERT_NO_FATAL_FAILURE(watchNames());

  const auto hidden = simFolder() / ".ttyACM1.tmp";
  ASSERT_EQ(::symlink(present->devicePath().c_str(), hidden.c_str()), 0);
  std::filesystem::rename(hidden, simFolder() / "ttyACM1");
  ASSERT_TRUE(waitFor([&] { return !arrived.empty(); }));  // looked at only once it is there
  present->unplug();
  std::filesystem::remove(simFolder() / "ttyACM1");
  ASSERT_TRUE(waitFor([&] { return removed.size() >= 2; }));  // events come in order: this is the last
  source_->stopWatching();
  EXPECT_EQ(arrived, std::vector<std::string>{"ttyACM1"});
  EXPECT_EQ(removed, (std::vector<std::string>{"ttyACM0", "ttyACM1"}));
}

// A simulator killed with SIGKILL leaves its link behind. The watcher reports the port gone as its
// publisher dies, and never takes the link for a port again, even once the kernel has given its
// pseudo-terminal's number to another line; the next simulator in the folder clears the link away
// and takes its name, so that exactly one port is there: its own.
TEST_F(PortManagerTest, ALinkWhosePublisherWasKilledIsNoPortAndMakesWayForTheNextOne) {
  ASSERT_NO_FATAL_FAILURE(watchNames());
  int published[2];
  ASSERT_EQ(::pipe2(published, O_CLOEXEC), 0);
  const pid_t simulator = ::fork();
  ASSERT_GE(simulator, 0);
  if (simulator == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    auto peer = sim::SerialPeer::plugIn({simFolder(), {}});
    [[maybe_unused]] const auto written = ::write(published[1], "!", 1);
    for (;;) ::pause();
  }
  ::close(published[1]);
  char byte = 0;
  const bool seen = ::read(published[0], &byte, 1) == 1 && waitFor([&] { return !arrived.empty(); });
  ::close(published[0]);
  ::kill(simulator, SIGKILL);
  ::waitpid(simulator, nullptr, 0);
  ASSERT_TRUE(seen);
  ASSERT_TRUE(waitFor([&] { return !removed.empty(); }));
  source_->stopWatching();
  EXPECT_EQ(arrived, std::vector<std::string>{"ttyACM0"});
  EXPECT_EQ(removed, std::vector<std::string>{"ttyACM0"});

  const auto left = simFolder() / "ttyACM0";
  ASSERT_TRUE(std::filesystem::is_symlink(left));
  TempFolder elsewhere;
  auto reused = sim::SerialPeer::plugIn({elsewhere.path(), {}});
  ASSERT_EQ(::symlink(reused->devicePath().c_str(), (simFolder() / ".relinked").c_str()), 0);
  std::filesystem::rename(simFolder() / ".relinked", left);
  EXPECT_TRUE(source_->presentPorts().empty());

  auto next = plugIn();
  EXPECT_EQ(next->linkPath(), left);
  const auto ports = source_->presentPorts();
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].dialinPath, next->devicePath());
}

TEST_F(PortManagerTest, ExitCleanUpClosesEveryListedPortAndEmptiesTheList) {
  auto peer = plugIn();
  auto manager = makeManager();
  auto port = manager->availablePorts().at(0);
  auto delegate = std::make_shared<RecordingPortDelegate>();
  port->setDelegate(delegate);
  ASSERT_TRUE(port->open());
  manager->cleanUpAllPorts();
  EXPECT_FALSE(port->isOpen());
  EXPECT_EQ(delegate->calls().back(), "removed");
  EXPECT_TRUE(manager->availablePorts().empty());
}

TEST(SharedPortManager, IsOneForTheProcess) {
  EXPECT_EQ(ORSSerialPortManager::sharedSerialPortManager(), ORSSerialPortManager::sharedSerialPortManager());
}

TEST_F(PortManagerTest, UdevListsOnlyHardwareTerminals) {
  UdevPortSource udev;
  for (const auto& info : udev.presentPorts()) {
    struct stat st {};
    ASSERT_EQ(::stat(info.calloutPath.c_str(), &st), 0) << info.calloutPath;
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << info.calloutPath;
    EXPECT_EQ(info.calloutPath.rfind("/dev/", 0), 0u) << info.calloutPath;
    EXPECT_EQ(udev.portForPath(info.calloutPath)->calloutPath, info.calloutPath);
  }
  EXPECT_FALSE(udev.portForPath("/dev/null"));
  EXPECT_FALSE(udev.portForPath("/dev/tty0"));  // a virtual console
  EXPECT_FALSE(udev.portForPath("/nonexistent"));
  auto peer = plugIn();
  EXPECT_FALSE(udev.portForPath(peer->devicePath()));  // a pseudo-terminal is the simulator's
}

}  // namespace
}  // namespace qv::test
