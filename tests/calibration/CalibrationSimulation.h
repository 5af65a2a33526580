// Running whole calibrations against the simulated scanner, and comparing the result with its truth.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "calibration/QVLCalibration.h"
#include "calibration/QVLCalibrationUtil.h"
#include "platform/Log.h"
#include "platform/Queue.h"
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

inline double angleBetween_deg(const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
  const double c = std::clamp(a.normalized().dot(b.normalized()), -1.0, 1.0);
  return std::acos(c) * 180.0 / M_PI;
}

// The difference of the planes' offsets d (n . x + d = 0, unit normals pointing the same way), mm.
inline double planeOffsetError(const QVLLaserPlane& fitted, const QVLLaserPlane& truth) {
  const Eigen::Vector3d nf = fitted.normal.normalized();
  const Eigen::Vector3d nt = truth.normal.normalized();
  return std::fabs(nf.dot(fitted.origin) - nt.dot(truth.origin));
}

}  // namespace calibration_test
