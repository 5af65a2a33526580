// YUYV and Motion-JPEG frames into BGRA.
#include "core/camera/FrameConversion.h"

#include <algorithm>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace qv {

namespace {

inline std::uint8_t clip(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

// The usual fixed-point BT.601 studio-range conversion (coefficients scaled by 256).
inline void pixel(int y, int u, int v, std::uint8_t* out) {
  const int c = 298 * (y - 16) + 128;
  const int d = u - 128;
  const int e = v - 128;
  out[0] = clip((c + 516 * d) >> 8);
  out[1] = clip((c - 100 * d - 208 * e) >> 8);
  out[2] = clip((c + 409 * e) >> 8);
  out[3] = 255;
}

}  // namespace

void convertYUYVToBGRA(const std::uint8_t* yuyv, int width, int height, std::size_t bytesPerLine, std::uint8_t* bgra) {
  for (int row = 0; row < height; ++row) {
    const std::uint8_t* in = yuyv + static_cast<std::size_t>(row) * bytesPerLine;
    std::uint8_t* out = bgra + static_cast<std::size_t>(row) * width * 4;
    for (int x = 0; x + 1 < width; x += 2, in += 4, out += 8) {
      pixel(in[0], in[1], in[3], out);
      pixel(in[2], in[1], in[3], out + 4);
    }
  }
}

std::optional<Data> decodeMJPEGToBGRA(const std::uint8_t* jpeg, std::size_t length, int width, int height) {
  if (length < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return std::nullopt;
  // A frame cut short in transfer would decode with its lower part made up; cameras may pad a
  // frame after its end marker, but never leave the marker out.
  std::size_t end = length;
  while (end > 2 && jpeg[end - 1] == 0) --end;
  if (jpeg[end - 2] != 0xFF || jpeg[end - 1] != 0xD9) return std::nullopt;
  cv::Mat decoded;
  try {
    const cv::Mat encoded(1, static_cast<int>(length), CV_8UC1, const_cast<std::uint8_t*>(jpeg));
    decoded = cv::imdecode(encoded, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
  } catch (const cv::Exception&) {
    return std::nullopt;
  }
  if (decoded.empty() || decoded.cols != width || decoded.rows != height || decoded.type() != CV_8UC3)
    return std::nullopt;
  Data frame(static_cast<std::size_t>(width) * height * 4);
  cv::Mat out(height, width, CV_8UC4, frame.data());
  cv::cvtColor(decoded, out, cv::COLOR_BGR2BGRA);
  return frame;
}

}  // namespace qv
