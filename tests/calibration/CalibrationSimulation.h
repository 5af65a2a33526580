// Running whole calibrations against the simulated scanner, and comparing the result with its truth.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include "calibration/QVLCalibration.h"
#include "calibration/QVLCalibrationUtil.h"
#include "platform/Log.h"
#include "platform/Queue.h"
#include "sim/calibration/CalibrationErrors.h"
#include "sim/calibration/SimulatedCalibrationScanner.h"
#include "support/TempFolder.h"

namespace calibration_test {

using qv::sim::ChessboardTarget;
using qv::sim::SimulatedCalibrationScanner;

// Keeps the application's folders (library, settings) inside a temporary folder for a test, and
// the analysis's report off the test log.
class CalibrationFolders {
public:
  CalibrationFolders() {
    setenv("XDG_DATA_HOME", (folder_.path() / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (folder_.path() / "config").c_str(), 1);
    std::filesystem::create_directories(folder_.path() / "data" / "Quorvel");
    setCalibrationReportStream(nullptr);
    qv::log::setThreshold(qv::log::Level::Warning);
  }
  std::filesystem::path library() const { return folder_.path() / "data" / "Quorvel"; }

private:
  qv::test::TempFolder folder_;
};

// How one pass ended.
struct PassEnd {
  bool completed = false;
  std::optional<qv::Error> error;
  bool ended() const { return completed || error.has_value(); }
};

inline PassEnd runPass(const std::shared_ptr<QVLCalibration>& calibration, int pass, int device = 1,
                       QVLCalibration::UpdateCallback update = nullptr) {
  auto end = std::make_shared<PassEnd>();
  auto completion = [end] { end->completed = true; };
  auto error = [end](const qv::Error& e) { end->error = e; };
  // Completions and errors arrive on worker queues; reading `end` on the main thread is ordered by
  // the main queue the failure handler goes through, and by the polling below.
  auto done = std::make_shared<std::atomic<bool>>(false);
  auto finish = [end, done](std::function<void()> record) {
    record();
    done->store(true);
  };
  if (pass == 1)
    calibration->calibrateScannerStep1UsingDevice(
        device, [finish, completion] { finish(completion); }, update,
        [finish, error](const qv::Error& e) { finish([&] { error(e); }); });
  else
    calibration->calibrateScannerStep2UsingDevice(
        device, [finish, completion] { finish(completion); }, update,
        [finish, error](const qv::Error& e) { finish([&] { error(e); }); });
  // The limit only bounds how long a broken pass can hang: on a loaded machine a whole second pass
  // with its analysis takes minutes.
  qv::runMainQueueUntil([done] { return done->load(); }, std::chrono::seconds(1800));
  return *end;
}

// The target's two positions of a calibration: square to the camera 15 mm in front of the axis,
// then turned away (so the second pass has to search) 25 mm out.
inline void placeFirstPosition(SimulatedCalibrationScanner& scanner, ChessboardTarget::Kind kind = ChessboardTarget::Kind::Box) {
  scanner.placeTarget(kind, Eigen::Vector2d(0.0, 15.0), 0.0);
}
inline void placeSecondPosition(SimulatedCalibrationScanner& scanner, ChessboardTarget::Kind kind = ChessboardTarget::Kind::Box) {
  const double facing = -150.0;
  const double a = facing * M_PI / 180.0;
  scanner.placeTarget(kind, Eigen::Vector2d(25.0 * std::sin(a), 25.0 * std::cos(a)), facing);
}

inline std::shared_ptr<QVLCalibration> makeCalibration(SimulatedCalibrationScanner& scanner) {
  auto calibration = QVLCalibration::initWithDelegate(&scanner);
  calibration->setNonLaserExposure(100);
  calibration->setLaser1Exposures({100});
  calibration->setLaser2Exposures({100});
  return calibration;
}

// The goals a calibration is held to, the by default. Where a test's views cannot reach
// one, the test relaxes it and says what they reach.
struct Tolerances {
  double focalFraction = 0.005;
  double centre_px = 2.0;
  double reprojection_px = 0.1;
  double laserAngle_deg = 0.1;
  double laserOffset_mm = 0.1;
  double bedAngle_deg = 0.1;
  double bedOrigin_mm = 0.3;       // across the bed axis
  double bedOriginAlong_mm = 0.5;  // along it: how far a scan is lifted or lowered as a whole
  double leadScrew_deg = 0.3;
  double scanRatio = 1.5;  // a scan's RMS to the true surface, recovered calibration over true one
};

// Prints how far a recovered calibration lies from the truth, and holds it to the tolerances.
//
// The camera is held by its intrinsics. The geometry (planes, bed axis, lead screw, bed origin) is
// held in the frame the recovered camera measures in: a principal point a pixel or two off turns
// every ray of the recovered camera by some 0.04 deg a pixel about the camera centre, every plane,
// axis and point measured through those rays turns alike, and a scan triangulated with them turns
// as a whole and keeps its shape. Compared in the true camera's frame, that turn (held by the
// centre's goal) would be charged to every geometric figure again: half a millimetre at the 300 mm
// the bed lies from the camera.
//
// A plane's offset is held where the lasers meet an object (the middle of the view on the bed
// axis), not as the plane's distance from the camera centre: the scan-volume figure is how far a
// point triangulated there moves, the other is blind to any turn about the camera centre and
// weighs a turn about the scan volume by the 300 mm lever. The bed origin is held across the bed
// axis, where it sets the slices of different bed angles apart, and along it, where it lifts or
// lowers a whole scan as one (and a scan lowered far enough loses its foot to the scanning area).
inline void expectCloseToTruth(const QVLScannerCalibration& c, const QVLScannerCalibration& truth,
                               const Tolerances& tolerances, std::optional<float> reprojection = std::nullopt) {
  const qv::sim::CalibrationComparison compared = qv::sim::compareWithTruth(c, truth);
  std::cout << compared;
  const qv::sim::CalibrationErrors& camera = compared.raw;
  const qv::sim::CalibrationErrors& own = compared.ownFrame;
  EXPECT_LT(camera.fx_fraction, tolerances.focalFraction);
  EXPECT_LT(camera.fy_fraction, tolerances.focalFraction);
  EXPECT_LT(std::fabs(camera.cx_px), tolerances.centre_px);
  EXPECT_LT(std::fabs(camera.cy_px), tolerances.centre_px);
  if (reprojection) {
    EXPECT_LT(*reprojection, tolerances.reprojection_px);
  }
  EXPECT_LT(own.worstLaserAngle_deg(), tolerances.laserAngle_deg);
  EXPECT_LT(own.worstLaserOffsetInScanVolume_mm(), tolerances.laserOffset_mm);
  EXPECT_LT(own.bedAxis_deg, tolerances.bedAngle_deg);
  EXPECT_LT(own.bedOriginAcross_mm, tolerances.bedOrigin_mm);
  EXPECT_LT(std::fabs(own.bedOriginAlong_mm), tolerances.bedOriginAlong_mm);
  EXPECT_LT(own.leadScrew_deg, tolerances.leadScrew_deg);
}

}  // namespace calibration_test
