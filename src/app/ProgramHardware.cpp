// The program's scanner hardware: the V4L2 cameras for a real scanner, the emulator and its
// synthetic camera for the simulated one.
#include "app/ProgramHardware.h"

#include <array>
#include <stdexcept>

#include "core/QVLAppDelegate.h"
#include "core/camera/V4L2CaptureDevice.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#ifdef QUORVEL_WITH_SIMULATOR
#include "sim/firmware/FirmwareEmulator.h"
#endif
#ifdef QUORVEL_WITH_SYNTHETIC_CAMERA
#include "sim/camera/SyntheticCamera.h"
#endif
#ifdef QUORVEL_WITH_CALIBRATION_TARGETS
#include "calibration/QVLCalibration.h"
#include "sim/calibration/ChessboardTarget.h"
#include "sim/calibration/SimulatedCalibrationScanner.h"
#include "sim/calibration/TargetPlacement.h"
#endif

namespace qv::app {

namespace {

#ifdef QUORVEL_WITH_CALIBRATION_TARGETS
// The simulated scanner is built so that its camera sees the calibration target at both of the
// calibration's head heights.
sim::ScannerDesign simulatedDesign() { return sim::calibrationScannerDesign(); }

// What the simulated user has on the bed: while a calibration pass runs, the target the wizard
// was told of, where the wizard asks for it (in the middle for the first pass, turned for the
// second); the test objects otherwise.
sim::SyntheticCamera::SceneSource simulatedBed(std::weak_ptr<const QVLAppDelegate> delegate,
                                               const sim::ScannerDesign& design) {
  using Kind = sim::ChessboardTarget::Kind;
  auto bedWith = [&design](Kind kind, int pass) {
    auto scene = std::make_shared<sim::Scene>(design.bedRadius_mm, design.bedThickness_mm);
    const sim::TargetPlacement at = sim::calibrationTargetPlacement(pass);
    scene->add(std::make_shared<sim::ChessboardTarget>(kind, at.faceCentre_turntable, at.facing_deg));
    return std::shared_ptr<const sim::Scene>(std::move(scene));
  };
  // [card][pass - 1]
  const std::array<std::array<std::shared_ptr<const sim::Scene>, 2>, 2> targets{
      {{bedWith(Kind::Box, 1), bedWith(Kind::Box, 2)}, {bedWith(Kind::Card, 1), bedWith(Kind::Card, 2)}}};
  return [delegate = std::move(delegate), targets]() -> std::shared_ptr<const sim::Scene> {
    const auto core = delegate.lock();
    if (!core || core->currentAppState() != QVLAppStateCalibrating) return nullptr;
    const bool card = core->calibrationDevice() != QVLCalibration::kBoxDevice;
    return targets[card][core->calibrationPass() == 2 ? 1 : 0];
  };
}
#elif defined(QUORVEL_WITH_SYNTHETIC_CAMERA)
sim::ScannerDesign simulatedDesign() { return sim::ScannerDesign::standard(); }
#endif

}  // namespace

struct ProgramHardware::Parts {
#ifdef QUORVEL_WITH_SIMULATOR
  std::unique_ptr<sim::FirmwareEmulator> emulator;
#endif
  std::shared_ptr<CameraBackend> camera;
};

std::unique_ptr<ProgramHardware> ProgramHardware::create(const Options& options) {
  auto parts = std::make_unique<Parts>();
  if (!options.simulator) {
    // The capture session takes the first capture node whose USB identity is the scanner's
    // camera, as sysfs reports it; other cameras on the machine are left alone.
    parts->camera = std::make_shared<V4L2CameraBackend>(options.videoDevices ? options.videoDevices : V4L2Io::system());
    return std::unique_ptr<ProgramHardware>(new ProgramHardware(std::move(parts)));
  }
#ifdef QUORVEL_WITH_SIMULATOR
  sim::FirmwareEmulator::Options scanner;
  // The current firmware generation: the one whose calibration read gives back the whole record a
  // calibration writes (an older one forgets the camera's intrinsics at every connection, and with
  // no firmware image among the resources it would never be updated).
  scanner.generation = sim::FirmwareGeneration::V200;
  scanner.folder = options.simulatorFolder;
  scanner.memoryFolder = options.simulatorMemoryFolder.empty() ? paths::stateHome() / "quorvel-sim"
                                                               : options.simulatorMemoryFolder;
  if (options.instantSimulator) scanner.pace = sim::FirmwarePace::none();
  parts->emulator = sim::FirmwareEmulator::plugIn(scanner);
#ifdef QUORVEL_WITH_SYNTHETIC_CAMERA
  // The emulator lives as long as the camera that reads its bed, head and lasers: both are parts.
  sim::SyntheticCamera::Options camera;
  camera.design = simulatedDesign();
  parts->camera = sim::SyntheticCamera::create(sim::poseOf(*parts->emulator), camera);
#endif
  return std::unique_ptr<ProgramHardware>(new ProgramHardware(std::move(parts)));
#else
  throw std::runtime_error("This build of Quorvel has no simulated scanner");
#endif
}

ProgramHardware::ProgramHardware(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}

ProgramHardware::~ProgramHardware() {
  // The camera goes first: a frame being taken still reads the emulator.
  parts_->camera.reset();
}

bool ProgramHardware::isSimulated() const {
#ifdef QUORVEL_WITH_SIMULATOR
  return parts_->emulator != nullptr;
#else
  return false;
#endif
}

std::string ProgramHardware::simulatedScannerPath() const {
#ifdef QUORVEL_WITH_SIMULATOR
  if (parts_->emulator) return parts_->emulator->path();
#endif
  return {};
}

std::filesystem::path ProgramHardware::simulatedScannerMemoryFolder() const {
#ifdef QUORVEL_WITH_SIMULATOR
  if (parts_->emulator) return parts_->emulator->memoryFolder();
#endif
  return {};
}

std::shared_ptr<CameraBackend> ProgramHardware::cameraBackend() const { return parts_->camera; }

void ProgramHardware::attachCamera(QVLAppDelegate& delegate) const {
  if (!parts_->camera) {
    QVLogWarn("This build has no camera for the simulated scanner: scans and calibrations get no frames");
    return;
  }
#ifdef QUORVEL_WITH_CALIBRATION_TARGETS
  if (const auto camera = std::dynamic_pointer_cast<sim::SyntheticCamera>(parts_->camera))
    camera->setSceneSource(simulatedBed(delegate.weak_from_this(), camera->model().design()));
#endif
  delegate.makeCaptureSession(parts_->camera, nullptr);
}

}  // namespace qv::app
