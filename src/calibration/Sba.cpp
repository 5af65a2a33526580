// Bundle adjustment wrapper: packs OpenCV inputs for the sparse solver and writes the results back.
#include "calibration/Sba.h"

#include <cmath>
#include <mutex>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <string>

#include "calibration/SbaCameraModel.h"
#include "calibration/sba/SbaSolver.h"

namespace {

constexpr int kCameraBlock = 16;
constexpr int kPointBlock = 3;
constexpr int kMeasurement = 2;
constexpr int kErrorCode = 8888;

// One adjustment at a time in the process: the refinement runs on one background queue, and two
// overlapping runs would only compete for the same cores and the standard streams.
std::mutex& adjustmentMutex() {
  static std::mutex mutex;
  return mutex;
}

[[noreturn]] void fail(const std::string& message, int line) {
  throw cv::Exception(kErrorCode, message, "Sba::run", __FILE__, line);
}

std::size_t elementCount(const cv::Mat& m) { return m.total() * static_cast<std::size_t>(m.channels()); }

// What the solver hands unchanged to every callback.
struct SbaCallbackData {
  const double* initialQuaternions;     // four per camera, scalar first
  const double* fixedIntrinsics;        // always null
  int fixedIntrinsicCount;
  int fixedDistortionCount;
  int cameraBlockSize;
  int pointBlockSize;
  int measurementSize;
  const double* points;   // the point part, in motion-only mode
  const double* cameras;  // the camera part, in structure-only mode
};

const double kIdentityQuaternion[4] = {1.0, 0.0, 0.0, 0.0};

// Zeroed columns leave the held intrinsics and coefficients where they are.
void zeroHeldColumns(double* A, const SbaCallbackData& data) {
  for (int row = 0; row < kMeasurement; ++row) {
    double* r = A + row * kCameraBlock;
    for (int c = 5 - data.fixedIntrinsicCount; c < 5; ++c) r[c] = 0.0;
    for (int c = 10 - data.fixedDistortionCount; c < 10; ++c) r[c] = 0.0;
  }
}

void projectMotStr(int j, int, double* aj, double* bi, double* xij, void* adata) {
  const auto* data = static_cast<const SbaCallbackData*>(adata);
  distortedProjection(aj, aj + 5, data->initialQuaternions + 4 * j, aj + 10, aj + 13, bi, xij);
}

void jacobianMotStr(int j, int, double* aj, double* bi, double* Aij, double* Bij, void* adata) {
  const auto* data = static_cast<const SbaCallbackData*>(adata);
  distortedProjectionJacobian(aj, aj + 5, data->initialQuaternions + 4 * j, aj + 10, aj + 13, bi, Aij, Bij);
  zeroHeldColumns(Aij, *data);
}

void projectMot(int j, int i, double* aj, double* xij, void* adata) {
  const auto* data = static_cast<const SbaCallbackData*>(adata);
  distortedProjection(aj, aj + 5, data->initialQuaternions + 4 * j, aj + 10, aj + 13,
                      data->points + static_cast<std::size_t>(i) * kPointBlock, xij);
}

void jacobianMot(int j, int i, double* aj, double* Aij, void* adata) {
  const auto* data = static_cast<const SbaCallbackData*>(adata);
  distortedProjectionJacobianCamera(aj, aj + 5, data->initialQuaternions + 4 * j, aj + 10, aj + 13,
                                    data->points + static_cast<std::size_t>(i) * kPointBlock, Aij);
  zeroHeldColumns(Aij, *data);
}

void projectStr(int j, int, double* bi, double* xij, void* adata) {
  const auto* data = static_cast<const SbaCallbackData*>(adata);
  const double* aj = data->cameras + static_cast<std::size_t>(j) * kCameraBlock;
  distortedProjection(aj, aj + 5, kIdentityQuaternion, aj + 10, aj + 13, bi, xij);
}

void jacobianStr(int j, int, double* bi, double* Bij, void* adata) {
  const auto* data = static_cast<const SbaCallbackData*>(adata);
  const double* aj = data->cameras + static_cast<std::size_t>(j) * kCameraBlock;
  distortedProjectionJacobianPoint(aj, aj + 5, kIdentityQuaternion, aj + 10, aj + 13, bi, Bij);
}

// A 64-bit, continuous copy of m.
cv::Mat toDouble(const cv::Mat& m) {
  cv::Mat converted;
  m.convertTo(converted, CV_64F);
  if (!converted.isContinuous()) converted = converted.clone();
  return converted;
}

}  // namespace

static_assert(static_cast<int>(SbaStopReason::SmallGradient) == qv::sba::SmallGradient &&
              static_cast<int>(SbaStopReason::SmallStep) == qv::sba::SmallStep &&
              static_cast<int>(SbaStopReason::IterationLimit) == qv::sba::IterationLimit &&
              static_cast<int>(SbaStopReason::SmallReduction) == qv::sba::SmallReduction &&
              static_cast<int>(SbaStopReason::SmallError) == qv::sba::SmallError &&
              static_cast<int>(SbaStopReason::DampingOverflow) == qv::sba::DampingOverflow,
              "the summary's stop reasons are the solver's");

SbaSummary Sba::adjust(const SbaParams& options, std::vector<cv::Point3d>& points,
                       const std::vector<std::vector<cv::Point2d>>& imagePoints,
                       const std::vector<std::vector<int>>& visibility, std::vector<cv::Mat>& cameraMatrix,
                       std::vector<cv::Mat>& R, std::vector<cv::Mat>& T, std::vector<cv::Mat>& distortion) {
  // Every check comes before anything is converted, so a rejected call leaves the caller's data alone.
  const std::size_t m = cameraMatrix.size();
  if (R.size() != m || T.size() != m || distortion.size() != m || visibility.size() != m) {
    fail("Error in input size vectors R,T... ", __LINE__);
  }
  for (std::size_t j = 0; j < m; ++j) {
    const std::size_t rotation = elementCount(R[j]);
    if (rotation != 3 && rotation != 9) fail("Error in R (must be 3x1, 1x3 or 3x3)", __LINE__);
    if (elementCount(T[j]) != 3) fail("Error in T (must be 3x1 or 1x3)", __LINE__);
    if (elementCount(cameraMatrix[j]) != 9) fail("Error in CameraMatrix  (must be 3x3)", __LINE__);
    if (elementCount(distortion[j]) != 5) fail("Error in distortion coeff  (must be 1x5 or 5x1)", __LINE__);
  }
  // Mismatched lists would be read past their ends.
  if (m == 0 || imagePoints.size() != m) fail("Error in input size vectors R,T... ", __LINE__);
  const std::size_t n = visibility[0].size();
  for (std::size_t j = 0; j < m; ++j) {
    if (visibility[j].size() != n || imagePoints[j].size() != n) {
      fail("Error in input size vectors of image points or visibility", __LINE__);
    }
  }
  if (points.size() != n) fail("Error in input size vectors of points", __LINE__);
  if (options.iterations < 1) fail("Invalid number of iterations", __LINE__);
  const SbaMode mode = options.mode;
  if (mode != SbaMode::motionAndStructure && mode != SbaMode::motionOnly && mode != SbaMode::structureOnly) {
    fail("Invalid Sba mode", __LINE__);
  }
  // Counts outside 0..5 would zero columns outside the camera block.
  if (options.fixedIntrinsicCount < 0 || options.fixedIntrinsicCount > 5 || options.fixedDistortionCount < 0 ||
      options.fixedDistortionCount > 5) {
    fail("Invalid number of fixed intrinsics or distortion coefficients (must be 0 to 5)", __LINE__);
  }

  std::vector<cv::Mat> K64(m), R64(m), T64(m), D64(m);
  for (std::size_t j = 0; j < m; ++j) {
    K64[j] = toDouble(cameraMatrix[j]);
    R64[j] = toDouble(R[j]);
    T64[j] = toDouble(T[j]);
    D64[j] = toDouble(distortion[j]);
  }

  const int ni = static_cast<int>(n);
  const int mi = static_cast<int>(m);
  std::vector<char> mask(n * m, 0);
  int nvis = 0;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < m; ++j) {
      if (visibility[j][i] != 0) {
        mask[i * m + j] = 1;
        ++nvis;
      }
    }
  }
  if (nvis == 0) fail("Error occured during Sba optimization", __LINE__);

  std::vector<double> quaternions(4 * m);
  for (std::size_t j = 0; j < m; ++j) rod2quat(R64[j], quaternions.data() + 4 * j);

  std::vector<double> p(m * kCameraBlock + n * kPointBlock, 0.0);
  for (std::size_t j = 0; j < m; ++j) {
    double* a = p.data() + j * kCameraBlock;
    const cv::Mat K = K64[j].reshape(1, 3);
    a[0] = K.at<double>(0, 0);
    a[1] = K.at<double>(0, 2);
    a[2] = K.at<double>(1, 2);
    a[3] = K.at<double>(1, 1) / K.at<double>(0, 0);
    a[4] = 0.0;  // skew always starts at zero
    const double* d = D64[j].ptr<double>();
    for (int k = 0; k < 5; ++k) a[5 + k] = d[k];
    if (mode == SbaMode::structureOnly) {
      quaternionToVector(quaternions.data() + 4 * j, a + 10);
    }
    const double* t = T64[j].ptr<double>();
    for (int k = 0; k < 3; ++k) a[13 + k] = t[k];
  }
  double* pointPart = p.data() + m * kCameraBlock;
  for (std::size_t i = 0; i < n; ++i) {
    pointPart[3 * i] = points[i].x;
    pointPart[3 * i + 1] = points[i].y;
    pointPart[3 * i + 2] = points[i].z;
  }

  std::vector<double> x;
  x.reserve(static_cast<std::size_t>(nvis) * kMeasurement);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < m; ++j) {
      if (mask[i * m + j]) {
        x.push_back(imagePoints[j][i].x);
        x.push_back(imagePoints[j][i].y);
      }
    }
  }

  const double opts[qv::sba::kOptionsSize] = {1e-3, 1e-12, 1e-12, options.minimumError * nvis, 0.0};
  SbaCallbackData data{quaternions.data(),
                       nullptr,
                       options.fixedIntrinsicCount,
                       options.fixedDistortionCount,
                       kCameraBlock,
                       kPointBlock,
                       kMeasurement,
                       mode == SbaMode::motionOnly ? pointPart : nullptr,
                       mode == SbaMode::structureOnly ? p.data() : nullptr};

  double info[qv::sba::kInfoSize] = {};
  int result = -1;
  {
    std::lock_guard<std::mutex> lock(adjustmentMutex());
    const int verbose = options.verbose ? 1 : 0;
    switch (mode) {
      case SbaMode::motionAndStructure:
        result = sba_motstr_levmar(ni, 0, mi, 0, mask.data(), p.data(), kCameraBlock, kPointBlock, x.data(), nullptr,
                                   kMeasurement, projectMotStr, jacobianMotStr, &data, options.iterations, verbose,
                                   opts, info);
        break;
      case SbaMode::motionOnly:
        result = sba_mot_levmar(ni, mi, 0, mask.data(), p.data(), kCameraBlock, x.data(), nullptr, kMeasurement,
                                projectMot, jacobianMot, &data, options.iterations, verbose, opts, info);
        break;
      case SbaMode::structureOnly:
        result = sba_str_levmar(ni, 0, mi, mask.data(), pointPart, kPointBlock, x.data(), nullptr, kMeasurement,
                                projectStr, jacobianStr, &data, options.iterations, verbose, opts, info);
        break;
    }
  }
  if (result < 0) fail("Error occured during Sba optimization", __LINE__);

  if (mode == SbaMode::motionAndStructure || mode == SbaMode::motionOnly) {
    for (std::size_t j = 0; j < m; ++j) {
      const double* a = p.data() + j * kCameraBlock;
      double local[4];
      vectorToQuaternion(a + 10, local);
      double whole[4];
      multiplyQuaternions(local, quaternions.data() + 4 * j, whole);
      const cv::Mat rotationVector = quaternionToRotationVector(whole);
      if (elementCount(R[j]) == 3) {
        R64[j] = rotationVector;
      } else {
        cv::Rodrigues(rotationVector, R64[j]);
      }
      double* t = T64[j].ptr<double>();
      for (int k = 0; k < 3; ++k) t[k] = a[13 + k];
    }
  }
  if (options.fixedIntrinsicCount < 5) {
    for (std::size_t j = 0; j < m; ++j) {
      const double* a = p.data() + j * kCameraBlock;
      cv::Mat K = K64[j].reshape(1, 3);  // shares K64[j]'s data
      K.at<double>(0, 0) = a[0];
      K.at<double>(0, 2) = a[1];
      K.at<double>(1, 2) = a[2];
      K.at<double>(1, 1) = a[0] * a[3];
    }
  }
  if (options.fixedDistortionCount < 5) {
    for (std::size_t j = 0; j < m; ++j) {
      double* d = D64[j].ptr<double>();
      for (int k = 0; k < 5 - options.fixedDistortionCount; ++k) d[k] = p[j * kCameraBlock + 5 + k];
    }
  }

  // Success: hand everything back.
  if (mode == SbaMode::motionAndStructure || mode == SbaMode::structureOnly) {
    for (std::size_t i = 0; i < n; ++i) points[i] = cv::Point3d(pointPart[3 * i], pointPart[3 * i + 1], pointPart[3 * i + 2]);
  }
  for (std::size_t j = 0; j < m; ++j) {
    cameraMatrix[j] = K64[j];
    R[j] = R64[j];
    T[j] = T64[j];
    distortion[j] = D64[j];
  }
  SbaSummary summary;
  summary.initialError = info[qv::sba::InitialErrorSquared] / nvis;
  summary.finalError = info[qv::sba::FinalErrorSquared] / nvis;
  summary.iterations = static_cast<int>(info[qv::sba::Iterations]);
  summary.stopReason = static_cast<SbaStopReason>(static_cast<int>(info[qv::sba::StopReason]));
  return summary;
}

SbaSummary Sba::adjust(const SbaParams& options, std::vector<cv::Point3f>& points,
                       const std::vector<std::vector<cv::Point2f>>& imagePoints,
                       const std::vector<std::vector<int>>& visibility, std::vector<cv::Mat>& cameraMatrix,
                       std::vector<cv::Mat>& R, std::vector<cv::Mat>& T, std::vector<cv::Mat>& distortion) {
  std::vector<cv::Point3d> points64(points.begin(), points.end());
  std::vector<std::vector<cv::Point2d>> imagePoints64;
  imagePoints64.reserve(imagePoints.size());
  for (const auto& list : imagePoints) imagePoints64.emplace_back(list.begin(), list.end());
  const SbaSummary summary = adjust(options, points64, imagePoints64, visibility, cameraMatrix, R, T, distortion);
  if (options.mode == SbaMode::motionAndStructure || options.mode == SbaMode::structureOnly) {
    for (std::size_t i = 0; i < points.size(); ++i) points[i] = cv::Point3f(points64[i]);
  }
  return summary;
}

double Sba::run(std::vector<cv::Point3d>& points, const std::vector<std::vector<cv::Point2d>>& imagePoints,
                const std::vector<std::vector<int>>& visibility, std::vector<cv::Mat>& cameraMatrix,
                std::vector<cv::Mat>& R, std::vector<cv::Mat>& T, std::vector<cv::Mat>& distortion) {
  summary_ = adjust(params_, points, imagePoints, visibility, cameraMatrix, R, T, distortion);
  return summary_.finalError;
}

double Sba::run(std::vector<cv::Point3f>& points, const std::vector<std::vector<cv::Point2f>>& imagePoints,
                const std::vector<std::vector<int>>& visibility, std::vector<cv::Mat>& cameraMatrix,
                std::vector<cv::Mat>& R, std::vector<cv::Mat>& T, std::vector<cv::Mat>& distortion) {
  summary_ = adjust(params_, points, imagePoints, visibility, cameraMatrix, R, T, distortion);
  return summary_.finalError;
}
