// Chessboard corners, board poses, view averaging, undistortion and the image-to-board mapping.
#include "calibration/QVLCalibrationUtil.h"

#include <atomic>
#include <cmath>
#include <iostream>
#include <opencv2/calib3d.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/Log.h"

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 960;
constexpr std::size_t kBytesPerRow = 5120;
constexpr std::size_t kFrameBytes = kBytesPerRow * kHeight;

std::atomic<std::ostream*> reportStream{&std::cout};

}  // namespace

void setCalibrationReportStream(std::ostream* stream) { reportStream.store(stream); }
std::ostream* calibrationReportStream() { return reportStream.load(); }

std::vector<cv::Point3f> BoardObjectPoints() {
  std::vector<cv::Point3f> points;
  points.reserve(kBoardCorners);
  for (int row = 0; row < kBoardRows; ++row)
    for (int column = 0; column < kBoardColumns; ++column)
      points.emplace_back(static_cast<float>(kBoardPitch_mm * column), static_cast<float>(kBoardPitch_mm * row), 0.0f);
  return points;
}

CameraMatrices::CameraMatrices()
    : intrinsic((cv::Mat_<double>(3, 3) << 1428.571428571429, 0.0, 639.5, 0.0, 1428.571428571429, 479.5, 0.0, 0.0, 1.0)),
      distortion((cv::Mat_<double>(1, 5) << -0.106561883600994, 1.41574435717349, -0.000198075051481423,
                  0.000527449327356926, -5.75023364817093)) {}

bool FindCheckerboardCorners(const std::uint8_t* image, std::size_t length, CornerList2f* corners,
                             BoardSearch search) {
  if (corners) corners->fill(cv::Point2f(0.0f, 0.0f));
  if (!image || length < kFrameBytes) {
    QVLogWarn("Calibration frame of %zu bytes is too short to search for the board", length);
    return false;
  }
  const cv::Mat colour(kHeight, kWidth, CV_8UC4, const_cast<std::uint8_t*>(image), kBytesPerRow);
  cv::Mat grey;
  cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
  std::vector<cv::Point2f> found;
  // The quick test only adds an early way out: a frame that passes it is searched as without it.
  const int quick = search == BoardSearch::QuickRejectFirst ? cv::CALIB_CB_FAST_CHECK : 0;
  const bool ok = cv::findChessboardCorners(grey, cv::Size(kBoardColumns, kBoardRows), found,
                                            cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE | quick);
  if (ok && found.size() == static_cast<std::size_t>(kBoardCorners)) {
    cv::cornerSubPix(grey, found, cv::Size(3, 3), cv::Size(-1, -1),
                     cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 20,
                                      static_cast<double>(0.03f)));
  }
  if (corners) {
    for (std::size_t k = 0; k < found.size() && k < corners->size(); ++k) (*corners)[k] = found[k];
  }
  return ok && found.size() == static_cast<std::size_t>(kBoardCorners);
}

bool FindCheckerboardCorners(const qv::Data& image, CornerList2f* corners, BoardSearch search) {
  return FindCheckerboardCorners(image.data(), image.size(), corners, search);
}

bool GetPointsForImage(const qv::Data& image, CornerList2f& coords2D, CornerList3f& coords3D, cv::Matx33f& rotation,
                       cv::Vec3f& translation) {
  CornerList2f corners;
  if (!FindCheckerboardCorners(image, &corners)) return false;
  const CameraMatrices camera;
  const std::vector<cv::Point3f> board = BoardObjectPoints();
  const std::vector<cv::Point2f> imagePoints(corners.begin(), corners.end());
  cv::Mat rvec;
  cv::Mat tvec;
  cv::solvePnP(board, imagePoints, camera.intrinsic, camera.distortion, rvec, tvec, false, cv::SOLVEPNP_ITERATIVE);
  cv::Mat r;
  cv::Rodrigues(rvec, r);
  r.convertTo(r, CV_32F);
  tvec.convertTo(tvec, CV_32F);
  coords2D = corners;
  rotation = cv::Matx33f(r);
  translation = cv::Vec3f(tvec.at<float>(0), tvec.at<float>(1), tvec.at<float>(2));
  for (int k = 0; k < kBoardCorners; ++k) {
    const cv::Vec3f b(board[k].x, board[k].y, 0.0f);
    const cv::Vec3f p = rotation * b + translation;
    coords3D[k] = cv::Point3f(p[0], p[1], p[2]);
  }
  return true;
}

Eigen::Vector3d ComputeFaceNormal(const QVLCalibrationPoints2D& view) {
  const auto& P = view.checkerboardCoordinates3D;
  Eigen::Vector3d sum = Eigen::Vector3d::Zero();
  int count = 0;
  for (int i = 0; i < kBoardCorners; ++i) {
    for (int j = 0; j < kBoardCorners; ++j) {
      if (j == i) continue;
      for (int k = 0; k < kBoardCorners; ++k) {
        if (k == i || k == j) continue;
        Eigen::Vector3d n = (P[j] - P[i]).cross(P[k] - P[i]);
        if (std::fabs(n.x()) < 0.01 && std::fabs(n.y()) < 0.01 && std::fabs(n.z()) < 0.01) continue;
        if (n.z() < 0.0) n = -n;
        sum += n / n.norm();
        ++count;
      }
    }
  }
  if (count == 0) return Eigen::Vector3d::Zero();
  const Eigen::Vector3d mean = sum / count;
  const double length = mean.norm();
  return length > 0.0 ? Eigen::Vector3d(mean / length) : Eigen::Vector3d::Zero();
}

void AnalyzeCalibrationImages(QVLCalibrationPoints2D& view, const std::vector<qv::SharedData>& images,
                              float headHeight) {
  struct Result {
    bool found = false;
    CornerList2f coords2D;
    CornerList3f coords3D;
  };
  // Each frame is searched on its own thread; the sums below are then taken in frame order, so
  // the result does not depend on which search finishes first.
  std::vector<Result> results(images.size());
  cv::parallel_for_(cv::Range(0, static_cast<int>(images.size())), [&](const cv::Range& range) {
    for (int i = range.start; i < range.end; ++i) {
      if (!images[i]) continue;
      cv::Matx33f rotation;
      cv::Vec3f translation;
      results[i].found = GetPointsForImage(*images[i], results[i].coords2D, results[i].coords3D, rotation, translation);
    }
  });

  std::array<float, 2 * kBoardCorners> sum2D{};
  std::array<float, 3 * kBoardCorners> sum3D{};
  int count = 0;
  for (const Result& result : results) {
    if (!result.found) continue;
    for (int k = 0; k < kBoardCorners; ++k) {
      sum2D[2 * k] += result.coords2D[k].x;
      sum2D[2 * k + 1] += result.coords2D[k].y;
      sum3D[3 * k] += result.coords3D[k].x;
      sum3D[3 * k + 1] += result.coords3D[k].y;
      sum3D[3 * k + 2] += result.coords3D[k].z;
    }
    ++count;
  }
  view = QVLCalibrationPoints2D();
  if (count == 0) return;
  const float n = static_cast<float>(count);
  view.found = 1.0f;
  for (int k = 0; k < kBoardCorners; ++k) {
    view.checkerboardCoordinates2D[k] = Eigen::Vector2d(sum2D[2 * k] / n, sum2D[2 * k + 1] / n);
    view.checkerboardCoordinates3D[k] =
        Eigen::Vector3d(sum3D[3 * k] / n, -(sum3D[3 * k + 1] / n), -(sum3D[3 * k + 2] / n));
  }
  view.faceNormal = ComputeFaceNormal(view);
  view.headHeight = headHeight;
}

namespace {

double entry(const cv::Mat& m, int row, int column) {
  return m.depth() == CV_32F ? m.at<float>(row, column) : m.at<double>(row, column);
}
double element(const cv::Mat& m, int index) {
  return m.depth() == CV_32F ? m.ptr<float>()[index] : m.ptr<double>()[index];
}

}  // namespace

QVLTwentyPointCalibration ConvertCalibration2DtoTwentyPoint(const QVLCalibrationPoints2D& view, const cv::Mat& intrinsic,
                                                            const cv::Mat& distortion, const cv::Mat& rotationVector,
                                                            const cv::Mat& rotationMatrix, const cv::Mat& translation,
                                                            const std::vector<cv::Point3f>& objectPoints3D) {
  CV_Assert(intrinsic.rows == 3 && intrinsic.cols == 3 && distortion.total() >= 4 && rotationMatrix.total() == 9 &&
            translation.total() == 3 && rotationVector.total() == 3 && objectPoints3D.size() >= kBoardCorners);
  cv::Matx33f R;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) R(r, c) = static_cast<float>(element(rotationMatrix.reshape(1, 1), 3 * r + c));
  const cv::Vec3f T(static_cast<float>(element(translation, 0)), static_cast<float>(element(translation, 1)),
                    static_cast<float>(element(translation, 2)));

  QVLTwentyPointCalibration record;
  Eigen::Vector3d sum = Eigen::Vector3d::Zero();
  for (int k = 0; k < kBoardCorners; ++k) {
    const cv::Vec3f b(objectPoints3D[k].x, objectPoints3D[k].y, objectPoints3D[k].z);
    const cv::Vec3f p = R * b + T;
    record.checkerboardCoordinates3D[k] = Eigen::Vector3d(p[0], -p[1], -p[2]);
    sum += record.checkerboardCoordinates3D[k];
  }
  record.facePoint = sum / 20.0;
  record.headHeight = view.headHeight;
  record.headPosition = view.headPosition == 2 ? 2 : view.headPosition == 1 ? 1 : 0;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) record.rotation(r, c) = R(r, c);
  record.intrinsics = {static_cast<float>(entry(intrinsic, 0, 0)), static_cast<float>(entry(intrinsic, 1, 1)),
                       static_cast<float>(entry(intrinsic, 0, 2)), static_cast<float>(entry(intrinsic, 1, 2))};
  for (int i = 0; i < 3; ++i) {
    record.rotationVector[i] = element(rotationVector, i);
    record.translation[i] = element(translation, i);
  }
  const cv::Mat d = distortion.reshape(1, 1);
  for (int i = 0; i < 4; ++i) record.distortion[i] = static_cast<float>(element(d, i));
  record.checkerboardCoordinates2D = view.checkerboardCoordinates2D;
  return record;
}

std::vector<Eigen::Vector2d> UndistortPosition2D(const std::vector<Eigen::Vector2d>& points, const cv::Mat& intrinsics,
                                                 const cv::Mat& distortion) {
  CV_Assert(!intrinsics.empty() && !distortion.empty());
  std::vector<Eigen::Vector2d> out;
  if (points.empty()) return out;
  std::vector<cv::Point2f> in;
  in.reserve(points.size());
  for (const auto& p : points) in.emplace_back(static_cast<float>(p.x()), static_cast<float>(p.y()));
  std::vector<cv::Point2f> normalised;
  const cv::Matx33f identity = cv::Matx33f::eye();
  cv::undistortPoints(in, normalised, intrinsics, distortion, identity, identity);
  const double fx = entry(intrinsics, 0, 0);
  const double cx = entry(intrinsics, 0, 2);
  const double fy = entry(intrinsics, 1, 1);
  const double cy = entry(intrinsics, 1, 2);
  out.reserve(points.size());
  std::ostream* report = calibrationReportStream();
  for (std::size_t i = 0; i < normalised.size(); ++i) {
    const float x = static_cast<float>(normalised[i].x * fx + cx);
    const float y = static_cast<float>(normalised[i].y * fy + cy);
    out.emplace_back(x, y);
    if (report)
      *report << i << ") (" << points[i].x() << "," << points[i].y() << ") -> (" << x << "," << y << ")\n";
  }
  return out;
}

namespace {

// The record's model as the single-precision matrices undistortion takes.
void recordModel(const QVLTwentyPointCalibration& record, cv::Mat& intrinsic, cv::Mat& distortion) {
  intrinsic = (cv::Mat_<float>(3, 3) << record.intrinsics[0], 0.0f, record.intrinsics[2], 0.0f, record.intrinsics[1],
               record.intrinsics[3], 0.0f, 0.0f, 1.0f);
  distortion = (cv::Mat_<float>(1, 5) << record.distortion[0], record.distortion[1], record.distortion[2],
                record.distortion[3], 0.0f);
}

}  // namespace

void ProjectImagePointsOntoBoard(const QVLTwentyPointCalibration& record, const std::vector<Eigen::Vector2d>& points,
                                 const std::vector<cv::Point3f>& boardPoints, std::vector<Eigen::Vector3d>& out) {
  if (points.empty() || boardPoints.size() < kBoardCorners) return;
  cv::Mat intrinsic;
  cv::Mat distortion;
  recordModel(record, intrinsic, distortion);
  std::vector<cv::Point2f> distorted;
  for (const auto& c : record.checkerboardCoordinates2D)
    distorted.emplace_back(static_cast<float>(c.x()), static_cast<float>(c.y()));
  std::vector<cv::Point2f> normalised;
  const cv::Matx33f identity = cv::Matx33f::eye();
  cv::undistortPoints(distorted, normalised, intrinsic, distortion, identity, identity);
  std::vector<cv::Point2f> source;
  std::vector<cv::Point2f> target;
  for (int k = 0; k < kBoardCorners; ++k) {
    source.emplace_back(normalised[k].x * record.intrinsics[0] + record.intrinsics[2],
                        normalised[k].y * record.intrinsics[1] + record.intrinsics[3]);
    target.emplace_back(boardPoints[k].x, boardPoints[k].y);
  }
  const cv::Mat H = cv::findHomography(source, target, cv::LMEDS, 3.0);
  if (H.empty()) return;
  cv::Mat Hf;
  H.convertTo(Hf, CV_32F);
  const cv::Matx33f h(Hf.ptr<float>());
  const cv::Mat Rm = rotationMatrixFromPoseRecord(record);
  const cv::Mat Tm = translationMatrixFromPoseRecord(record);
  const cv::Matx33f R(Rm);
  const cv::Vec3f T(Tm.at<float>(0), Tm.at<float>(1), Tm.at<float>(2));
  for (const auto& point : points) {
    const cv::Vec3f q = h * cv::Vec3f(static_cast<float>(point.x()), static_cast<float>(point.y()), 1.0f);
    const cv::Vec3f b(q[0] / q[2], q[1] / q[2], 0.0f);
    const cv::Vec3f p = R * b + T;
    out.emplace_back(p[0], -p[1], -p[2]);
  }
}

std::vector<Eigen::Vector2d> FilterPointsOnBoard(const std::vector<QVSImageLaserPoint>& points,
                                                 const std::array<Eigen::Vector2d, kBoardCorners>& corners) {
  // The outline in order around the board, so that the crossing test sees a simple polygon.
  const Eigen::Vector2d polygon[4] = {corners[0], corners[3], corners[19], corners[16]};
  std::vector<Eigen::Vector2d> kept;
  for (const auto& laserPoint : points) {
    const double x = laserPoint.x();
    const double y = laserPoint.y();
    bool inside = false;
    for (int i = 0, j = 3; i < 4; j = i++) {
      const double xi = polygon[i].x(), yi = polygon[i].y();
      const double xj = polygon[j].x(), yj = polygon[j].y();
      if ((yi > y) != (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi) inside = !inside;
    }
    if (!inside) continue;
    bool nearCorner = false;
    for (const auto& corner : corners) {
      if (std::fabs(corner.x() - x) < 1.0) {
        nearCorner = true;
        break;
      }
    }
    if (!nearCorner) kept.emplace_back(x, y);
  }
  return kept;
}
