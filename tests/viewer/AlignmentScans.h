// Two turntable scans of one lopsided object in known poses, for the alignment's tests and bench.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <Eigen/Geometry>

#include "store/QVLScanVertex.h"

namespace qv::test {

struct ScanOptions {
  int points = 30000;
  double noiseSigma_mm = 0;
  double croppedShare = 0;  // the share of the points with the largest x that is cut away
  unsigned seed = 1;
  double objectHeight_mm = 45;  // of the object's centre above the origin, in its own frame
};

// The object: an ellipsoid about 80 x 60 x 50 mm carrying bumps and a dent of different sizes at
// directions that no rotation maps onto one another, its centre `height_mm` above the origin.
inline Eigen::Vector3d objectSurfacePoint(const Eigen::Vector3d& direction, double height_mm) {
  struct Bump {
    Eigen::Vector3d at;
    double height_mm, width;
  };
  static const Bump bumps[] = {{Eigen::Vector3d(1, 0.3, 0.2).normalized(), 12, 0.45},
                               {Eigen::Vector3d(-0.4, 1, 0.5).normalized(), 7, 0.35},
                               {Eigen::Vector3d(0.2, -0.5, -1).normalized(), 9, 0.6},
                               {Eigen::Vector3d(-1, -0.2, 0.4).normalized(), -6, 0.4},
                               {Eigen::Vector3d(0.5, 0.8, -0.6).normalized(), 5, 0.25}};
  double radius = 30;
  for (const Bump& b : bumps) radius += b.height_mm * std::exp(-(direction - b.at).squaredNorm() / (b.width * b.width));
  const Eigen::Vector3d scaled = radius * direction;
  return {1.3 * scaled.x(), height_mm + scaled.y(), 0.85 * scaled.z()};
}

// The vertex buffer of a scan whose coordinates map onto the object's by `objectFromScan`: record
// 0 is the origin (no point), as in every stored buffer; the underside the bed hides is missing.
inline std::vector<QVLScanVertex> scanOfObject(const Eigen::Isometry3d& objectFromScan, const ScanOptions& options) {
  std::mt19937 random(options.seed);
  std::normal_distribution<double> gauss(0.0, 1.0);
  const Eigen::Isometry3d scanFromObject = objectFromScan.inverse();
  std::vector<QVLScanVertex> vertices(1);
  vertices.reserve(static_cast<std::size_t>(options.points) + 1);
  while (static_cast<int>(vertices.size()) <= options.points) {
    const Eigen::Vector3d direction = Eigen::Vector3d(gauss(random), gauss(random), gauss(random)).normalized();
    const double h = options.objectHeight_mm;
    const Eigen::Vector3d onObject = objectSurfacePoint(direction, h);
    // The normal of the surface, from two nearby points on it.
    const Eigen::Vector3d side = direction.unitOrthogonal(), up = direction.cross(side);
    const Eigen::Vector3d normalOnObject =
        (objectSurfacePoint((direction + 1e-3 * side).normalized(), h) - onObject)
            .cross(objectSurfacePoint((direction + 1e-3 * up).normalized(), h) - onObject)
            .normalized();
    const Eigen::Vector3d normal = scanFromObject.linear() * normalOnObject;
    if (normal.y() < -0.6) continue;  // facing the bed: never seen
    Eigen::Vector3d p = scanFromObject * onObject;
    if (options.noiseSigma_mm > 0)
      p += options.noiseSigma_mm * Eigen::Vector3d(gauss(random), gauss(random), gauss(random));
    QVLScanVertex v;
    v.lookupId = 1;
    v.point3DX = static_cast<float>(p.x());
    v.point3DY = static_cast<float>(p.y());
    v.point3DZ = static_cast<float>(p.z());
    v.normalX = static_cast<float>(normal.x());
    v.normalY = static_cast<float>(normal.y());
    v.normalZ = static_cast<float>(normal.z());
    vertices.push_back(v);
  }
  if (options.croppedShare > 0) {
    std::vector<float> xs;
    for (std::size_t i = 1; i < vertices.size(); ++i) xs.push_back(vertices[i].point3DX);
    const auto cut = xs.begin() + static_cast<std::ptrdiff_t>((1.0 - options.croppedShare) * xs.size());
    std::nth_element(xs.begin(), cut, xs.end());
    const float limit = *cut;
    vertices.erase(std::remove_if(vertices.begin() + 1, vertices.end(),
                                  [limit](const QVLScanVertex& v) { return v.point3DX >= limit; }),
                   vertices.end());
  }
  return vertices;
}

// The pose the tests recover: 25 degrees of yaw about the bed's axis, 5 degrees of tilt, and a
// shift of (8, -5, 12) mm; it carries the second scan onto the first.
inline Eigen::Isometry3d knownFirstFromSecond() {
  Eigen::Isometry3d m = Eigen::Isometry3d::Identity();
  m.linear() = (Eigen::AngleAxisd(25 * M_PI / 180, Eigen::Vector3d::UnitY()) *
                Eigen::AngleAxisd(5 * M_PI / 180, Eigen::Vector3d::UnitX()))
                   .toRotationMatrix();
  m.translation() = Eigen::Vector3d(8, -5, 12);
  return m;
}

struct PoseError {
  double rotation_deg, translation_mm;
};

inline PoseError poseError(const float matrix[16], const Eigen::Isometry3d& truth) {
  Eigen::Matrix3d r;
  Eigen::Vector3d t;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) r(i, j) = matrix[4 * i + j];
    t[i] = matrix[4 * i + 3];
  }
  // Through the quaternion: the arc cosine of the trace cannot tell angles below a few hundredths
  // of a degree apart in a matrix of floats.
  const Eigen::AngleAxisd difference(Eigen::Quaterniond(r * truth.linear().transpose()).normalized());
  return {difference.angle() * 180 / M_PI, (t - truth.translation()).norm()};
}

}  // namespace qv::test
