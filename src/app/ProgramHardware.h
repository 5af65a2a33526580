// The scanner hardware the program runs on: the kernel's serial ports and USB camera, or the
// simulated scanner (the firmware emulator on a pseudo-terminal) with its synthetic camera.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

class QVLAppDelegate;

namespace qv {
class CameraBackend;
class V4L2Io;
}  // namespace qv

namespace qv::app {

class ProgramHardware {
public:
  struct Options {
    bool simulator = false;
    // The video devices the real scanner's camera is looked for among; nullptr: the kernel's.
    std::shared_ptr<V4L2Io> videoDevices;
    // Where the simulated scanner publishes its port; empty: the simulator folder.
    std::filesystem::path simulatorFolder;
    // Where the simulated scanner keeps its memory (its calibration) from one launch to the next,
    // as a real scanner keeps it across power cycles; empty: $XDG_STATE_HOME/quorvel-sim.
    std::filesystem::path simulatorMemoryFolder;
    // The simulated firmware answers at once instead of at a real scanner's pace (for tests).
    bool instantSimulator = false;
  };

  // Plugs the simulated scanner in when asked for. Throws std::system_error when it cannot be
  // started, std::runtime_error when this build has no simulated scanner.
  static std::unique_ptr<ProgramHardware> create(const Options& options);
  ~ProgramHardware();  // unplugs the simulated scanner
  ProgramHardware(const ProgramHardware&) = delete;
  ProgramHardware& operator=(const ProgramHardware&) = delete;

  bool isSimulated() const;
  // The simulated scanner's port, and the folder of its memory; empty for real hardware.
  std::string simulatedScannerPath() const;
  std::filesystem::path simulatedScannerMemoryFolder() const;
  // The cameras the capture session looks for the scanner's among (it picks the scanner's by its
  // USB identity); nullptr when this build has no camera for the simulated scanner.
  std::shared_ptr<CameraBackend> cameraBackend() const;
  // Gives the delegate its capture session on these cameras, with the desktop's display-sleep
  // inhibitor. Without a camera the delegate's jobs run without frames (and say so in the log).
  void attachCamera(QVLAppDelegate& delegate) const;

private:
  struct Parts;
  explicit ProgramHardware(std::unique_ptr<Parts> parts);
  std::unique_ptr<Parts> parts_;
};

}  // namespace qv::app
