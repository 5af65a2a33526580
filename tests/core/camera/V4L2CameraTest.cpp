// The camera on V4L2 against a scripted device: the control table's bytes (masking, sign, the
// exposure modes), the one-shot control failure, a camera that is not there; format negotiation,
// YUYV and Motion-JPEG frames into exact BGRA bytes, the newest-frame hand-over and unplugging.
#include <gtest/gtest.h>

#include <atomic>
#include <opencv2/imgcodecs.hpp>

#include "FakeV4L2Device.h"
#include "core/camera/FrameConversion.h"
#include "core/camera/UVCCameraControl.h"
#include "core/camera/V4L2CaptureDevice.h"
#include "platform/Queue.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"

namespace qv::test {
namespace {

constexpr int kVendor = 1133, kProduct = 2085;

class V4L2CameraTest : public ::testing::Test {
protected:
  V4L2CameraTest() : settings_(folder_.path() / "Settings.json") {
    device_ = std::make_shared<FakeV4L2Device>();
    device_->nodes = {{"/dev/video3", "UVC Camera (046d:0825)", kVendor, kProduct, 0},
                      {"/dev/video4", "UVC Camera (046d:0825)", kVendor, kProduct, 1}};
    auto& c = device_->controls;
    c[V4L2_CID_EXPOSURE_AUTO] = {0, 3, 1, V4L2_EXPOSURE_APERTURE_PRIORITY, V4L2_CTRL_TYPE_MENU};
    c[V4L2_CID_EXPOSURE_ABSOLUTE] = {3, 2047, 2, 250};
    c[V4L2_CID_BRIGHTNESS] = {-64, 64, 1, -10};
    c[V4L2_CID_CONTRAST] = {0, 95, 1, 32};
    c[V4L2_CID_WHITE_BALANCE_TEMPERATURE] = {2800, 6500, 10, 4600};
    c[V4L2_CID_AUTO_WHITE_BALANCE] = {0, 1, 1, 1, V4L2_CTRL_TYPE_BOOLEAN};
  }

  std::int32_t lastWrite(std::uint32_t id) const {
    const auto writes = device_->controlWrites();
    for (auto it = writes.rbegin(); it != writes.rend(); ++it)
      if (it->first == id) return it->second;
    ADD_FAILURE() << "no write to control " << id;
    return 0;
  }

  TempFolder folder_;
  Settings settings_;
  std::shared_ptr<FakeV4L2Device> device_;
};

TEST_F(V4L2CameraTest, ControlsKeepTheCamerasBytesAndTheirSize) {
  UVCCameraControl control(kVendor, kProduct, device_, settings_);
  EXPECT_EQ(control.interface(), "/dev/video3");  // the capture node, not the metadata one

  // A 16-bit -10 fills two bytes and is not sign-extended; the caller's upper bytes stay.
  std::int32_t value = 0;
  ASSERT_TRUE(control.getBrightness(&value));
  EXPECT_EQ(value, 65536 - 10);
  value = 0x7F000000;
  ASSERT_TRUE(control.getBrightness(&value));
  EXPECT_EQ(value, 0x7F00FFF6);
  value = 0;
  ASSERT_TRUE(control.getMinBrightness(&value));
  EXPECT_EQ(value, 65536 - 64);

  // Writes send the low bytes, read back by the camera with the control's own sign.
  ASSERT_TRUE(control.setBrightness(-10));
  EXPECT_EQ(lastWrite(V4L2_CID_BRIGHTNESS), -10);
  ASSERT_TRUE(control.setBrightness(65536 + 5));
  EXPECT_EQ(lastWrite(V4L2_CID_BRIGHTNESS), 5);
  ASSERT_TRUE(control.setContrast(-1));  // an unsigned control takes 0xFFFF
  EXPECT_EQ(lastWrite(V4L2_CID_CONTRAST), 65535);
  ASSERT_TRUE(control.setWhiteBalance(70000));  // only the low two bytes go out
  EXPECT_EQ(lastWrite(V4L2_CID_WHITE_BALANCE_TEMPERATURE), 70000 - 65536);

  // Exposure: four bytes, its step is the resolution, its range the camera's.
  ASSERT_TRUE(control.setExposure(100000));
  EXPECT_EQ(lastWrite(V4L2_CID_EXPOSURE_ABSOLUTE), 100000);
  value = 0;
  ASSERT_TRUE(control.getExposureInterval(&value));
  EXPECT_EQ(value, 2);
  ASSERT_TRUE(control.getMaxExposure(&value));
  EXPECT_EQ(value, 2047);

  // The class's exposure modes are bits: 1 manual, 8 aperture priority.
  ASSERT_TRUE(control.setAutoExposure(false));
  EXPECT_EQ(lastWrite(V4L2_CID_EXPOSURE_AUTO), V4L2_EXPOSURE_MANUAL);
  ASSERT_TRUE(control.setAutoExposure(true));
  EXPECT_EQ(lastWrite(V4L2_CID_EXPOSURE_AUTO), V4L2_EXPOSURE_APERTURE_PRIORITY);

  // One byte of automatic white balance; a null pointer only reports the read.
  bool automatic = false;
  ASSERT_TRUE(control.getAutoWhiteBalance(&automatic));
  EXPECT_TRUE(automatic);
  device_->controls[V4L2_CID_AUTO_WHITE_BALANCE].value = 2;  // not 1: not on
  ASSERT_TRUE(control.getAutoWhiteBalance(&automatic));
  EXPECT_FALSE(automatic);
  EXPECT_TRUE(control.getAutoWhiteBalance(nullptr));

  // A control the camera lacks fails like a stalled request.
  EXPECT_FALSE(control.getGain(&value));
  EXPECT_EQ(device_->openDescriptors(), 0);  // every request closed its node
}

TEST_F(V4L2CameraTest, SimulatedFailureFailsOneRequestWithoutReachingTheCamera) {
  UVCCameraControl control(kVendor, kProduct, device_, settings_);
  settings_.setValue("SimulateCameraControlFailure", true);
  const int opens = device_->opens();
  EXPECT_FALSE(control.setExposure(40));
  EXPECT_EQ(device_->opens(), opens);
  EXPECT_FALSE(settings_.boolForKey("SimulateCameraControlFailure"));
  EXPECT_TRUE(control.setExposure(40));
  EXPECT_EQ(lastWrite(V4L2_CID_EXPOSURE_ABSOLUTE), 40);
}

TEST_F(V4L2CameraTest, ACameraNotFoundAnswersNoEvenOnceItIsPluggedIn) {
  const auto nodes = device_->nodes;
  device_->nodes.clear();
  UVCCameraControl control(kVendor, kProduct, device_, settings_);
  device_->nodes = nodes;
  std::int32_t value = 0;
  EXPECT_FALSE(control.getExposure(&value));
  EXPECT_FALSE(control.setAutoExposure(false));
  EXPECT_EQ(device_->opens(), 0);
}

// ---- capture ----

class Frames {
public:
  CaptureDevice::SampleHandler handler() {
    return [this](const std::shared_ptr<const CameraSampleBuffer>& sample) {
      auto data = sample->copyImageData();
      std::lock_guard lock(mutex_);
      frames_.push_back(data);
    };
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return frames_.size();
  }
  SharedData last() const {
    std::lock_guard lock(mutex_);
    return frames_.empty() ? nullptr : frames_.back();
  }

private:
  mutable std::mutex mutex_;
  std::vector<SharedData> frames_;
};

TEST_F(V4L2CameraTest, NegotiatesTheFullFrameUncompressedFirst) {
  struct Case {
    std::vector<std::pair<std::uint32_t, std::vector<std::pair<int, int>>>> offered;
    bool bgra;
    std::uint32_t chosen;
    int width;
  };
  const Case cases[] = {
      // YUYV is preferred even where Motion-JPEG also has the size.
      {{{V4L2_PIX_FMT_MJPEG, {{1280, 960}}}, {V4L2_PIX_FMT_YUYV, {{640, 480}, {1280, 960}}}}, true, V4L2_PIX_FMT_YUYV, 1280},
      // Only Motion-JPEG has the full frame.
      {{{V4L2_PIX_FMT_YUYV, {{640, 480}}}, {V4L2_PIX_FMT_MJPEG, {{1280, 960}}}}, true, V4L2_PIX_FMT_MJPEG, 1280},
      // Nothing has it: the driver's nearest size, whose frames will not be accepted.
      {{{V4L2_PIX_FMT_YUYV, {{640, 480}}}}, true, V4L2_PIX_FMT_YUYV, 640},
      // Nothing convertible: the camera's own format, untouched.
      {{{V4L2_PIX_FMT_NV12, {{1280, 960}}}}, false, V4L2_PIX_FMT_YUYV, 640},
  };
  for (const auto& c : cases) {
    device_->formats = c.offered;
    V4L2CaptureDevice camera(device_, device_->nodes[0]);
    Error error;
    ASSERT_TRUE(camera.open(&error)) << error.text();
    EXPECT_EQ(camera.availablePixelFormats().size(), c.bgra ? 1u : 0u);
    if (c.bgra) camera.setVideoSettings(kPixelFormatBGRA, 1280, 960);
    Frames frames;
    ASSERT_TRUE(camera.startRunning(makeSerialQueue("delivery"), frames.handler(), {}, &error)) << error.text();
    EXPECT_EQ(camera.sourceFormat(), c.chosen);
    EXPECT_EQ(camera.width(), c.width);
    EXPECT_TRUE(device_->streaming());
    camera.stopRunning();
    EXPECT_FALSE(device_->streaming());
    EXPECT_EQ(device_->openDescriptors(), 0);
  }
}

TEST(FrameConversion, YUYVBecomesStudioRangeBGRAWithOpaqueAlpha) {
  // Two pixel pairs: black and white sharing neutral chroma, then a pure red pair.
  // Rows of 10 bytes, the last two padding the converter must skip; the second row is mid grey.
  const std::uint8_t yuyv[] = {16, 128, 235, 128, 81, 90, 81, 240, 0xEE, 0xEE,
                               126, 128, 126, 128, 126, 128, 126, 128, 0xEE, 0xEE};
  std::uint8_t bgra[2 * 4 * 4];
  convertYUYVToBGRA(yuyv, 4, 2, 10, bgra);
  const std::uint8_t expected[] = {0, 0, 0, 255, 255, 255, 255, 255, 0, 0, 255, 255, 0, 0, 255, 255,
                                   128, 128, 128, 255, 128, 128, 128, 255, 128, 128, 128, 255, 128, 128, 128, 255};
  EXPECT_EQ(std::vector<std::uint8_t>(bgra, bgra + sizeof bgra), std::vector<std::uint8_t>(expected, expected + sizeof expected));
}

TEST(FrameConversion, MotionJPEGDecodesToExactGreysRowsFromTheTop) {
  // Flat 16 x 16 blocks of grey decode exactly whatever the decoder's rounding.
  cv::Mat image(960, 1280, CV_8UC3);
  for (int y = 0; y < 960; ++y)
    for (int x = 0; x < 1280; ++x) image.at<cv::Vec3b>(y, x) = cv::Vec3b::all(static_cast<std::uint8_t>(((y / 16) * 7 + (x / 16) * 3) % 256));
  std::vector<std::uint8_t> jpeg;
  ASSERT_TRUE(cv::imencode(".jpg", image, jpeg, {cv::IMWRITE_JPEG_QUALITY, 100}));
  const auto frame = decodeMJPEGToBGRA(jpeg.data(), jpeg.size(), 1280, 960);
  ASSERT_TRUE(frame);
  ASSERT_EQ(frame->size(), 4915200u);
  for (const auto& [x, y] : {std::pair{0, 0}, {20, 0}, {0, 17}, {1279, 959}, {640, 480}}) {
    const std::uint8_t grey = static_cast<std::uint8_t>(((y / 16) * 7 + (x / 16) * 3) % 256);
    const std::uint8_t* p = frame->data() + (static_cast<std::size_t>(y) * 1280 + x) * 4;
    EXPECT_EQ(std::vector<int>(p, p + 4), (std::vector<int>{grey, grey, grey, 255})) << x << "," << y;
  }
  EXPECT_FALSE(decodeMJPEGToBGRA(jpeg.data(), jpeg.size() / 2, 1280, 960));  // cut off
  EXPECT_FALSE(decodeMJPEGToBGRA(jpeg.data(), jpeg.size(), 640, 480));     // not the size agreed
}

TEST_F(V4L2CameraTest, StreamsConvertedFramesAndReportsUnplugging) {
  device_->formats = {{V4L2_PIX_FMT_YUYV, {{1280, 960}}}};
  V4L2CaptureDevice camera(device_, device_->nodes[0]);
  Error error;
  ASSERT_TRUE(camera.open(&error));
  camera.setVideoSettings(kPixelFormatBGRA, 1280, 960);
  Frames frames;
  std::atomic<int> errors{0};
  std::atomic<int> code{0};
  ASSERT_TRUE(camera.startRunning(
      makeSerialQueue("delivery"), frames.handler(),
      [&](const Error& e) {
        code = e.code;
        ++errors;
      },
      &error));

  std::vector<std::uint8_t> yuyv(1280 * 960 * 2);
  for (std::size_t i = 0; i < yuyv.size(); i += 4) {
    yuyv[i] = 235;
    yuyv[i + 1] = 128;
    yuyv[i + 2] = 16;
    yuyv[i + 3] = 128;
  }
  ASSERT_TRUE(device_->pushFrame(yuyv));
  ASSERT_TRUE(waitFor([&] { return frames.count() == 1; }));
  const auto frame = frames.last();
  ASSERT_TRUE(frame);
  ASSERT_EQ(frame->size(), 4915200u);
  EXPECT_EQ(std::vector<int>(frame->begin(), frame->begin() + 8), (std::vector<int>{255, 255, 255, 255, 0, 0, 0, 255}));

  // A frame cut short cannot be converted honestly.
  ASSERT_TRUE(device_->pushFrame(std::vector<std::uint8_t>(1000, 16)));
  ASSERT_TRUE(waitFor([&] { return frames.count() == 2; }));
  EXPECT_EQ(frames.last(), nullptr);

  device_->unplug();
  ASSERT_TRUE(waitFor([&] { return errors > 0; }));
  EXPECT_EQ(code, ENODEV);
  camera.stopRunning();
  EXPECT_EQ(errors, 1);
}

TEST_F(V4L2CameraTest, ACameraThatFallsSilentIsReportedDead) {
  device_->formats = {{V4L2_PIX_FMT_YUYV, {{1280, 960}}}};
  V4L2CaptureOptions options;
  options.stallTimeout = std::chrono::milliseconds(30);
  V4L2CaptureDevice camera(device_, device_->nodes[0], options);
  Error error;
  ASSERT_TRUE(camera.open(&error));
  Frames frames;
  std::atomic<int> code{0};
  ASSERT_TRUE(camera.startRunning(makeSerialQueue("delivery"), frames.handler(), [&](const Error& e) { code = e.code; }, &error));
  ASSERT_TRUE(waitFor([&] { return code != 0; }));
  EXPECT_EQ(code, ETIMEDOUT);
  camera.stopRunning();
}

}  // namespace
}  // namespace qv::test
