// Distances between points and from a point to a segment, in single precision.
#include "viewer/model/PointDistance.h"

#include <cmath>

float PointDistanceSquared(QVSPoint3f a, QVSPoint3f b) {
  const float dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
  return dx * dx + dy * dy + dz * dz;
}

float PointToSegmentDistanceSquared(QVSPoint3f p, QVSPoint3f a, QVSPoint3f b) {
  const float ex = b.x - a.x, ey = b.y - a.y, ez = b.z - a.z;
  const float length = ex * ex + ey * ey + ez * ez;
  if (length == 0.0f) return PointDistanceSquared(p, a);
  const float t = ((p.x - a.x) * ex + (p.y - a.y) * ey + (p.z - a.z) * ez) / length;
  // A t that is not a number fails both comparisons and so takes the middle case.
  if (t < 0.0f) return PointDistanceSquared(p, a);
  if (t > 1.0f) return PointDistanceSquared(p, b);
  return PointDistanceSquared(p, {a.x + t * ex, a.y + t * ey, a.z + t * ez});
}

float PointToSegmentDistance(QVSPoint3f p, QVSPoint3f a, QVSPoint3f b) {
  return std::sqrt(PointToSegmentDistanceSquared(p, a, b));
}
