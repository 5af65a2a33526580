// Calibrations through the application core on the simulated scanner: the real port source, device
// link and interpreter drive the firmware emulator on a pseudo-terminal, and the synthetic camera,
// built like the calibration simulator's scanner, renders the target the user placed on the bed.
#pragma once

#include <filesystem>
#include <optional>

#include "CoreTestSupport.h"
#include "platform/Paths.h"
#include "sim/calibration/ChessboardTarget.h"
#include "sim/calibration/SimulatedCalibrationScanner.h"
#include "sim/camera/SyntheticCamera.h"

namespace qv::test {

// How one pass ended, and what it told on the way.
struct PassOutcome {
  bool completed = false;
  std::optional<Error> error;
  int updates = 0;
  int ends = 0;
  bool ended() const { return ends > 0; }
};

class CalibrationOnTheEmulator : public CoreTest {
protected:
  using Kind = sim::ChessboardTarget::Kind;

  void SetUp() override {
    // The library folder the analysis writes into; the program's object store makes it at launch.
    std::filesystem::create_directories(qv::paths::applicationLibraryPath());
    emulator_ = &plugScanner();
    launch();
    ASSERT_TRUE(advanceUntil([&] { return delegate_->deviceInterpreter() != nullptr; }));
  }

  // The user puts the target on the bed: the camera sees it from now on. (A camera of its own per
  // placement, so no frame of the bed as it was is ever handed out again.)
  void placeTarget(Kind kind, Eigen::Vector2d faceCentre_turntable, double facing_deg) {
    auto scene = std::make_shared<sim::Scene>(design_.bedRadius_mm, design_.bedThickness_mm);
    scene->add(std::make_shared<sim::ChessboardTarget>(kind, faceCentre_turntable, facing_deg));
    sim::SyntheticCamera::Options options;
    options.design = design_;
    options.scene = std::move(scene);
    camera_ = sim::SyntheticCamera::create(sim::poseOf(*emulator_), options);
    delegate_->makeCaptureSession(camera_, std::make_shared<NoInhibitor>());
  }
  // Square to the camera in front of the axis, then turned away and further out, so that the
  // second pass has to search for it.
  void placeFirstPosition(Kind kind = Kind::Box) { placeTarget(kind, Eigen::Vector2d(0.0, 15.0), 0.0); }
  void placeSecondPosition(Kind kind = Kind::Box) {
    const double facing_deg = -150.0, a = facing_deg * M_PI / 180.0;
    placeTarget(kind, Eigen::Vector2d(25.0 * std::sin(a), 25.0 * std::cos(a)), facing_deg);
  }

  // Starts a pass through the calibration screen's relay with callbacks that record into `o`.
  void startPass(int pass, PassOutcome& o, int device = QVLCalibration::kBoxDevice) {
    auto completion = [&o] { o.completed = true, ++o.ends; };
    auto update = [&o](std::shared_ptr<QVLStatus>) { ++o.updates; };
    auto error = [&o](const Error& e) { o.error = e, ++o.ends; };
    if (pass == 1)
      delegate_->startFirstPassCalibrationForViewController(device, completion, update, error);
    else
      delegate_->startSecondPassCalibrationForViewController(device, completion, update, error);
  }

  sim::ScannerDesign design_ = sim::calibrationScannerDesign();
  sim::FirmwareEmulator* emulator_ = nullptr;
  std::shared_ptr<sim::SyntheticCamera> camera_;
};

}  // namespace qv::test
