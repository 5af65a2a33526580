// The program's camera wiring: the simulated scanner's jobs see its synthetic camera, live; a
// real scanner's see the V4L2 camera with the scanner camera's USB identity among the others,
// and losing that camera ends a pending request with an error, never a crash. A calibration on
// the simulator finds the target the wizard asked for on the bed.
#include <gtest/gtest.h>

#include <fstream>

#include "CoreTestSupport.h"
#include "app/ProgramHardware.h"
#include "calibration/QVLCalibration.h"
#include "calibration/QVLCalibrationUtil.h"
#include "camera/FakeV4L2Device.h"
#include "core/camera/QVLCameraCaptureSession.h"
#include "platform/Paths.h"
#include "sim/camera/SyntheticCamera.h"

namespace qv::test {
namespace {

// One frame request's outcome.
struct Request {
  std::vector<SharedData> frames;
  std::optional<Error> error;
  bool ended() const { return !frames.empty() || error; }
};

void request(QVLCameraCaptureSession& session, Request& into) {
  session.captureCameraImages(
      1, [&into](const std::vector<SharedData>& frames) { into.frames = frames; },
      [&into](const Error& error) { into.error = error; });
}

// The sum of the red bytes of a frame: a laser line adds to it.
std::uint64_t redSum(const Data& frame) {
  std::uint64_t sum = 0;
  for (std::size_t i = 2; i < frame.size(); i += 4) sum += frame[i];
  return sum;
}

class ProgramHardwareTest : public CoreTest {
protected:
  // Launches the delegate with the hardware's camera and waits for it to know the scanner.
  void launchWith(const app::ProgramHardware& hardware) {
    launch();
    hardware.attachCamera(*delegate_);
    ASSERT_TRUE(advanceUntil([&] { return delegate_->deviceInterpreter() != nullptr; }));
    ASSERT_NE(delegate_->captureSession(), nullptr);
  }
  // The program's hardware under --simulator (the emulator at the manual clock's pace), plugged in.
  void plugInTheSimulator() {
    app::ProgramHardware::Options options;
    options.simulator = true;
    options.simulatorFolder = simFolder();
    options.instantSimulator = true;
    hardware_ = app::ProgramHardware::create(options);
    ASSERT_TRUE(waitFor([&] { return hasPort(hardware_->simulatedScannerPath()); }));
    camera = std::dynamic_pointer_cast<sim::SyntheticCamera>(hardware_->cameraBackend());
    ASSERT_NE(camera, nullptr);
  }
  // The same, launched.
  void launchOnTheSimulator() {
    ASSERT_NO_FATAL_FAILURE(plugInTheSimulator());
    launchWith(*hardware_);
  }
  void disconnect() {
    bool done = false;
    delegate_->disconnectFromScanner([&] { done = true; }, [&](const Error&) { done = true; });
    advanceUntil([&] { return done; });
  }
  std::unique_ptr<app::ProgramHardware> hardware_;
  std::shared_ptr<sim::SyntheticCamera> camera;

  void TearDown() override {
    if (delegate_) disconnect();
  }
};

TEST_F(ProgramHardwareTest, TheSimulatorsJobsSeeItsOwnScannerThroughTheSyntheticCamera) {
  ASSERT_NO_FATAL_FAILURE(launchOnTheSimulator());
  ASSERT_TRUE(hardware_->isSimulated());

  Error error;
  ASSERT_TRUE(delegate_->connectToScanner(&error)) << error.text();
  auto& session = *delegate_->captureSession();
  Request dark, lit;
  request(session, dark);
  ASSERT_TRUE(advanceUntil([&] { return dark.ended(); }, 1.0 / 30.0, 200));
  ASSERT_FALSE(dark.error) << dark.error->text();
  ASSERT_EQ(dark.frames.front()->size(), QVLCameraCaptureSession::kFrameLength);

  // The camera shows what the emulated scanner does: its laser, switched on through the delegate.
  bool on = false;
  delegate_->deviceInterpreter()->enableLaser1([&] { on = true; }, {});
  ASSERT_TRUE(advanceUntil([&] { return on; }));
  request(session, lit);
  ASSERT_TRUE(advanceUntil([&] { return lit.ended(); }, 1.0 / 30.0, 200));
  ASSERT_FALSE(lit.error) << lit.error->text();
  EXPECT_GT(redSum(*lit.frames.front()), redSum(*dark.frames.front()) + 100000);
  EXPECT_GE(camera->framesCopied(), 2u);
}

TEST_F(ProgramHardwareTest, TheSimulatedBedCarriesTheChosenTargetOnlyWhileACalibrationPassRuns) {
  ASSERT_NO_FATAL_FAILURE(launchOnTheSimulator());
  // Lit as the calibration lights its board frames.
  for (auto [id, value] : {std::pair{V4L2_CID_EXPOSURE_AUTO, int(V4L2_EXPOSURE_MANUAL)}, {V4L2_CID_EXPOSURE_ABSOLUTE, 500}}) {
    v4l2_control control{static_cast<__u32>(id), value};
    ASSERT_EQ(camera->controls()->ioctl(camera->controls()->open(sim::SyntheticControls::kNodePath), VIDIOC_S_CTRL, &control), 0);
  }
  // The height of the board's corners in the picture: the card's stand holds its board higher.
  // Seen from where the pass takes its first views, whatever the running pass has moved since.
  sim::ScannerPose firstViews;
  firstViews.headHeight_mm = 25.0;
  auto boardTop = [&]() -> std::optional<double> {
    CornerList2f corners;
    if (!FindCheckerboardCorners(*camera->takeFrame(firstViews), &corners)) return std::nullopt;
    return std::min_element(corners.begin(), corners.end(), [](auto& a, auto& b) { return a.y < b.y; })->y;
  };
  EXPECT_FALSE(boardTop()) << "no target before a calibration";

  std::optional<double> top[2];
  for (int device : {QVLCalibration::kBoxDevice, QVLCalibration::kCardDevice}) {
    // The head where the calibration takes its first views.
    Error error;
    ASSERT_TRUE(delegate_->connectToScanner(&error)) << error.text();
    bool moved = false;
    delegate_->deviceInterpreter()->home([&] {
      delegate_->deviceInterpreter()->moveCameraByMillimeters(25.0f, [&] { moved = true; }, {});
    }, {});
    ASSERT_TRUE(advanceUntil([&] { return moved; }));
    bool ended = false;
    delegate_->startFirstPassCalibrationForViewController(
        device, [&] { ended = true; }, {}, [&](const Error&) { ended = true; });
    top[device == QVLCalibration::kCardDevice] = boardTop();
    delegate_->cancelScannerCalibrationForViewController();
    ASSERT_TRUE(advanceUntil([&] { return ended; }));
    EXPECT_FALSE(boardTop()) << "the target goes with the calibration, device " << device;
  }
  ASSERT_TRUE(top[0] && top[1]) << "the wizard's pass sees its target";
  EXPECT_LT(*top[1], *top[0] - 20.0);
}

// A calibration saved into the simulated scanner is there at the next launch, as a real scanner
// keeps it across power cycles; a memory the scanner cannot read leaves it uncalibrated and is
// kept aside, never in the way.
TEST_F(ProgramHardwareTest, TheSimulatedScannerKeepsItsCalibrationFromOneLaunchToTheNext) {
  namespace fs = std::filesystem;
  const fs::path memory = paths::stateHome() / "quorvel-sim";
  fs::remove_all(memory);
  fs::create_directories(memory);
  struct Forget {
    fs::path folder;
    ~Forget() { std::error_code ec; fs::remove_all(folder, ec); }
  } forget{memory};  // the other tests' simulated scanners start as they left the factory
  std::ofstream(memory / "scanner-memory.json") << R"({"calibration": {"BEDX": )";
  CapturedLog log;
  ASSERT_NO_FATAL_FAILURE(launchOnTheSimulator());
  EXPECT_FALSE(delegate_->isCalibrated());
  EXPECT_TRUE(log.contains("scanner-memory.json cannot be read")) << log.text();
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(memory)) files.push_back(entry.path().filename().string());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].rfind("scanner-memory.json.corrupt-", 0), 0u) << files[0];

  Error error;
  ASSERT_TRUE(delegate_->connectToScanner(&error)) << error.text();
  std::optional<Error> failure;
  bool saved = false;
  delegate_->saveCalibration(goodCalibration(), [&] { saved = true; }, [&](const Error& e) { saved = true, failure = e; });
  ASSERT_TRUE(advanceUntil([&] { return saved; }));
  ASSERT_FALSE(failure) << failure->text();

  // The program ends, and the next launch's scanner is read afresh.
  disconnect();
  hardware_.reset();
  ASSERT_TRUE(advanceUntil([&] { return !delegate_->deviceInterpreter(); }));
  ASSERT_NO_FATAL_FAILURE(plugInTheSimulator());
  ASSERT_TRUE(advanceUntil([&] { return delegate_->deviceInterpreter() != nullptr; }));
  EXPECT_TRUE(delegate_->isCalibrated());
  ASSERT_TRUE(delegate_->calibrationDetails());
  EXPECT_FLOAT_EQ(delegate_->calibrationDetails()->bedOriginZ(), -300.0f);
}

TEST_F(ProgramHardwareTest, ARealScannersCameraIsFoundByItsUsbIdentityAndItsLossIsAnError) {
  auto video = std::make_shared<FakeV4L2Device>();
  // A laptop's own camera first, then the scanner's capture node and its metadata node.
  const V4L2Io::Node webcam{"/dev/video0", "Integrated Camera", 0x04f2, 0xb6dd, 0};
  video->nodes = {webcam,
                  {"/dev/video2", "UVC Camera (046d:0825)", 1133, 2085, 0},
                  {"/dev/video3", "UVC Camera (046d:0825)", 1133, 2085, 1}};
  video->formats = {{V4L2_PIX_FMT_MJPEG, {{1280, 960}}}, {V4L2_PIX_FMT_YUYV, {{640, 480}, {1280, 960}}}};
  video->controls[V4L2_CID_EXPOSURE_AUTO] = {0, 3, 1, V4L2_EXPOSURE_APERTURE_PRIORITY, V4L2_CTRL_TYPE_MENU};
  video->controls[V4L2_CID_EXPOSURE_ABSOLUTE] = {3, 2047, 1, 250};
  video->controls[V4L2_CID_GAIN] = {0, 255, 1, 64};
  app::ProgramHardware::Options options;
  options.videoDevices = video;
  const auto hardware = app::ProgramHardware::create(options);
  ASSERT_FALSE(hardware->isSimulated());
  EXPECT_EQ(hardware->simulatedScannerPath(), "");
  plugScanner();
  launchWith(*hardware);

  Error error;
  ASSERT_TRUE(delegate_->connectToScanner(&error)) << error.text();
  // Streaming runs on the scanner's capture node, uncompressed at the full size.
  const auto opened = video->openedPaths();
  ASSERT_FALSE(opened.empty());
  EXPECT_EQ(opened.back(), "/dev/video2");
  EXPECT_EQ(video->format(), static_cast<std::uint32_t>(V4L2_PIX_FMT_YUYV));
  EXPECT_EQ(video->width(), 1280);
  auto& session = *delegate_->captureSession();
  Request first;
  request(session, first);
  std::vector<std::uint8_t> yuyv(1280 * 960 * 2, 128);
  ASSERT_TRUE(waitFor([&] { return first.ended() || (video->pushFrame(yuyv), false); }));
  ASSERT_FALSE(first.error) << first.error->text();
  EXPECT_EQ(first.frames.front()->size(), QVLCameraCaptureSession::kFrameLength);

  // Pulled out while a frame is asked for: the request ends with 8 and the camera is let go.
  Request pending;
  request(session, pending);
  video->unplug();
  ASSERT_TRUE(waitFor([&] { return pending.ended(); }));
  ASSERT_TRUE(pending.error);
  EXPECT_EQ(pending.error->code, 8);
  ASSERT_TRUE(waitFor([&] { return !session.isConnected(); }));

  // With it gone, the next job is told there is no camera.
  video->nodes = {webcam};
  EXPECT_FALSE(delegate_->connectToScanner(&error));
  EXPECT_EQ(error.code, 7);
  EXPECT_NE(error.description.find("camera"), std::string::npos) << error.description;
}

}  // namespace
}  // namespace qv::test
