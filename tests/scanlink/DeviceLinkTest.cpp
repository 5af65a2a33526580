// The device link on real pseudo-terminals: line framing as bytes arrive in chunks, the armed fault,
// line writes and their failures, connecting, the boot-loader reset, and unplugging.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "ScanlinkTestSupport.h"
#include "scanlink/ORSSerialPortManager.h"
#include "scanlink/QVLCDevice.h"

namespace qv::test {
namespace {

using sim::LineEvent;

// The outcome of one line write, as the device reported it on its write queue.
struct WriteOutcome {
  std::mutex mutex;
  bool completed = false;
  std::optional<Error> error;
  bool onWriteQueue = false;
  int calls = 0;

  bool done() {
    std::lock_guard lock(mutex);
    return calls > 0;
  }
};

std::shared_ptr<WriteOutcome> writeLine(QVLCDevice& device, const std::string& line) {
  auto outcome = std::make_shared<WriteOutcome>();
  const QueuePtr queue = device.dispatchWriteQueue();
  device.writeLine(
      line,
      [outcome, queue] {
        std::lock_guard lock(outcome->mutex);
        outcome->completed = true;
        outcome->onWriteQueue = queue->isCurrent();
        ++outcome->calls;
      },
      [outcome, queue](const Error& error) {
        std::lock_guard lock(outcome->mutex);
        outcome->error = error;
        outcome->onWriteQueue = queue->isCurrent();
        ++outcome->calls;
      });
  return outcome;
}

std::shared_ptr<WriteOutcome> writeAndWait(QVLCDevice& device, const std::string& line) {
  auto outcome = writeLine(device, line);
  EXPECT_TRUE(waitFor([&] { return outcome->done(); }));
  return outcome;
}

class DeviceLinkTest : public SimulatorTest {
protected:
  void SetUp() override {
    peer_ = plugIn();
    device_ = QVLCDevice::createDeviceForPort(peer_->path());
    lines_ = std::make_unique<LineRecorder>(*device_);
  }
  void connect() {
    ASSERT_TRUE(device_->connect());
    ASSERT_TRUE(waitFor([&] { return peer_->isDeviceOpen() && peer_->baudRate() == 115200; }));
  }
  // Sends bytes from the scanner's side and waits until the device has framed them.
  void scannerSends(const std::string& bytes, std::size_t linesExpected, const std::string& partialExpected) {
    ASSERT_TRUE(peer_->write(bytes));
    ASSERT_TRUE(waitFor([&] {
      return lines_->received().size() == linesExpected && device_->partialResponse() == partialExpected;
    })) << "lines " << lines_->received().size() << ", partial \"" << device_->partialResponse() << "\"";
  }

  std::unique_ptr<sim::SerialPeer> peer_;
  std::shared_ptr<QVLCDevice> device_;
  std::unique_ptr<LineRecorder> lines_;
};

TEST(LineCutting, SeparatorsEmptyLinesFragmentsAndBytesOutsideASCII) {
  std::string partial;
  auto bytes = [](const std::string& s) { return Data(s.begin(), s.end()); };
  EXPECT_EQ(cutLines(partial, bytes("a\r\nb\n\nc")), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(partial, "c");
  EXPECT_EQ(cutLines(partial, bytes("d\r")), std::vector<std::string>{"cd"});
  EXPECT_EQ(partial, "");
  EXPECT_TRUE(cutLines(partial, bytes("\r\n\n\r")).empty());
  EXPECT_EQ(cutLines(partial, Data{'P', 'X', 0xC3, '1', '\n'}), std::vector<std::string>{"PX?1"});
}

TEST_F(DeviceLinkTest, CarriageReturnAndLineFeedInSeparateChunksEndOneLineEach) {
  connect();
  scannerSends("COMMAND RECEIVED h\r", 1, "");
  scannerSends("\nCOMMAND COMPLETE H\n", 2, "");
  EXPECT_EQ(lines_->received(), (std::vector<std::string>{"COMMAND RECEIVED h", "COMMAND COMPLETE H"}));
}

TEST_F(DeviceLinkTest, LineSplitOverTwoChunksArrivesWhole) {
  connect();
  scannerSends("PX12", 0, "PX12");
  scannerSends("34\n", 1, "");
  EXPECT_EQ(lines_->received(), std::vector<std::string>{"PX1234"});
}

TEST_F(DeviceLinkTest, LineEndsAloneDeliverTheKeptFragmentOrNothing) {
  connect();
  scannerSends("\r\n\r\n", 0, "");
  scannerSends("H:12", 0, "H:12");
  scannerSends("\r\n", 1, "");
  scannerSends("\n\r", 1, "");
  EXPECT_EQ(lines_->received(), std::vector<std::string>{"H:12"});
}

TEST_F(DeviceLinkTest, ArmedFaultMangleExactlyTheNextCompletionLine) {
  connect();
  device_->simulateCommunincationsError();
  scannerSends("PX5000\n", 1, "");
  EXPECT_TRUE(device_->shouldSimulateCommunicationsFault());
  scannerSends("COMMAND COMPLETE X\nCOMMAND COMPLETE X\n", 3, "");
  EXPECT_EQ(lines_->received(),
            (std::vector<std::string>{"PX5000", "COMAND COMPLETE X", "COMMAND COMPLETE X"}));
  EXPECT_FALSE(device_->shouldSimulateCommunicationsFault());
}

TEST_F(DeviceLinkTest, LinesGoOutByteForByteInOrderAndAreAnnounced) {
  connect();
  auto h = writeAndWait(*device_, "h");
  EXPECT_TRUE(h->completed);
  EXPECT_TRUE(h->onWriteQueue);
  auto ended = writeAndWait(*device_, "Y10.0\n");
  EXPECT_TRUE(ended->completed);
  std::string expected = "h\nY10.0\n";
  for (int i = 0; i < 30; ++i) {
    writeLine(*device_, "X" + std::to_string(i));
    expected += "X" + std::to_string(i) + "\n";
  }
  ASSERT_TRUE(peer_->waitForReceived(expected.size(), kPatience));
  EXPECT_EQ(peer_->received(), expected);
  const auto sent = lines_->sent();
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[0], "h");
  EXPECT_EQ(sent[1], "Y10.0\n");  // announced as given
  EXPECT_TRUE(lines_->received().empty());
}

TEST_F(DeviceLinkTest, WriteWithoutAConnectionFailsWithCode6) {
  auto outcome = writeAndWait(*device_, "h");
  ASSERT_TRUE(outcome->error);
  EXPECT_TRUE(outcome->error->is(kControlErrorDomain, 6));
  EXPECT_TRUE(outcome->onWriteQueue);
  EXPECT_TRUE(lines_->sent().empty());
}

TEST_F(DeviceLinkTest, WriteAtAnotherSpeedFailsWithCode8AndSendsNothing) {
  ASSERT_TRUE(device_->connectAtBaud(1200));
  auto outcome = writeAndWait(*device_, "h");
  ASSERT_TRUE(outcome->error);
  EXPECT_TRUE(outcome->error->is(kControlErrorDomain, 8));
  EXPECT_TRUE(lines_->sent().empty());

  ASSERT_TRUE(device_->disconnect());
  connect();
  writeAndWait(*device_, "z");
  ASSERT_TRUE(peer_->waitForReceived(2, kPatience));
  EXPECT_EQ(peer_->received(), "z\n");
}

TEST_F(DeviceLinkTest, AHungUpLineIsClosedAndWritesToItFail) {
  connect();
  peer_->hangUp();
  // Whether the write or the hang-up is seen first, the write fails: the bytes could not go out
  // (code 4) or the line was already closed (code 6).
  auto outcome = writeAndWait(*device_, "L1");
  ASSERT_TRUE(outcome->error);
  EXPECT_EQ(outcome->error->domain, kControlErrorDomain);
  EXPECT_TRUE(outcome->error->code == 4 || outcome->error->code == 6) << outcome->error->code;
  ASSERT_TRUE(waitFor([&] { return !device_->isConnected(); }));
  EXPECT_EQ(device_->serialPort(), nullptr);
  auto later = writeAndWait(*device_, "h");
  ASSERT_TRUE(later->error);
  EXPECT_TRUE(later->error->is(kControlErrorDomain, 6));
}

TEST_F(DeviceLinkTest, ConnectingWithoutAPortOrToAPortInUseAnswersNoAndKeepsNone) {
  auto absent = QVLCDevice::createDeviceForPort((simFolder() / "ttyACM42").string());
  EXPECT_FALSE(absent->connect());
  EXPECT_EQ(absent->serialPort(), nullptr);
  EXPECT_FALSE(absent->disconnect());

  const int holder = ::open(peer_->devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_FALSE(device_->connect());
  EXPECT_EQ(device_->serialPort(), nullptr);
  auto outcome = writeAndWait(*device_, "h");
  ASSERT_TRUE(outcome->error);
  EXPECT_TRUE(outcome->error->is(kControlErrorDomain, 6));
  ::close(holder);
  EXPECT_TRUE(device_->connect());
}

TEST_F(DeviceLinkTest, ResetOpensAt1200WritesNothingAndClosesTwoSecondsLater) {
  ManualClockScope clock;
  connect();
  qv::Error untouched(kScanErrorDomain, 77);
  EXPECT_FALSE(device_->resetHardware(&untouched));
  EXPECT_EQ(untouched.code, 77);
  ASSERT_TRUE(waitFor([&] { return peer_->isDeviceOpen() && peer_->baudRate() == 1200; }));
  ASSERT_NE(device_->serialPort(), nullptr);
  EXPECT_EQ(device_->serialPort()->baudRate(), 1200);

  clock.advanceSeconds(1.9);
  EXPECT_NE(device_->serialPort(), nullptr);
  const int hangUpsBefore = peer_->hangUpCount();
  clock.advanceSeconds(0.2);
  EXPECT_EQ(device_->serialPort(), nullptr);
  ASSERT_TRUE(waitFor([&] { return peer_->hangUpCount() > hangUpsBefore; }));
  const auto events = peer_->events();
  EXPECT_EQ(events.back().kind, LineEvent::Kind::HungUp);
  EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const LineEvent& e) {
    return e.kind != LineEvent::Kind::HungUp && e.baudRate == 1200;
  }));
  EXPECT_EQ(peer_->received(), "");
}

TEST_F(DeviceLinkTest, ResetClosesOnlyItsOwnConnectionNotANewerOne) {
  ManualClockScope clock;
  device_->resetHardware(nullptr);
  ASSERT_TRUE(waitFor([&] { return peer_->baudRate() == 1200; }));
  ASSERT_TRUE(device_->disconnect());
  connect();
  clock.advanceSeconds(3.0);
  ASSERT_NE(device_->serialPort(), nullptr);
  EXPECT_TRUE(device_->serialPort()->isOpen());
  auto outcome = writeAndWait(*device_, "h");
  EXPECT_TRUE(outcome->completed);
}

TEST_F(DeviceLinkTest, FragmentOfAnEarlierConnectionIsNotGluedToTheNextLine) {
  connect();
  scannerSends("PX12", 0, "PX12");
  ASSERT_TRUE(device_->disconnect());
  connect();
  EXPECT_EQ(device_->partialResponse(), "");
  scannerSends("COMMAND COMPLETE X\n", 1, "");
  EXPECT_EQ(lines_->received(), std::vector<std::string>{"COMMAND COMPLETE X"});
}

TEST_F(DeviceLinkTest, UnpluggedScannerDropsItsPortAndWritesFailWithCode6) {
  auto manager = ORSSerialPortManager::create({source_});
  connect();
  peer_->unplug();
  ASSERT_TRUE(waitFor([&] { return device_->serialPort() == nullptr; }));
  auto outcome = writeAndWait(*device_, "h");
  ASSERT_TRUE(outcome->error);
  EXPECT_TRUE(outcome->error->is(kControlErrorDomain, 6));
}

}  // namespace
}  // namespace qv::test
