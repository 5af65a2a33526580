// PNG re-encoding through OpenCV's image codecs.
#include "formats/internal/ImageFiles.h"

#include <opencv2/imgcodecs.hpp>

namespace qv {

std::optional<Data> pngFromImageFile(const std::string& path, std::string* problem) {
  try {
    // Unchanged keeps an alpha channel and 16-bit depth as they are.
    const cv::Mat image = cv::imread(path, cv::IMREAD_UNCHANGED);
    if (image.empty()) {
      if (problem) *problem = "the image " + path + " cannot be read";
      return std::nullopt;
    }
    std::vector<std::uint8_t> png;
    if (!cv::imencode(".png", image, png)) {
      if (problem) *problem = "the image " + path + " cannot be encoded as PNG";
      return std::nullopt;
    }
    return Data(png.begin(), png.end());
  } catch (const cv::Exception& e) {
    if (problem) *problem = "the image " + path + " cannot be converted: " + e.what();
    return std::nullopt;
  }
}

}  // namespace qv
