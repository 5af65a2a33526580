// A whole scan through the application delegate on the simulated scanner, on the real clock: the
// delegate's connection, the interpreter, the device link and the serial port drive the firmware
// emulator at its realistic pace while the synthetic camera renders the frames. The floor is the
// part of that time the firmware's own delays account for (the same scan at no firmware delay
// subtracted from it) plus the camera's settle waits, which the scan must sit through whatever the
// software does: those are the waits of the exposure sequence each step runs.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "../support/BenchSupport.h"
#include "core/QVLAppDelegate.h"
#include "core/camera/QVLImageSequences.h"
#include "platform/Log.h"
#include "platform/Queue.h"
#include "scanlink/ORSSerialPortManager.h"
#include "scanlink/SimulatorPortSource.h"
#include "sim/camera/SyntheticCamera.h"
#include "sim/firmware/FirmwareEmulator.h"
#include "sim/optics/CylinderObject.h"
#include "sim/scanner/SimulatedScanner.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/TBCoreDataStoreS1.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRuns = 3;
constexpr float kStep_deg = 45.0f;

class NoInhibitor final : public qv::DisplaySleepInhibitor {
public:
  std::uint32_t inhibit(const std::string&) override { return 1; }
  void release(std::uint32_t) override {}
};

qv::sim::Scene cylinderScene() {
  qv::sim::Scene scene;
  scene.add(std::make_shared<qv::sim::CylinderObject>(25.0, -15.0, 22.0, 60.0, Eigen::Vector3d(0.85, 0.8, 0.72)));
  return scene;
}

struct Run {
  double seconds = -1.0;
  std::size_t points = 0;
};

// One scan of a fresh scan object; seconds < 0 when it failed.
Run scanOnce(const fs::path& folder, qv::sim::FirmwarePace pace) {
  auto source = std::make_shared<qv::SimulatorPortSource>(folder / "sim");
  qv::SerialPortSource::registerForLookup(source);
  auto manager = ORSSerialPortManager::create({source});
  qv::Settings settings(folder / "Settings.json");
  settings.setValue("EnableAdaptiveScanning", qv::Value(false));
  settings.setValue("OverrideAutoTuning", qv::Value(true));
  settings.setValue("CameraNonLaserExposureSetting", qv::Value(std::int64_t{500}));
  settings.setValue("CameraNonLaserWhitebalanceSetting", qv::Value(std::int64_t{0}));
  settings.setValue("CameraLaser1ExposureSetting", qv::Value(std::string("50")));
  settings.setValue("CameraLaser2ExposureSetting", qv::Value(std::string("50")));
  qv::sim::FirmwareEmulator::Options options;
  options.folder = folder / "sim";
  options.pace = pace;
  auto scanner = qv::sim::FirmwareEmulator::plugIn(options);
  qv::runMainQueueUntil([&] { return manager->countOfAvailablePorts() == 1; }, qv::seconds(10));

  Run run;
  {
    QVLAppEnvironment environment;
    environment.portManager = manager;
    environment.settings = &settings;
    auto delegate = QVLAppDelegate::create(environment);
    bool connected = false, done = false;
    delegate->connectToDevice(delegate->serialPortController().devices().front(),
                              [&](bool ok, const std::optional<qv::Error>&) { connected = ok, done = true; });
    qv::runMainQueueUntil([&] { return done; }, qv::seconds(20));
    if (!connected) return run;
    qv::sim::SyntheticCamera::Options cameraOptions;
    cameraOptions.scene = std::make_shared<const qv::sim::Scene>(cylinderScene());
    delegate->makeCaptureSession(qv::sim::SyntheticCamera::create(qv::sim::poseOf(*scanner), cameraOptions),
                                 std::make_shared<NoInhibitor>());
    qv::sim::SimulatedScanner truth(qv::sim::ScannerModel(qv::sim::ScannerDesign::standard()), cylinderScene(), {});
    delegate->setCalibrationDetails(truth.calibration());

    auto context = TBCoreDataStoreS1::privateQueueContext();
    qv::ObjectID scanId;
    context->performAndWait([&] {
      auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(*context));
      context->save();
      scanId = scan->objectID();
    });
    bool finished = false, completed = false;
    const auto start = qv::bench::Clock::now();
    delegate->buildScanForScanViewController(
        scanId, kStep_deg, 0.0f, [&] { finished = completed = true; }, {},
        [&](const qv::Error& e) {
          std::fprintf(stderr, "the scan failed: %s\n", e.text().c_str());
          finished = true;
        });
    qv::runMainQueueUntil([&] { return finished; }, qv::seconds(300));
    if (!completed) return run;
    run.seconds = qv::bench::secondsSince(start);
    context->performAndWait([&] {
      auto scan = QVSDScanObject::scanObjectWithId(scanId, false, *context);
      for (const auto& cloud : QVSDPointCloud::sortedPointCloudsForScanObject(scan))
        if (auto grid = cloud->readSliceGrid(nullptr))
          for (const auto& vertex : *grid) run.points += vertex.hasPoint() ? 1 : 0;
    });
    delegate->tidyScanForScanViewController();
  }
  scanner.reset();
  return run;
}

}  // namespace

int main() {
  qv::log::Setup quiet;
  quiet.console = false;
  quiet.systemLog = false;
  qv::log::setup(quiet);
  qv::bench::TempFolder folder("scan-e2e");
  ::setenv("QUORVEL_RESOURCES", (folder.path() / "resources").c_str(), 1);  // no firmware image
  ::setenv("XDG_DATA_HOME", (folder.path() / "data").c_str(), 1);          // the scan store
  fs::create_directories(folder.path() / "resources");

  std::vector<double> paced, instant;
  std::size_t points = 0;
  for (int i = 0; i < kRuns; ++i) {
    const Run a = scanOnce(folder.path(), qv::sim::FirmwarePace::realistic());
    const Run b = scanOnce(folder.path(), qv::sim::FirmwarePace::none());
    if (a.seconds < 0 || b.seconds < 0) {
      std::fprintf(stderr, "a scan did not complete\n");
      return 1;
    }
    paced.push_back(a.seconds);
    instant.push_back(b.seconds);
    points = a.points;
  }
  // Each step waits for its laser-off frame at 500 (after 50) and for the both-lasers run at 50:
  // its first frame after 500, its three others at 50.
  const auto settle = [](int exposure) { return qv::toSeconds(QVLImageSequences::settleTimeForExposure(exposure)); };
  const int steps = static_cast<int>(360.0f / kStep_deg);
  const double settleFloor = steps * (2 * settle(500) + 3 * settle(50));
  const double firmwareFloor = qv::bench::median(paced) - qv::bench::median(instant);
  std::printf("RESULT scan_e2e_s %.2f s\n", qv::bench::median(paced));
  std::printf("RESULT scan_e2e_floor_s %.2f s\n", firmwareFloor + settleFloor);
  std::printf("RESULT scan_e2e_points %zu points\n", points);
  return 0;
}
