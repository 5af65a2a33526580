// The camera model the bundle adjustment refines: quaternion helpers and the distorted pinhole
// projection with its exact derivatives.
#pragma once

#include <opencv2/core/mat.hpp>

// Quaternions are four doubles, scalar first (w, x, y, z).
//
// A camera block holds 16 values: intrinsics K = (fx, cx, cy, aspect, skew), distortion
// D = (k1, k2, p1, p2, k3), the vector part (a, b, c) of a local rotation quaternion applied on top
// of the camera's initial rotation, and the translation t. A world point M maps to the camera point
// Q·M·Q̄ + t with Q = (√(1 − a² − b² − c²), a, b, c) ⊗ initial (scalar part 0 for |(a, b, c)| ≥ 1).

// Unit quaternion of a rotation given as a 3-element rotation vector or a 3x3 matrix (any depth).
void rod2quat(const cv::Mat& rotation, double quaternion[4]);
// a ⊗ b (Hamilton product).
void multiplyQuaternions(const double a[4], const double b[4], double product[4]);
// The vector part of q / |q|, with the sign that makes the scalar part non-negative.
void quaternionToVector(const double q[4], double v[3]);
// (√(1 − a² − b² − c²), a, b, c), the scalar part 0 where rounding leaves 1 − |v|² below zero.
void vectorToQuaternion(const double v[3], double q[4]);
// The rotation vector (3x1, 64-bit) of the rotation q describes.
cv::Mat quaternionToRotationVector(const double q[4]);

// (u, v) of point M seen by a camera (intrinsics K, distortion D, initial quaternion, local
// rotation (a, b, c), translation t).
void distortedProjection(const double K[5], const double D[5], const double initialQuaternion[4],
                         const double localRotation[3], const double t[3], const double M[3], double uv[2]);

// Exact derivatives of (u, v): A (2×16, row-major, columns in camera-block order) and B (2×3, in
// x, y, z). Either output may be null.
void distortedProjectionJacobian(const double K[5], const double D[5], const double initialQuaternion[4],
                                 const double localRotation[3], const double t[3], const double M[3], double A[32],
                                 double B[6]);
void distortedProjectionJacobianCamera(const double K[5], const double D[5], const double initialQuaternion[4],
                                       const double localRotation[3], const double t[3], const double M[3],
                                       double A[32]);
void distortedProjectionJacobianPoint(const double K[5], const double D[5], const double initialQuaternion[4],
                                      const double localRotation[3], const double t[3], const double M[3],
                                      double B[6]);
