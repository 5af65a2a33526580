// The box and card targets: a cuboid with a chessboard face, cast against rays in turntable coordinates.
#include "sim/calibration/ChessboardTarget.h"

#include <Eigen/Geometry>

#include <cmath>
#include <limits>

namespace qv::sim {

namespace {

constexpr double kPitch = 10.0;
constexpr double kMargin = 12.0;  // white border around the squares, as the corner finder needs
const Eigen::Vector3d kWhite(0.92, 0.92, 0.92);
const Eigen::Vector3d kDark(0.78, 0.10, 0.08);
const Eigen::Vector3d kBody(0.80, 0.78, 0.74);

}  // namespace

ChessboardTarget::ChessboardTarget(Kind kind, Eigen::Vector2d faceCentre, double facing_deg) : kind_(kind) {
  const double a = facing_deg * M_PI / 180.0;
  normal_ = Eigen::Vector3d(std::sin(a), 0.0, std::cos(a));
  // Seen from the front, board x runs to the viewer's right and board y downwards.
  across_ = Eigen::Vector3d::UnitY().cross(normal_);
  const double width = 5 * kPitch + 2 * kMargin;
  const double depth = kind == Kind::Box ? 50.0 : 2.0;
  const double centreHeight = facePointHeight_mm();
  const double height = kind == Kind::Box ? 80.0 : 95.0;
  halfSize_ = Eigen::Vector3d(width / 2.0, height / 2.0, depth / 2.0);
  const Eigen::Vector3d foot(faceCentre.x(), 0.0, faceCentre.y());
  centre_ = foot - halfSize_.z() * normal_ + halfSize_.y() * Eigen::Vector3d::UnitY();
  const Eigen::Vector3d boardCentre = foot + centreHeight * Eigen::Vector3d::UnitY();
  corner0_ = boardCentre - 1.5 * kPitch * across_ + 2.0 * kPitch * Eigen::Vector3d::UnitY();
}

double ChessboardTarget::facePointHeight_mm() const { return kind_ == Kind::Box ? 37.95 : 45.3; }

Eigen::Vector3d ChessboardTarget::corner_turntable(int k) const {
  const int row = k / 4;
  const int column = k % 4;
  return corner0_ + kPitch * column * across_ - kPitch * row * Eigen::Vector3d::UnitY();
}

std::array<Eigen::Vector3d, 20> ChessboardTarget::corners_turntable() const {
  std::array<Eigen::Vector3d, 20> corners;
  for (int k = 0; k < 20; ++k) corners[k] = corner_turntable(k);
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
  const Eigen::Vector3d axes[3] = {across_, Eigen::Vector3d::UnitY(), normal_};
  const Eigen::Vector3d offset = ray.origin - centre_;
  double t0 = tMin;
  double t1 = tMax;
  int entryAxis = -1;
  double entrySign = 0.0;
  for (int i = 0; i < 3; ++i) {
    const double o = axes[i].dot(offset);
    const double d = axes[i].dot(ray.direction);
    if (std::fabs(d) < 1e-15) {
      if (std::fabs(o) > halfSize_[i]) return std::nullopt;
      continue;
    }
    double near = (-halfSize_[i] - o) / d;
    double far = (halfSize_[i] - o) / d;
    double sign = -1.0;
    if (near > far) {
      std::swap(near, far);
      sign = 1.0;
    }
    if (near > t0) {
      t0 = near;
      entryAxis = i;
      entrySign = sign;
    }
    t1 = std::min(t1, far);
    if (t0 > t1) return std::nullopt;
  }
  if (entryAxis < 0) return std::nullopt;  // the ray starts inside
  SurfaceHit hit;
  hit.t = t0;
  hit.normal = entrySign * axes[entryAxis];
  hit.face = 2 * entryAxis + (entrySign > 0.0 ? 1 : 0);
  hit.reflectance = kBody;
  if (entryAxis == 2 && entrySign > 0.0) {
    const Eigen::Vector3d p = ray.origin + t0 * ray.direction - corner0_;
    hit.reflectance = boardReflectance(p.dot(across_), -p.y());
  }
  return hit;
}

double ChessboardTarget::distanceToSurface(const Eigen::Vector3d& point) const {
  const Eigen::Vector3d p = point - centre_;
  const Eigen::Vector3d local(p.dot(across_), p.y(), p.dot(normal_));
  const Eigen::Vector3d q = local.cwiseAbs() - halfSize_;
  const double outside = q.cwiseMax(0.0).norm();
  const double inside = std::min(q.maxCoeff(), 0.0);
  return std::fabs(outside + inside);
}

}  // namespace qv::sim
