// Sample-consensus fits of planes, circles and lines to 3D points (the turntable axis, the laser
// planes). Each call builds, uses and releases its own clouds and estimators; the estimators use a
// fixed seed, so the same input always gives the same result.
#pragma once

#include <Eigen/Core>
#include <array>
#include <vector>

// Fits a plane to `*pointCount` points (x, y, z interleaved, mm) by random sample consensus with
// the given distance threshold, then a circle to the points carried into that plane. On success
// writes the circle's centre (input coordinates) and the plane's unit normal and returns true; on
// failure writes nothing. Prints nothing.
bool FitPlaneAndCircle(const float* points, const int* pointCount, float centre[3], float normal[3],
                       float distanceThreshold_mm);

// Fits a plane a·x + b·y + c·z + d = 0 by least median of squares, writes (a, b, c) and d, then
// confirms the plane by random sample consensus: true when that second fit succeeds. When the first
// fit finds no plane nothing is written and the result is false. Prints its report to standard output.
bool FitPlaneLmedsRansac(const std::vector<Eigen::Vector3d>& points, std::array<double, 3>& normal, float& offset,
                         float distanceThreshold_mm);

// Plane (a, b, c, d) through the points and one extra point, by random sample consensus. Prints
// its report to standard output; writes nothing on failure.
bool FitLaserPlane(const std::vector<Eigen::Vector3d>& points, const float extraPoint[3], float plane[4],
                   float distanceThreshold_mm);

// Line through the points (a point on it and its direction), by random sample consensus. Prints its
// report to standard output; writes nothing on failure.
bool FitLaserLine(const std::vector<Eigen::Vector3d>& points, float linePoint[3], float direction[3],
                  float distanceThreshold_mm);

namespace qv {

// The rotation that carries the unit normal n onto +y about the axis n × (0, 1, 0). A normal along
// ±y (where that axis vanishes) gets the identity: its plane is already level.
Eigen::Matrix3d rotationCarryingNormalOntoY(const Eigen::Vector3d& normal);

}  // namespace qv
