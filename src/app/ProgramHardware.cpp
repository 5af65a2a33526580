// The program's scanner hardware: the V4L2 cameras for a real scanner, the emulator and its
// synthetic camera for the simulated one.
#include "app/ProgramHardware.h"

#include <stdexcept>

#include "core/QVLAppDelegate.h"
#include "core/camera/V4L2CaptureDevice.h"
#include "platform/Log.h"
#ifdef QUORVEL_WITH_SIMULATOR
#include "sim/firmware/FirmwareEmulator.h"
#endif
#ifdef QUORVEL_WITH_SYNTHETIC_CAMERA
#include "sim/camera/SyntheticCamera.h"
#endif

namespace qv::app {

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
  scanner.folder = options.simulatorFolder;
  if (options.instantSimulator) scanner.pace = sim::FirmwarePace::none();
  parts->emulator = sim::FirmwareEmulator::plugIn(scanner);
#ifdef QUORVEL_WITH_SYNTHETIC_CAMERA
  // The emulator lives as long as the camera that reads its bed, head and lasers: both are parts.
  parts->camera = sim::SyntheticCamera::create(sim::poseOf(*parts->emulator));
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

std::shared_ptr<CameraBackend> ProgramHardware::cameraBackend() const { return parts_->camera; }

void ProgramHardware::attachCamera(QVLAppDelegate& delegate) const {
  if (!parts_->camera) {
    QVLogWarn("This build has no camera for the simulated scanner: scans and calibrations get no frames");
    return;
  }
  delegate.makeCaptureSession(parts_->camera, nullptr);
}

}  // namespace qv::app
