// The calibration targets: a box or a card standing on the turntable with two 4 x 5 chessboards on its front face.
#pragma once

#include <Eigen/Core>
#include <array>

#include "sim/optics/SceneObject.h"

namespace qv::sim {

// A target fixed to the turntable: a body (a box, or a thin card) whose front face carries the
// lower chessboard, and above it a plate leaning back with the upper chessboard. Each board has
// 5 x 6 squares of 10 mm (4 x 5 inner corners) with a white margin. The camera sees the lower
// board from the bottom calibration head position and only the upper board from the top one; the
// analysis finds the bed axis at both boards' heights, and the bed's top lies a known distance
// below the lower board. The squares are white and a dark red: the grey image the corner finder
// sees has strong contrast, while a red laser is reflected almost evenly by both, so its line
// stays straight across the squares.
class ChessboardTarget : public SceneObject {
public:
  enum class Kind { Box, Card };
  enum class Board { Lower, Upper };

  // `faceCentre_turntable` is the foot of the front face's centre line on the bed (y = 0), and
  // `facing_deg` the direction its outward normal points in, measured in the bed plane from +z
  // towards +x (0 faces +z). Without its upper board the face is plain white above the lower
  // board: a target the top head position finds nothing on, or, seen by a camera that takes in
  // both heights, the same board twice.
  ChessboardTarget(Kind kind, Eigen::Vector2d faceCentre_turntable, double facing_deg, bool withUpperBoard = true);

  Kind kind() const { return kind_; }
  bool hasUpperBoard() const { return withUpperBoard_; }
  // The height of a board's centre (the centroid of its 20 corners) above the bed's top.
  double facePointHeight_mm(Board board = Board::Lower) const;

  // Inner corner k = 4 row + column of a board, in turntable coordinates. Board x runs along the
  // columns, board y down the rows, as the corner finder reports them on a board seen upright.
  Eigen::Vector3d corner_turntable(int k, Board board = Board::Lower) const;
  std::array<Eigen::Vector3d, 20> corners_turntable(Board board = Board::Lower) const;
  // The outward normal of a board's face.
  Eigen::Vector3d faceNormal_turntable(Board board = Board::Lower) const { return normal_[static_cast<int>(board)]; }

  std::optional<SurfaceHit> intersect(const Ray& ray, double tMin, double tMax) const override;
  double distanceToSurface(const Eigen::Vector3d& point) const override;

  // The reflectance of one board at its own coordinates (mm from its corner 0, x along the
  // columns, y down the rows); white outside its squares.
  static Eigen::Vector3d boardReflectance(double x_mm, double y_mm);

  // A box of the target: its centre, its three unit axes and its half extents along them.
  struct Slab {
    Eigen::Vector3d centre = Eigen::Vector3d::Zero();
    std::array<Eigen::Vector3d, 3> axes;
    Eigen::Vector3d halfSize = Eigen::Vector3d::Zero();
  };

private:
  Kind kind_;
  bool withUpperBoard_;
  Eigen::Vector3d across_;     // along both boards' columns (board x)
  Eigen::Vector3d normal_[2];  // outward normal of the lower and the upper board
  Eigen::Vector3d down_[2];    // down each board's rows (board y)
  Eigen::Vector3d corner0_[2]; // inner corner 0 of each board
  Slab body_;                  // across, up, the lower board's normal
  Slab plate_;                 // across, up the plate, the upper board's normal
};

}  // namespace qv::sim
