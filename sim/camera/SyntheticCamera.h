// The simulated scanner's camera: frames ray-cast by the optics from the scanner's live state (bed
// angle, head height, lasers) at the exposure and white balance set through its image controls,
// behind the same camera interface and control layer as the real camera.
#pragma once

#include <atomic>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <mutex>

#include "core/camera/CaptureDevice.h"
#include "core/camera/V4L2Io.h"
#include "platform/Timer.h"
#include "sim/optics/FrameRenderer.h"

namespace qv::sim {

class FirmwareEmulator;

// What the camera sees of the scanner at the moment a frame is taken.
struct ScannerPose {
  double bedAngle_deg = 0.0;
  double headHeight_mm = 0.0;
  bool laser1On = false;
  bool laser2On = false;
};

// The live pose of an emulated scanner; a camera still rendering once the scanner is gone sees
// the bed at rest.
std::function<ScannerPose()> poseOf(const FirmwareEmulator& emulator);

// How the simulated light turns into grey levels.
struct SyntheticLighting {
  // The camera exposure (0.1 ms units) at which the renderer's reference exposure applies.
  double referenceExposure = 100.0;
  // Lit so that the default non-laser exposure (500) shows the scene well and the default laser
  // exposure (50) shows the laser line bright on a dim scene, as on the real scanner. At 500 the
  // test objects under the laser lines come out near grey 157, where the exposure tuning aims the
  // laser-off frame, and their brightest surfaces stay below full scale; the next exposures it
  // tries, 400 and 1000, are darker and clipped.
  double ambient = 0.18;
  double laserPeak = 360.0;
  double noiseSigma = 0.0;
  // The colour temperature the scene's light has: a white balance set here leaves colours alone,
  // and automatic white balance settles on it.
  int neutralWhiteBalance = 5000;
};

// The image controls of the simulated camera as a V4L2 node that answers control calls only, with
// the ranges and defaults of the scanner's camera.
class SyntheticControls final : public V4L2Io {
public:
  static constexpr const char* kNodePath = "/dev/quorvel-synthetic-video0";

  SyntheticControls(int vendorID, int productID, int neutralWhiteBalance);

  std::vector<Node> videoNodes() override;
  int open(const std::string& path) override;
  void close(int fd) override;
  int ioctl(int fd, unsigned long request, void* argument) override;
  void* mmap(int, std::size_t, std::uint32_t) override { return nullptr; }
  void munmap(void*, std::size_t) override {}

  int exposure() const;
  // The white balance in force: the set temperature, or the scene's own under automatic white balance.
  int whiteBalance() const;
  bool autoExposure() const;
  int value(std::uint32_t id) const;

private:
  struct Control {
    std::int32_t minimum, maximum, step, value;
    std::uint32_t type;
  };
  const int vendorID_, productID_, neutralWhiteBalance_;
  mutable std::mutex mutex_;
  std::map<std::uint32_t, Control> controls_;
};

class SyntheticCamera final : public CameraBackend, public std::enable_shared_from_this<SyntheticCamera> {
public:
  struct Options {
    int vendorID = 1133;
    int productID = 2085;
    // Frames come this often on the platform clock (so a manual clock in tests paces them).
    double frameInterval_s = 1.0 / 30.0;
    SyntheticLighting lighting;
    ScannerDesign design = ScannerDesign::standard();
    // The scene is the simulator's choice: the standard test objects unless given.
    std::shared_ptr<const Scene> scene;
    // Distinct frames kept, so that frames of an unchanged scanner cost a copy, not a render.
    std::size_t cachedFrames = 6;
  };

  static std::shared_ptr<SyntheticCamera> create(std::function<ScannerPose()> pose, Options options);
  static std::shared_ptr<SyntheticCamera> create(std::function<ScannerPose()> pose) { return create(std::move(pose), Options{}); }

  std::vector<std::shared_ptr<CaptureDevice>> captureDevices() override;
  std::shared_ptr<UVCCameraControl> makeCameraControl(std::int64_t vendorID, std::int64_t productID,
                                                      Settings& settings) override;

  // The frame the camera takes of the scanner as it is now (what a copied frame holds).
  SharedData takeFrame();
  // The frame it would take of the scanner in `pose`, with the scene and controls it has now.
  SharedData takeFrame(const ScannerPose& pose);

  const std::shared_ptr<SyntheticControls>& controls() const { return controls_; }
  const ScannerModel& model() const { return model_; }
  // The options' scene and its renderer.
  const Scene& scene() const { return *base_->scene; }
  const FrameRenderer& renderer() const { return base_->renderer; }
  // What stands on the bed can change, as when the user puts a calibration target there: before
  // each frame the camera asks `source` for the scene it sees (nullptr from it, or no source: the
  // options' scene). Frames of one scene are never handed out for another.
  using SceneSource = std::function<std::shared_ptr<const Scene>()>;
  void setSceneSource(SceneSource source);
  // The renderer's description of a frame at this pose with the current controls.
  FrameState frameState(const ScannerPose& pose) const;

  // ---- faults ----
  enum class Fault { None, WrongSize, Unreadable };
  // The next frame copied is cut short by a byte, or cannot be read at all.
  void failNextFrame(Fault fault);
  // The camera is pulled out: it stops and reports the failure of a running session.
  void unplug();
  // It sends no frame while frozen (a stalled camera that says nothing).
  void setFrozen(bool frozen);

  std::uint64_t framesDelivered() const { return delivered_; }
  std::uint64_t framesCopied() const { return copied_; }
  std::uint64_t framesRendered() const { return rendered_; }
  bool isRunning() const;

private:
  class Device;
  class Sample;
  SyntheticCamera(std::function<ScannerPose()> pose, Options options);

  // A scene and its renderer; `serial` tells scenes apart in the frame cache.
  struct View {
    View(const ScannerModel& model, std::shared_ptr<const Scene> s, std::uint64_t number)
        : scene(std::move(s)), renderer(model, *scene), serial(number) {}
    std::shared_ptr<const Scene> scene;
    FrameRenderer renderer;
    std::uint64_t serial;
  };
  // The scene the camera sees now, as its source tells.
  std::shared_ptr<const View> viewNow();

  const std::function<ScannerPose()> pose_;
  const Options options_;
  const ScannerModel model_;
  const std::shared_ptr<const View> base_;
  const std::shared_ptr<SyntheticControls> controls_;
  std::shared_ptr<Device> device_;
  std::mutex viewMutex_;
  SceneSource sceneSource_;
  std::shared_ptr<const View> view_;  // the last scene seen
  std::uint64_t scenesSeen_ = 0;

  using Key = std::vector<double>;
  // What a frame of this scene at this pose with the current controls shows, as a cache key.
  Key keyFor(const View& view, const FrameState& state, int whiteBalance) const;
  SharedData render(const View& view, const FrameState& state, int whiteBalance);
  void remember(const Key& key, SharedData frame);
  // With cacheMutex_ held: the cached frame (into `cached`), or the render of it under way, or,
  // when neither, a new promise (into `promise`) that the caller must fulfil.
  std::shared_future<SharedData> claim(const Key& key, SharedData& cached,
                                       std::shared_ptr<std::promise<SharedData>>& promise);
  // Renders the claimed frame, keeps it and hands it to whoever waits for it.
  SharedData fulfil(const Key& key, const View& view, const FrameState& state, int whiteBalance,
                    std::promise<SharedData>& promise);
  // On every tick: starts rendering what the camera now sees, if nothing renders yet, so that the
  // frame is ready (or nearly) when it is asked for after a settle delay.
  void anticipate();

  std::mutex cacheMutex_;
  std::list<std::pair<Key, SharedData>> cache_;  // most recent first
  std::map<Key, std::shared_future<SharedData>> rendering_;
  std::atomic<Fault> fault_{Fault::None};
  std::atomic<std::uint64_t> delivered_{0}, copied_{0}, rendered_{0};
};

}  // namespace qv::sim
