// Requests per second the command interpreter completes against the simulated firmware with no
// artificial delay: the interpreter, the device link, the pseudo-terminal and the emulator's
// replies, one request after another (laser switches, head moves and bed rotations in turn).
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/Log.h"
#include "platform/Queue.h"
#include "scancmd/QVLIInterpreter.h"
#include "scanlink/QVLCDevice.h"
#include "scanlink/SimulatorPortSource.h"
#include "sim/firmware/FirmwareEmulator.h"
#include "support/BenchSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 9;
constexpr int kRequestsPerRun = 2000;
constexpr int kWarmUp = 200;

using qv::bench::median;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "bench_interpreter_requests: %s\n", what);
  std::exit(1);
}

// Runs `count` requests back to back, each started from the completion of the one before;
// answers the seconds taken.
double runRequests(QVLIInterpreter& interpreter, int count) {
  int done = 0;
  bool failed = false;
  std::function<void()> next = [&] {
    if (done == count) return;
    auto completed = [&] {
      ++done;
      next();
    };
    auto error = [&](const qv::Error&) { failed = true; };
    switch (done % 7) {
      case 0: interpreter.enableLaser1(completed, error); break;
      case 1: interpreter.enableLaser2(completed, error); break;
      case 2: interpreter.disableLasers(completed, error); break;
      case 3: interpreter.moveCameraByMillimeters(1.0f, completed, error); break;
      case 4: interpreter.moveCameraByMillimeters(-1.0f, completed, error); break;
      case 5: interpreter.rotatePlatterByDegrees(1.0f, completed, error); break;
      default: interpreter.rotatePlatterByDegrees(-1.0f, completed, error); break;
    }
  };
  const auto start = Clock::now();
  next();
  if (!qv::runMainQueueUntil([&] { return done == count || failed; }, qv::seconds(120)) || failed) {
    fail("a request failed or did not complete");
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-interpreter-bench-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return 1;
  const std::filesystem::path folder = pattern;
  std::filesystem::create_directories(folder / "resources");
  ::setenv("QUORVEL_RESOURCES", (folder / "resources").c_str(), 1);
  qv::log::setThreshold(qv::log::Level::Error);  // the requests' own log lines are not measured
  auto source = std::make_shared<qv::SimulatorPortSource>(folder / "ports");
  qv::SerialPortSource::registerForLookup(source);

  qv::sim::FirmwareEmulator::Options options;
  options.folder = folder / "ports";
  options.pace = qv::sim::FirmwarePace::none();
  auto emulator = qv::sim::FirmwareEmulator::plugIn(options);
  auto device = QVLCDevice::createDeviceForPort(emulator->path());
  if (!device->connect()) fail("cannot connect to the emulator");
  auto interpreter = QVLIInterpreter::createWithDevice(device);

  bool greeted = false;
  interpreter->initializeDevice([&] { greeted = true; }, [](const qv::Error&) { fail("no banner"); });
  if (!qv::runMainQueueUntil([&] { return greeted; }, qv::seconds(10))) fail("no banner");

  runRequests(*interpreter, kWarmUp);
  std::vector<double> rates, latencies;
  for (int run = 0; run < kRuns; ++run) {
    const double seconds = runRequests(*interpreter, kRequestsPerRun);
    rates.push_back(kRequestsPerRun / seconds);
    latencies.push_back(seconds / kRequestsPerRun * 1e6);
  }
  std::printf("RESULT interpreter_requests_per_s %.0f 1/s\n", median(rates));
  std::printf("RESULT interpreter_request_latency_us %.1f us\n", median(latencies));

  device->disconnect();
  interpreter.reset();
  emulator.reset();
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return 0;
}
