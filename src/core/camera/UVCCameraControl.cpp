// The USB video class control table carried over V4L2 controls, byte for byte as the camera sees it.
#include "core/camera/UVCCameraControl.h"

#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>

#include "platform/Log.h"

namespace uvc {

std::optional<std::uint32_t> v4l2ControlFor(int unit, int selector) {
  if (unit == 1 && selector == 2) return V4L2_CID_EXPOSURE_AUTO;
  if (unit == 1 && selector == 4) return V4L2_CID_EXPOSURE_ABSOLUTE;
  if (unit != 2) return std::nullopt;
  switch (selector) {
    case 2: return V4L2_CID_BRIGHTNESS;
    case 3: return V4L2_CID_CONTRAST;
    case 4: return V4L2_CID_GAIN;
    case 7: return V4L2_CID_SATURATION;
    case 8: return V4L2_CID_SHARPNESS;
    case 10: return V4L2_CID_WHITE_BALANCE_TEMPERATURE;
    case 11: return V4L2_CID_AUTO_WHITE_BALANCE;
    default: return std::nullopt;
  }
}

}  // namespace uvc

namespace {

constexpr const char* kSimulateFailureKey = "SimulateCameraControlFailure";

// The camera's automatic-exposure modes are bits; V4L2 numbers them as a menu.
constexpr std::pair<std::int64_t, std::int32_t> kExposureModes[] = {
    {1, V4L2_EXPOSURE_MANUAL}, {2, V4L2_EXPOSURE_AUTO},
    {4, V4L2_EXPOSURE_SHUTTER_PRIORITY}, {8, V4L2_EXPOSURE_APERTURE_PRIORITY}};

std::int64_t modeBitsForMenu(std::int64_t menu) {
  for (const auto& [bits, index] : kExposureModes)
    if (index == menu) return bits;
  return 0;
}

std::optional<std::int32_t> menuForModeBits(std::int64_t bits) {
  for (const auto& [b, index] : kExposureModes)
    if (b == bits) return index;
  return std::nullopt;
}

// Carries out one request on an open node: 0 or -errno, as a stalled control pipe would refuse it.
int carryOut(qv::V4L2Io& io, int fd, UVCDeviceRequest& request) {
  const int unit = request.wIndex >> 8;
  const int selector = request.wValue >> 8;
  const auto id = uvc::v4l2ControlFor(unit, selector);
  if (!id || request.wLength == 0 || request.wLength > 4 || !request.pData) return -EINVAL;
  const bool isMode = *id == V4L2_CID_EXPOSURE_AUTO;

  v4l2_queryctrl query{};
  query.id = *id;
  if (const int r = io.ioctl(fd, VIDIOC_QUERYCTRL, &query); r != 0) return r;
  if (query.flags & V4L2_CTRL_FLAG_DISABLED) return -EINVAL;
  auto* bytes = static_cast<std::uint8_t*>(request.pData);

  if (request.bmRequestType == uvc::kRequestTypeSet && request.bRequest == uvc::kSetCurrent) {
    std::uint64_t raw = 0;
    for (int i = 0; i < request.wLength; ++i) raw |= std::uint64_t{bytes[i]} << (8 * i);
    // What the camera makes of the bytes: a signed control (one whose range goes below zero)
    // reads its top bit as the sign; a four-byte value is the 32-bit integer itself.
    const int bits = 8 * request.wLength;
    std::int64_t value = static_cast<std::int64_t>(raw);
    if (bits == 32) value = static_cast<std::int32_t>(static_cast<std::uint32_t>(raw));
    else if (query.minimum < 0 && ((raw >> (bits - 1)) & 1) != 0)
      value = static_cast<std::int64_t>(raw | (~std::uint64_t{0} << bits));
    if (isMode) {
      const auto menu = menuForModeBits(value);
      if (!menu) return -EINVAL;
      value = *menu;
    }
    v4l2_control control{};
    control.id = *id;
    control.value = static_cast<std::int32_t>(value);
    return io.ioctl(fd, VIDIOC_S_CTRL, &control);
  }
  if (request.bmRequestType != uvc::kRequestTypeGet) return -EINVAL;

  std::int64_t value = 0;
  switch (request.bRequest) {
    case uvc::kGetCurrent: {
      v4l2_control control{};
      control.id = *id;
      if (const int r = io.ioctl(fd, VIDIOC_G_CTRL, &control); r != 0) return r;
      value = isMode ? modeBitsForMenu(control.value) : control.value;
      break;
    }
    case uvc::kGetMinimum: value = isMode ? modeBitsForMenu(query.minimum) : query.minimum; break;
    case uvc::kGetMaximum: value = isMode ? modeBitsForMenu(query.maximum) : query.maximum; break;
    case uvc::kGetResolution:
      if (isMode) {
        // The resolution of the mode control is the set of modes the camera offers.
        for (std::int32_t m = query.minimum; m <= query.maximum; ++m) value |= modeBitsForMenu(m);
      } else {
        value = query.step;
      }
      break;
    default: return -EINVAL;
  }
  const auto bits = static_cast<std::uint32_t>(value);
  for (int i = 0; i < request.wLength; ++i) bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  request.wLenDone = request.wLength;
  return 0;
}

}  // namespace

UVCCameraControl::UVCCameraControl(std::int64_t vendorID, std::int64_t productID, std::shared_ptr<qv::V4L2Io> io,
                                   qv::Settings& settings)
    : io_(std::move(io)), settings_(settings) {
  for (const auto& node : io_->videoNodes()) {
    if (node.vendorID == vendorID && node.productID == productID && node.index == 0) {
      interface_ = node.path;
      break;
    }
  }
  if (interface_.empty())
    QVLogWarn("CameraControl Error: no video node for the USB camera %04llx:%04llx.",
              static_cast<long long>(vendorID), static_cast<long long>(productID));
}

bool UVCCameraControl::consumeSimulatedFailure() {
  if (!settings_.boolForKey(kSimulateFailureKey)) return false;
  settings_.setValue(kSimulateFailureKey, false);
  return true;
}

bool UVCCameraControl::getData(std::int32_t* value, std::uint8_t request, int length, int selector, int unit) {
  if (consumeSimulatedFailure()) return false;
  UVCDeviceRequest r;
  r.bmRequestType = uvc::kRequestTypeGet;
  r.bRequest = request;
  r.wValue = static_cast<std::uint16_t>(selector << 8);
  r.wIndex = static_cast<std::uint16_t>(unit << 8);
  r.wLength = static_cast<std::uint16_t>(length);
  r.pData = value;
  return sendControlRequest(r);
}

bool UVCCameraControl::setData(std::int64_t value, int length, int selector, int unit) {
  if (consumeSimulatedFailure()) return false;
  std::uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i));
  UVCDeviceRequest r;
  r.bmRequestType = uvc::kRequestTypeSet;
  r.bRequest = uvc::kSetCurrent;
  r.wValue = static_cast<std::uint16_t>(selector << 8);
  r.wIndex = static_cast<std::uint16_t>(unit << 8);
  r.wLength = static_cast<std::uint16_t>(length);
  r.pData = bytes;
  return sendControlRequest(r);
}

bool UVCCameraControl::sendControlRequest(UVCDeviceRequest& request) {
  if (interface_.empty()) {
    QVLogWarn("CameraControl Error: No interface to send request");
    return false;
  }
  const int fd = io_->open(interface_);
  if (fd < 0) {
    QVLogWarn("CameraControl Error: Unable to open interface (%08x)\n", static_cast<unsigned>(-fd));
    return false;
  }
  const int result = carryOut(*io_, fd, request);
  io_->close(fd);
  if (result != 0) {
    QVLogWarn("CameraControl Error: Control request failed: %08x", static_cast<unsigned>(-result));
    return false;
  }
  return true;
}

bool UVCCameraControl::getValue(std::int32_t* value, const UVCControlInfo& c) {
  return getData(value, uvc::kGetCurrent, c.size, c.selector, c.unit);
}
bool UVCCameraControl::getMinValue(std::int32_t* value, const UVCControlInfo& c) {
  return getData(value, uvc::kGetMinimum, c.size, c.selector, c.unit);
}
bool UVCCameraControl::getMaxValue(std::int32_t* value, const UVCControlInfo& c) {
  return getData(value, uvc::kGetMaximum, c.size, c.selector, c.unit);
}
bool UVCCameraControl::getInterval(std::int32_t* value, const UVCControlInfo& c) {
  return getData(value, uvc::kGetResolution, c.size, c.selector, c.unit);
}
bool UVCCameraControl::setValue(std::int32_t value, const UVCControlInfo& c) {
  return setData(static_cast<std::int64_t>(value), c.size, c.selector, c.unit);
}

bool UVCCameraControl::setAutoExposure(bool enabled) {
  const auto& c = uvc::kAutoExposureMode;
  return setData(enabled ? uvc::kAutoExposureAperturePriority : uvc::kAutoExposureManual, c.size, c.selector, c.unit);
}

bool UVCCameraControl::getExposure(std::int32_t* v) { return getValue(v, uvc::kExposureTime); }
bool UVCCameraControl::setExposure(std::int32_t v) { return setValue(v, uvc::kExposureTime); }
bool UVCCameraControl::getExposureInterval(std::int32_t* v) { return getInterval(v, uvc::kExposureTime); }
bool UVCCameraControl::getMinExposure(std::int32_t* v) { return getMinValue(v, uvc::kExposureTime); }
bool UVCCameraControl::getMaxExposure(std::int32_t* v) { return getMaxValue(v, uvc::kExposureTime); }

bool UVCCameraControl::getBrightness(std::int32_t* v) { return getValue(v, uvc::kBrightness); }
bool UVCCameraControl::setBrightness(std::int32_t v) {
  QVLogInfo("CameraControl: Set brightness (%d)", v);
  return setValue(v, uvc::kBrightness);
}
bool UVCCameraControl::getMinBrightness(std::int32_t* v) { return getMinValue(v, uvc::kBrightness); }
bool UVCCameraControl::getMaxBrightness(std::int32_t* v) { return getMaxValue(v, uvc::kBrightness); }

bool UVCCameraControl::getContrast(std::int32_t* v) { return getValue(v, uvc::kContrast); }
bool UVCCameraControl::setContrast(std::int32_t v) {
  QVLogInfo("CameraControl: Set contrast (%d)", v);
  return setValue(v, uvc::kContrast);
}
bool UVCCameraControl::getMinContrast(std::int32_t* v) { return getMinValue(v, uvc::kContrast); }
bool UVCCameraControl::getMaxContrast(std::int32_t* v) { return getMaxValue(v, uvc::kContrast); }

bool UVCCameraControl::getGain(std::int32_t* v) { return getValue(v, uvc::kGain); }
bool UVCCameraControl::setGain(std::int32_t v) {
  QVLogInfo("CameraControl: Set gain (%d)", v);
  return setValue(v, uvc::kGain);
}
bool UVCCameraControl::getMinGain(std::int32_t* v) { return getMinValue(v, uvc::kGain); }
bool UVCCameraControl::getMaxGain(std::int32_t* v) { return getMaxValue(v, uvc::kGain); }

bool UVCCameraControl::getSaturation(std::int32_t* v) { return getValue(v, uvc::kSaturation); }
bool UVCCameraControl::setSaturation(std::int32_t v) {
  QVLogInfo("CameraControl: Set saturation (%d)", v);
  return setValue(v, uvc::kSaturation);
}
bool UVCCameraControl::getMinSaturation(std::int32_t* v) { return getMinValue(v, uvc::kSaturation); }
bool UVCCameraControl::getMaxSaturation(std::int32_t* v) { return getMaxValue(v, uvc::kSaturation); }

bool UVCCameraControl::getSharpness(std::int32_t* v) { return getValue(v, uvc::kSharpness); }
bool UVCCameraControl::setSharpness(std::int32_t v) {
  QVLogInfo("CameraControl: Set sharpness (%d)", v);
  return setValue(v, uvc::kSharpness);
}
bool UVCCameraControl::getMinSharpness(std::int32_t* v) { return getMinValue(v, uvc::kSharpness); }
bool UVCCameraControl::getMaxSharpness(std::int32_t* v) { return getMaxValue(v, uvc::kSharpness); }

bool UVCCameraControl::getWhiteBalance(std::int32_t* v) { return getValue(v, uvc::kWhiteBalanceTemperature); }
bool UVCCameraControl::setWhiteBalance(std::int32_t v) {
  QVLogInfo("CameraControl: Set whitebalance (%d)", v);
  return setValue(v, uvc::kWhiteBalanceTemperature);
}

bool UVCCameraControl::setAutoWhiteBalance(bool enabled) {
  QVLogInfo("CameraControl: Set auto whitebalance (%s)", enabled ? "Enabled" : "Disabled");
  const auto& c = uvc::kAutoWhiteBalance;
  return setData(enabled ? 1 : 0, c.size, c.selector, c.unit);
}

bool UVCCameraControl::getAutoWhiteBalance(bool* enabled) {
  std::int32_t value = 0;
  if (!getValue(&value, uvc::kAutoWhiteBalance)) return false;
  if (enabled) *enabled = value == 1;
  return true;
}
