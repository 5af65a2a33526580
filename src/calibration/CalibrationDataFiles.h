// The calibration data files ("calData.xml", "calData_Results.xml") and the camera refinement between them.
#pragma once

#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "calibration/QVLCalibrationPoints2D.h"

// Writes "nCams1" (the number of views) and "cornersMat1" (2 x 20n, 32-bit: row 0 the x and row 1
// the y of corner j of view k in column 20k + j) as an XML file storage. False, with the reason,
// when there is no view (the file could not hold an empty corner matrix) or the file cannot be written.
bool SaveCheckerboardXmlData(const std::string& path, const std::vector<QVLCalibrationPoints2D>& views,
                             std::string* failure = nullptr);

struct CameraRefinementOptions {
  // The point-and-pose adjustments leave the board's scale free (scaling the board and every
  // translation together changes no projection), so its pitch can creep away from 10 mm from one
  // round to the next. When set, the adjusted board is scaled back to its known pitch after every
  // adjustment; the scale of everything the calibration measures hangs on it.
  bool restoreBoardPitch = true;
};

struct CameraRefinementSummary {
  float reprojectionError = 0.0f;  // RMS of the last camera calibration (px)
  // The mean spacing of neighbouring board points after each adjustment, before any restoring
  // (mm; eleven values, the known pitch is 10).
  std::vector<double> adjustedBoardPitch_mm;
};

// Reads the calibration data file, alternates twelve camera calibrations with eleven adjustments
// of the board's points and the views' poses, writes the result file ("intrinsic", "dist",
// "rerror", "objectPointsMat", "rvecsMat", "tvecsMat", "rerrorsMat") and answers the summary.
// Nothing, with the reason, when the input holds no views or cannot be read, or a step of the
// vision library fails. Prints its progress on the calibration report stream.
std::optional<CameraRefinementSummary> RefineCameraCalibration(const std::string& inputPath,
                                                               const std::string& outputPath,
                                                               const CameraRefinementOptions& options = {},
                                                               std::string* failure = nullptr);

// What the result file holds, as read back.
struct CheckerboardResults {
  std::vector<cv::Point3f> objectPoints;  // the refined board, 20 points
  cv::Mat intrinsic;                      // 3 x 3, 64-bit
  cv::Mat distortion;                     // 1 x 5, 64-bit
  cv::Mat rvecs;                          // 3 x n, 32-bit: column k is view k's rotation vector
  cv::Mat tvecs;                          // 3 x n, 32-bit
  cv::Mat reprojectionErrors;             // 12 x 1, 32-bit
};

// False, with the reason, when the file is missing or a key is absent or of the wrong shape.
bool LoadCheckerboardXmlData(const std::string& path, CheckerboardResults& results, std::string* failure = nullptr);

// Prints the mean, median, least and largest corner reprojection error over every view, and
// answers their root mean square (px).
double PrintReprojectionErrors(const std::vector<cv::Point3f>& board,
                               const std::vector<std::vector<cv::Point2f>>& imagePoints, const cv::Mat& cameraMatrix,
                               const cv::Mat& distortion, const std::vector<cv::Mat>& rvecs,
                               const std::vector<cv::Mat>& tvecs);
