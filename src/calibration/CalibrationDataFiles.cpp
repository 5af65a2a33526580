// The calibration data files and the refinement: camera calibrations alternating with bundle adjustments.
#include "calibration/CalibrationDataFiles.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <opencv2/calib3d.hpp>
#include <ostream>

#include "calibration/QVLCalibrationUtil.h"
#include "calibration/Sba.h"

// OpenBLAS, when it provides LAPACK, shares even the adjustment's small dense systems among
// threads that spin while they wait, which made the refinement several times slower; the
// refinement keeps it to the calling thread. Absent with other LAPACK builds.
extern "C" void openblas_set_num_threads(int threads) __attribute__((weak));

namespace {

constexpr int kCalibrationFlags = 14465;  // intrinsic guess; k3 to k6 held (k3 stays 0)
constexpr int kAdjustmentRounds = 10;
const cv::Size kImageSize(1280, 960);

void setFailure(std::string* failure, std::string text) {
  if (failure) *failure = std::move(text);
}

// The mean distance between neighbouring corners of the board (31 pairs).
double meanPitch(const std::vector<cv::Point3f>& board) {
  double sum = 0.0;
  int pairs = 0;
  for (int row = 0; row < kBoardRows; ++row) {
    for (int column = 0; column < kBoardColumns; ++column) {
      const cv::Point3f& p = board[kBoardColumns * row + column];
      if (column + 1 < kBoardColumns) {
        sum += cv::norm(board[kBoardColumns * row + column + 1] - p);
        ++pairs;
      }
      if (row + 1 < kBoardRows) {
        sum += cv::norm(board[kBoardColumns * (row + 1) + column] - p);
        ++pairs;
      }
    }
  }
  return sum / pairs;
}

double calibrate(const std::vector<std::vector<cv::Point3f>>& objectPoints,
                 const std::vector<std::vector<cv::Point2f>>& imagePoints, cv::Mat& cameraMatrix, cv::Mat& distortion,
                 std::vector<cv::Mat>& rvecs, std::vector<cv::Mat>& tvecs) {
  return cv::calibrateCamera(objectPoints, imagePoints, kImageSize, cameraMatrix, distortion, rvecs, tvecs,
                             kCalibrationFlags,
                             cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 200, DBL_EPSILON));
}

void printModel(std::ostream* report, const char* prefix, const cv::Mat& cameraMatrix, const cv::Mat& distortion,
                double error) {
  if (!report) return;
  *report << prefix << "intrinsic: " << cameraMatrix << "\n\n"
          << prefix << "distorion: " << distortion << "\n\n"
          << prefix << "rerror: " << error << "\n\n";
}

}  // namespace

bool SaveCheckerboardXmlData(const std::string& path, const std::vector<QVLCalibrationPoints2D>& views,
                             std::string* failure) {
  if (views.empty()) {
    setFailure(failure, "No calibration views to write");
    return false;
  }
  const int n = static_cast<int>(views.size());
  cv::Mat corners(2, kBoardCorners * n, CV_32F);
  for (int k = 0; k < n; ++k) {
    for (int j = 0; j < kBoardCorners; ++j) {
      corners.at<float>(0, kBoardCorners * k + j) = static_cast<float>(views[k].checkerboardCoordinates2D[j].x());
      corners.at<float>(1, kBoardCorners * k + j) = static_cast<float>(views[k].checkerboardCoordinates2D[j].y());
    }
  }
  try {
    cv::FileStorage storage(path, cv::FileStorage::WRITE | cv::FileStorage::FORMAT_XML);
    if (!storage.isOpened()) {
      setFailure(failure, "Cannot write " + path);
      return false;
    }
    storage << "nCams1" << n;
    storage << "cornersMat1" << corners;
    storage.release();
  } catch (const cv::Exception& e) {
    setFailure(failure, "Cannot write " + path + ": " + e.what());
    return false;
  }
  return true;
}

double PrintReprojectionErrors(const std::vector<cv::Point3f>& board,
                               const std::vector<std::vector<cv::Point2f>>& imagePoints, const cv::Mat& cameraMatrix,
                               const cv::Mat& distortion, const std::vector<cv::Mat>& rvecs,
                               const std::vector<cv::Mat>& tvecs) {
  std::vector<float> errors;
  double squares = 0.0;
  for (std::size_t k = 0; k < imagePoints.size(); ++k) {
    std::vector<cv::Point2f> projected;
    cv::projectPoints(board, rvecs[k], tvecs[k], cameraMatrix, distortion, projected);
    for (std::size_t j = 0; j < projected.size(); ++j) {
      const double e = cv::norm(imagePoints[k][j] - projected[j]);
      errors.push_back(static_cast<float>(e));
      squares += e * e;
    }
  }
  if (errors.empty()) return 0.0;
  std::sort(errors.begin(), errors.end());
  float sum = 0.0f;
  for (float e : errors) sum += e;
  if (std::ostream* report = calibrationReportStream()) {
    *report << "Reprojection error\n"
            << "Mean " << sum / static_cast<float>(errors.size()) << "\n"
            << "Median" << errors[errors.size() / 2] << "\n"
            << "Min " << errors.front() << "\n"
            << "Max " << errors.back() << "\n";
  }
  return std::sqrt(squares / errors.size());
}

std::optional<CameraRefinementSummary> RefineCameraCalibration(const std::string& inputPath,
                                                               const std::string& outputPath,
                                                               const CameraRefinementOptions& options,
                                                               std::string* failure) {
  std::ostream* report = calibrationReportStream();
  if (report) *report << " Input File: " << inputPath << "\nOutput File: " << outputPath << "\n";
  try {
    cv::FileStorage input(inputPath, cv::FileStorage::READ);
    if (!input.isOpened()) {
      setFailure(failure, "Cannot read " + inputPath);
      return std::nullopt;
    }
    const int n = static_cast<int>(input["nCams1"]);
    cv::Mat corners;
    input["cornersMat1"] >> corners;
    input.release();
    if (n < 1 || corners.rows != 2 || corners.cols != kBoardCorners * n) {
      setFailure(failure, "The calibration data file holds no usable views");
      return std::nullopt;
    }
    corners.convertTo(corners, CV_32F);

    std::vector<std::vector<cv::Point2f>> imagePoints(n);
    for (int k = 0; k < n; ++k)
      for (int j = 0; j < kBoardCorners; ++j)
        imagePoints[k].emplace_back(corners.at<float>(0, kBoardCorners * k + j),
                                    corners.at<float>(1, kBoardCorners * k + j));
    std::vector<cv::Point3f> board = BoardObjectPoints();
    std::vector<std::vector<cv::Point3f>> objectPoints(n, board);

    cv::Mat cameraMatrix = (cv::Mat_<float>(3, 3) << 1428.5714f, 0.0f, 640.0f, 0.0f, 1428.5714f, 480.0f, 0.0f, 0.0f, 1.0f);
    cv::Mat distortion;
    std::vector<cv::Mat> rvecs;
    std::vector<cv::Mat> tvecs;
    std::vector<float> errors;
    CameraRefinementSummary summary;

    double error = calibrate(objectPoints, imagePoints, cameraMatrix, distortion, rvecs, tvecs);
    errors.push_back(static_cast<float>(error));
    printModel(report, "", cameraMatrix, distortion, error);

    if (openblas_set_num_threads) openblas_set_num_threads(1);
    Sba sba;
    SbaParams params;
    params.mode = SbaMode::motionAndStructure;
    params.iterations = 150;
    params.minimumError = 1e-10;
    params.fixedIntrinsicCount = 5;
    params.fixedDistortionCount = 5;
    params.verbose = false;
    sba.setParams(params);
    const std::vector<std::vector<int>> visibility(n, std::vector<int>(kBoardCorners, 1));

    // One adjustment of the shared board and every pose with the current camera model held, then
    // every view takes the adjusted board.
    auto adjust = [&]() {
      std::vector<cv::Mat> cameraMatrices(n);
      std::vector<cv::Mat> distortions(n);
      for (int k = 0; k < n; ++k) {
        cameraMatrices[k] = cameraMatrix.clone();
        distortions[k] = distortion.reshape(1, 1).clone();
      }
      sba.run(board, imagePoints, visibility, cameraMatrices, rvecs, tvecs, distortions);
      const double pitch = meanPitch(board);
      summary.adjustedBoardPitch_mm.push_back(pitch);
      if (options.restoreBoardPitch && pitch > 0.0) {
        const float scale = static_cast<float>(kBoardPitch_mm / pitch);
        for (auto& p : board) p *= scale;
      }
      for (auto& list : objectPoints) list = board;
    };

    if (report) *report << "\n**** cvsba ****\n";
    adjust();
    error = calibrate(objectPoints, imagePoints, cameraMatrix, distortion, rvecs, tvecs);
    errors.push_back(static_cast<float>(error));
    printModel(report, "new ", cameraMatrix, distortion, error);
    PrintReprojectionErrors(board, imagePoints, cameraMatrix, distortion, rvecs, tvecs);

    for (int i = 1; i <= kAdjustmentRounds; ++i) {
      if (report) *report << "Iteration " << i << "\n";
      adjust();
      if (report) *report << "Initial error=" << sba.initialError() << ". Final error=" << sba.finalError() << "\n";
      error = calibrate(objectPoints, imagePoints, cameraMatrix, distortion, rvecs, tvecs);
      errors.push_back(static_cast<float>(error));
      printModel(report, "new ", cameraMatrix, distortion, error);
    }

    cv::Mat boardMat(kBoardCorners, 1, CV_32FC3);
    for (int j = 0; j < kBoardCorners; ++j) boardMat.at<cv::Vec3f>(j, 0) = cv::Vec3f(board[j].x, board[j].y, board[j].z);
    auto stack = [n](const std::vector<cv::Mat>& vectors) {
      cv::Mat columns(3, n, CV_32F);
      for (int k = 0; k < n; ++k) {
        cv::Mat v;
        vectors[k].reshape(1, 3).convertTo(v, CV_32F);
        for (int r = 0; r < 3; ++r) columns.at<float>(r, k) = v.at<float>(r, 0);
      }
      return columns;
    };
    cv::Mat intrinsic;
    cameraMatrix.convertTo(intrinsic, CV_64F);
    cv::Mat dist;
    distortion.reshape(1, 1).convertTo(dist, CV_64F);
    cv::Mat errorsMat(static_cast<int>(errors.size()), 1, CV_32F);
    for (std::size_t i = 0; i < errors.size(); ++i) errorsMat.at<float>(static_cast<int>(i), 0) = errors[i];

    cv::FileStorage output(outputPath, cv::FileStorage::WRITE | cv::FileStorage::FORMAT_XML);
    if (!output.isOpened()) {
      setFailure(failure, "Cannot write " + outputPath);
      return std::nullopt;
    }
    output << "intrinsic" << intrinsic;
    output << "dist" << dist;
    output << "rerror" << static_cast<double>(errors.back());
    output << "objectPointsMat" << boardMat;
    output << "rvecsMat" << stack(rvecs);
    output << "tvecsMat" << stack(tvecs);
    output << "rerrorsMat" << errorsMat;
    output.release();
    summary.reprojectionError = errors.back();
    return summary;
  } catch (const cv::Exception& e) {
    setFailure(failure, std::string("Camera refinement failed: ") + e.what());
    return std::nullopt;
  }
}

bool LoadCheckerboardXmlData(const std::string& path, CheckerboardResults& results, std::string* failure) {
  try {
    cv::FileStorage storage(path, cv::FileStorage::READ);
    if (!storage.isOpened()) {
      setFailure(failure, "Cannot read " + path);
      return false;
    }
    cv::Mat board;
    storage["intrinsic"] >> results.intrinsic;
    storage["dist"] >> results.distortion;
    storage["objectPointsMat"] >> board;
    storage["rvecsMat"] >> results.rvecs;
    storage["tvecsMat"] >> results.tvecs;
    storage["rerrorsMat"] >> results.reprojectionErrors;
    const bool shapes = results.intrinsic.rows == 3 && results.intrinsic.cols == 3 &&
                        results.distortion.total() >= 4 && board.total() == kBoardCorners && board.channels() == 3 &&
                        results.rvecs.rows == 3 && results.tvecs.rows == 3 && results.rvecs.cols >= 1 &&
                        results.tvecs.cols == results.rvecs.cols;
    if (!shapes) {
      setFailure(failure, "The calibration results file " + path + " is incomplete");
      return false;
    }
    results.intrinsic.convertTo(results.intrinsic, CV_64F);
    results.distortion.reshape(1, 1).convertTo(results.distortion, CV_64F);
    results.rvecs.convertTo(results.rvecs, CV_32F);
    results.tvecs.convertTo(results.tvecs, CV_32F);
    board.convertTo(board, CV_32FC3);
    results.objectPoints.clear();
    for (int j = 0; j < kBoardCorners; ++j) {
      const cv::Vec3f p = board.at<cv::Vec3f>(j);
      results.objectPoints.emplace_back(p[0], p[1], p[2]);
    }
    return true;
  } catch (const cv::Exception& e) {
    setFailure(failure, "Cannot read " + path + ": " + e.what());
    return false;
  }
}
