// The calibration analysis from views to scanner geometry: laser planes, bed axis, lead screw and bed origin.
#include "calibration/ScannerCalibrationAnalysis.h"

#include <cmath>
#include <opencv2/calib3d.hpp>

#include "calibration/QVLCalibrationUtil.h"
#include "calibration/SampleConsensusFit.h"

namespace {

void setFailure(std::string* failure, std::string text) {
  if (failure) *failure = std::move(text);
}

// The spread of the face points' third components over a group: the mean absolute deviation,
// in single precision; not a number for an empty group.
float faceDepthSpread(const std::vector<QVLTwentyPointCalibration>& records) {
  float sum = 0.0f;
  for (const auto& r : records) sum += static_cast<float>(r.facePoint.z());
  const float count = static_cast<float>(records.size());
  const float mean = sum / count;
  float deviation = 0.0f;
  for (const auto& r : records) deviation += std::fabs(static_cast<float>(r.facePoint.z()) - mean);
  return deviation / count;
}

}  // namespace

void ConvertLaserPointsTo3D(const QVLTwentyPointCalibration& record, const QVLCalibrationPoints2D& view,
                            std::vector<Eigen::Vector3d>& laser1, std::vector<Eigen::Vector3d>& laser2,
                            const std::vector<cv::Point3f>& boardPoints) {
  const cv::Mat intrinsic = (cv::Mat_<float>(3, 3) << record.intrinsics[0], 0.0f, record.intrinsics[2], 0.0f,
                             record.intrinsics[1], record.intrinsics[3], 0.0f, 0.0f, 1.0f);
  const cv::Mat distortion = (cv::Mat_<float>(1, 5) << record.distortion[0], record.distortion[1],
                              record.distortion[2], record.distortion[3], 0.0f);
  const auto u1 = UndistortPosition2D(view.laser1Points2D, intrinsic, distortion);
  const auto u2 = UndistortPosition2D(view.laser2Points2D, intrinsic, distortion);
  if (!u1.empty()) ProjectImagePointsOntoBoard(record, u1, boardPoints, laser1);
  if (!u2.empty()) ProjectImagePointsOntoBoard(record, u2, boardPoints, laser2);
}

bool FitLaserPlaneRecord(const std::vector<Eigen::Vector3d>& points, int tag, QVLLaserPlane& plane,
                         float threshold_mm) {
  if (points.empty()) return false;
  std::array<double, 3> n{};
  float d = 0.0f;
  try {
    if (!FitPlaneLmedsRansac(points, n, d, threshold_mm)) return false;
  } catch (...) {
    return false;
  }
  double a = n[0], b = n[1], c = n[2];
  double offset = d;
  if (a > 0.0) {
    a = -a;
    b = -b;
    c = -c;
    offset = -offset;
  }
  // A plane parallel to the first axis never meets it: there is no origin to give.
  if (!(std::fabs(a) > 1e-9) || !std::isfinite(offset)) return false;
  plane.tag = tag;
  plane.normal = Eigen::Vector3d(a, b, c);
  plane.origin = Eigen::Vector3d(-offset / a, 0.0, 0.0);
  return true;
}

bool FitTurntableAxis(const std::vector<QVLTwentyPointCalibration>& records, Eigen::Vector3d& normal,
                      Eigen::Vector3d& centre) {
  std::vector<float> points;
  points.reserve(3 * records.size());
  for (const auto& r : records)
    for (int i = 0; i < 3; ++i) points.push_back(static_cast<float>(r.facePoint[i]));
  const int count = static_cast<int>(records.size());
  for (int i = 0; i < 5; ++i) {
    const float threshold = 0.5f + 0.1f * static_cast<float>(i);
    float c[3];
    float n[3];
    if (FitPlaneAndCircle(points.data(), &count, c, n, threshold)) {
      normal = Eigen::Vector3d(n[0], n[1], n[2]);
      if (!(normal.y() > 0.0)) normal = -normal;
      centre = Eigen::Vector3d(c[0], c[1], c[2]);
      return true;
    }
  }
  return false;
}

std::optional<Eigen::Vector3d> ComputeLeadScrewNormal(const Eigen::Vector3d& c1, const Eigen::Vector3d& c2,
                                                      const Eigen::Vector3d& n, double d) {
  const Eigen::Vector3d w = c1 + 200.0 * n - c2;
  const float df = static_cast<float>(d);
  const float A = static_cast<float>(n.dot(n));
  const float B = static_cast<float>(2.0 * n.dot(w));
  const float C = static_cast<float>(w.dot(w) - static_cast<double>(df * df));
  const float discriminant = B * B - 4.0f * A * C;
  if (!(A > 0.0f) || !(discriminant >= 0.0f)) return std::nullopt;
  const float D = std::sqrt(discriminant);
  const float t1 = (-B - D) / (2.0f * A);
  const float t2 = (D - B) / (2.0f * A);
  const double y1 = w.y() + t1 * n.y();
  const double y2 = w.y() + t2 * n.y();
  const double t = y2 < y1 ? t1 : t2;
  Eigen::Vector3d v(w.x() + t * n.x(), std::max(y1, y2), w.z() + t * n.z());
  if (v.y() < 0.0) v = -v;
  const double length = v.norm();
  if (!(length > 0.0)) return std::nullopt;
  return Eigen::Vector3d(v / length);
}

std::optional<Eigen::Vector3d> OffsetAlongAxis(const Eigen::Vector3d& c1, const Eigen::Vector3d& c2,
                                               const Eigen::Vector3d& axis, bool boxTarget, float h1, float h2) {
  // Each head position sees its own board's axis centre from a camera raised by its head height
  // along the lead screw; carried back to head height 0, the two centres lie on the bed axis at
  // the two boards' heights, and the bed's top is a known distance below the lower board's.
  const Eigen::Vector3d P1 = c1 + static_cast<double>(h1) * axis;
  const Eigen::Vector3d P2 = c2 + static_cast<double>(h2) * axis;
  const Eigen::Vector3d between = P2 - P1;
  const double distance = between.norm();
  // Both head positions found the same board (or the top one found none higher): the way down the
  // axis is unknown.
  if (!(distance >= kMinimumBoardSeparation_mm)) return std::nullopt;
  const double k = boxTarget ? -kBoxFacePointHeight_mm : -kCardFacePointHeight_mm;
  return P1 + k * (between / distance);
}

bool CalibrateScannerFromCheckerboards(const std::vector<QVLCalibrationPoints2D>& views, const std::string& inputPath,
                                       const std::string& outputPath, bool boxTarget, QVLScannerCalibration& result,
                                       float& reprojectionError, std::string* failure,
                                       const ScannerCalibrationAnalysisOptions& options,
                                       ScannerCalibrationAnalysisDetails* details) {
  if (!SaveCheckerboardXmlData(inputPath, views, failure)) return false;
  const auto refinement = RefineCameraCalibration(inputPath, outputPath, options.refinement, failure);
  if (!refinement) return false;
  reprojectionError = refinement->reprojectionError;
  CheckerboardResults refined;
  if (!LoadCheckerboardXmlData(outputPath, refined, failure)) return false;
  if (refined.rvecs.cols != static_cast<int>(views.size())) {
    setFailure(failure, "The calibration results do not match the views");
    return false;
  }

  std::vector<Eigen::Vector3d> laser1;
  std::vector<Eigen::Vector3d> laser2;
  // Box 1 bottom, box 1 top, box 2 bottom, box 2 top.
  std::vector<QVLTwentyPointCalibration> groups[2][2];
  for (std::size_t k = 0; k < views.size(); ++k) {
    const int column = static_cast<int>(k);
    cv::Mat rvec = (cv::Mat_<float>(3, 1) << refined.rvecs.at<float>(0, column), refined.rvecs.at<float>(1, column),
                    refined.rvecs.at<float>(2, column));
    cv::Mat tvec = (cv::Mat_<float>(3, 1) << refined.tvecs.at<float>(0, column), refined.tvecs.at<float>(1, column),
                    refined.tvecs.at<float>(2, column));
    cv::Mat rotation;
    cv::Rodrigues(rvec, rotation);
    const QVLTwentyPointCalibration record = ConvertCalibration2DtoTwentyPoint(
        views[k], refined.intrinsic, refined.distortion, rvec, rotation, tvec, refined.objectPoints);
    ConvertLaserPointsTo3D(record, views[k], laser1, laser2, refined.objectPoints);
    const int box = views[k].boxPosition;
    const int head = views[k].headPosition;
    if ((box == 1 || box == 2) && (head == 1 || head == 2)) groups[box - 1][head - 1].push_back(record);
  }

  // The target position whose face points move most in depth shows the circle best.
  const float spread1 = faceDepthSpread(groups[0][0]);
  const float spread2 = faceDepthSpread(groups[1][0]);
  const int box = spread1 > spread2 ? 0 : 1;
  const auto& bottom = groups[box][0];
  const auto& top = groups[box][1];
  if (details) {
    details->refinement = *refinement;
    details->laser1PointCount = laser1.size();
    details->laser2PointCount = laser2.size();
    details->axisBox = box + 1;
  }
  if (bottom.empty() || top.empty()) {
    setFailure(failure, "The target was not seen at both head positions of one target position");
    return false;
  }

  QVLScannerCalibration c;
  if (!FitLaserPlaneRecord(laser1, 2, c.laser1, static_cast<float>(options.laserPlaneThreshold_mm))) {
    setFailure(failure, "No plane fits the first laser's points");
    return false;
  }
  if (!FitLaserPlaneRecord(laser2, 3, c.laser2, static_cast<float>(options.laserPlaneThreshold_mm))) {
    setFailure(failure, "No plane fits the second laser's points");
    return false;
  }
  Eigen::Vector3d nB, cB, nT, cT;
  if (!FitTurntableAxis(bottom, nB, cB) || !FitTurntableAxis(top, nT, cT)) {
    setFailure(failure, "No circle fits the target's positions on the bed");
    return false;
  }
  const Eigen::Vector3d bedNormal = ((nB + nT) * 0.5).normalized();
  const float hB = bottom.front().headHeight;
  const float hT = top.front().headHeight;
  const auto leadScrew = ComputeLeadScrewNormal(cB, cT, bedNormal, static_cast<double>(hT - hB));
  if (!leadScrew) {
    setFailure(failure, "The head's travel does not match the bed axis seen at its two positions");
    return false;
  }
  c.bedNormal = bedNormal;
  c.leadScrewNormal = *leadScrew;
  const auto bedOrigin = OffsetAlongAxis(cB, cT, *leadScrew, boxTarget, hB, hT);
  if (!bedOrigin) {
    setFailure(failure, "The top head position found no board above the one the bottom head position found, so the "
                        "bed's height is unknown");
    return false;
  }
  c.bedOrigin = *bedOrigin;
  c.cameraOrigin = Eigen::Vector3d::Zero();
  c.intrinsics = Eigen::Vector4d(refined.intrinsic.at<double>(0, 0), refined.intrinsic.at<double>(1, 1),
                                 refined.intrinsic.at<double>(0, 2), refined.intrinsic.at<double>(1, 2));
  for (int i = 0; i < 4; ++i) c.distortion[i] = refined.distortion.at<double>(0, i);
  result = c;
  return true;
}
