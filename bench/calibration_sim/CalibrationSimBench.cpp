// Runs a whole calibration on the simulated scanner, then times the analysis of its views on its own.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "calibration/QVLCalibration.h"
#include "calibration/QVLCalibrationUtil.h"
#include "calibration/ScannerCalibrationAnalysis.h"
#include "platform/Log.h"
#include "platform/Queue.h"
#include "sim/calibration/SimulatedCalibrationScanner.h"

namespace fs = std::filesystem;
using qv::sim::ChessboardTarget;
using qv::sim::SimulatedCalibrationScanner;

namespace {

double angle_deg(const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
  return std::acos(std::clamp(a.normalized().dot(b.normalized()), -1.0, 1.0)) * 180.0 / M_PI;
}

// The difference of the planes' offsets d (n . x + d = 0, unit normals pointing the same way), mm.
double planeOffsetError(const QVLLaserPlane& fitted, const QVLLaserPlane& truth) {
  const Eigen::Vector3d nf = fitted.normal.normalized();
  const Eigen::Vector3d nt = truth.normal.normalized();
  return std::fabs(nf.dot(fitted.origin) - nt.dot(truth.origin));
}

bool runPass(const std::shared_ptr<QVLCalibration>& calibration, int pass) {
  std::atomic<int> result{0};
  auto done = [&] { result = 1; };
  auto failed = [&](const qv::Error& e) {
    std::cerr << "pass " << pass << " failed: " << e.text() << "\n";
    result = 2;
  };
  if (pass == 1) calibration->calibrateScannerStep1UsingDevice(1, done, nullptr, failed);
  else calibration->calibrateScannerStep2UsingDevice(1, done, nullptr, failed);
  qv::runMainQueueUntil([&] { return result != 0; }, std::chrono::seconds(1200));
  return result == 1;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const double noise = argc > 1 ? std::atof(argv[1]) : 0.0;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  const fs::path home = fs::temp_directory_path() / ("quorvel-bench-calibration-" + std::to_string(::getpid()));
  fs::create_directories(home / "data" / "Quorvel");
  setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
  setCalibrationReportStream(nullptr);
  qv::log::setThreshold(qv::log::Level::Warning);

  SimulatedCalibrationScanner scanner;
  scanner.setNoiseSigma(noise);
  auto calibration = QVLCalibration::initWithDelegate(&scanner);
  calibration->setNonLaserExposure(100);
  calibration->setLaser1Exposures({100});
  calibration->setLaser2Exposures({100});
  const auto captureStart = std::chrono::steady_clock::now();
  scanner.placeTarget(ChessboardTarget::Kind::Box, Eigen::Vector2d(0.0, 15.0), 0.0);
  if (!runPass(calibration, 1)) return 1;
  const double a = -150.0 * M_PI / 180.0;
  const double r2 = argc > 3 ? std::atof(argv[3]) : 25.0;
  scanner.placeTarget(ChessboardTarget::Kind::Box, Eigen::Vector2d(r2 * std::sin(a), r2 * std::cos(a)), -150.0);
  if (!runPass(calibration, 2)) return 1;
  const double wholeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - captureStart).count();

  // The analysis again, on the same views, for its time alone.
  std::vector<double> seconds;
  QVLScannerCalibration c;
  float reprojection = 0.0f;
  ScannerCalibrationAnalysisDetails details;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    std::string failure;
    if (!CalibrateScannerFromCheckerboards(calibration->calibrations(), (home / "calData.xml").string(),
                                           (home / "calData_Results.xml").string(), true, c, reprojection, &failure,
                                           {}, &details)) {
      std::cerr << "analysis failed: " << failure << "\n";
      return 1;
    }
    seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  const QVLScannerCalibration truth = scanner.model().groundTruthCalibration();
  std::printf("views %zu, laser points %zu / %zu, whole calibration %.1f s, noise %.1f\n",
              calibration->calibrations().size(), details.laser1PointCount, details.laser2PointCount, wholeSeconds,
              noise);
  std::printf("board pitch after the first adjustment %.5f mm, after the last %.5f mm (restored each time)\n",
              details.refinement.adjustedBoardPitch_mm.front(), details.refinement.adjustedBoardPitch_mm.back());
  std::printf("RESULT calibration_analysis_s %.3f s\n", median(seconds));
  std::printf("RESULT reprojection_px %.4f px\n", reprojection);
  std::printf("RESULT laser_plane_deg %.4f deg\n",
              std::max(angle_deg(c.laser1.normal, truth.laser1.normal), angle_deg(c.laser2.normal, truth.laser2.normal)));
  std::printf("RESULT laser_plane_mm %.4f mm\n",
              std::max(planeOffsetError(c.laser1, truth.laser1), planeOffsetError(c.laser2, truth.laser2)));
  std::printf("RESULT bed_axis_deg %.4f deg\n", angle_deg(c.bedNormal, truth.bedNormal));
  std::printf("RESULT bed_origin_mm %.4f mm\n", (c.bedOrigin - truth.bedOrigin).norm());
  std::printf("RESULT lead_screw_deg %.4f deg\n", angle_deg(c.leadScrewNormal, truth.leadScrewNormal));
  std::printf("intrinsics %.2f %.2f %.2f %.2f (true %.2f %.2f %.2f %.2f)\n", c.intrinsics[0], c.intrinsics[1],
              c.intrinsics[2], c.intrinsics[3], truth.intrinsics[0], truth.intrinsics[1], truth.intrinsics[2],
              truth.intrinsics[3]);
  std::error_code ec;
  fs::remove_all(home, ec);
  return 0;
}
