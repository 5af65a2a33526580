// The triangulation record made from a calibration and a head height, and the pixel-to-bed helpers.
#pragma once

#include <Eigen/Core>
#include <optional>

#include "records/QVLScannerCalibration.h"

// All geometry is in the calibration frame: the camera frame of the computer-vision library with
// its second and third axes reversed (x right, y up, z backwards; mm). Angles are in radians.
struct ScannerGeometry {
  Eigen::Vector3d bedNormal = Eigen::Vector3d::Zero();          // unit
  Eigen::Vector3d levellingAxis = Eigen::Vector3d::Zero();      // unit; turns the bed normal onto +y
  double levellingAngle = 0.0;
  Eigen::Vector3d bedOrigin = Eigen::Vector3d::Zero();
  Eigen::Vector3d levelledBedOrigin = Eigen::Vector3d::Zero();  // the levelling rotation of the bed origin
  Eigen::Vector3d cameraOrigin = Eigen::Vector3d::Zero();
  float cx = 0.0f;
  float cy = 0.0f;
  float headHeight = 0.0f;                                      // mm of head travel
  Eigen::Vector3d laser1Normal = Eigen::Vector3d::Zero();       // unit
  Eigen::Vector3d laser1Origin = Eigen::Vector3d::Zero();
  Eigen::Vector3d laser2Normal = Eigen::Vector3d::Zero();       // unit
  Eigen::Vector3d laser2Origin = Eigen::Vector3d::Zero();
  Eigen::Vector3d leadScrewDirection = Eigen::Vector3d::Zero(); // unit
  float pixelScale = 1.0f;
  float fx = 0.0f;
  float focalRatio = 0.0f;                                      // fx / fy
  Eigen::Matrix3d levelling = Eigen::Matrix3d::Identity();      // the levelling rotation as a matrix
  // The lens distortion the calibration measured (k1, k2, p1, p2 of the radial-tangential model
  // it fits) and the focal length in y it is expressed with; all zero: a pinhole camera.
  Eigen::Vector4d distortion = Eigen::Vector4d::Zero();
  float fy = 0.0f;

  EIGEN_MAKE_ALIGNED_OPERATOR_NEW
};

// The geometry for a calibration at a head height (mm). A bed normal that already points along
// +y needs no levelling (identity); one along -y is turned half a turn about x.
ScannerGeometry ScannerGeometryFromCalibration(const QVLScannerCalibration& calibration, float headHeight_mm);

// Where a pixel of the camera's image would lie without the lens distortion (the pinhole image
// the camera ray is drawn through). A webcam's pixels lie several pixels off near the frame's
// edges, millimetres at the object; without distortion the pixel is returned as it is.
Eigen::Vector2d UndistortPixel(const ScannerGeometry& geometry, double x, double y);

// The direction of the camera ray through a pixel: ((x - cx) s, (cy - y) s fx / fy, -fx).
Eigen::Vector3d PixelToCameraRay(const ScannerGeometry& geometry, double x, double y);

// Where the ray from `origin` through `point` meets the plane through `planePoint` with normal
// `planeNormal`; nothing when the ray runs parallel to the plane (within float precision) or
// meets it only behind its origin.
std::optional<Eigen::Vector3d> IntersectRayWithPlane(const Eigen::Vector3d& point, const Eigen::Vector3d& origin,
                                                     const Eigen::Vector3d& planePoint,
                                                     const Eigen::Vector3d& planeNormal);

// A calibration-frame point seen at bed angle `angle_rad`, turned back into the levelled bed frame
// (bed origin at 0, bed normal along +y).
Eigen::Vector3d CameraToBedFrame(const ScannerGeometry& geometry, const Eigen::Vector3d& point_calibration,
                                 float angle_rad);

// The bed-frame point lit by laser `laser` (2: the first laser plane, 3: the second) at a pixel of
// the camera's image (distortion and all: it is undone first), with the unit direction from the
// laser plane's origin towards it. Answers NO, writing nothing, for another laser number, a ray
// parallel to the plane, or a plane met behind the camera.
bool TriangulateLaserPixel(const ScannerGeometry& geometry, double x, double y, int laser, float angle_rad,
                           Eigen::Vector3d& point_bed, Eigen::Vector3d& normal_bed);

// The size one pixel covers at a distance, for an image `width` pixels across a field of view.
float PixelSizeAtDistance(float width, float fieldOfView_deg, float distance);
