// The serial port on real pseudo-terminals: one object per path, raw mode and speed, the restored
// settings, exclusive use, byte-exact writes, ordered reads on the main queue, failures.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>

#include "ScanlinkTestSupport.h"

namespace qv::test {
namespace {

using sim::LineEvent;

class SerialPortTest : public SimulatorTest {};

TEST_F(SerialPortTest, OnePortObjectPerDeviceWhicheverPathNamesIt) {
  auto peer = plugIn("ttyACM0");
  auto byLink = ORSSerialPort::serialPortWithPath(peer->path());
  ASSERT_NE(byLink, nullptr);
  EXPECT_EQ(ORSSerialPort::serialPortWithPath(peer->path()), byLink);
  // The device the link leads to is the same port, known by the link's path.
  EXPECT_EQ(ORSSerialPort::serialPortWithPath(peer->devicePath()), byLink);
  EXPECT_EQ(byLink->path(), peer->path());
  EXPECT_EQ(byLink->name(), "ttyACM0");

  EXPECT_EQ(ORSSerialPort::serialPortWithPath((simFolder() / "ttyACM9").string()), nullptr);
  EXPECT_EQ(ORSSerialPort::serialPortWithPath(""), nullptr);
  std::ofstream((simFolder() / "notes").string()) << "not a port";
  EXPECT_EQ(ORSSerialPort::serialPortWithPath((simFolder() / "notes").string()), nullptr);
}

TEST_F(SerialPortTest, OpensRawAtTheChosenSpeedAndCloseRestoresTheOriginalSettings) {
  auto peer = plugIn();
  auto port = ORSSerialPort::serialPortWithPath(peer->path());
  port->setBaudRate(115200);
  ASSERT_TRUE(port->open());
  ASSERT_TRUE(waitFor([&] { return peer->isDeviceOpen() && peer->baudRate() == 115200; }));

  termios attributes{};
  ASSERT_EQ(::tcgetattr(port->fileDescriptor(), &attributes), 0);
  EXPECT_EQ(attributes.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(attributes.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(attributes.c_cflag & (CREAD | CLOCAL | HUPCL), static_cast<tcflag_t>(CREAD | CLOCAL | HUPCL));
  EXPECT_EQ(attributes.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(attributes.c_cc[VMIN], 1);
  EXPECT_EQ(attributes.c_cc[VTIME], 2);

  // A change on the open port applies at once.
  port->setBaudRate(57600);
  ASSERT_TRUE(waitFor([&] { return peer->baudRate() == 57600; }));

  ASSERT_TRUE(port->close());
  EXPECT_FALSE(port->isOpen());
  ASSERT_TRUE(waitFor([&] { return peer->hangUpCount() == 1; }));
  EXPECT_EQ(peer->baudRate(), 9600);
  EXPECT_EQ(peer->events().back().kind, LineEvent::Kind::HungUp);
}

TEST_F(SerialPortTest, WritesArriveByteForByteAndReadsReachTheDelegateInOrderOnTheMainQueue) {
  auto peer = plugIn();
  auto port = ORSSerialPort::serialPortWithPath(peer->path());
  auto delegate = std::make_shared<RecordingPortDelegate>();
  port->setDelegate(delegate);
  port->setBaudRate(115200);
  ASSERT_TRUE(port->open());

  const std::string bytes("h\r\n\0\x7f\xff" "end", 9);
  ASSERT_TRUE(port->sendData(Data(bytes.begin(), bytes.end())));
  ASSERT_TRUE(peer->waitForReceived(bytes.size(), kPatience));
  EXPECT_EQ(peer->received(), bytes);
  EXPECT_TRUE(port->writeBuffer().empty());

  std::string expected;
  for (int i = 0; i < 50; ++i) {
    const std::string chunk = "line " + std::to_string(i) + "\n";
    expected += chunk;
    ASSERT_TRUE(peer->write(chunk));
  }
  ASSERT_TRUE(waitFor([&] { return delegate->receivedText().size() >= expected.size(); }));
  EXPECT_EQ(delegate->receivedText(), expected);
  EXPECT_TRUE(delegate->everythingOnMainQueue());
  ASSERT_TRUE(waitFor([&] {
    auto calls = delegate->calls();
    return std::find(calls.begin(), calls.end(), "opened") != calls.end();
  }));

  ASSERT_TRUE(port->close());
  EXPECT_EQ(delegate->calls().back(), "closed");
}

TEST_F(SerialPortTest, ClosedPortRefusesWritesKeepsNothingAndClosesQuietly) {
  auto peer = plugIn();
  auto port = ORSSerialPort::serialPortWithPath(peer->path());
  auto delegate = std::make_shared<RecordingPortDelegate>();
  port->setDelegate(delegate);
  EXPECT_FALSE(port->sendData(Data{'x', '\n'}));
  EXPECT_TRUE(port->writeBuffer().empty());
  EXPECT_TRUE(port->close());
  drainMainQueue();
  EXPECT_TRUE(delegate->calls().empty());
}

TEST_F(SerialPortTest, HeldExclusivelyWhileOpenAndReleasedAfterClose) {
  auto peer = plugIn();
  auto port = ORSSerialPort::serialPortWithPath(peer->path());
  ASSERT_TRUE(port->open());

  // Another opener is refused: by the exclusive mode (EBUSY) unless it is root, then by the lock.
  const int other = ::open(peer->devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (other >= 0) {
    int exclusive = 0;
    ASSERT_EQ(::ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
    ::close(other);
  } else {
    EXPECT_EQ(errno, EBUSY);
  }

  ASSERT_TRUE(port->close());
  // The exclusive mode of a pseudo-terminal outlives the descriptor unless it is cleared.
  const int after = ::open(peer->devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(after, 0);
  int exclusive = 1;
  ASSERT_EQ(::ioctl(after, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  EXPECT_EQ(::flock(after, LOCK_EX | LOCK_NB), 0);
  ::close(after);

  ASSERT_TRUE(port->open());
  EXPECT_TRUE(port->close());
}

TEST_F(SerialPortTest, OpenFailsWhileAnotherProcessHoldsTheLock) {
  auto peer = plugIn();
  auto port = ORSSerialPort::serialPortWithPath(peer->path());
  auto delegate = std::make_shared<RecordingPortDelegate>();
  port->setDelegate(delegate);
  const int holder = ::open(peer->devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);

  EXPECT_FALSE(port->open());
  EXPECT_FALSE(port->isOpen());
  ASSERT_TRUE(waitFor([&] { return !delegate->errorCodes().empty(); }));
  EXPECT_EQ(delegate->errorCodes().front(), EWOULDBLOCK);
  ::close(holder);
}

TEST_F(SerialPortTest, PseudoTerminalWithoutModemLinesIsNotPolled) {
  auto peer = plugIn();
  auto port = ORSSerialPort::serialPortWithPath(peer->path());
  auto delegate = std::make_shared<RecordingPortDelegate>();
  port->setDelegate(delegate);
  port->setRTS(true);
  ASSERT_TRUE(port->open());
  EXPECT_FALSE(port->isPollingModemLines());
  EXPECT_TRUE(port->RTS());  // asked for, even though the line cannot carry it
  ASSERT_TRUE(waitFor([&] { return !delegate->errorCodes().empty(); }));
  EXPECT_EQ(delegate->errorCodes().front(), ENOTTY);
  // Reading goes on regardless.
  ASSERT_TRUE(peer->write("ok"));
  ASSERT_TRUE(waitFor([&] { return delegate->receivedText() == "ok"; }));
}

TEST_F(SerialPortTest, DescriptorZeroIsAnOpenPort) {
  auto peer = plugIn();
  auto port = ORSSerialPort::serialPortWithPath(peer->path());
  const int savedInput = ::dup(0);
  ASSERT_GE(savedInput, 0);
  ::close(0);
  const bool opened = port->open();
  const int fd = port->fileDescriptor();
  const bool open = port->isOpen();
  const bool sent = port->sendData(Data{'z'});
  const bool closed = port->close();
  ::dup2(savedInput, 0);
  ::close(savedInput);

  EXPECT_TRUE(opened);
  EXPECT_EQ(fd, 0);
  EXPECT_TRUE(open);
  EXPECT_TRUE(sent);
  EXPECT_TRUE(closed);
  ASSERT_TRUE(peer->waitForReceived(1, kPatience));
  EXPECT_EQ(peer->received(), "z");
}

TEST_F(SerialPortTest, WriteToAVanishedDeviceFailsDropsItsBytesAndReadingStops) {
  auto peer = plugIn();
  auto port = ORSSerialPort::serialPortWithPath(peer->path());
  auto delegate = std::make_shared<RecordingPortDelegate>();
  port->setDelegate(delegate);
  ASSERT_TRUE(port->open());
  ASSERT_TRUE(waitFor([&] { return !delegate->calls().empty(); }));  // opened, and its ENOTTY
  peer->hangUp();

  EXPECT_FALSE(port->sendData(Data{'a', 'b', '\n'}));
  EXPECT_TRUE(port->writeBuffer().empty());
  EXPECT_EQ(delegate->errorCodes().back(), EIO);  // told at once, on the writing thread
  // The reading thread meets the end of the line, reports it and ends instead of spinning.
  const auto errorsBefore = delegate->errorCodes().size();
  ASSERT_TRUE(waitFor([&] { return delegate->errorCodes().size() > errorsBefore; }));
  EXPECT_EQ(delegate->errorCodes().back(), EIO);
  EXPECT_TRUE(port->close());
}

}  // namespace
}  // namespace qv::test
