// How long connecting to a scanner takes through the whole stack (the delegate's connection
// machine, the interpreter, the device link, the serial port), against the simulated scanner at
// its realistic pace, and the floor: the same greeting and calibration read written straight to
// the pseudo-terminal, so that the core's overhead is the difference.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/QVLAppDelegate.h"
#include "platform/Log.h"
#include "platform/Queue.h"
#include "scanlink/ORSSerialPortManager.h"
#include "scanlink/SimulatorPortSource.h"
#include "sim/firmware/FirmwareEmulator.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRuns = 9;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Reads lines from the port until one satisfies `done`; false on an error or after 10 s.
template <typename Done>
bool readUntil(int fd, std::string& pending, Done done) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  char buffer[4096];
  while (Clock::now() < deadline) {
    std::size_t end;
    while ((end = pending.find_first_of("\r\n")) != std::string::npos) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!line.empty() && done(line)) return true;
    }
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      pending.append(buffer, static_cast<std::size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    }  // 0: nothing within the 0.1 s read time-out yet
  }
  return false;
}

// The greeting and the calibration read, written straight to the port: the firmware's own time.
double floorRun(const std::string& path) {
  const auto start = Clock::now();
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return -1;
  termios tio{};
  ::tcgetattr(fd, &tio);
  ::cfmakeraw(&tio);
  ::cfsetspeed(&tio, B115200);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 1;
  ::tcsetattr(fd, TCSANOW, &tio);
  std::string pending;
  const auto& keys = qv::sim::firmwareReportedKeys(qv::sim::FirmwareGeneration::V170);
  const std::string lastKey = keys.back() + " ";
  bool ok = ::write(fd, "rst3C|41\n", 9) == 9 &&
            readUntil(fd, pending, [](const std::string& line) { return line.find("Firmware v") != std::string::npos; }) &&
            ::write(fd, "<<<\n", 4) == 4 &&
            readUntil(fd, pending, [&](const std::string& line) { return line.rfind(lastKey, 0) == 0; });
  ::close(fd);
  return ok ? millisecondsSince(start) : -1;
}

}  // namespace

int main() {
  qv::log::Setup quiet;
  quiet.console = false;
  quiet.systemLog = false;
  qv::log::setup(quiet);

  char folderTemplate[] = "/tmp/bench-connect-XXXXXX";
  const fs::path folder = ::mkdtemp(folderTemplate);
  const fs::path settingsFile = folder / "Settings.json";
  ::setenv("QUORVEL_RESOURCES", (folder / "resources").c_str(), 1);  // no firmware image
  fs::create_directories(folder / "resources");

  auto source = std::make_shared<qv::SimulatorPortSource>(folder / "sim");
  qv::SerialPortSource::registerForLookup(source);
  auto manager = ORSSerialPortManager::create({source});
  qv::Settings settings(settingsFile);

  qv::sim::FirmwareEmulator::Options options;
  options.folder = folder / "sim";
  auto scanner = qv::sim::FirmwareEmulator::plugIn(options);  // the realistic pace
  qv::runMainQueueUntil([&] { return manager->countOfAvailablePorts() == 1; }, qv::seconds(10));

  std::vector<double> connect, floor;
  {
    QVLAppEnvironment environment;
    environment.portManager = manager;
    environment.settings = &settings;
    auto delegate = QVLAppDelegate::create(environment);
    for (int run = 0; run < kRuns; ++run) {
      const auto device = delegate->serialPortController().devices().front();
      bool done = false, success = false;
      const auto start = Clock::now();
      delegate->connectToDevice(device, [&](bool ok, const std::optional<qv::Error>&) { success = ok, done = true; });
      qv::runMainQueueUntil([&] { return done; }, qv::seconds(20));
      if (!success) {
        std::fprintf(stderr, "connecting failed\n");
        return 1;
      }
      connect.push_back(millisecondsSince(start));
      qv::runMainQueueUntil([&] { return scanner->isIdle(); }, qv::seconds(5));
    }
  }
  for (int run = 0; run < kRuns; ++run) {
    const double ms = floorRun(scanner->path());
    if (ms < 0) {
      std::fprintf(stderr, "the direct greeting failed\n");
      return 1;
    }
    floor.push_back(ms);
    qv::runMainQueueUntil([&] { return scanner->isIdle(); }, qv::seconds(5));
  }
  scanner.reset();
  fs::remove_all(folder);

  std::printf("RESULT connect_ms %.1f ms\n", median(connect));
  std::printf("RESULT connect_floor_ms %.1f ms\n", median(floor));
  std::printf("RESULT connect_overhead_ms %.1f ms\n", median(connect) - median(floor));
  return 0;
}
