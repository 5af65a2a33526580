// The calibration analysis: laser planes, the bed axis, the lead screw and the bed origin from the collected views.
#pragma once

#include <Eigen/Core>
#include <optional>
#include <string>
#include <vector>

#include "calibration/CalibrationDataFiles.h"
#include "calibration/QVLCalibrationPoints2D.h"
#include "records/QVLScannerCalibration.h"
#include "records/QVLTwentyPointCalibration.h"

// How far the lower board's face point (the centroid of its 20 corners) stands above the bed's top.
inline constexpr double kBoxFacePointHeight_mm = 37.95;
inline constexpr double kCardFacePointHeight_mm = 45.3;
// The least distance along the axis between the boards the two head positions see for the bed's
// height to be known.
inline constexpr double kMinimumBoardSeparation_mm = 1.0;

struct ScannerCalibrationAnalysisOptions {
  CameraRefinementOptions refinement;
  double laserPlaneThreshold_mm = 0.25;
};

// What the analysis measured on the way, for diagnostics and tests.
struct ScannerCalibrationAnalysisDetails {
  CameraRefinementSummary refinement;
  std::size_t laser1PointCount = 0;
  std::size_t laser2PointCount = 0;
  int axisBox = 0;  // the target position whose views gave the bed axis
};

// Writes the views' corners to `inputPath`, refines the camera into `outputPath`, converts every
// view with the refined model, fits both laser planes to the laser points on the board, fits the
// bed axis at both head positions of one target position, and derives the bed normal, the lead
// screw and the bed origin (calibration frame, camera origin 0). `reprojectionError` gets the
// final RMS of the refinement. False, with the reason, whenever a step cannot give a defined
// result (no views, a failed refinement, too few laser points, a failed axis fit, a target
// position without bottom or top views, an impossible lead-screw geometry, a top head position that
// found no board above the bottom one's); `result` is then unset.
bool CalibrateScannerFromCheckerboards(const std::vector<QVLCalibrationPoints2D>& views, const std::string& inputPath,
                                       const std::string& outputPath, bool boxTarget, QVLScannerCalibration& result,
                                       float& reprojectionError, std::string* failure = nullptr,
                                       const ScannerCalibrationAnalysisOptions& options = {},
                                       ScannerCalibrationAnalysisDetails* details = nullptr);

// Appends the 3D points (calibration frame) of both lasers' image points of one view.
void ConvertLaserPointsTo3D(const QVLTwentyPointCalibration& record, const QVLCalibrationPoints2D& view,
                            std::vector<Eigen::Vector3d>& laser1, std::vector<Eigen::Vector3d>& laser2,
                            const std::vector<cv::Point3f>& boardPoints);

// A laser's plane through its points: normal with a first component <= 0, origin where the plane
// meets the first axis. False for no points, a failed fit, or a plane parallel to the first axis
// (which has no such origin).
bool FitLaserPlaneRecord(const std::vector<Eigen::Vector3d>& points, int tag, QVLLaserPlane& plane,
                         float threshold_mm);

// The bed's rotation axis from the face points of one group of views: the normal of the plane they
// turn in (second component >= 0) and the centre of their circle. Five thresholds are tried.
bool FitTurntableAxis(const std::vector<QVLTwentyPointCalibration>& records, Eigen::Vector3d& normal,
                      Eigen::Vector3d& centre);

// The head's direction of travel from the axis centres seen at the bottom (c1) and top (c2) head
// positions, the bed normal n and the head travel d between them: the vector c1 - c2 + s n of
// length d, unit, second component >= 0. Nothing when no such vector exists (n zero or the
// square root of a negative number).
std::optional<Eigen::Vector3d> ComputeLeadScrewNormal(const Eigen::Vector3d& c1, const Eigen::Vector3d& c2,
                                                      const Eigen::Vector3d& n, double d);

// The bed origin: the axis centres seen at the bottom (c1, head height h1) and top (c2, h2) head
// positions carried to head height 0 along the lead screw `axis` give P1 (the lower board's height
// on the bed axis) and P2 (the upper board's); the origin lies the lower board's height below P1,
// against the direction P1 -> P2. Nothing when P1 and P2 lie under a millimetre apart, which
// means the top head position found no higher board.
std::optional<Eigen::Vector3d> OffsetAlongAxis(const Eigen::Vector3d& c1, const Eigen::Vector3d& c2,
                                               const Eigen::Vector3d& axis, bool boxTarget, float h1, float h2);
