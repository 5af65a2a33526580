// The camera sequences against the simulated scanner: the real interpreter drives the firmware
// emulator over a pseudo-terminal while the synthetic camera renders what the emulator's lasers
// and bed show. The laser commands the emulator hears are checked against the frames delivered,
// each frame judged by the laser-line detector; then failures are injected and the lasers must
// be off after every one.
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "CameraTestSupport.h"
#include "acquisition/LaserLineDetector.h"
#include "core/camera/QVLCameraCaptureSession.h"
#include "core/camera/QVLImageSequences.h"
#include "scancmd/QVLIInterpreter.h"
#include "scanlink/QVLCDevice.h"
#include "sim/firmware/FirmwareEmulator.h"
#include "support/ManualClockScope.h"
#include "support/SimulatorTest.h"
#include "support/WaitFor.h"

namespace qv::test {
namespace {

using sim::FirmwareEmulator;

class SyntheticScannerTest : public SimulatorTest {
protected:
  void SetUp() override {
    FirmwareEmulator::Options options;
    options.folder = simFolder();
    options.pace = sim::FirmwarePace::none();
    emulator_ = FirmwareEmulator::plugIn(options);
    device_ = QVLCDevice::createDeviceForPort(emulator_->path());
    ASSERT_TRUE(device_->connect());
    interpreter_ = std::make_shared<RecordingInterpreter>(QVLIInterpreter::createWithDevice(device_));
    camera_ = sim::SyntheticCamera::create(sim::poseOf(*emulator_));

    QVLCameraCaptureSession::Links links;
    links.lockQueue = makeSerialQueue("Camera queue");
    links.backend = camera_;
    links.settings = &Settings::standard();
    links.inhibitor = std::make_shared<FakeInhibitor>();
    links.device = [this]() -> std::shared_ptr<QVLCDeviceProtocol> { return device_; };
    links.deviceInterpreter = [this]() -> std::shared_ptr<QVLIInterpreterProtocol> { return interpreter_; };
    session_ = QVLCameraCaptureSession::create(links);
    sequences_ = QVLImageSequences::create(session_, links.deviceInterpreter);

    bool greeted = false;
    interpreter_->initializeDevice([&] { greeted = true; }, {});
    ASSERT_TRUE(drive([&] { return greeted; }));
    connect();
  }
  void TearDown() override {
    if (session_) session_->disconnectFromScanner({}, {});
    drainMainQueue();
  }

  void connect() {
    Error error;
    ASSERT_TRUE(session_->connectToScanner(&error)) << error.text();
  }

  // Runs the main queue until `done`, moving the manual clock on (settle delays, camera frames)
  // only while no scanner command waits for its answer, so the interpreter's watchdog never fires.
  bool drive(const std::function<bool()>& done) {
    return runMainQueueUntil(
        [&] {
          if (done()) return true;
          if (!interpreter_->outstanding()) clock_.clock()->advance(seconds(1.0 / 30.0));
          return false;
        },
        kPatience);
  }

  // The laser commands the emulator heard since `from`.
  std::vector<std::string> laserCommandsSince(std::size_t from) const {
    const auto all = emulator_->commands();
    std::vector<std::string> lasers;
    for (std::size_t i = from; i < all.size(); ++i)
      if (all[i] == "L0" || all[i] == "L1" || all[i] == "L2") lasers.push_back(all[i]);
    return lasers;
  }

  // Which laser's line a frame shows beside a laser-off frame: 0 none, 1 or 2 by which true line
  // the detected points lie on.
  int laserSeen(const SharedData& off, const SharedData& on) {
    EXPECT_TRUE(off && on && off->size() == kFrameBytes && on->size() == kFrameBytes);
    if (!off || !on || off->size() != kFrameBytes || on->size() != kFrameBytes) return -1;
    const auto found = detectLaserLine(off->data(), on->data(), LaserLineOptions{}).points;
    if (found.size() < 30) return 0;
    int best = -1;
    double bestError = 1e9;
    for (int laser = 0; laser < 2; ++laser) {
      std::map<int, double> truth;
      for (const auto& c : truthFor(laser)) truth[c.row] = c.x_px;
      double sum = 0;
      int matched = 0;
      for (const auto& p : found)
        if (auto it = truth.find(p.y()); it != truth.end()) {
          sum += std::fabs(p.x() - it->second);
          ++matched;
        }
      const double error = matched > 20 ? sum / matched : 1e9;
      if (error < bestError) bestError = error, best = laser + 1;
    }
    EXPECT_LT(bestError, 1.0) << "the detected line lies on neither laser's true line";
    return best;
  }
  const std::vector<sim::FrameRenderer::LineCrossing>& truthFor(int laser) {
    auto& cached = truth_[laser];
    if (cached.empty()) {
      sim::ScannerPose pose = sim::poseOf(*emulator_)();
      pose.laser1On = laser == 0;
      pose.laser2On = laser == 1;
      cached = camera_->renderer().laserLine(camera_->frameState(pose), laser);
    }
    return cached;
  }

  ManualClockScope clock_;
  std::unique_ptr<FirmwareEmulator> emulator_;
  std::shared_ptr<QVLCDevice> device_;
  std::shared_ptr<RecordingInterpreter> interpreter_;
  std::shared_ptr<sim::SyntheticCamera> camera_;
  std::shared_ptr<QVLCameraCaptureSession> session_;
  std::shared_ptr<QVLImageSequences> sequences_;
  std::map<int, std::vector<sim::FrameRenderer::LineCrossing>> truth_;
};

TEST_F(SyntheticScannerTest, EachLaserFrameShowsItsOwnLineAndNoOtherFrameShowsOne) {
  const std::size_t heard = emulator_->commands().size();
  SharedData reference, laser, verification;
  std::optional<Error> failure;
  sequences_->captureCameraImageSequenceForLaser(
      1, 150, [&](SharedData r, SharedData l, SharedData v) { reference = r, laser = l, verification = v; },
      [&](const Error& e) { failure = e; });
  ASSERT_TRUE(drive([&] { return verification || failure; }));
  ASSERT_FALSE(failure) << failure->text();
  EXPECT_EQ(laserCommandsSince(heard), (std::vector<std::string>{"L2", "L0"}));
  EXPECT_EQ(laserSeen(reference, laser), 2);
  EXPECT_EQ(laserSeen(reference, verification), 0);
  EXPECT_FALSE(emulator_->laser2On());
  EXPECT_EQ(camera_->controls()->exposure(), 150);
  EXPECT_EQ(sequences_->lastExposure(), 150);
}

TEST_F(SyntheticScannerTest, TheRunOverExposuresSharesTheFramesOfBothLasers) {
  const std::size_t heard = emulator_->commands().size();
  std::optional<std::vector<QVLScanResultSet>> first, second;
  std::optional<Error> failure;
  const auto colour = std::make_shared<const Data>(4, 1);
  SharedData colourBack;
  sequences_->captureLaserImagesForExposures(
      {50, 150}, 0, {50, 150}, {150}, {}, {}, colour,
      [&](SharedData c, std::vector<QVLScanResultSet> r1, std::vector<QVLScanResultSet> r2) {
        colourBack = c;
        first = std::move(r1);
        second = std::move(r2);
      },
      [&](const Error& e) { failure = e; });
  ASSERT_TRUE(drive([&] { return first || failure; }));
  ASSERT_FALSE(failure) << failure->text();
  EXPECT_EQ(colourBack, colour);
  // 50: laser 1 alone; 150: both, with no lasers-off between the two lasers.
  EXPECT_EQ(laserCommandsSince(heard), (std::vector<std::string>{"L1", "L0", "L1", "L2", "L0"}));
  ASSERT_EQ(first->size(), 2u);
  ASSERT_EQ(second->size(), 1u);
  EXPECT_EQ((*first)[0].exposure, 50);
  EXPECT_EQ((*first)[1].exposure, 150);
  EXPECT_EQ((*second)[0].exposure, 150);
  EXPECT_EQ((*first)[1].referenceImage, (*second)[0].referenceImage);
  EXPECT_EQ((*first)[1].verificationImage, (*second)[0].verificationImage);
  EXPECT_EQ(laserSeen((*first)[0].referenceImage, (*first)[0].laserImage), 1);
  EXPECT_EQ(laserSeen((*first)[1].referenceImage, (*first)[1].laserImage), 1);
  EXPECT_EQ(laserSeen((*second)[0].referenceImage, (*second)[0].laserImage), 2);
  EXPECT_EQ(laserSeen((*second)[0].referenceImage, (*second)[0].verificationImage), 0);

  // An exposure in neither list ends the run with 5 before anything is captured for it.
  failure.reset();
  const std::size_t before = emulator_->commands().size();
  sequences_->captureLaserImagesForExposures({70}, 0, {50}, {150}, {}, {}, colour, {}, [&](const Error& e) { failure = e; });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->code, 5);
  EXPECT_EQ(emulator_->commands().size(), before);
}

TEST_F(SyntheticScannerTest, TheLasersAreOffAfterEveryFailure) {
  struct Injection {
    const char* what;
    std::string after;  // the laser command it is injected once done (none: at once)
    std::function<void()> inject;
    bool bothLasers;
    std::string domain;
    int code;
  };
  const Injection injections[] = {
      {"a frame cut short", "L1", [&] { camera_->failNextFrame(sim::SyntheticCamera::Fault::WrongSize); }, false,
       kScanErrorDomain, 9},
      {"a frame that cannot be read", "L2", [&] { camera_->failNextFrame(sim::SyntheticCamera::Fault::Unreadable); },
       true, kScanErrorDomain, 8},
      {"a pause", "L1", [&] { session_->setShouldPauseScan(true); }, true, kScanErrorDomain, 12},
      {"the scanner refusing laser 2", "",
       [&] { interpreter_->failNext("L2", Error(kInterpreterErrorDomain, 1, "no device")); }, true,
       kInterpreterErrorDomain, 1},
      {"the camera unplugged", "L1", [&] { camera_->unplug(); }, false, kScanErrorDomain, 8},
  };
  for (const auto& injection : injections) {
    SCOPED_TRACE(injection.what);
    session_->setShouldPauseScan(false);
    if (injection.after.empty()) injection.inject();
    else interpreter_->whenNextDone(injection.after, injection.inject);
    std::optional<Error> failure;
    bool completed = false;
    if (injection.bothLasers)
      sequences_->captureCameraImageSequenceForLasersWithExposure(
          50, [&](SharedData, SharedData, SharedData, SharedData) { completed = true; },
          [&](const Error& e) { failure = e; });
    else
      sequences_->captureCameraImageSequenceForLaser(
          0, 50, [&](SharedData, SharedData, SharedData) { completed = true; }, [&](const Error& e) { failure = e; });
    ASSERT_TRUE(drive([&] { return completed || failure; }));
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->domain, injection.domain);
    EXPECT_EQ(failure->code, injection.code);
    ASSERT_TRUE(drive([&] { return !interpreter_->outstanding(); }));
    EXPECT_FALSE(emulator_->laser1On());
    EXPECT_FALSE(emulator_->laser2On());
  }
}

TEST_F(SyntheticScannerTest, TuningSettlesOnTheExposureLastSetWhenTheCameraCannotSay) {
  bool set = false;
  sequences_->setExposureForTuning(300, [&] { set = true; }, {});
  ASSERT_TRUE(drive([&] { return set; }));
  EXPECT_EQ(sequences_->lastExposure(), 300);  // the longer of 166 (the camera's own) and 300
  interpreter_->whenNextDone("L1", [] { Settings::standard().setValue("SimulateCameraControlFailure", true); });
  // The next control request after laser 1 is on is the exposure read back: it fails.
  std::optional<int> whiteBalance;
  std::optional<Error> failure;
  sequences_->captureExposureImagesForTuning(
      [&](SharedData, SharedData, SharedData, SharedData, int w) { whiteBalance = w; },
      [&](const Error& e) { failure = e; });
  ASSERT_TRUE(drive([&] { return whiteBalance || failure; }));
  ASSERT_FALSE(failure) << failure->text();
  EXPECT_EQ(*whiteBalance, 5000);  // what automatic white balance settled on
  EXPECT_EQ(sequences_->lastExposure(), 300);
}

}  // namespace
}  // namespace qv::test
