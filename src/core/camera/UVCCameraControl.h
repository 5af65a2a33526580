// The scanner camera's image controls (exposure, white balance, gain and the picture controls) as
// the USB video class defines them, carried over the kernel's V4L2 controls.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/camera/V4L2Io.h"
#include "platform/Settings.h"

// A control of the camera: the unit that owns it, its selector within the unit, its size in bytes.
struct UVCControlInfo {
  std::int32_t unit;
  std::int32_t selector;
  std::int32_t size;
};

// The class-specific control request as the camera receives it.
struct UVCDeviceRequest {
  std::uint8_t bmRequestType = 0;
  std::uint8_t bRequest = 0;
  std::uint16_t wValue = 0;
  std::uint16_t wIndex = 0;
  std::uint16_t wLength = 0;
  void* pData = nullptr;
  std::uint32_t wLenDone = 0;
};

namespace uvc {
// The camera's input terminal is unit 1, its processing unit unit 2.
inline constexpr UVCControlInfo kAutoExposureMode{1, 2, 1};
inline constexpr UVCControlInfo kExposureTime{1, 4, 4};  // in 0.1 ms
inline constexpr UVCControlInfo kBrightness{2, 2, 2};
inline constexpr UVCControlInfo kContrast{2, 3, 2};
inline constexpr UVCControlInfo kGain{2, 4, 2};
inline constexpr UVCControlInfo kSaturation{2, 7, 2};
inline constexpr UVCControlInfo kSharpness{2, 8, 2};
inline constexpr UVCControlInfo kWhiteBalanceTemperature{2, 10, 2};
inline constexpr UVCControlInfo kAutoWhiteBalance{2, 11, 1};

inline constexpr std::uint8_t kRequestTypeGet = 0xA1;  // class request to an interface, device to host
inline constexpr std::uint8_t kRequestTypeSet = 0x21;  // class request to an interface, host to device
inline constexpr std::uint8_t kSetCurrent = 0x01;
inline constexpr std::uint8_t kGetCurrent = 0x81;
inline constexpr std::uint8_t kGetMinimum = 0x82;
inline constexpr std::uint8_t kGetMaximum = 0x83;
inline constexpr std::uint8_t kGetResolution = 0x84;

// Automatic exposure modes (a bitmap value each).
inline constexpr std::int64_t kAutoExposureManual = 1;
inline constexpr std::int64_t kAutoExposureAperturePriority = 8;

// The V4L2 control standing for a unit's selector, or nothing when V4L2 has none.
std::optional<std::uint32_t> v4l2ControlFor(int unit, int selector);
}  // namespace uvc

// Every value crosses this class as the camera's own integer, unscaled and unclamped. A read fills
// only the control's size in bytes, little-endian, at the low end of the caller's integer and
// leaves the rest as it was (so a 1- or 2-byte value is not sign-extended); a write sends the low
// bytes of the value. Each request opens the camera's node, carries out one V4L2 control call and
// closes it again. Not thread-safe; it runs on the caller's thread.
class UVCCameraControl {
public:
  // Finds the camera by its USB identity among the video nodes. The object is made even when none
  // is found; every request then fails, even if the camera is plugged in later.
  UVCCameraControl(std::int64_t vendorID, std::int64_t productID,
                   std::shared_ptr<qv::V4L2Io> io = qv::V4L2Io::system(),
                   qv::Settings& settings = qv::Settings::standard());

  // The node the requests go to; empty when the camera was not found.
  const std::string& interface() const { return interface_; }

  bool setAutoExposure(bool enabled);  // true: aperture priority (8); false: manual (1)
  bool getExposure(std::int32_t* value);
  bool setExposure(std::int32_t value);
  bool getExposureInterval(std::int32_t* value);
  bool getMinExposure(std::int32_t* value);
  bool getMaxExposure(std::int32_t* value);
  bool getBrightness(std::int32_t* value);
  bool setBrightness(std::int32_t value);
  bool getMinBrightness(std::int32_t* value);
  bool getMaxBrightness(std::int32_t* value);
  bool getContrast(std::int32_t* value);
  bool setContrast(std::int32_t value);
  bool getMinContrast(std::int32_t* value);
  bool getMaxContrast(std::int32_t* value);
  bool getGain(std::int32_t* value);
  bool setGain(std::int32_t value);
  bool getMinGain(std::int32_t* value);
  bool getMaxGain(std::int32_t* value);
  bool getSaturation(std::int32_t* value);
  bool setSaturation(std::int32_t value);
  bool getMinSaturation(std::int32_t* value);
  bool getMaxSaturation(std::int32_t* value);
  bool getSharpness(std::int32_t* value);
  bool setSharpness(std::int32_t value);
  bool getMinSharpness(std::int32_t* value);
  bool getMaxSharpness(std::int32_t* value);
  bool getWhiteBalance(std::int32_t* value);
  bool setWhiteBalance(std::int32_t value);
  bool setAutoWhiteBalance(bool enabled);
  // Stores true exactly when the camera reports 1; a null pointer only reports the read.
  bool getAutoWhiteBalance(bool* enabled);

  bool getValue(std::int32_t* value, const UVCControlInfo& control);
  bool getMinValue(std::int32_t* value, const UVCControlInfo& control);
  bool getMaxValue(std::int32_t* value, const UVCControlInfo& control);
  bool getInterval(std::int32_t* value, const UVCControlInfo& control);
  bool setValue(std::int32_t value, const UVCControlInfo& control);

  // A request with the "SimulateCameraControlFailure" setting on fails without reaching the
  // camera and turns the setting off.
  bool getData(std::int32_t* value, std::uint8_t request, int length, int selector, int unit);
  bool setData(std::int64_t value, int length, int selector, int unit);
  bool sendControlRequest(UVCDeviceRequest& request);

private:
  bool consumeSimulatedFailure();

  std::shared_ptr<qv::V4L2Io> io_;
  qv::Settings& settings_;
  std::string interface_;
};
