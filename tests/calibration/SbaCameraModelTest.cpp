// The bundle adjustment's camera model: projection against OpenCV, derivatives against differences, quaternions.
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/calib3d.hpp>

#include "calibration/SbaCameraModel.h"

namespace {

struct CameraState {
  double K[5] = {1400.0, 645.0, 470.0, 1.02, 3.5};
  double D[5] = {-0.12, 0.07, 0.002, -0.0015, -0.03};
  double initial[4] = {0.0, 0.0, 0.0, 0.0};
  double local[3] = {0.03, -0.05, 0.02};
  double t[3] = {12.0, -8.0, 310.0};
  double M[3] = {17.0, -11.0, 6.0};
};

CameraState generalState() {
  CameraState state;
  const cv::Mat rvec = (cv::Mat_<double>(3, 1) << 0.3, -0.7, 2.4);
  rod2quat(rvec, state.initial);
  return state;
}

// The 19 parameters one projection depends on, in the order of A's then B's columns.
double* parameter(CameraState& s, int k) {
  if (k < 5) return &s.K[k];
  if (k < 10) return &s.D[k - 5];
  if (k < 13) return &s.local[k - 10];
  if (k < 16) return &s.t[k - 13];
  return &s.M[k - 16];
}

void project(const CameraState& s, double uv[2]) { distortedProjection(s.K, s.D, s.initial, s.local, s.t, s.M, uv); }

}  // namespace

TEST(SbaCameraModel, ProjectionMatchesOpenCv) {
  CameraState s = generalState();
  s.K[4] = 0.0;  // OpenCV's model has no skew
  // The composed rotation is the local one applied after the initial one.
  double local[4];
  vectorToQuaternion(s.local, local);
  double whole[4];
  multiplyQuaternions(local, s.initial, whole);
  const cv::Mat rvec = quaternionToRotationVector(whole);
  const cv::Mat tvec = (cv::Mat_<double>(3, 1) << s.t[0], s.t[1], s.t[2]);
  const cv::Mat K = (cv::Mat_<double>(3, 3) << s.K[0], 0.0, s.K[1], 0.0, s.K[0] * s.K[3], s.K[2], 0.0, 0.0, 1.0);
  const cv::Mat D = (cv::Mat_<double>(1, 5) << s.D[0], s.D[1], s.D[2], s.D[3], s.D[4]);
  const std::vector<cv::Point3d> points{{s.M[0], s.M[1], s.M[2]}, {-30.0, 25.0, -10.0}, {0.0, 0.0, 0.0}};
  std::vector<cv::Point2d> expected;
  cv::projectPoints(points, rvec, tvec, K, D, expected);
  for (std::size_t i = 0; i < points.size(); ++i) {
    s.M[0] = points[i].x;
    s.M[1] = points[i].y;
    s.M[2] = points[i].z;
    double uv[2];
    project(s, uv);
    EXPECT_NEAR(uv[0], expected[i].x, 1e-8);
    EXPECT_NEAR(uv[1], expected[i].y, 1e-8);
  }
}

TEST(SbaCameraModel, DerivativesMatchCentralDifferences) {
  const CameraState base = generalState();
  double A[32];
  double B[6];
  distortedProjectionJacobian(base.K, base.D, base.initial, base.local, base.t, base.M, A, B);
  double Acamera[32];
  double Bpoint[6];
  distortedProjectionJacobianCamera(base.K, base.D, base.initial, base.local, base.t, base.M, Acamera);
  distortedProjectionJacobianPoint(base.K, base.D, base.initial, base.local, base.t, base.M, Bpoint);

  for (int k = 0; k < 19; ++k) {
    CameraState plus = base;
    CameraState minus = base;
    const double h = 1e-6 * std::max(1.0, std::fabs(*parameter(plus, k)));
    *parameter(plus, k) += h;
    *parameter(minus, k) -= h;
    double up[2];
    double down[2];
    project(plus, up);
    project(minus, down);
    for (int row = 0; row < 2; ++row) {
      const double numeric = (up[row] - down[row]) / (2.0 * h);
      const double analytic = k < 16 ? A[row * 16 + k] : B[row * 3 + (k - 16)];
      EXPECT_NEAR(analytic, numeric, 1e-5 * std::max(1.0, std::fabs(numeric))) << "parameter " << k << " row " << row;
      const double alone = k < 16 ? Acamera[row * 16 + k] : Bpoint[row * 3 + (k - 16)];
      EXPECT_EQ(alone, analytic);
    }
  }
}

TEST(SbaCameraModel, Rod2quatCoversEveryBranch) {
  double q[4];
  rod2quat(cv::Mat::eye(3, 3, CV_64F), q);
  EXPECT_DOUBLE_EQ(q[0], 1.0);
  EXPECT_DOUBLE_EQ(q[1], 0.0);
  EXPECT_DOUBLE_EQ(q[2], 0.0);
  EXPECT_DOUBLE_EQ(q[3], 0.0);

  const cv::Mat aboutX = (cv::Mat_<double>(3, 3) << 1, 0, 0, 0, -1, 0, 0, 0, -1);
  rod2quat(aboutX, q);
  EXPECT_DOUBLE_EQ(q[0], 0.0);
  EXPECT_DOUBLE_EQ(q[1], 1.0);
  EXPECT_DOUBLE_EQ(q[2], 0.0);
  EXPECT_DOUBLE_EQ(q[3], 0.0);

  // Rotation vectors (any shape and depth) whose quaternions have each component largest: the
  // quaternion must describe the same rotation.
  const std::vector<cv::Vec3d> vectors{{0.1, -0.2, 0.3}, {2.9, 0.3, -0.2}, {-0.2, 3.0, 0.4}, {0.3, 0.1, -3.05},
                                       {1.2, 1.1, -1.3}};
  for (const auto& v : vectors) {
    cv::Mat row = (cv::Mat_<float>(1, 3) << static_cast<float>(v[0]), static_cast<float>(v[1]),
                   static_cast<float>(v[2]));
    rod2quat(row, q);
    EXPECT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1.0, 1e-12);
    cv::Mat expected;
    cv::Mat rowDouble;
    row.convertTo(rowDouble, CV_64F);
    cv::Rodrigues(rowDouble, expected);
    cv::Mat actual;
    cv::Rodrigues(quaternionToRotationVector(q), actual);
    EXPECT_LT(cv::norm(actual, expected, cv::NORM_INF), 1e-6) << v;
  }
}

TEST(SbaCameraModel, QuaternionHelpers) {
  const double a[4] = {0.5, 0.5, -0.5, 0.5};
  const double b[4] = {0.0, 1.0, 0.0, 0.0};
  double product[4];
  multiplyQuaternions(a, b, product);
  // (w1w2 − v1·v2, w1v2 + w2v1 + v1 × v2)
  EXPECT_DOUBLE_EQ(product[0], -0.5);
  EXPECT_DOUBLE_EQ(product[1], 0.5);
  EXPECT_DOUBLE_EQ(product[2], 0.5);
  EXPECT_DOUBLE_EQ(product[3], 0.5);

  // A negative scalar part flips the vector part, so the quaternion it stands for has q0 ≥ 0.
  const double negative[4] = {-0.6, 0.0, 0.0, 0.8};
  double v[3];
  quaternionToVector(negative, v);
  EXPECT_DOUBLE_EQ(v[2], -0.8);
  double back[4];
  vectorToQuaternion(v, back);
  EXPECT_NEAR(back[0], 0.6, 1e-15);
  EXPECT_DOUBLE_EQ(back[3], -0.8);

  // A half-turn's vector part has unit length; rounding must not turn its scalar part into NaN.
  for (const auto& axis : {cv::Vec3d(1, 1, 1), cv::Vec3d(0.3, -0.7, 0.2), cv::Vec3d(2, 3, 6)}) {
    const cv::Vec3d unit = cv::normalize(axis);
    const double v3[3] = {unit[0], unit[1], unit[2]};
    vectorToQuaternion(v3, back);
    EXPECT_TRUE(std::isfinite(back[0]));
    EXPECT_LT(back[0], 1e-7);
  }
}
