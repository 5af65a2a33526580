// A ring of cameras looking at a 4 × 5 board, observed through OpenCV's own projection: the
// bundle adjustment's tests and its benchmark solve the same kind of scene.
#pragma once

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <random>
#include <vector>

namespace qv::bench {

struct RingScene {
  std::vector<cv::Point3d> board;  // true board corners (mm)
  std::vector<cv::Mat> rvecs;      // true rotation vectors, 3x1 64-bit
  std::vector<cv::Mat> tvecs;      // true translations, 3x1 64-bit
  cv::Mat cameraMatrix;            // 3x3 64-bit
  cv::Mat distortion;              // 1x5 64-bit
  std::vector<std::vector<cv::Point2d>> observations;  // per camera, per corner
};

// Where the ring's cameras stand: camera k is tilted firstTilt + tiltStep·(k mod tiltSteps) off the
// board's normal and stands firstDistance + distanceStep·(k mod distanceSteps) from its centre.
struct RingLayout {
  double firstTilt_deg = 30.0;
  double tiltStep_deg = 10.0;
  int tiltSteps = 3;
  double firstDistance_mm = 280.0;
  double distanceStep_mm = 10.0;
  int distanceSteps = 4;
  double fx = 1428.5714;
  double fy = 1435.0;
};

// By default cameras 280 to 310 mm from the board centre, 30 to 50 degrees off its normal, all
// around it.
inline RingScene makeRingScene(int cameras, double noise_px, unsigned seed, const RingLayout& layout = {}) {
  RingScene scene;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 5; ++c) scene.board.emplace_back(10.0 * c - 20.0, 10.0 * r - 15.0, 0.0);
  }
  scene.cameraMatrix = (cv::Mat_<double>(3, 3) << layout.fx, 0.0, 640.0, 0.0, layout.fy, 480.0, 0.0, 0.0, 1.0);
  scene.distortion = (cv::Mat_<double>(1, 5) << -0.08, 0.05, 0.001, -0.0005, 0.0);
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0.0, noise_px);
  for (int k = 0; k < cameras; ++k) {
    const double azimuth = 2.0 * CV_PI * k / cameras;
    const double tilt = (layout.firstTilt_deg + layout.tiltStep_deg * (k % layout.tiltSteps)) * CV_PI / 180.0;
    const double distance = layout.firstDistance_mm + layout.distanceStep_mm * (k % layout.distanceSteps);
    const cv::Vec3d centre(distance * std::sin(tilt) * std::cos(azimuth), distance * std::sin(tilt) * std::sin(azimuth),
                           -distance * std::cos(tilt));
    const cv::Vec3d forward = -cv::normalize(centre);
    const cv::Vec3d right = cv::normalize(forward.cross(cv::Vec3d(0.0, 0.0, 1.0)));
    const cv::Vec3d down = forward.cross(right);
    cv::Mat rotation = (cv::Mat_<double>(3, 3) << right[0], right[1], right[2], down[0], down[1], down[2], forward[0],
                        forward[1], forward[2]);
    cv::Mat rvec;
    cv::Rodrigues(rotation, rvec);
    cv::Mat tvec = -rotation * cv::Mat(centre);
    scene.rvecs.push_back(rvec);
    scene.tvecs.push_back(tvec);
    std::vector<cv::Point2d> projected;
    cv::projectPoints(scene.board, rvec, tvec, scene.cameraMatrix, scene.distortion, projected);
    for (auto& point : projected) {
      point.x += noise_px > 0.0 ? noise(random) : 0.0;
      point.y += noise_px > 0.0 ? noise(random) : 0.0;
    }
    scene.observations.push_back(projected);
  }
  return scene;
}

// The inputs of one adjustment: the scene's poses and board moved off their true values.
struct RingStart {
  std::vector<cv::Point3d> points;
  std::vector<cv::Mat> cameraMatrix, R, T, distortion;
  std::vector<std::vector<int>> visibility;
};

inline RingStart perturbedStart(const RingScene& scene, double rotation_rad, double translation_mm,
                                double point_mm, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> unit(0.0, 1.0);
  RingStart start;
  for (const auto& point : scene.board) {
    start.points.emplace_back(point.x + point_mm * unit(random), point.y + point_mm * unit(random),
                              point.z + point_mm * unit(random));
  }
  for (std::size_t j = 0; j < scene.rvecs.size(); ++j) {
    cv::Mat r = scene.rvecs[j].clone();
    cv::Mat t = scene.tvecs[j].clone();
    for (int k = 0; k < 3; ++k) {
      r.at<double>(k) += rotation_rad * unit(random);
      t.at<double>(k) += translation_mm * unit(random);
    }
    start.R.push_back(r);
    start.T.push_back(t);
    start.cameraMatrix.push_back(scene.cameraMatrix.clone());
    start.distortion.push_back(scene.distortion.clone());
    start.visibility.emplace_back(scene.board.size(), 1);
  }
  return start;
}

// Sum of squared reprojection residuals over the visible projections, by OpenCV.
inline double sumOfSquaredResiduals(const RingScene& scene, const std::vector<cv::Point3d>& points,
                                    const std::vector<cv::Mat>& cameraMatrix, const std::vector<cv::Mat>& R,
                                    const std::vector<cv::Mat>& T, const std::vector<cv::Mat>& distortion,
                                    const std::vector<std::vector<int>>& visibility) {
  double sum = 0.0;
  for (std::size_t j = 0; j < R.size(); ++j) {
    cv::Mat rvec = R[j];
    if (rvec.total() == 9) cv::Rodrigues(R[j], rvec);
    std::vector<cv::Point2d> projected;
    cv::projectPoints(points, rvec, T[j], cameraMatrix[j], distortion[j], projected);
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (!visibility[j][i]) continue;
      const cv::Point2d d = projected[i] - scene.observations[j][i];
      sum += d.dot(d);
    }
  }
  return sum;
}

}  // namespace qv::bench
