// One calibration view: the chessboard as seen from one bed angle at one head height, and its dictionary form.
#pragma once

#include <Eigen/Core>
#include <array>
#include <cstdint>
#include <vector>

#include "platform/Value.h"

// The board's 20 inner corners averaged over the frames of one capture, with the laser-line
// points that fell on the board. Camera-space values are in the calibration frame: a point
// (x, y, z) of the vision library's camera frame is kept as (x, -y, -z), in mm. A new record is
// all zero. Holds fixed-size Eigen members, so it must sit on a 16-byte boundary.
struct QVLCalibrationPoints2D {
  static constexpr int kCornerCount = 20;

  std::int32_t boxPosition = 0;                                          // 1 first, 2 second target position
  std::array<Eigen::Vector2d, kCornerCount> checkerboardCoordinates2D;   // px
  std::array<Eigen::Vector3d, kCornerCount> checkerboardCoordinates3D;   // mm, calibration frame
  Eigen::Vector3d faceNormal = Eigen::Vector3d::Zero();                  // unit, third component >= 0
  float found = 0.0f;                                                    // 1.0 when the board was seen
  float headHeight = 0.0f;                                               // mm
  std::int32_t headPosition = 0;                                         // 1 bottom, 2 top
  std::vector<Eigen::Vector2d> laser1Points2D;                           // px, on the board
  std::vector<Eigen::Vector2d> laser2Points2D;

  QVLCalibrationPoints2D() {
    for (auto& c : checkerboardCoordinates2D) c.setZero();
    for (auto& c : checkerboardCoordinates3D) c.setZero();
  }

  EIGEN_MAKE_ALIGNED_OPERATOR_NEW
};

// The seven-key dictionary the diagnostics write for a view: "boxPosition" ("FirstPosition",
// "SecondPosition", "UnknownPosition"), "checkerboardCoordinates2D" and "checkerboardCoordinates3D"
// (arrays of {"x", "y"[, "z"]}), "headHeight", "laser1Points2D", "laser2Points2D" and
// "headPosition" ("Bottom", "Top", "Unknown").
qv::Dictionary dictionaryWithCalibrationPoints2D(const QVLCalibrationPoints2D& view);
