// Fakes the camera tests share: a serial device, a display-sleep inhibitor, a camera whose frames
// the test hands over one by one, and an interpreter that records laser commands (answering them
// itself, or passing them on to a real interpreter).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/camera/CaptureDevice.h"
#include "core/camera/DisplaySleepInhibitor.h"
#include "platform/Queue.h"
#include "scancmd/QVLIInterpreterProtocol.h"
#include "scanlink/QVLCDeviceProtocol.h"
#include "sim/camera/SyntheticCamera.h"

namespace qv::test {

class FakeSerialDevice final : public QVLCDeviceProtocol {
public:
  bool connect() override {
    ++connects;
    connected = connectResult;
    return connectResult;
  }
  bool disconnect() override {
    ++disconnects;
    connected = false;
    return true;
  }
  bool resetHardware(Error*) override { return false; }
  void simulateCommunincationsError() override {}
  std::string port() const override { return "/dev/ttyACM0"; }

  bool connectResult = true;
  std::atomic<bool> connected{false};
  std::atomic<int> connects{0}, disconnects{0};
};

class FakeInhibitor final : public DisplaySleepInhibitor {
public:
  std::uint32_t inhibit(const std::string&) override { return ++held, 42; }
  void release(std::uint32_t id) override {
    if (id == 42) --held;
  }
  std::atomic<int> held{0};
};

// A camera whose frames come only when the test hands them over, with image controls of the
// synthetic camera's kind.
class HandFedCamera final : public CameraBackend {
public:
  class Device;
  HandFedCamera();
  std::vector<std::shared_ptr<CaptureDevice>> captureDevices() override;
  std::shared_ptr<UVCCameraControl> makeCameraControl(std::int64_t vendorID, std::int64_t productID,
                                                      Settings& settings) override;

  // Hands one frame to the running session (nullptr: a frame that cannot be read); false when
  // the camera is not running.
  bool deliver(SharedData frame);
  // As deliver, returning once the session has copied the frame.
  bool deliverNow(SharedData frame);
  // Reports a runtime failure, as an unplugged camera does.
  void fail();
  bool running() const;
  static SharedData frame(std::size_t length = 4915200, std::uint8_t fill = 7);

  std::string modelID = "UVC Camera VendorID_1133 ProductID_2085";
  bool opens = true;
  std::shared_ptr<sim::SyntheticControls> controls;

private:
  std::shared_ptr<Device> device_;
};

// Laser commands and stop in the order given, each answered on the main queue (or by the real
// interpreter wrapped). `outstanding()` says whether a request is still waiting for its answer.
class RecordingInterpreter final : public QVLIInterpreterProtocol,
                                   public std::enable_shared_from_this<RecordingInterpreter> {
public:
  explicit RecordingInterpreter(std::shared_ptr<QVLIInterpreterProtocol> inner = nullptr) : inner_(std::move(inner)) {}

  void disableLasers(Completion c, ErrorCallback e) override { run("L0", std::move(c), std::move(e)); }
  void enableLaser1(Completion c, ErrorCallback e) override { run("L1", std::move(c), std::move(e)); }
  void enableLaser2(Completion c, ErrorCallback e) override { run("L2", std::move(c), std::move(e)); }
  void kill(Completion c, ErrorCallback e) override { run("kill", std::move(c), std::move(e)); }
  void initializeDevice(Completion c, ErrorCallback e) override { run("init", std::move(c), std::move(e)); }
  void home(Completion c, ErrorCallback e) override { run("home", std::move(c), std::move(e)); }
  void moveCameraByMillimeters(float, Completion c, ErrorCallback e) override { run("move", std::move(c), std::move(e)); }
  void rotatePlatterByDegrees(float, Completion c, ErrorCallback e) override { run("rotate", std::move(c), std::move(e)); }
  void readCalibrationValues(CalibrationCompletion, ErrorCallback) override {}
  void setCurrentPositionX(float) override {}
  void setCurrentPositionY(float) override {}
  void updateFirmwareUsingArduinoAvrdude(bool, FirmwareCompletion) override {}
  void writeCalibration(const QVLICalibrationDetails&, Completion, ErrorCallback) override {}
  float currentPositionX() const override { return 0; }
  float currentPositionY() const override { return 0; }
  std::vector<std::string> lastCommunications() const override { return {}; }
  bool shouldUpdateFirmware() const override { return false; }

  std::vector<std::string> commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
  }
  bool outstanding() const { return outstanding_ > 0; }
  // The next command of this name fails with `error` instead of being carried out.
  void failNext(const std::string& command, Error error) {
    std::lock_guard lock(mutex_);
    failCommand_ = command;
    failWith_ = std::move(error);
  }
  // Runs when the next command of this name is done, before its completion is passed on.
  void whenNextDone(const std::string& command, std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    hookCommand_ = command;
    hook_ = std::move(hook);
  }

private:
  void run(const std::string& name, Completion c, ErrorCallback e);

  std::shared_ptr<QVLIInterpreterProtocol> inner_;
  mutable std::mutex mutex_;
  std::vector<std::string> commands_;
  std::atomic<int> outstanding_{0};
  std::string failCommand_, hookCommand_;
  Error failWith_;
  std::function<void()> hook_;
};

}  // namespace qv::test
