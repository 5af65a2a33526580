// Measures how many laser-line points a second the conversion of a frame's points into bed-frame
// points handles, on points the ground-truth scanner places on its laser planes; also with a
// webcam's lens distortion in the calibration, which every pixel then has undone first.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "acquisition/LaserPointConversion.h"
#include "acquisition/ScannerGeometry.h"
#include "sim/optics/ScannerModel.h"
#include "support/BenchSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

using qv::bench::median;

}  // namespace

int main() {
  const qv::sim::ScannerModel model(qv::sim::ScannerDesign::standard());
  const QVLScannerCalibration calibration = model.groundTruthCalibration();
  const double head = 40.0;

  // One point a row where laser 2's plane is seen inside the scanning cylinder: what a frame of a
  // tall object gives.
  std::vector<QVSImageLaserPoint> frame;
  const Eigen::Vector3d camera = model.cameraCentre_world(head);
  const auto plane = model.laserPlane_world(1, head);
  for (int row = 0; row < 960; ++row) {
    for (double u = 200.0; u < 1100.0; u += 1.0) {
      const Eigen::Vector3d ray = model.pixelDirection_world(u, row);
      const double t = plane.normal.dot(plane.emitter - camera) / plane.normal.dot(ray);
      const Eigen::Vector3d world = camera + t * ray;
      if (world.y() >= 0.0 && std::hypot(world.x(), world.z()) < 60.0) {
        frame.emplace_back(static_cast<float>(u), row, qv::Colour{0.8, 0.7, 0.6, 1.0}, 0.5f);
        break;
      }
    }
  }

  const int frames = 2000;
  std::vector<double> rates;
  std::size_t kept = 0;
  for (int run = 0; run < 7; ++run) {
    const auto t0 = Clock::now();
    for (int i = 0; i < frames; ++i) {
      const float angle = static_cast<float>(i % 360);
      kept = qv::convertTo3dPoints(&calibration, frame, 3, angle, angle, static_cast<float>(head)).size();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    rates.push_back(static_cast<double>(frames) * frame.size() / seconds);
  }

  // The single-pixel entry point, building its bed transform every call.
  const ScannerGeometry geometry = ScannerGeometryFromCalibration(calibration, static_cast<float>(head));
  std::vector<double> pixelRates;
  double checksum = 0.0;
  for (int run = 0; run < 7; ++run) {
    const auto t0 = Clock::now();
    for (int i = 0; i < frames / 4; ++i) {
      for (const QVSImageLaserPoint& p : frame) {
        Eigen::Vector3d point;
        Eigen::Vector3d normal;
        if (TriangulateLaserPixel(geometry, p.x(), p.y(), 3, 0.5f, point, normal)) checksum += point.y();
      }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    pixelRates.push_back(static_cast<double>(frames / 4) * frame.size() / seconds);
  }

  // The same frame with the distortion a webcam lens has (the pixels are not moved: only the cost
  // of undoing it is measured).
  QVLScannerCalibration distorted = calibration;
  distorted.distortion = Eigen::Vector4d(-0.09, 0.11, 0.0008, -0.0005);
  std::vector<double> distortedRates;
  for (int run = 0; run < 7; ++run) {
    const auto t0 = Clock::now();
    for (int i = 0; i < frames; ++i) {
      const float angle = static_cast<float>(i % 360);
      checksum += static_cast<double>(
          qv::convertTo3dPoints(&distorted, frame, 3, angle, angle, static_cast<float>(head)).size());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    distortedRates.push_back(static_cast<double>(frames) * frame.size() / seconds);
  }

  std::printf("RESULT triangulate_points_per_s %.0f points/s\n", median(rates));
  std::printf("RESULT triangulate_distorted_points_per_s %.0f points/s\n", median(distortedRates));
  std::printf("RESULT triangulate_pixel_points_per_s %.0f points/s\n", median(pixelRates));
  std::printf("RESULT triangulate_frame_points %zu points\n", frame.size());
  std::printf("RESULT triangulate_frame_points_kept %zu points\n", kept);
  return checksum == 0.0 ? 1 : 0;
}
