// The camera tests' fakes.
#include "CameraTestSupport.h"

#include <cerrno>

namespace qv::test {

class HandFedCamera::Device final : public CaptureDevice {
public:
  explicit Device(HandFedCamera& owner) : owner_(owner) {}
  std::string modelID() const override { return owner_.modelID; }
  bool open(Error* error) override {
    if (!owner_.opens && error) *error = posixError(EBUSY, "busy");
    return owner_.opens;
  }
  std::vector<std::uint32_t> availablePixelFormats() override { return {kPixelFormatBGRA}; }
  void setVideoSettings(std::uint32_t, int, int) override {}
  bool startRunning(QueuePtr queue, SampleHandler onFrame, RuntimeErrorHandler onError, Error*) override {
    std::lock_guard lock(mutex);
    this->queue = std::move(queue);
    this->onFrame = std::move(onFrame);
    this->onError = std::move(onError);
    return true;
  }
  void stopRunning() override {
    std::lock_guard lock(mutex);
    queue.reset();
    onFrame = nullptr;
    onError = nullptr;
  }

  struct Sample final : CameraSampleBuffer {
    explicit Sample(SharedData d) : data(std::move(d)) {}
    SharedData copyImageData() const override { return data; }
    SharedData data;
  };

  HandFedCamera& owner_;
  mutable std::mutex mutex;
  QueuePtr queue;
  SampleHandler onFrame;
  RuntimeErrorHandler onError;
};

HandFedCamera::HandFedCamera()
    : controls(std::make_shared<sim::SyntheticControls>(1133, 2085, 5000)), device_(std::make_shared<Device>(*this)) {}

std::vector<std::shared_ptr<CaptureDevice>> HandFedCamera::captureDevices() { return {device_}; }

std::shared_ptr<UVCCameraControl> HandFedCamera::makeCameraControl(std::int64_t vendorID, std::int64_t productID,
                                                                   Settings& settings) {
  return std::make_shared<UVCCameraControl>(vendorID, productID, controls, settings);
}

bool HandFedCamera::deliver(SharedData frame) {
  std::lock_guard lock(device_->mutex);
  if (!device_->queue) return false;
  auto handler = device_->onFrame;
  device_->queue->async([handler, frame] { handler(std::make_shared<Device::Sample>(frame)); });
  return true;
}

bool HandFedCamera::deliverNow(SharedData frame) {
  QueuePtr queue;
  CaptureDevice::SampleHandler handler;
  {
    std::lock_guard lock(device_->mutex);
    queue = device_->queue;
    handler = device_->onFrame;
  }
  if (!queue) return false;
  queue->sync([&] { handler(std::make_shared<Device::Sample>(frame)); });
  return true;
}

void HandFedCamera::fail() {
  CaptureDevice::RuntimeErrorHandler handler;
  {
    std::lock_guard lock(device_->mutex);
    handler = device_->onError;
  }
  if (handler) handler(posixError(ENODEV, "unplugged"));
}

bool HandFedCamera::running() const {
  std::lock_guard lock(device_->mutex);
  return device_->queue != nullptr;
}

SharedData HandFedCamera::frame(std::size_t length, std::uint8_t fill) {
  return std::make_shared<const Data>(length, fill);
}

void RecordingInterpreter::run(const std::string& name, Completion c, ErrorCallback e) {
  std::function<void()> hook;
  std::optional<Error> failure;
  {
    std::lock_guard lock(mutex_);
    commands_.push_back(name);
    if (hookCommand_ == name) {
      hook = std::move(hook_);
      hookCommand_.clear();
    }
    if (failCommand_ == name) {
      failure = failWith_;
      failCommand_.clear();
    }
  }
  ++outstanding_;
  // Answers may come after the test is over: they keep the recorder alive.
  auto self = shared_from_this();
  auto done = [self, c = std::move(c), hook = std::move(hook)] {
    if (hook) hook();
    --self->outstanding_;
    if (c) c();
  };
  auto failed = [self, e = std::move(e)](const Error& error) {
    --self->outstanding_;
    if (e) e(error);
  };
  if (failure) {
    mainQueue()->async([failed, error = *failure] { failed(error); });
    return;
  }
  if (!inner_) {
    mainQueue()->async(done);
    return;
  }
  if (name == "L0") inner_->disableLasers(done, failed);
  else if (name == "L1") inner_->enableLaser1(done, failed);
  else if (name == "L2") inner_->enableLaser2(done, failed);
  else if (name == "kill") inner_->kill(done, failed);
  else if (name == "init") inner_->initializeDevice(done, failed);
  else if (name == "home") inner_->home(done, failed);
  else mainQueue()->async(done);
}

}  // namespace qv::test
