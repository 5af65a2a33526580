// The synthetic camera: image controls, a paced frame source and renders cached by what they show.
#include "sim/camera/SyntheticCamera.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "sim/firmware/FirmwareEmulator.h"

namespace qv::sim {

std::function<ScannerPose()> poseOf(const FirmwareEmulator& emulator) {
  return [presence = emulator.presence()] {
    ScannerPose pose;  // a scanner that is gone shows the bed at rest, lasers off
    std::lock_guard lock(presence->mutex);
    if (const FirmwareEmulator* e = presence->emulator) {
      pose.bedAngle_deg = e->bedAngle_deg();
      pose.headHeight_mm = e->headHeight_mm();
      pose.laser1On = e->laser1On();
      pose.laser2On = e->laser2On();
    }
    return pose;
  };
}

// ---- controls ----

namespace {
constexpr int kControlFd = 7001;
}

SyntheticControls::SyntheticControls(int vendorID, int productID, int neutralWhiteBalance)
    : vendorID_(vendorID), productID_(productID), neutralWhiteBalance_(neutralWhiteBalance) {
  controls_[V4L2_CID_EXPOSURE_AUTO] = {0, 3, 1, V4L2_EXPOSURE_APERTURE_PRIORITY, V4L2_CTRL_TYPE_MENU};
  controls_[V4L2_CID_EXPOSURE_ABSOLUTE] = {1, 10000, 1, 166, V4L2_CTRL_TYPE_INTEGER};
  controls_[V4L2_CID_BRIGHTNESS] = {0, 255, 1, 128, V4L2_CTRL_TYPE_INTEGER};
  controls_[V4L2_CID_CONTRAST] = {0, 255, 1, 32, V4L2_CTRL_TYPE_INTEGER};
  controls_[V4L2_CID_GAIN] = {0, 255, 1, 64, V4L2_CTRL_TYPE_INTEGER};
  controls_[V4L2_CID_SATURATION] = {0, 255, 1, 32, V4L2_CTRL_TYPE_INTEGER};
  controls_[V4L2_CID_SHARPNESS] = {0, 255, 1, 24, V4L2_CTRL_TYPE_INTEGER};
  controls_[V4L2_CID_WHITE_BALANCE_TEMPERATURE] = {2800, 10000, 10, 4000, V4L2_CTRL_TYPE_INTEGER};
  controls_[V4L2_CID_AUTO_WHITE_BALANCE] = {0, 1, 1, 1, V4L2_CTRL_TYPE_BOOLEAN};
}

std::vector<V4L2Io::Node> SyntheticControls::videoNodes() {
  return {Node{kNodePath, "Quorvel synthetic camera", vendorID_, productID_, 0}};
}

int SyntheticControls::open(const std::string& path) { return path == kNodePath ? kControlFd : -ENOENT; }

void SyntheticControls::close(int) {}

int SyntheticControls::ioctl(int fd, unsigned long request, void* argument) {
  if (fd != kControlFd) return -EBADF;
  std::lock_guard lock(mutex_);
  if (request == VIDIOC_QUERYCTRL) {
    auto* q = static_cast<v4l2_queryctrl*>(argument);
    const auto it = controls_.find(q->id);
    if (it == controls_.end()) return -EINVAL;
    const std::uint32_t id = q->id;
    *q = v4l2_queryctrl{};
    q->id = id;
    q->type = it->second.type;
    q->minimum = it->second.minimum;
    q->maximum = it->second.maximum;
    q->step = it->second.step;
    return 0;
  }
  if (request == VIDIOC_G_CTRL || request == VIDIOC_S_CTRL) {
    auto* c = static_cast<v4l2_control*>(argument);
    const auto it = controls_.find(c->id);
    if (it == controls_.end()) return -EINVAL;
    Control& control = it->second;
    if (request == VIDIOC_G_CTRL) {
      c->value = control.value;
      // Under automatic white balance the camera reports the temperature it settled on.
      if (c->id == V4L2_CID_WHITE_BALANCE_TEMPERATURE && controls_[V4L2_CID_AUTO_WHITE_BALANCE].value)
        c->value = neutralWhiteBalance_;
      return 0;
    }
    // As the kernel's driver does: manual values are refused while their automatic mode rules.
    if (c->id == V4L2_CID_EXPOSURE_ABSOLUTE && controls_[V4L2_CID_EXPOSURE_AUTO].value != V4L2_EXPOSURE_MANUAL)
      return -EACCES;
    if (c->id == V4L2_CID_WHITE_BALANCE_TEMPERATURE && controls_[V4L2_CID_AUTO_WHITE_BALANCE].value) return -EACCES;
    if (control.type == V4L2_CTRL_TYPE_MENU && (c->value < control.minimum || c->value > control.maximum))
      return -EINVAL;
    control.value = std::clamp(c->value, control.minimum, control.maximum);
    if (control.step > 1)
      control.value = control.minimum + (control.value - control.minimum + control.step / 2) / control.step * control.step;
    return 0;
  }
  return -ENOTTY;
}

int SyntheticControls::exposure() const { return value(V4L2_CID_EXPOSURE_ABSOLUTE); }

bool SyntheticControls::autoExposure() const { return value(V4L2_CID_EXPOSURE_AUTO) != V4L2_EXPOSURE_MANUAL; }

int SyntheticControls::whiteBalance() const {
  std::lock_guard lock(mutex_);
  if (controls_.at(V4L2_CID_AUTO_WHITE_BALANCE).value) return neutralWhiteBalance_;
  return controls_.at(V4L2_CID_WHITE_BALANCE_TEMPERATURE).value;
}

int SyntheticControls::value(std::uint32_t id) const {
  std::lock_guard lock(mutex_);
  const auto it = controls_.find(id);
  return it == controls_.end() ? 0 : it->second.value;
}

// ---- frames ----

// A frame handed out; what it shows is taken when it is copied, as a camera's exposure would.
class SyntheticCamera::Sample final : public CameraSampleBuffer {
public:
  explicit Sample(std::weak_ptr<SyntheticCamera> camera) : camera_(std::move(camera)) {}
  SharedData copyImageData() const override {
    const auto camera = camera_.lock();
    return camera ? camera->takeFrame() : nullptr;
  }

private:
  std::weak_ptr<SyntheticCamera> camera_;
};

class SyntheticCamera::Device final : public CaptureDevice {
public:
  Device(std::weak_ptr<SyntheticCamera> camera, std::string modelID, double interval_s)
      : camera_(std::move(camera)), modelID_(std::move(modelID)), interval_s_(interval_s) {}
  ~Device() override { stopRunning(); }

  std::string modelID() const override { return modelID_; }
  bool open(Error* error) override {
    if (unplugged_) {
      if (error) *error = posixError(ENODEV, "The synthetic camera is unplugged");
      return false;
    }
    return true;
  }
  std::vector<std::uint32_t> availablePixelFormats() override { return {kPixelFormatBGRA}; }
  void setVideoSettings(std::uint32_t, int, int) override {}

  bool startRunning(QueuePtr queue, SampleHandler onFrame, RuntimeErrorHandler onError, Error* error) override {
    std::lock_guard lock(mutex_);
    if (unplugged_) {
      if (error) *error = posixError(ENODEV, "The synthetic camera is unplugged");
      return false;
    }
    if (timer_) return true;
    auto state = std::make_shared<Running>();
    state->queue = std::move(queue);
    state->onFrame = std::move(onFrame);
    state->onError = std::move(onError);
    running_ = state;
    const std::weak_ptr<SyntheticCamera> camera = camera_;
    // The block keeps what it reads alive: a firing may still run while the camera goes.
    timer_ = Timer::create(seconds(interval_s_), true, makeSerialQueue("SyntheticCamera.frames"),
                           [state, camera, frozen = frozen_] {
      if (state->stopped || *frozen) return;
      if (auto c = camera.lock()) c->anticipate();
      // Only the newest frame waits: a tick while one is still being handled adds none.
      if (state->pending.exchange(true)) return;
      state->queue->async([state, camera] {
        state->pending = false;
        if (state->stopped) return;
        if (auto c = camera.lock()) ++c->delivered_;
        if (state->onFrame) state->onFrame(std::make_shared<Sample>(camera));
      });
    });
    timer_->schedule();
    return true;
  }

  void stopRunning() override {
    std::lock_guard lock(mutex_);
    if (timer_) timer_->invalidate();
    timer_.reset();
    if (running_) running_->stopped = true;
    running_.reset();
  }

  void unplug() {
    std::shared_ptr<Running> running;
    {
      std::lock_guard lock(mutex_);
      unplugged_ = true;
      if (timer_) timer_->invalidate();
      timer_.reset();
      running = std::move(running_);
    }
    if (running) {
      running->stopped = true;
      if (running->onError) running->onError(posixError(ENODEV, "The synthetic camera was unplugged"));
    }
  }

  void setFrozen(bool frozen) { *frozen_ = frozen; }
  bool isRunning() const {
    std::lock_guard lock(mutex_);
    return timer_ != nullptr;
  }

private:
  struct Running {
    QueuePtr queue;
    SampleHandler onFrame;
    RuntimeErrorHandler onError;
    std::atomic<bool> pending{false};
    std::atomic<bool> stopped{false};
  };

  const std::weak_ptr<SyntheticCamera> camera_;
  const std::string modelID_;
  const double interval_s_;
  mutable std::mutex mutex_;
  std::shared_ptr<Timer> timer_;
  std::shared_ptr<Running> running_;
  std::atomic<bool> unplugged_{false};
  const std::shared_ptr<std::atomic<bool>> frozen_ = std::make_shared<std::atomic<bool>>(false);
};

std::shared_ptr<SyntheticCamera> SyntheticCamera::create(std::function<ScannerPose()> pose, Options options) {
  auto camera = std::shared_ptr<SyntheticCamera>(new SyntheticCamera(std::move(pose), std::move(options)));
  camera->device_ = std::make_shared<Device>(camera, uvcModelID(camera->options_.vendorID, camera->options_.productID),
                                             camera->options_.frameInterval_s);
  return camera;
}

SyntheticCamera::SyntheticCamera(std::function<ScannerPose()> pose, Options options)
    : pose_(std::move(pose)),
      options_(std::move(options)),
      model_(options_.design),
      base_(std::make_shared<const View>(
          model_, options_.scene ? options_.scene : std::make_shared<const Scene>(Scene::standard()), 0)),
      controls_(std::make_shared<SyntheticControls>(options_.vendorID, options_.productID,
                                                    options_.lighting.neutralWhiteBalance)),
      view_(base_) {}

void SyntheticCamera::setSceneSource(SceneSource source) {
  std::lock_guard lock(viewMutex_);
  sceneSource_ = std::move(source);
}

std::shared_ptr<const SyntheticCamera::View> SyntheticCamera::viewNow() {
  std::lock_guard lock(viewMutex_);
  std::shared_ptr<const Scene> scene = sceneSource_ ? sceneSource_() : nullptr;
  if (!scene) scene = base_->scene;
  if (scene != view_->scene) {
    // Working out the pixel rays is shared by every renderer of this camera, so a new scene costs
    // no more than its frames.
    view_ = scene == base_->scene ? base_ : std::make_shared<const View>(model_, scene, ++scenesSeen_);
  }
  return view_;
}

std::vector<std::shared_ptr<CaptureDevice>> SyntheticCamera::captureDevices() { return {device_}; }

std::shared_ptr<UVCCameraControl> SyntheticCamera::makeCameraControl(std::int64_t vendorID, std::int64_t productID,
                                                                     Settings& settings) {
  return std::make_shared<UVCCameraControl>(vendorID, productID, controls_, settings);
}

FrameState SyntheticCamera::frameState(const ScannerPose& pose) const {
  const SyntheticLighting& light = options_.lighting;
  FrameState state;
  state.bedAngle_deg = pose.bedAngle_deg;
  state.headHeight_mm = pose.headHeight_mm;
  state.laserOn = {pose.laser1On, pose.laser2On};
  state.exposure = controls_->exposure() / light.referenceExposure;
  state.ambient = light.ambient;
  state.laserPeak = light.laserPeak;
  state.noiseSigma = light.noiseSigma;
  return state;
}

SyntheticCamera::Key SyntheticCamera::keyFor(const View& view, const FrameState& state, int whiteBalance) const {
  return {double(view.serial), state.bedAngle_deg,  state.headHeight_mm,     double(state.laserOn[0]),
          double(state.laserOn[1]), state.exposure, double(whiteBalance)};
}

SharedData SyntheticCamera::render(const View& view, const FrameState& state, int whiteBalance) {
  Data bytes = view.renderer.render(state);
  // White balance as channel gains: a temperature above the light's warms the picture.
  const double ratio = double(whiteBalance) / options_.lighting.neutralWhiteBalance;
  if (ratio != 1.0) {
    std::uint8_t red[256], blue[256];
    const double redGain = std::pow(ratio, 0.6), blueGain = std::pow(ratio, -0.6);
    for (int v = 0; v < 256; ++v) {
      red[v] = static_cast<std::uint8_t>(std::min(255L, std::lround(v * redGain)));
      blue[v] = static_cast<std::uint8_t>(std::min(255L, std::lround(v * blueGain)));
    }
    for (std::size_t i = 0; i + 3 < bytes.size(); i += 4) {
      bytes[i] = blue[bytes[i]];
      bytes[i + 2] = red[bytes[i + 2]];
    }
  }
  ++rendered_;
  return std::make_shared<const Data>(std::move(bytes));
}

void SyntheticCamera::remember(const Key& key, SharedData frame) {
  std::lock_guard lock(cacheMutex_);
  cache_.emplace_front(key, std::move(frame));
  if (cache_.size() > std::max<std::size_t>(1, options_.cachedFrames)) cache_.pop_back();
}

std::shared_future<SharedData> SyntheticCamera::claim(const Key& key, SharedData& cached,
                                                      std::shared_ptr<std::promise<SharedData>>& promise) {
  // The caller holds cacheMutex_.
  const auto hit = std::find_if(cache_.begin(), cache_.end(), [&](const auto& entry) { return entry.first == key; });
  if (hit != cache_.end()) {
    cache_.splice(cache_.begin(), cache_, hit);
    cached = hit->second;
    return {};
  }
  if (const auto it = rendering_.find(key); it != rendering_.end()) return it->second;
  promise = std::make_shared<std::promise<SharedData>>();
  return rendering_.emplace(key, promise->get_future().share()).first->second;
}

SharedData SyntheticCamera::fulfil(const Key& key, const View& view, const FrameState& state, int whiteBalance,
                                   std::promise<SharedData>& promise) {
  SharedData frame = render(view, state, whiteBalance);
  remember(key, frame);
  {
    std::lock_guard lock(cacheMutex_);
    rendering_.erase(key);
  }
  promise.set_value(frame);
  return frame;
}

void SyntheticCamera::anticipate() {
  const std::shared_ptr<const View> view = viewNow();
  const FrameState state = frameState(pose_());
  const int whiteBalance = controls_->whiteBalance();
  const Key key = keyFor(*view, state, whiteBalance);
  std::shared_ptr<std::promise<SharedData>> promise;
  {
    std::lock_guard lock(cacheMutex_);
    if (!rendering_.empty()) return;  // one render ahead at a time
    SharedData cached;
    claim(key, cached, promise);
    if (!promise) return;
  }
  const std::weak_ptr<SyntheticCamera> weak = weak_from_this();
  globalQueue(QueuePriority::Background)->async([weak, view, key, state, whiteBalance, promise] {
    const auto self = weak.lock();
    if (!self) return promise->set_value(nullptr);
    self->fulfil(key, *view, state, whiteBalance, *promise);
  });
}

SharedData SyntheticCamera::takeFrame() { return takeFrame(pose_()); }

SharedData SyntheticCamera::takeFrame(const ScannerPose& pose) {
  const Fault fault = fault_.exchange(Fault::None);
  if (fault == Fault::Unreadable) return nullptr;
  const std::shared_ptr<const View> view = viewNow();
  const FrameState state = frameState(pose);
  const int whiteBalance = controls_->whiteBalance();
  const Key key = keyFor(*view, state, whiteBalance);
  // A frame being rendered (ahead, or for another copy) is waited for rather than rendered twice.
  SharedData frame;
  std::shared_ptr<std::promise<SharedData>> promise;
  std::shared_future<SharedData> pending;
  {
    std::lock_guard lock(cacheMutex_);
    pending = claim(key, frame, promise);
  }
  if (promise) frame = fulfil(key, *view, state, whiteBalance, *promise);
  else if (!frame) frame = pending.get();
  if (!frame) return nullptr;
  ++copied_;
  // Each copy is the camera's own buffer, as a real camera's frames are.
  auto copy = std::make_shared<Data>(*frame);
  if (fault == Fault::WrongSize) copy->pop_back();
  return copy;
}

void SyntheticCamera::failNextFrame(Fault fault) { fault_ = fault; }
void SyntheticCamera::unplug() { device_->unplug(); }
void SyntheticCamera::setFrozen(bool frozen) { device_->setFrozen(frozen); }
bool SyntheticCamera::isRunning() const { return device_->isRunning(); }

}  // namespace qv::sim
