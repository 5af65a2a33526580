// Bundle adjustment over the computer-vision library's matrix types.
#pragma once

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>
#include <vector>

#include "calibration/SbaParams.h"

// Refines camera poses (and, as the parameters say, intrinsics, distortion and points) so that the
// points project onto their image observations. Lists are indexed by camera j and point i:
// `imagePoints[j][i]` and `visibility[j][i]` (1 where camera j sees point i) exist for every point;
// per camera a 3x3 camera matrix, a rotation (3-element rotation vector or 3x3 matrix), a
// 3-element translation and five distortion coefficients (k1, k2, p1, p2, k3). A camera maps world
// point M to R·M + T.
//
// Every rejected input and a failed optimisation throw cv::Exception with code 8888 and function
// "Sba::run". Inputs are checked before anything is touched, and the caller's points and matrices
// change only when a run succeeds: then the matrices come back as 64-bit copies holding the refined
// values. At most one adjustment runs at a time in the process.
// Why the solver stopped.
enum class SbaStopReason : int {
  None = 0,             // no run yet
  SmallGradient = 1,    // the gradient vanished
  SmallStep = 2,        // the parameters stopped moving
  IterationLimit = 3,   // the iteration limit was reached
  SmallReduction = 4,   // the error stopped falling
  SmallError = 5,       // the error reached the minimum asked for
  DampingOverflow = 6,  // the damping could not be raised further
};

// What a run did. Errors are sums of squared reprojection residuals divided by the number of
// visible projections (px²).
struct SbaSummary {
  double initialError = -1.0;
  double finalError = -1.0;
  int iterations = 0;
  SbaStopReason stopReason = SbaStopReason::None;
};

class Sba {
public:
  Sba() = default;

  // One adjustment with the given options; the summary of what it did. Throws as described above.
  static SbaSummary adjust(const SbaParams& options, std::vector<cv::Point3d>& points,
                           const std::vector<std::vector<cv::Point2d>>& imagePoints,
                           const std::vector<std::vector<int>>& visibility, std::vector<cv::Mat>& cameraMatrix,
                           std::vector<cv::Mat>& R, std::vector<cv::Mat>& T, std::vector<cv::Mat>& distortion);
  // Single precision: copies into 64-bit lists, adjusts, and copies refined points back.
  static SbaSummary adjust(const SbaParams& options, std::vector<cv::Point3f>& points,
                           const std::vector<std::vector<cv::Point2f>>& imagePoints,
                           const std::vector<std::vector<int>>& visibility, std::vector<cv::Mat>& cameraMatrix,
                           std::vector<cv::Mat>& R, std::vector<cv::Mat>& T, std::vector<cv::Mat>& distortion);

  // The same through the object's parameters, which keeps the last successful run's summary.
  void setParams(const SbaParams& params) { params_ = params; }
  SbaParams params() const { return params_; }

  // Before and after the last successful run; -1.0 before any.
  double initialError() const { return summary_.initialError; }
  double finalError() const { return summary_.finalError; }
  const SbaSummary& lastSummary() const { return summary_; }

  // Returns the final error.
  double run(std::vector<cv::Point3d>& points, const std::vector<std::vector<cv::Point2d>>& imagePoints,
             const std::vector<std::vector<int>>& visibility, std::vector<cv::Mat>& cameraMatrix,
             std::vector<cv::Mat>& R, std::vector<cv::Mat>& T, std::vector<cv::Mat>& distortion);
    double run(std::vector<cv::Point3f>& points, const std::vector<std::vector<cv::Point2f>>& imagePoints,
             const std::vector<std::vector<int>>& visibility, std::vector<cv::Mat>& cameraMatrix,
             std::vector<cv::Mat>& R, std::vector<cv::Mat>& T, std::vector<cv::Mat>& distortion);

private:
  SbaSummary summary_;
  SbaParams params_;
};
