// The fixture of the hardware relay tests: the delegate over a scripted interpreter that tracks
// head and bed as a scanner does, and the synthetic camera rendering that interpreter's pose.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "CoreTestSupport.h"
#include "core/camera/QVLCameraCaptureSession.h"
#include "core/camera/QVLImageSequences.h"
#include "sim/camera/SyntheticCamera.h"

namespace qv::test {

// Tracks head and bed as a scanner does and answers every request at once, or fails the next
// request of a name.
class ScriptedInterpreter final : public QVLIInterpreterProtocol {
public:
  void disableLasers(Completion c, ErrorCallback e) override { run("L0", c, e, [&] { laser1 = laser2 = false; }); }
  void enableLaser1(Completion c, ErrorCallback e) override { run("L1", c, e, [&] { laser1 = true; }); }
  void enableLaser2(Completion c, ErrorCallback e) override { run("L2", c, e, [&] { laser2 = true; }); }
  void kill(Completion c, ErrorCallback e) override { run("kill", c, e, [&] { laser1 = laser2 = false; }); }
  void initializeDevice(Completion c, ErrorCallback e) override { run("init", c, e, [] {}); }
  void home(Completion c, ErrorCallback e) override { run("home", c, e, [&] { x = 0, y = 0; }); }
  void moveCameraByMillimeters(float mm, Completion c, ErrorCallback e) override { run("move", c, e, [&] { y += mm; }); }
  void rotatePlatterByDegrees(float d, Completion c, ErrorCallback e) override { run("rotate", c, e, [&] { x += d; }); }
  void readCalibrationValues(CalibrationCompletion, ErrorCallback) override {}
  void setCurrentPositionX(float v) override { x = v; }
  void setCurrentPositionY(float v) override { y = v; }
  void updateFirmwareUsingArduinoAvrdude(bool, FirmwareCompletion) override {}
  void writeCalibration(const QVLICalibrationDetails&, Completion, ErrorCallback) override {}
  float currentPositionX() const override { return x; }
  float currentPositionY() const override { return y; }
  std::vector<std::string> lastCommunications() const override { return communications; }
  bool shouldUpdateFirmware() const override { return false; }

  std::vector<std::string> heard() const {
    std::lock_guard lock(mutex);
    return commands;
  }

  std::atomic<float> x{0}, y{0};
  std::atomic<bool> laser1{false}, laser2{false};
  std::string failNext;
  std::vector<std::string> communications;

private:
  void run(const std::string& name, const Completion& c, const ErrorCallback& e, const std::function<void()>& act) {
    {
      std::lock_guard lock(mutex);
      commands.push_back(name);
    }
    if (failNext == name) {
      failNext.clear();
      if (e) e(Error(kInterpreterErrorDomain, 3, "refused"));
      return;
    }
    act();
    if (c) c();
  }
  mutable std::mutex mutex;
  std::vector<std::string> commands;
};

class HardwareRelaysTest : public CoreTest {
protected:
  void SetUp() override {
    QVLAppEnvironment environment;
    environment.portManager = manager_;
    environment.settings = &settings_;
    delegate_ = QVLAppDelegate::create(environment);
    delegate_->setScreenHost(host_);
    delegate_->setDevice(nullptr, interpreter_);
    camera_ = sim::SyntheticCamera::create([this] {
      sim::ScannerPose pose;
      pose.bedAngle_deg = interpreter_->x;
      pose.headHeight_mm = interpreter_->y;
      pose.laser1On = interpreter_->laser1;
      pose.laser2On = interpreter_->laser2;
      return pose;
    });
    delegate_->makeCaptureSession(camera_, std::make_shared<NoInhibitor>());
    Error error;
    ASSERT_TRUE(delegate_->captureSession()->connectCamera(&error)) << error.text();
  }
  void TearDown() override {
    delegate_->captureSession()->disconnectCamera();
    drainMainQueue();
  }

  // Runs the main queue until `done`, the manual clock moved on a frame at a time.
  bool drive(const std::function<bool()>& done) {
    return runMainQueueUntil(
        [&] {
          if (done()) return true;
          clock_.clock()->advance(seconds(1.0 / 30.0));
          return false;
        },
        kPatience);
  }

  std::shared_ptr<ScriptedInterpreter> interpreter_ = std::make_shared<ScriptedInterpreter>();
  std::shared_ptr<sim::SyntheticCamera> camera_;
};

}  // namespace qv::test
