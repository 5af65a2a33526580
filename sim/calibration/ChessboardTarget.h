// The calibration targets: a box or a card standing on the turntable with the 4 x 5 chessboard on its front face.
#pragma once

#include <Eigen/Core>
#include <array>

#include "sim/optics/SceneObject.h"

namespace qv::sim {

// A cuboid fixed to the turntable. Its front face carries a chessboard of 5 x 6 squares of 10 mm
// (4 x 5 inner corners) with a white margin. The squares are white and a dark red: the grey
// image the corner finder sees has strong contrast, while a red laser is reflected almost evenly
// by both, so its line stays straight across the squares.
class ChessboardTarget : public SceneObject {
public:
  enum class Kind { Box, Card };

  // `faceCentre_turntable` is the foot of the front face's centre line on the bed (y = 0), and
  // `facing_deg` the direction its outward normal points in, measured in the bed plane from +z
  // towards +x (0 faces +z).
  ChessboardTarget(Kind kind, Eigen::Vector2d faceCentre_turntable, double facing_deg);

  Kind kind() const { return kind_; }
  // The height of the board's centre (the centroid of its 20 corners) above the bed's top.
  double facePointHeight_mm() const;

  // Inner corner k = 4 row + column, in turntable coordinates. Board x runs along the columns,
  // board y down the rows, as the corner finder reports them on a board seen upright.
  Eigen::Vector3d corner_turntable(int k) const;
  std::array<Eigen::Vector3d, 20> corners_turntable() const;
  Eigen::Vector3d faceNormal_turntable() const { return normal_; }

  std::optional<SurfaceHit> intersect(const Ray& ray, double tMin, double tMax) const override;
  double distanceToSurface(const Eigen::Vector3d& point) const override;

  // The reflectance at board coordinates (mm from corner 0, x along the columns, y down the rows).
  static Eigen::Vector3d boardReflectance(double x_mm, double y_mm);

private:
  Kind kind_;
  Eigen::Vector3d centre_;   // the cuboid's centre
  Eigen::Vector3d normal_;   // outward normal of the front face
  Eigen::Vector3d across_;   // along the board's columns (board x)
  Eigen::Vector3d halfSize_; // half extents along across_, up (+y) and normal_
  Eigen::Vector3d corner0_;  // inner corner 0
};

}  // namespace qv::sim
