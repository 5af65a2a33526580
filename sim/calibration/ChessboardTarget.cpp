// The box and card targets: a body with the lower board on its face and a leaning plate with the
// upper board above it, cast against rays in turntable coordinates.
#include "sim/calibration/ChessboardTarget.h"

#include <Eigen/Geometry>

#include <algorithm>
#include <cmath>
#include <limits>

namespace qv::sim {

namespace {

constexpr double kPitch = 10.0;
constexpr double kMargin = 12.0;  // white border around the squares, as the corner finder needs
// The upper board's centre stands this far above the lower one's: far enough that the camera sees
// each board from one of the two calibration head heights (76 mm apart) and never both at once.
constexpr double kBoardSpacing = 135.0;
// The upper board leans back by this much, so that over a calibration the camera sees the boards
// tilted about both image axes, as the camera model needs.
constexpr double kUpperLean_deg = 30.0;
constexpr double kPlateThickness = 2.0;
const Eigen::Vector3d kWhite(0.92, 0.92, 0.92);
const Eigen::Vector3d kDark(0.78, 0.10, 0.08);
const Eigen::Vector3d kBody(0.80, 0.78, 0.74);

// The entry of a ray into a box, with the axis and side it enters through.
struct BoxEntry {
  double t = 0.0;
  int axis = 0;
  double sign = 0.0;
};

std::optional<BoxEntry> enterBox(const ChessboardTarget::Slab& box, const Ray& ray, double tMin, double tMax) {
  const Eigen::Vector3d offset = ray.origin - box.centre;
  double t0 = tMin;
  double t1 = tMax;
  BoxEntry entry{0.0, -1, 0.0};
  for (int i = 0; i < 3; ++i) {
    const double o = box.axes[i].dot(offset);
    const double d = box.axes[i].dot(ray.direction);
    if (std::fabs(d) < 1e-15) {
      if (std::fabs(o) > box.halfSize[i]) return std::nullopt;
      continue;
    }
    double near = (-box.halfSize[i] - o) / d;
    double far = (box.halfSize[i] - o) / d;
    double sign = -1.0;
    if (near > far) {
      std::swap(near, far);
      sign = 1.0;
    }
    if (near > t0) {
      t0 = near;
      entry.axis = i;
      entry.sign = sign;
    }
    t1 = std::min(t1, far);
    if (t0 > t1) return std::nullopt;
  }
  if (entry.axis < 0) return std::nullopt;  // the ray starts inside
  entry.t = t0;
  return entry;
}

double distanceToBox(const ChessboardTarget::Slab& box, const Eigen::Vector3d& point) {
  const Eigen::Vector3d p = point - box.centre;
  const Eigen::Vector3d local(p.dot(box.axes[0]), p.dot(box.axes[1]), p.dot(box.axes[2]));
  const Eigen::Vector3d q = local.cwiseAbs() - box.halfSize;
  const double outside = q.cwiseMax(0.0).norm();
  const double inside = std::min(q.maxCoeff(), 0.0);
  return std::fabs(outside + inside);
}

}  // namespace

ChessboardTarget::ChessboardTarget(Kind kind, Eigen::Vector2d faceCentre, double facing_deg, bool withUpperBoard)
    : kind_(kind), withUpperBoard_(withUpperBoard) {
  const double a = facing_deg * M_PI / 180.0;
  const Eigen::Vector3d up = Eigen::Vector3d::UnitY();
  normal_[0] = Eigen::Vector3d(std::sin(a), 0.0, std::cos(a));
  // Seen from the front, board x runs to the viewer's right and board y downwards.
  across_ = up.cross(normal_[0]);
  const double lean = kUpperLean_deg * M_PI / 180.0;
  normal_[1] = std::cos(lean) * normal_[0] + std::sin(lean) * up;
  const Eigen::Vector3d upperUp = normal_[1].cross(across_);
  const Eigen::Vector3d foot(faceCentre.x(), 0.0, faceCentre.y());
  const double width = 5 * kPitch + 2 * kMargin;
  const double boardHeight = 6 * kPitch + 2 * kMargin;

  // Both boards' centres lie on the body's face plane; the plate with the upper board pivots
  // about its centre line, and the body reaches up to just under the plate's lower edge.
  const Eigen::Vector3d centres[2] = {foot + facePointHeight_mm(Board::Lower) * up,
                                      foot + facePointHeight_mm(Board::Upper) * up};
  down_[0] = -up;
  down_[1] = -upperUp;
  for (int b = 0; b < 2; ++b) corner0_[b] = centres[b] - 1.5 * kPitch * across_ - 2.0 * kPitch * down_[b];

  const double depth = kind == Kind::Box ? 50.0 : kPlateThickness;
  const double bodyHeight = (centres[1] - 0.5 * boardHeight * upperUp).y() - 1.0;
  body_.axes = {across_, up, normal_[0]};
  body_.halfSize = Eigen::Vector3d(width / 2.0, bodyHeight / 2.0, depth / 2.0);
  body_.centre = foot - body_.halfSize.z() * normal_[0] + body_.halfSize.y() * up;
  plate_.axes = {across_, upperUp, normal_[1]};
  plate_.halfSize = Eigen::Vector3d(width / 2.0, boardHeight / 2.0, kPlateThickness / 2.0);
  plate_.centre = centres[1] - plate_.halfSize.z() * normal_[1];
}

double ChessboardTarget::facePointHeight_mm(Board board) const {
  const double lower = kind_ == Kind::Box ? 37.95 : 45.3;
  return board == Board::Lower ? lower : lower + kBoardSpacing;
}

Eigen::Vector3d ChessboardTarget::corner_turntable(int k, Board board) const {
  const int b = static_cast<int>(board);
  const int row = k / 4;
  const int column = k % 4;
  return corner0_[b] + kPitch * column * across_ + kPitch * row * down_[b];
}

std::array<Eigen::Vector3d, 20> ChessboardTarget::corners_turntable(Board board) const {
  std::array<Eigen::Vector3d, 20> corners;
  for (int k = 0; k < 20; ++k) corners[k] = corner_turntable(k, board);
  return corners;
}

Eigen::Vector3d ChessboardTarget::boardReflectance(double x, double y) {
  // Squares span -10 .. 40 mm across and -10 .. 50 mm down; corner 0 joins four of them.
  if (x < -kPitch || x >= 4 * kPitch || y < -kPitch || y >= 5 * kPitch) return kWhite;
  const int i = static_cast<int>(std::floor(x / kPitch)) + 1;
  const int j = static_cast<int>(std::floor(y / kPitch)) + 1;
  return (i + j) % 2 == 0 ? kDark : kWhite;
}

std::optional<SurfaceHit> ChessboardTarget::intersect(const Ray& ray, double tMin, double tMax) const {
  const auto bodyEntry = enterBox(body_, ray, tMin, tMax);
  const auto plateEntry = enterBox(plate_, ray, tMin, bodyEntry ? bodyEntry->t : tMax);
  const bool onPlate = plateEntry.has_value();
  if (!onPlate && !bodyEntry) return std::nullopt;
  const Slab& box = onPlate ? plate_ : body_;
  const BoxEntry& entry = onPlate ? *plateEntry : *bodyEntry;
  SurfaceHit hit;
  hit.t = entry.t;
  hit.normal = entry.sign * box.axes[entry.axis];
  hit.face = 2 * entry.axis + (entry.sign > 0.0 ? 1 : 0) + (onPlate ? 6 : 0);
  hit.reflectance = kBody;
  if (entry.axis == 2 && entry.sign > 0.0) {
    const int b = onPlate ? 1 : 0;
    const Eigen::Vector3d p = ray.origin + entry.t * ray.direction - corner0_[b];
    hit.reflectance = onPlate && !withUpperBoard_ ? kWhite : boardReflectance(p.dot(across_), p.dot(down_[b]));
  }
  return hit;
}

double ChessboardTarget::distanceToSurface(const Eigen::Vector3d& point) const {
  return std::min(distanceToBox(body_, point), distanceToBox(plate_, point));
}

}  // namespace qv::sim
