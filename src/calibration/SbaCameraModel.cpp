// The bundle adjustment's camera model: quaternions, the distorted projection and its derivatives.
#include "calibration/SbaCameraModel.h"

#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <opencv2/calib3d.hpp>

namespace {

// +1 when x, rounded to single precision, is zero or positive, else -1 (also for NaN).
double signOf(double x) { return static_cast<float>(x) >= 0.0f ? 1.0 : -1.0; }

Eigen::Matrix3d crossMatrix(const Eigen::Vector3d& v) {
  Eigen::Matrix3d m;
  m << 0.0, -v.z(), v.y(), v.z(), 0.0, -v.x(), -v.y(), v.x(), 0.0;
  return m;
}

// Everything one projection computes on the way to (u, v), kept for the derivatives.
struct ProjectionTrace {
  double q0 = 1.0;
  double w = 1.0;
  Eigen::Vector3d v = Eigen::Vector3d::Zero();  // vector part of the composed quaternion
  Eigen::Vector3d point = Eigen::Vector3d::Zero();
  Eigen::Vector3d camera = Eigen::Vector3d::Zero();
  double xn = 0.0, yn = 0.0, r2 = 0.0, radial = 1.0, xd = 0.0, yd = 0.0;
  double u = 0.0, vv = 0.0;
};

ProjectionTrace trace(const double K[5], const double D[5], const double p[4], const double abc[3], const double t[3],
                      const double M[3]) {
  ProjectionTrace tr;
  const double a = abc[0], b = abc[1], c = abc[2];
  // A half-turn has a zero scalar part, and rounding can push 1 − |v|² just below zero there.
  tr.q0 = std::sqrt(std::max(0.0, 1.0 - a * a - b * b - c * c));
  const double q0 = tr.q0;
  tr.w = q0 * p[0] - a * p[1] - b * p[2] - c * p[3];
  tr.v = Eigen::Vector3d(q0 * p[1] + a * p[0] + b * p[3] - c * p[2], q0 * p[2] - a * p[3] + b * p[0] + c * p[1],
                         q0 * p[3] + a * p[2] - b * p[1] + c * p[0]);
  tr.point = Eigen::Vector3d(M[0], M[1], M[2]);
  // Vector part of Q·(0, M)·Q̄.
  const Eigen::Vector3d& v = tr.v;
  tr.camera = (tr.w * tr.w - v.dot(v)) * tr.point + 2.0 * v.dot(tr.point) * v + 2.0 * tr.w * v.cross(tr.point) +
              Eigen::Vector3d(t[0], t[1], t[2]);
  const double k1 = D[0], k2 = D[1], p1 = D[2], p2 = D[3], k3 = D[4];
  tr.xn = tr.camera.x() / tr.camera.z();
  tr.yn = tr.camera.y() / tr.camera.z();
  tr.r2 = tr.xn * tr.xn + tr.yn * tr.yn;
  tr.radial = 1.0 + k1 * tr.r2 + k2 * tr.r2 * tr.r2 + k3 * tr.r2 * tr.r2 * tr.r2;
  tr.xd = tr.xn * tr.radial + 2.0 * p1 * tr.xn * tr.yn + p2 * (tr.r2 + 2.0 * tr.xn * tr.xn);
  tr.yd = tr.yn * tr.radial + p1 * (tr.r2 + 2.0 * tr.yn * tr.yn) + 2.0 * p2 * tr.xn * tr.yn;
  const double fx = K[0], cx = K[1], cy = K[2], aspect = K[3], skew = K[4];
  tr.u = fx * tr.xd + skew * tr.yd + cx;
  tr.vv = fx * aspect * tr.yd + cy;
  return tr;
}

void jacobian(const double K[5], const double D[5], const double p[4], const double abc[3], const double t[3],
              const double M[3], double* A, double* B) {
  const ProjectionTrace tr = trace(K, D, p, abc, t, M);
  const double fx = K[0], aspect = K[3], skew = K[4];
  const double k1 = D[0], k2 = D[1], p1 = D[2], p2 = D[3], k3 = D[4];
  const double xn = tr.xn, yn = tr.yn, r2 = tr.r2;

  Eigen::Matrix2d byDistorted;  // ∂(u, v)/∂(xd, yd)
  byDistorted << fx, skew, 0.0, fx * aspect;
  const double radialByR2 = k1 + 2.0 * k2 * r2 + 3.0 * k3 * r2 * r2;
  Eigen::Matrix2d byNormalised;  // ∂(xd, yd)/∂(xn, yn)
  byNormalised << tr.radial + 2.0 * xn * xn * radialByR2 + 2.0 * p1 * yn + 6.0 * p2 * xn,
      2.0 * xn * yn * radialByR2 + 2.0 * p1 * xn + 2.0 * p2 * yn,
      2.0 * xn * yn * radialByR2 + 2.0 * p1 * xn + 2.0 * p2 * yn,
      tr.radial + 2.0 * yn * yn * radialByR2 + 6.0 * p1 * yn + 2.0 * p2 * xn;
  const double X = tr.camera.x(), Y = tr.camera.y(), Z = tr.camera.z();
  Eigen::Matrix<double, 2, 3> byCamera;  // ∂(xn, yn)/∂P
  byCamera << 1.0 / Z, 0.0, -X / (Z * Z), 0.0, 1.0 / Z, -Y / (Z * Z);
  const Eigen::Matrix<double, 2, 3> G = byDistorted * byNormalised * byCamera;  // ∂(u, v)/∂P

  const Eigen::Vector3d& v = tr.v;
  const Eigen::Vector3d& m = tr.point;
  const double w = tr.w;
  if (B != nullptr) {
    const Eigen::Matrix3d rotation =
        (w * w - v.dot(v)) * Eigen::Matrix3d::Identity() + 2.0 * v * v.transpose() + 2.0 * w * crossMatrix(v);
    const Eigen::Matrix<double, 2, 3> b = G * rotation;
    for (int r = 0; r < 2; ++r) {
      for (int c = 0; c < 3; ++c) B[r * 3 + c] = b(r, c);
    }
  }
  if (A == nullptr) return;

  Eigen::Matrix<double, 2, 16> a = Eigen::Matrix<double, 2, 16>::Zero();
  // Intrinsics (fx, cx, cy, aspect, skew).
  a(0, 0) = tr.xd;
  a(0, 1) = 1.0;
  a(0, 4) = tr.yd;
  a(1, 0) = aspect * tr.yd;
  a(1, 2) = 1.0;
  a(1, 3) = fx * tr.yd;
  // Distortion (k1, k2, p1, p2, k3).
  Eigen::Matrix<double, 2, 5> byDistortion;
  byDistortion << xn * r2, xn * r2 * r2, 2.0 * xn * yn, r2 + 2.0 * xn * xn, xn * r2 * r2 * r2,
      yn * r2, yn * r2 * r2, r2 + 2.0 * yn * yn, 2.0 * xn * yn, yn * r2 * r2 * r2;
  a.block<2, 5>(0, 5) = byDistorted * byDistortion;
  // Local rotation (a, b, c): through the composed quaternion, q0 depending on all three.
  Eigen::Matrix<double, 3, 4> byQuaternion;
  byQuaternion.col(0) = 2.0 * w * m + 2.0 * v.cross(m);
  byQuaternion.block<3, 3>(0, 1) = -2.0 * m * v.transpose() + 2.0 * v * m.transpose() +
                                   2.0 * v.dot(m) * Eigen::Matrix3d::Identity() - 2.0 * w * crossMatrix(m);
  Eigen::Matrix<double, 4, 3> composedByLocal;
  const Eigen::Vector4d byQ0(p[0], p[1], p[2], p[3]);
  const Eigen::Vector4d byA(-p[1], p[0], -p[3], p[2]);
  const Eigen::Vector4d byB(-p[2], p[3], p[0], -p[1]);
  const Eigen::Vector4d byC(-p[3], -p[2], p[1], p[0]);
  composedByLocal.col(0) = byQ0 * (-abc[0] / tr.q0) + byA;
  composedByLocal.col(1) = byQ0 * (-abc[1] / tr.q0) + byB;
  composedByLocal.col(2) = byQ0 * (-abc[2] / tr.q0) + byC;
  a.block<2, 3>(0, 10) = G * byQuaternion * composedByLocal;
  // Translation.
  a.block<2, 3>(0, 13) = G;
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 16; ++c) A[r * 16 + c] = a(r, c);
  }
}

}  // namespace

void rod2quat(const cv::Mat& rotation, double q[4]) {
  cv::Mat source = rotation.isContinuous() ? rotation : rotation.clone();
  cv::Mat matrix;
  if (source.total() * source.channels() == 3) {
    cv::Mat vector;
    source.reshape(1, 3).convertTo(vector, CV_64F);
    cv::Rodrigues(vector, matrix);
  } else {
    source.reshape(1, 3).convertTo(matrix, CV_64F);
  }
  const double r11 = matrix.at<double>(0, 0), r12 = matrix.at<double>(0, 1), r13 = matrix.at<double>(0, 2);
  const double r21 = matrix.at<double>(1, 0), r22 = matrix.at<double>(1, 1), r23 = matrix.at<double>(1, 2);
  const double r31 = matrix.at<double>(2, 0), r32 = matrix.at<double>(2, 1), r33 = matrix.at<double>(2, 2);
  double q0 = std::sqrt(std::max(0.0, (r11 + r22 + r33 + 1.0) / 4.0));
  double q1 = std::sqrt(std::max(0.0, (r11 - r22 - r33 + 1.0) / 4.0));
  double q2 = std::sqrt(std::max(0.0, (-r11 + r22 - r33 + 1.0) / 4.0));
  double q3 = std::sqrt(std::max(0.0, (-r11 - r22 + r33 + 1.0) / 4.0));
  if (q0 >= q1 && q0 >= q2 && q0 >= q3) {
    q1 *= signOf(r32 - r23);
    q2 *= signOf(r13 - r31);
    q3 *= signOf(r21 - r12);
  } else if (q1 >= q0 && q1 >= q2 && q1 >= q3) {
    q0 *= signOf(r32 - r23);
    q2 *= signOf(r21 + r12);
    q3 *= signOf(r13 + r31);
  } else if (q2 >= q0 && q2 >= q1 && q2 >= q3) {
    q0 *= signOf(r13 - r31);
    q1 *= signOf(r21 + r12);
    q3 *= signOf(r32 + r23);
  } else if (q3 >= q0 && q3 >= q1 && q3 >= q2) {
    q0 *= signOf(r21 - r12);
    q1 *= signOf(r31 + r13);
    q2 *= signOf(r32 + r23);
  } else {
    std::fprintf(stderr, "coding error\n");
  }
  const double norm = std::sqrt(q0 * q0 + q1 * q1 + q2 * q2 + q3 * q3);
  q[0] = q0 / norm;
  q[1] = q1 / norm;
  q[2] = q2 / norm;
  q[3] = q3 / norm;
}

void multiplyQuaternions(const double a[4], const double b[4], double product[4]) {
  const double w = a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3];
  const double x = a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2];
  const double y = a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1];
  const double z = a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0];
  product[0] = w;
  product[1] = x;
  product[2] = y;
  product[3] = z;
}

void quaternionToVector(const double q[4], double v[3]) {
  const double norm = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  const double scale = (q[0] >= 0.0 ? 1.0 : -1.0) / norm;
  v[0] = q[1] * scale;
  v[1] = q[2] * scale;
  v[2] = q[3] * scale;
}

void vectorToQuaternion(const double v[3], double q[4]) {
  q[0] = std::sqrt(std::max(0.0, 1.0 - v[0] * v[0] - v[1] * v[1] - v[2] * v[2]));
  q[1] = v[0];
  q[2] = v[1];
  q[3] = v[2];
}

cv::Mat quaternionToRotationVector(const double q[4]) {
  const double q0 = q[0], q1 = q[1], q2 = q[2], q3 = q[3];
  cv::Mat matrix = (cv::Mat_<double>(3, 3) << q0 * q0 + q1 * q1 - q2 * q2 - q3 * q3, 2.0 * (q1 * q2 - q0 * q3),
                    2.0 * (q1 * q3 + q0 * q2), 2.0 * (q1 * q2 + q0 * q3), q0 * q0 - q1 * q1 + q2 * q2 - q3 * q3,
                    2.0 * (q2 * q3 - q0 * q1), 2.0 * (q1 * q3 - q0 * q2), 2.0 * (q2 * q3 + q0 * q1),
                    q0 * q0 - q1 * q1 - q2 * q2 + q3 * q3);
  cv::Mat vector;
  cv::Rodrigues(matrix, vector);
  return vector;
}

void distortedProjection(const double K[5], const double D[5], const double initialQuaternion[4],
                         const double localRotation[3], const double t[3], const double M[3], double uv[2]) {
  const ProjectionTrace tr = trace(K, D, initialQuaternion, localRotation, t, M);
  uv[0] = tr.u;
  uv[1] = tr.vv;
}

void distortedProjectionJacobian(const double K[5], const double D[5], const double initialQuaternion[4],
                                 const double localRotation[3], const double t[3], const double M[3], double A[32],
                                 double B[6]) {
  jacobian(K, D, initialQuaternion, localRotation, t, M, A, B);
}

void distortedProjectionJacobianCamera(const double K[5], const double D[5], const double initialQuaternion[4],
                                       const double localRotation[3], const double t[3], const double M[3],
                                       double A[32]) {
  jacobian(K, D, initialQuaternion, localRotation, t, M, A, nullptr);
}

void distortedProjectionJacobianPoint(const double K[5], const double D[5], const double initialQuaternion[4],
                                      const double localRotation[3], const double t[3], const double M[3],
                                      double B[6]) {
  jacobian(K, D, initialQuaternion, localRotation, t, M, nullptr, B);
}
