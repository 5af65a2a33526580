// The viewer's thumbnail of a scan.
#include "viewer/model/ViewerThumbnail.h"

#include <algorithm>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/Log.h"

namespace qv::viewer {

bool writeThumbnail(const scene::Image& image, const std::string& path) {
  if (image.width <= 0 || image.height <= 0 || (image.channels != 3 && image.channels != 4) ||
      image.pixels.size() < static_cast<std::size_t>(image.width) * image.height * image.channels)
    return false;
  const cv::Mat source(image.height, image.width, image.channels == 3 ? CV_8UC3 : CV_8UC4,
                       const_cast<std::uint8_t*>(image.pixels.data()));
  const int side = std::min(image.width, image.height);
  const cv::Rect square((image.width - side) / 2, (image.height - side) / 2, side, side);
  cv::Mat thumbnail;
  // Area averaging is the high-quality choice for shrinking.
  cv::resize(source(square), thumbnail, cv::Size(kThumbnailSide, kThumbnailSide), 0, 0,
             side >= kThumbnailSide ? cv::INTER_AREA : cv::INTER_CUBIC);
  cv::cvtColor(thumbnail, thumbnail, image.channels == 3 ? cv::COLOR_RGB2BGR : cv::COLOR_RGBA2BGR);
  const std::filesystem::path target(path);
  const std::filesystem::path temporary = target.parent_path() / ("." + target.filename().string() + ".partial.tiff");
  try {
    if (!cv::imwrite(temporary.string(), thumbnail)) return false;
  } catch (const cv::Exception& e) {
    QVLogWarn("Could not write the thumbnail %s: %s", path.c_str(), e.what());
    return false;
  }
  std::error_code ec;
  std::filesystem::rename(temporary, target, ec);
  if (ec) {
    std::filesystem::remove(temporary, ec);
    return false;
  }
  return true;
}

}  // namespace qv::viewer
