// Reads a scan's thumbnail.
#include "screens/widgets/ThumbnailImage.h"

#include <QImageReader>
#include <QString>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace qv::screens {

QImage readThumbnail(const std::filesystem::path& file) {
  QImage image(QString::fromStdString(file.string()));
  if (!image.isNull()) return image;
  cv::Mat pixels;
  try {
    pixels = cv::imread(file.string(), cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    return {};
  }
  if (pixels.empty()) return {};
  cv::cvtColor(pixels, pixels, cv::COLOR_BGR2RGB);
  // The copy owns its pixels; the matrix's go with it.
  return QImage(pixels.data, pixels.cols, pixels.rows, static_cast<qsizetype>(pixels.step), QImage::Format_RGB888)
      .copy();
}

bool canReadThumbnail(const std::filesystem::path& file) {
  if (QImageReader(QString::fromStdString(file.string())).canRead()) return true;
  try {
    return cv::haveImageReader(file.string());
  } catch (const cv::Exception&) {
    return false;
  }
}

}  // namespace qv::screens
