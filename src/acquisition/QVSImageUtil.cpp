// The camera frame: pixel access, comparison, image files and the laser-line detector's entry point.
#include "acquisition/QVSImageUtil.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <opencv2/imgcodecs.hpp>

#include "acquisition/LaserLineDetector.h"
#include "acquisition/SubpixelPeak.h"
#include "platform/Log.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

static_assert(QVSImageUtil::kFrameBytes == qv::kFrameBytes);

namespace {

void warnAboutSize(const qv::SharedData& data) {
  const long length = data ? static_cast<long>(data->size()) : 0L;
  if (length != static_cast<long>(QVSImageUtil::kFrameBytes))
    QVLogWarn("Warning: Image size not valid (%ld != %d)", length, static_cast<int>(QVSImageUtil::kFrameBytes));
}

// Red, green and blue byte offsets of a colour space.
struct Offsets {
  int red = 0;
  int green = 0;
  int blue = 0;
};

Offsets offsetsFor(int colourSpace) {
  switch (colourSpace) {
    case 1: return {0, 1, 2};
    case 2: return {2, 1, 0};
    default: return {0, 0, 0};
  }
}

std::string lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

void saveFrame(const qv::Data& data, fs::path path, const char* extension, bool inverted, const char* formatName) {
  if (data.size() != QVSImageUtil::kFrameBytes) {
    QVLogWarn("Not writing %s: %zu bytes are not a camera frame", path.c_str(), data.size());
    return;
  }
  std::string existing = path.extension().string();
  if (!existing.empty()) existing.erase(0, 1);
  if (lowercase(existing) != extension) path += std::string(".") + extension;
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (fs::exists(status)) {
    if (fs::is_directory(status)) return;
    if (!fs::remove(path, ec) || ec) return;
  }
  try {
    const cv::Mat frame(QVSImageUtil::kHeight, QVSImageUtil::kWidth, CV_8UC4, const_cast<std::uint8_t*>(data.data()),
                        QVSImageUtil::kBytesPerRow);
    if (inverted) {
      cv::Mat flipped;
      cv::flip(frame, flipped, 0);
      cv::imwrite(path.string(), flipped);
    } else {
      cv::imwrite(path.string(), frame);
    }
  } catch (const cv::Exception& e) {
    std::fprintf(stderr, "Exception converting image to %s format: %s\n", formatName, e.what());
  }
}

}  // namespace

QVSImageUtil::QVSImageUtil(qv::SharedData imageData) : imageData_(std::move(imageData)) { warnAboutSize(imageData_); }

QVSImageUtil::QVSImageUtil(qv::Data imageData)
    : QVSImageUtil(std::make_shared<const qv::Data>(std::move(imageData))) {}

void QVSImageUtil::setImageData(qv::SharedData data) {
  imageData_ = std::move(data);
  ownBytes_.reset();
}

int QVSImageUtil::colourOffsetForRed() const { return offsetsFor(colourSpace_).red; }
int QVSImageUtil::colourOffsetForGreen() const { return offsetsFor(colourSpace_).green; }
int QVSImageUtil::colourOffsetForBlue() const { return offsetsFor(colourSpace_).blue; }

std::uint8_t QVSImageUtil::luminanceForPixelWithRed(int red, int green, int blue) {
  const double luminance = 0.2126 * red + 0.7152 * green + 0.0722 * blue;
  return static_cast<std::uint8_t>(static_cast<long>(luminance));
}

std::uint8_t QVSImageUtil::luminanceAtX(int x, int y) const {
  if (x < 0 || x >= kWidth || y < 0 || y >= kHeight) return 0;
  const std::size_t index = static_cast<std::size_t>(y) * kBytesPerRow + static_cast<std::size_t>(x) * 4;
  if (!imageData_ || index + 4 > imageData_->size()) return 0;
  const std::uint8_t* p = imageData_->data() + index;
  const Offsets o = offsetsFor(colourSpace_);
  return luminanceForPixelWithRed(p[o.red], p[o.green], p[o.blue]);
}

std::uint8_t QVSImageUtil::averageLuminosity() const {
  if (!hasFullFrame()) return 0;
  const Offsets o = offsetsFor(colourSpace_);
  const std::uint8_t* p = imageData_->data();
  std::uint64_t sum = 0;
  const std::size_t pixels = static_cast<std::size_t>(kWidth) * kHeight;
  for (std::size_t i = 0; i < pixels; ++i, p += 4) sum += luminanceForPixelWithRed(p[o.red], p[o.green], p[o.blue]);
  return static_cast<std::uint8_t>(sum / pixels);
}

std::uint8_t QVSImageUtil::averageLuminosityForPoints(const std::vector<QVSImageLaserPoint>& points) const {
  if (points.empty()) return 0;
  double sum = 0.0;
  for (const QVSImageLaserPoint& point : points)
    sum += luminanceAtX(static_cast<int>(std::floor(point.x())), point.y());
  return static_cast<std::uint8_t>(std::lround(sum / static_cast<double>(points.size())));
}

std::optional<qv::Colour> QVSImageUtil::colourAtPoint(double x, double y) const {
  if (!(x >= 0.0 && x < kWidth && y >= 0.0 && y < kHeight)) return std::nullopt;
  const std::size_t index = static_cast<std::size_t>(std::floor(y)) * kBytesPerRow +
                            static_cast<std::size_t>(std::floor(x)) * 4;
  if (!imageData_ || index + 4 > imageData_->size()) return std::nullopt;
  const std::uint8_t* p = imageData_->data() + index;
  const Offsets o = offsetsFor(colourSpace_);
  return qv::Colour{p[o.red] / 255.0, p[o.green] / 255.0, p[o.blue] / 255.0, 1.0};
}

void QVSImageUtil::setColour(const qv::Colour& colour, double x, double y) {
  if (!(x >= 0.0 && x < kWidth && y >= 0.0 && y < kHeight)) return;
  const std::size_t index = static_cast<std::size_t>(std::floor(y)) * kBytesPerRow +
                            static_cast<std::size_t>(std::floor(x)) * 4;
  if (!imageData_ || index + 4 > imageData_->size()) return;
  // Others may hold the same bytes (the frame was shared read-only): change a copy of our own,
  // and keep changing it in place for as long as nobody else holds it.
  if (!ownBytes_ || ownBytes_.get() != imageData_.get() || imageData_.use_count() > 2) {
    ownBytes_ = std::make_shared<qv::Data>(*imageData_);
    imageData_ = ownBytes_;
  }
  auto byte = [](double component) {
    return static_cast<std::uint8_t>(std::lround(std::clamp(component, 0.0, 1.0) * 255.0));
  };
  std::uint8_t* p = ownBytes_->data() + index;
  const Offsets o = offsetsFor(colourSpace_);
  p[o.red] = byte(colour.red);
  p[o.green] = byte(colour.green);
  p[o.blue] = byte(colour.blue);
}

bool QVSImageUtil::isEqual(const QVSImageUtil* other) const {
  if (!other) return false;
  const bool empty = !imageData_ || imageData_->empty();
  const bool otherEmpty = !other->imageData_ || other->imageData_->empty();
  if (empty) return !other->imageData_;
  if (otherEmpty) return false;
  // Frames of different lengths cannot be the same picture, and reading the longer one's pixels
  // in the shorter would run past its end.
  if (imageData_->size() != other->imageData_->size()) return false;
  const std::uint8_t* mine = imageData_->data() + colourOffsetForRed();
  const std::uint8_t* theirs = other->imageData_->data() + other->colourOffsetForRed();
  const std::size_t pixels = pixelCount();
  long changed = 0;
  long largest = 0;
  for (std::size_t i = 0; i < pixels; ++i) {
    const long change = static_cast<long>(theirs[4 * i]) - static_cast<long>(mine[4 * i]);
    if (change >= 39) {
      ++changed;
      largest = std::max(largest, change);
    }
  }
  if (changed >= 101) QVLogVerbose("Changed pixels: %ld (%ld)", changed, largest);
  return changed < 101;
}

cv::Mat QVSImageUtil::imageFromImageData(const qv::Data& data) {
  if (data.size() < kFrameBytes) return {};
  const cv::Mat wrapped(kHeight, kWidth, CV_8UC4, const_cast<std::uint8_t*>(data.data()), kBytesPerRow);
  return wrapped.clone();
}

std::optional<fs::path> QVSImageUtil::outputFolder() {
  const fs::path folder = qv::paths::applicationLibraryPath() / "QRZ";
  std::error_code ec;
  if (!fs::exists(folder, ec)) fs::create_directory(folder, ec);
  if (!fs::is_directory(folder, ec)) return std::nullopt;
  return folder;
}

void QVSImageUtil::saveImageData(const qv::Data& data, const std::string& fileName) {
  if (data.empty() || fileName.empty()) return;
  const fs::path name(fileName);
  // The name is relative to the output folder and must stay inside it.
  if (name.is_absolute()) return;
  for (const fs::path& component : name)
    if (component == "..") return;
  const auto output = outputFolder();
  if (!output) return;
  fs::path folder = *output;
  std::error_code ec;
  std::vector<fs::path> components(name.begin(), name.end());
  if (!components.empty() && components.back().empty()) components.pop_back();  // a trailing separator
  if (components.empty()) return;
  for (std::size_t i = 0; i + 1 < components.size(); ++i) {
    folder /= components[i];
    if (!fs::exists(folder, ec)) fs::create_directory(folder, ec);
    if (!fs::is_directory(folder, ec)) return;
  }
  const fs::path imagePath = folder / components.back();
  fs::path rawPath = imagePath;
  rawPath += ".raw";
  const fs::file_status status = fs::symlink_status(rawPath, ec);
  if (fs::exists(status)) {
    if (fs::is_directory(status)) return;
    if (!fs::remove(rawPath, ec) || ec) return;
  }
  {
    std::ofstream raw(rawPath, std::ios::binary | std::ios::trunc);
    raw.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }
  savePngImage(data, imagePath);
}

void QVSImageUtil::savePngImage(const qv::Data& data, const fs::path& path) {
  saveFrame(data, path, "png", false, "PNG");
}

void QVSImageUtil::saveJpgImage(const qv::Data& data, const fs::path& path) {
  saveFrame(data, path, "jpg", false, "JPG");
}

void QVSImageUtil::saveInvertedPngImage(const qv::Data& data, const fs::path& path) {
  saveFrame(data, path, "png", true, "PNG");
}

void QVSImageUtil::saveInvertedJpgImage(const qv::Data& data, const fs::path& path) {
  saveFrame(data, path, "jpg", true, "JPG");
}

std::optional<std::vector<QVSImageLaserPoint>> QVSImageUtil::detectLaserPointsInImage(
    const QVSImageUtil* laserImage, const QVSImageUtil* colourImage, double threshold,
    std::vector<QVSImageLaserPoint>* overExposedPoints, std::vector<QVSImageLaserPoint>* widePoints,
    std::vector<QVSImageLaserPoint>* noisyPoints) const {
  if (!laserImage || !laserImage->imageData_ || laserImage->imageData_->empty()) {
    QVLogWarn("detectLaserPointsInImage:failed - no reference image");
    return std::nullopt;
  }
  if (!imageData_ || imageData_->empty()) {
    QVLogWarn("detectLaserPointsInImage:failed - no image");
    return std::nullopt;
  }
  if (!laserImage->hasFullFrame() || (colourImage && !colourImage->hasFullFrame()) || !hasFullFrame()) {
    QVLogWarn("detectLaserPointsInImage:failed - bad image size");
    return std::nullopt;
  }

  qv::LaserLineOptions options;
  options.threshold = threshold;
  if (colourImage) options.colourFrame = colourImage->imageData_->data();
  options.redOffset = colourOffsetForRed();
  options.greenOffset = colourOffsetForGreen();
  options.blueOffset = colourOffsetForBlue();
  options.wantMaximumGrey = qv::log::enabled(qv::log::Level::Verbose);

  qv::LaserLineDetection detection =
      rootImageLogFolder_.empty()
          ? qv::detectLaserLine(imageData_->data(), laserImage->imageData_->data(), options)
          : qv::detectLaserLineReference(imageData_->data(), laserImage->imageData_->data(), options,
                                         rootImageLogFolder_);

  if (overExposedPoints)
    overExposedPoints->insert(overExposedPoints->end(), detection.overExposed.begin(), detection.overExposed.end());
  if (widePoints) widePoints->insert(widePoints->end(), detection.wide.begin(), detection.wide.end());
  if (noisyPoints) noisyPoints->insert(noisyPoints->end(), detection.noisy.begin(), detection.noisy.end());
  if ((!overExposedPoints || overExposedPoints->empty()) && detection.maximumGrey >= 0)
    QVLogVerbose("Maximum value for image:0x%x", static_cast<unsigned>(detection.maximumGrey));
  return std::move(detection.points);
}

float QVSImageUtil::calculateDeltaForImage(const cv::Mat& image, int row, int column) const {
  float delta = 0.0f;
  if (calculateBR8DeltaForImage(image, row, column, delta)) return delta;
  if (calculateBR4DeltaForImage(image, row, column, delta)) return delta;
  if (calculateParabolaDeltaForImage(image, row, column, delta)) return delta;
  return 0.0f;
}

namespace {
bool usableRow(const cv::Mat& image, int row) {
  return !image.empty() && image.type() == CV_8UC1 && row >= 0 && row < image.rows;
}
}  // namespace

bool QVSImageUtil::calculateBR8DeltaForImage(const cv::Mat& image, int row, int column, float& delta) const {
  return usableRow(image, row) && qv::subpixelDeltaBR8(image.ptr<std::uint8_t>(row), image.cols, column, delta);
}

bool QVSImageUtil::calculateBR4DeltaForImage(const cv::Mat& image, int row, int column, float& delta) const {
  return usableRow(image, row) && qv::subpixelDeltaBR4(image.ptr<std::uint8_t>(row), image.cols, column, delta);
}

bool QVSImageUtil::calculateParabolaDeltaForImage(const cv::Mat& image, int row, int column, float& delta) const {
  return usableRow(image, row) &&
         qv::subpixelDeltaParabola(image.ptr<std::uint8_t>(row), image.cols, column, delta);
}
