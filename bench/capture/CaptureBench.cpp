// The synthetic camera's frame rate through the capture session, and one full one-laser image
// sequence on the simulated scanner (real interpreter, device link, pseudo-terminal, emulator at
// its realistic pace) beside the sum of the settle delays and command times it cannot go below.
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <vector>

#include "core/camera/QVLCameraCaptureSession.h"
#include "core/camera/QVLImageSequences.h"
#include "platform/Log.h"
#include "platform/Queue.h"
#include "scancmd/QVLIInterpreter.h"
#include "scanlink/QVLCDevice.h"
#include "scanlink/SimulatorPortSource.h"
#include "sim/camera/SyntheticCamera.h"
#include "sim/firmware/FirmwareEmulator.h"
#include "sim/optics/FrameRenderer.h"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "bench_capture: %s\n", what);
  std::exit(1);
}

// A display-sleep inhibitor that does nothing, so the figures do not include a bus round trip.
class NoInhibitor final : public qv::DisplaySleepInhibitor {
public:
  std::uint32_t inhibit(const std::string&) override { return 0; }
  void release(std::uint32_t) override {}
};

// A serial device standing for a scanner that is always there (for the frame-rate figure alone).
class AlwaysThere final : public QVLCDeviceProtocol {
public:
  bool connect() override { return true; }
  bool disconnect() override { return true; }
  bool resetHardware(qv::Error*) override { return false; }
  void simulateCommunincationsError() override {}
  std::string port() const override { return "/dev/null"; }
};

std::shared_ptr<QVLCameraCaptureSession> makeSession(std::shared_ptr<qv::CameraBackend> camera,
                                                     std::shared_ptr<QVLCDeviceProtocol> device,
                                                     std::shared_ptr<QVLIInterpreterProtocol> interpreter) {
  QVLCameraCaptureSession::Links links;
  links.backend = std::move(camera);
  links.inhibitor = std::make_shared<NoInhibitor>();
  links.device = [device] { return device; };
  links.deviceInterpreter = [interpreter] { return interpreter; };
  auto session = QVLCameraCaptureSession::create(links);
  qv::Error error;
  if (!session->connectToScanner(&error)) fail("the synthetic camera does not connect");
  return session;
}

// Frames per second delivered to requests made back to back; `beforeEach` runs before each request.
double framesPerSecond(QVLCameraCaptureSession& session, int frames, const std::function<void()>& beforeEach = {}) {
  int got = 0;
  bool failed = false;
  std::function<void()> next = [&] {
    if (beforeEach) beforeEach();
    session.captureCameraImages(
        1,
        [&](const std::vector<qv::SharedData>& f) {
          if (f.size() != 1 || f.front()->size() != 4915200) failed = true;
          if (++got < frames) next();
        },
        [&](const qv::Error&) { failed = true; });
  };
  const auto start = Clock::now();
  next();
  if (!qv::runMainQueueUntil([&] { return got == frames || failed; }, qv::seconds(600)) || failed)
    fail("frames did not arrive");
  return frames / std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
  qv::log::setThreshold(qv::log::Level::Error);
  std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-capture-bench-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return 1;
  const std::filesystem::path folder = pattern;
  ::setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);

  // ---- the frame rate ----
  {
    // A still scanner: every frame shows the same thing, as between the commands of a scan step.
    // The camera ticks far faster than 30 fps, so the session and the copies set the pace.
    std::atomic<double> angle{0.0};
    qv::sim::SyntheticCamera::Options options;
    options.frameInterval_s = 1.0 / 1000.0;
    auto camera = qv::sim::SyntheticCamera::create(
        [&] {
          qv::sim::ScannerPose pose;
          pose.bedAngle_deg = angle;
          pose.laser1On = true;
          return pose;
        },
        options);
    auto session = makeSession(camera, std::make_shared<AlwaysThere>(), nullptr);
    framesPerSecond(*session, 10);
    std::vector<double> still, renders;
    for (int run = 0; run < 5; ++run) still.push_back(framesPerSecond(*session, 120));
    // A turning bed: the bed has moved on before each request, as between the steps of a scan, so
    // every frame is a new picture and is ray-cast.
    const auto turn = [&] { angle = angle + 0.5; };
    for (int run = 0; run < 5; ++run) renders.push_back(framesPerSecond(*session, 30, turn));
    std::printf("RESULT synth_frames_rendered %llu frames\n", static_cast<unsigned long long>(camera->framesRendered()));
    session->disconnectFromScanner({}, {});
    std::printf("RESULT synth_fps %.1f fps\n", median(still));
    std::printf("RESULT synth_render_fps %.2f fps\n", median(renders));
  }

  // ---- the renderer alone, on one thread and on all ----
  {
    const qv::sim::ScannerModel model;
    const qv::sim::Scene scene = qv::sim::Scene::standard();
    for (int threads : {1, 0}) {
      const qv::sim::FrameRenderer renderer(model, scene, threads);
      qv::sim::FrameState state;
      state.laserOn = {true, false};
      renderer.render(state);  // the pixel rays are worked out once per camera
      std::vector<double> times;
      for (int run = 0; run < (threads == 1 ? 3 : 9); ++run) {
        state.bedAngle_deg += 0.5;
        const auto start = Clock::now();
        renderer.render(state);
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      }
      if (threads == 1) std::printf("RESULT synth_render_1thread_ms %.1f ms\n", median(times));
      else std::printf("RESULT synth_render_ms %.1f ms\n", median(times));
    }
  }

  // ---- one laser sequence on the simulated scanner ----
  {
    auto source = std::make_shared<qv::SimulatorPortSource>(folder / "ports");
    qv::SerialPortSource::registerForLookup(source);
    qv::sim::FirmwareEmulator::Options options;
    options.folder = folder / "ports";
    options.pace = qv::sim::FirmwarePace::realistic();
    auto emulator = qv::sim::FirmwareEmulator::plugIn(options);
    auto device = QVLCDevice::createDeviceForPort(emulator->path());
    if (!device->connect()) fail("cannot connect to the emulator");
    std::shared_ptr<QVLIInterpreterProtocol> interpreter = QVLIInterpreter::createWithDevice(device);
    bool greeted = false;
    interpreter->initializeDevice([&] { greeted = true; }, [](const qv::Error&) { fail("no banner"); });
    if (!qv::runMainQueueUntil([&] { return greeted; }, qv::seconds(10))) fail("no banner");

    auto camera = qv::sim::SyntheticCamera::create(qv::sim::poseOf(*emulator));
    auto session = makeSession(camera, device, interpreter);
    auto sequences = QVLImageSequences::create(session, [interpreter] { return interpreter; });
    constexpr int kExposure = 50;
    auto sequence = [&] {
      bool done = false;
      const auto start = Clock::now();
      sequences->captureCameraImageSequenceForLaser(
          0, kExposure, [&](qv::SharedData, qv::SharedData, qv::SharedData) { done = true; },
          [](const qv::Error& e) {
            std::fprintf(stderr, "%s\n", e.text().c_str());
            fail("the sequence failed");
          });
      if (!qv::runMainQueueUntil([&] { return done; }, qv::seconds(60))) fail("the sequence did not end");
      return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    };
    auto turnBed = [&] {
      bool turned = false;
      interpreter->rotatePlatterByDegrees(1.0f, [&] { turned = true; }, [](const qv::Error&) { fail("no rotation"); });
      if (!qv::runMainQueueUntil([&] { return turned; }, qv::seconds(10))) fail("the bed did not turn");
    };
    sequence();  // the first one settles from no exposure
    // As in a scan, the bed turns between sequences, so every laser-off and laser frame is new.
    std::vector<double> times, cached;
    for (int run = 0; run < 5; ++run) {
      turnBed();
      times.push_back(sequence());
    }
    // The same scene again: frames come from the camera's cache, leaving the delays and the link.
    for (int run = 0; run < 5; ++run) cached.push_back(sequence());
    // The floor: four settle delays at the exposure, and two laser commands each answered after
    // the firmware's reply delay and its laser switching time.
    const qv::sim::FirmwarePace pace = qv::sim::FirmwarePace::realistic();
    const double floor_ms = 4 * qv::toSeconds(QVLImageSequences::settleTimeForExposure(kExposure)) * 1000 +
                            2 * (pace.replyDelay_s + pace.laserSwitch_s) * 1000;
    std::printf("RESULT laser_sequence_ms %.1f ms\n", median(times));
    std::printf("RESULT laser_sequence_floor_ms %.1f ms\n", floor_ms);
    std::printf("RESULT laser_sequence_cached_ms %.1f ms\n", median(cached));
    session->disconnectFromScanner({}, {});
    qv::runMainQueueUntil([] { return false; }, qv::seconds(0.2));
    device->disconnect();
  }
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return 0;
}
