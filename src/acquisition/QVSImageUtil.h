// One raw camera frame: pixel access, luminance, colour, comparison, image files and the laser-line detector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "acquisition/Colour.h"
#include "acquisition/QVSImageLaserPoint.h"
#include "platform/Value.h"

class QVSImageUtil {
public:
  static constexpr int kWidth = 1280;
  static constexpr int kHeight = 960;
  static constexpr int kBytesPerRow = 5120;
  static constexpr std::size_t kFrameBytes = 4915200;

  // Blue, green, red (the camera's order) unless set otherwise.
  QVSImageUtil() = default;
  // Keeps the data without copying; a length other than a full frame is logged and kept all the
  // same (operations that need a full frame check for themselves).
  explicit QVSImageUtil(qv::SharedData imageData);
  explicit QVSImageUtil(qv::Data imageData);

  const qv::SharedData& imageData() const { return imageData_; }
  void setImageData(qv::SharedData data);
  // 2: blue, green, red; 1: red, green, blue.
  int colourSpace() const { return colourSpace_; }
  void setColourSpace(int colourSpace) { colourSpace_ = colourSpace; }
  // When not empty, the laser-line detector writes its intermediate images there.
  const std::filesystem::path& rootImageLogFolder() const { return rootImageLogFolder_; }
  void setRootImageLogFolder(std::filesystem::path folder) { rootImageLogFolder_ = std::move(folder); }

  // Byte offsets of the colours within a pixel (0 for an unknown colour space).
  int colourOffsetForRed() const;
  int colourOffsetForGreen() const;
  int colourOffsetForBlue() const;

  // 0.2126 red + 0.7152 green + 0.0722 blue, truncated and kept in 8 bits.
  static std::uint8_t luminanceForPixelWithRed(int red, int green, int blue);
  // The luminance of one pixel; 0 without data or outside the frame.
  std::uint8_t luminanceAtX(int x, int y) const;
  // The mean luminance of all pixels in integer arithmetic; 0 unless the frame is full.
  std::uint8_t averageLuminosity() const;
  // The rounded mean luminance at column floor(x), row y of each point; 0 for none.
  std::uint8_t averageLuminosityForPoints(const std::vector<QVSImageLaserPoint>& points) const;
  // The colour at column floor(x), row floor(y); nothing without data or outside the frame.
  std::optional<qv::Colour> colourAtPoint(double x, double y) const;
  // Writes round(component x 255) into the colour bytes of that pixel; the fourth byte is kept.
  // Frames are shared read-only, so the first change makes this frame's own copy of the bytes.
  void setColour(const qv::Colour& colour, double x, double y);

  // Equal unless at least 101 pixels gained 39 or more in red over this frame.
  bool isEqual(const QVSImageUtil* other) const;
  bool operator==(const QVSImageUtil& other) const { return isEqual(&other); }

  // A displayable copy of a frame: 960 rows of 1280 pixels, bytes blue, green, red, alpha.
  // Empty for data shorter than a frame.
  static cv::Mat imageFromImageData(const qv::Data& data);
  // The diagnostic folder "QRZ" in the application library folder, made when missing (without
  // intermediate folders); nothing when it is not a folder afterwards.
  static std::optional<std::filesystem::path> outputFolder();
  // Writes a frame below the output folder under a relative name, as raw bytes ("<name>.raw")
  // and as PNG ("<name>.png"), making the folders on the way.
  static void saveImageData(const qv::Data& data, const std::string& fileName);
  // Write a full frame as PNG or JPG, adding the extension unless the path has it; the inverted
  // forms flip the frame top to bottom first. Anything but a full frame is not written.
  static void savePngImage(const qv::Data& data, const std::filesystem::path& path);
  static void saveJpgImage(const qv::Data& data, const std::filesystem::path& path);
  static void saveInvertedPngImage(const qv::Data& data, const std::filesystem::path& path);
  static void saveInvertedJpgImage(const qv::Data& data, const std::filesystem::path& path);

  // The laser-line detector, on this laser-off frame against `laserImage` (laser on): one point
  // per row at most, in ascending rows; rejected rows are appended to the lists given. Nothing
  // (and a warning) for missing or wrongly sized frames, including a wrongly sized colour frame.
  std::optional<std::vector<QVSImageLaserPoint>> detectLaserPointsInImage(
      const QVSImageUtil* laserImage, const QVSImageUtil* colourImage, double threshold,
      std::vector<QVSImageLaserPoint>* overExposedPoints, std::vector<QVSImageLaserPoint>* widePoints,
      std::vector<QVSImageLaserPoint>* noisyPoints) const;

  // The sub-pixel offset of the peak at (row, column) of a single-channel 8-bit image.
  float calculateDeltaForImage(const cv::Mat& image, int row, int column) const;
  bool calculateBR8DeltaForImage(const cv::Mat& image, int row, int column, float& delta) const;
  bool calculateBR4DeltaForImage(const cv::Mat& image, int row, int column, float& delta) const;
  bool calculateParabolaDeltaForImage(const cv::Mat& image, int row, int column, float& delta) const;

private:
  bool hasFullFrame() const { return imageData_ && imageData_->size() == kFrameBytes; }
  std::size_t pixelCount() const { return imageData_ ? imageData_->size() / 4 : 0; }

  qv::SharedData imageData_;
  std::shared_ptr<qv::Data> ownBytes_;  // set once setColour has made the frame's own copy
  int colourSpace_ = 2;
  std::filesystem::path rootImageLogFolder_;
};
