// Distances between points and from a point to a segment, in single precision.
#pragma once

// A position of three single-precision coordinates.
struct QVSPoint3f {
  float x = 0, y = 0, z = 0;
};

float PointDistanceSquared(QVSPoint3f a, QVSPoint3f b);
// Squared distance from p to the segment ab (to the nearer end beyond either end; to a when a = b).
float PointToSegmentDistanceSquared(QVSPoint3f p, QVSPoint3f a, QVSPoint3f b);
float PointToSegmentDistance(QVSPoint3f p, QVSPoint3f a, QVSPoint3f b);
