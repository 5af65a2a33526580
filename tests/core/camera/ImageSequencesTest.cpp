// The settle delay on the manual clock, and the sequences' refusals before they touch anything.
#include <gtest/gtest.h>

#include "CameraTestSupport.h"
#include "core/camera/QVLImageSequences.h"
#include "support/ManualClockScope.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"

namespace qv::test {
namespace {

class ImageSequencesTest : public ::testing::Test {
protected:
  ImageSequencesTest() : settings_(folder_.path() / "Settings.json") {
    QVLCameraCaptureSession::Links links;
    links.backend = camera_;
    links.settings = &settings_;
    links.inhibitor = std::make_shared<FakeInhibitor>();
    links.device = [this]() -> std::shared_ptr<QVLCDeviceProtocol> { return device_; };
    links.deviceInterpreter = [this]() -> std::shared_ptr<QVLIInterpreterProtocol> { return interpreter_; };
    session_ = QVLCameraCaptureSession::create(links);
    sequences_ = QVLImageSequences::create(session_, links.deviceInterpreter);
  }
  ~ImageSequencesTest() override { session_->disconnectFromScanner({}, {}); }

  // Whether a settle delay for `exposure` ends exactly `wait_s` later on the manual clock.
  bool settlesIn(int exposure, double wait_s) {
    std::atomic<bool> done{false};
    std::atomic<TimePoint::rep> ranAt{0};
    const TimePoint start = now();
    sequences_->delayForCameraExposure(exposure, [&] {
      ranAt = now().time_since_epoch().count();
      done = true;
    });
    clock_.clock()->advance(seconds(wait_s) - std::chrono::microseconds(100));
    // The global queue runs tasks side by side, so a flush there only makes an early run likely seen.
    std::atomic<bool> flushed{false};
    globalQueue(QueuePriority::High)->async([&] { flushed = true; });
    waitFor([&] { return flushed.load(); });
    if (done) return false;
    clock_.clock()->advance(std::chrono::microseconds(100));
    if (!waitFor([&] { return done.load(); })) return false;
    return TimePoint(TimePoint::duration(ranAt.load())) - start >= seconds(wait_s);
  }

  ManualClockScope clock_;
  TempFolder folder_;
  Settings settings_;
  std::shared_ptr<HandFedCamera> camera_ = std::make_shared<HandFedCamera>();
  std::shared_ptr<FakeSerialDevice> device_ = std::make_shared<FakeSerialDevice>();
  std::shared_ptr<RecordingInterpreter> interpreter_ = std::make_shared<RecordingInterpreter>();
  std::shared_ptr<QVLCameraCaptureSession> session_;
  std::shared_ptr<QVLImageSequences> sequences_;
};

TEST_F(ImageSequencesTest, SettlingWaitsForTheLongerOfTheOldAndTheNewExposure) {
  EXPECT_EQ(QVLImageSequences::settleTimeForExposure(10), std::chrono::nanoseconds(200000000));
  EXPECT_EQ(QVLImageSequences::settleTimeForExposure(10000), std::chrono::nanoseconds(1000000000));
  EXPECT_NEAR(toSeconds(QVLImageSequences::settleTimeForExposure(5005)), 0.6, 1e-6);
  EXPECT_NEAR(toSeconds(QVLImageSequences::settleTimeForExposure(500)), 0.239239248, 1e-6);

  // Nothing known before the first: the new exposure's own wait.
  EXPECT_TRUE(settlesIn(10000, 1.0));
  // Down from the longest: frames still carry it for the full second.
  EXPECT_TRUE(settlesIn(10, 1.0));
  // Up to the longest: a short old exposure does not make the new one settle sooner.
  EXPECT_TRUE(settlesIn(10000, 1.0));
  EXPECT_TRUE(settlesIn(5005, 1.0));
  EXPECT_TRUE(settlesIn(10, 0.6));
  EXPECT_TRUE(settlesIn(10, 0.2));
  EXPECT_EQ(sequences_->lastExposure(), 10);
}

TEST_F(ImageSequencesTest, AnExposureThatCannotBeSetStopsASequenceBeforeAnything) {
  // Without a camera there is no control to set the exposure with.
  for (int both = 0; both < 2; ++both) {
    std::optional<Error> failure;
    bool onCallersThread = false;
    auto error = [&](const Error& e) {
      failure = e;
      onCallersThread = isMainQueue();
    };
    if (both) sequences_->captureCameraImageSequenceForLasersWithExposure(50, {}, error);
    else sequences_->captureCameraImageSequenceForLaser(0, 50, {}, error);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->code, 8);
    EXPECT_TRUE(onCallersThread);
  }
  // Connected, with the control failing once.
  Error error;
  ASSERT_TRUE(session_->connectToScanner(&error));
  settings_.setValue("SimulateCameraControlFailure", true);
  std::optional<Error> failure;
  sequences_->captureCameraImageSequenceForLaser(1, 50, {}, [&](const Error& e) { failure = e; });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->code, 8);
  drainMainQueue();
  EXPECT_TRUE(interpreter_->commands().empty());
  EXPECT_FALSE(session_->hasCompletionHandler());
  EXPECT_EQ(sequences_->lastExposure(), 0);

  // White balance 0 means automatic; any other value is set with the automatic mode off.
  sequences_->setCameraWhiteBalance(4500);
  EXPECT_EQ(camera_->controls->whiteBalance(), 4500);
  sequences_->setCameraWhiteBalance(0);
  EXPECT_EQ(camera_->controls->whiteBalance(), 5000);  // what the automatic mode settles on
  sequences_->setCameraWhiteBalance(3000);
  EXPECT_EQ(camera_->controls->whiteBalance(), 3000);

  // A run with nothing left to do completes at once with what it was given.
  bool completed = false;
  sequences_->captureLaserImagesForExposures({50}, 1, {50}, {}, {QVLScanResultSet(50, {}, {}, {})}, {}, {},
                                             [&](SharedData, std::vector<QVLScanResultSet> r1, std::vector<QVLScanResultSet> r2) {
                                               completed = r1.size() == 1 && r2.empty();
                                             },
                                             {});
  EXPECT_TRUE(completed);
}

}  // namespace
}  // namespace qv::test
