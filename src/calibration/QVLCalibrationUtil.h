// The calibration utilities: chessboard corners, the board's pose, view averaging, undistortion and the board mapping.
#pragma once

#include <Eigen/Core>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <opencv2/core.hpp>
#include <vector>

#include "acquisition/QVSImageLaserPoint.h"
#include "calibration/QVLCalibrationPoints2D.h"
#include "platform/Value.h"
#include "records/QVLTwentyPointCalibration.h"

// The target's chessboard: 4 x 5 inner corners on a 10 mm pitch. Corner k = 4 row + column lies
// at (10 column, 10 row, 0) mm on the board; every list of 20 corners uses this order.
inline constexpr int kBoardColumns = 4;
inline constexpr int kBoardRows = 5;
inline constexpr int kBoardCorners = kBoardColumns * kBoardRows;
inline constexpr double kBoardPitch_mm = 10.0;

// The board's corners in board coordinates (z = 0), corner order.
std::vector<cv::Point3f> BoardObjectPoints();

// The camera model the board's pose in a single frame is worked out with, before any refinement:
// fx = fy = 10000/7, the image centre, and a typical lens's distortion (k1, k2, p1, p2, k3).
struct CameraMatrices {
  cv::Mat intrinsic;   // 3 x 3, 64-bit
  cv::Mat distortion;  // 1 x 5, 64-bit
  CameraMatrices();
};

using CornerList2f = std::array<cv::Point2f, kBoardCorners>;
using CornerList3f = std::array<cv::Point3f, kBoardCorners>;

// How hard the corner finder looks. A frame without the board costs the thorough search many
// seconds on a noisy frame, so where the board may well be absent (the search that turns the bed
// until it comes into view) a quick test of the frame for a chessboard comes first and a frame
// that fails it is given up at once. A frame that passes is searched exactly as thoroughly.
enum class BoardSearch { Thorough, QuickRejectFirst };

// Finds the 20 inner corners in one 1280 x 960 frame of blue, green, red and a fourth byte, and
// refines them to sub-pixel positions. A frame shorter than that is not searched (false, with a
// warning): nothing past its end is read. When `corners` is given all 20 entries are written,
// zero where the finder gave none.
bool FindCheckerboardCorners(const std::uint8_t* image, std::size_t length, CornerList2f* corners,
                             BoardSearch search = BoardSearch::Thorough);
bool FindCheckerboardCorners(const qv::Data& image, CornerList2f* corners, BoardSearch search = BoardSearch::Thorough);

// The board's corners in one frame and their camera-space positions (the vision library's camera
// frame, not negated) from the default camera model, with the pose found. Writes nothing and
// answers false when the board is not found.
bool GetPointsForImage(const qv::Data& image, CornerList2f& coords2D, CornerList3f& coords3D, cv::Matx33f& rotation,
                       cv::Vec3f& translation);

// The unit normal of the view's board face (calibration frame, third component >= 0), averaged over
// every triangle of its camera-space corners. Zero when every triangle is degenerate.
Eigen::Vector3d ComputeFaceNormal(const QVLCalibrationPoints2D& view);

// Fills a cleared view from the frames of one capture at a head height: the corners and camera-space
// corners averaged over the frames that show the board, the face normal and found = 1.0; a view
// whose board no frame shows stays clear (found 0.0). The frames are searched in parallel.
void AnalyzeCalibrationImages(QVLCalibrationPoints2D& view, const std::vector<qv::SharedData>& images,
                              float headHeight);

// A view turned into a twenty-point record with the refined camera model, the view's refined pose
// and the refined board points (20 of them). Matrices may be 32- or 64-bit; the distortion has at
// least four coefficients.
QVLTwentyPointCalibration ConvertCalibration2DtoTwentyPoint(const QVLCalibrationPoints2D& view, const cv::Mat& intrinsic,
                                                            const cv::Mat& distortion, const cv::Mat& rotationVector,
                                                            const cv::Mat& rotationMatrix, const cv::Mat& translation,
                                                            const std::vector<cv::Point3f>& objectPoints3D);

// Pixels with the lens distortion undone, still in pixels (x' fx + cx, y' fy + cy), rounded to
// single precision, in input order. Each point is reported on the calibration report stream.
std::vector<Eigen::Vector2d> UndistortPosition2D(const std::vector<Eigen::Vector2d>& points, const cv::Mat& intrinsics,
                                                 const cv::Mat& distortion);

// Maps undistorted image points onto the board of a twenty-point record and on into its camera
// space (calibration frame), appending one point per image point to `out`. The homography from
// image to board is fitted to the record's corners with their distortion undone by the record's
// own model, so that it is fitted and applied in one convention.
void ProjectImagePointsOntoBoard(const QVLTwentyPointCalibration& record, const std::vector<Eigen::Vector2d>& points,
                                 const std::vector<cv::Point3f>& boardPoints, std::vector<Eigen::Vector3d>& out);

// The laser points that lie on the board: inside the quadrilateral of corners 0, 3, 19 and 16 (the
// board's outline, in order around it), and not closer than 1.0 px in x to any corner's x (a line
// through a corner is not measured well there). Input order is kept.
std::vector<Eigen::Vector2d> FilterPointsOnBoard(const std::vector<QVSImageLaserPoint>& points,
                                                 const std::array<Eigen::Vector2d, kBoardCorners>& corners);

// Where the analysis and the refinement print their diagnostic lines: standard output unless set
// (nullptr silences them). Process-wide; set it before a calibration starts.
void setCalibrationReportStream(std::ostream* stream);
std::ostream* calibrationReportStream();
