// Time for one command line written by the device link and one reply line received and announced,
// over a pseudo-terminal pair answered by the simulated scanner's peer; and, for reference, the same
// exchange on a raw pseudo-terminal with none of the link's code in the way.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/Queue.h"
#include "scanlink/QVLCDevice.h"
#include "scanlink/SimulatorPortSource.h"
#include "sim/serial/SerialPeer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWarmUp = 100;
constexpr int kRounds = 3000;

double percentile(std::vector<double> samples, double fraction) {
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1))];
}

std::string replyTo(const std::string& line) { return line == "h" ? "COMMAND COMPLETE H\n" : ""; }

// The link: writeLine on the write queue, the port's reading thread, the main queue, the framing
// and the notification.
std::vector<double> linkRoundTrips(const std::filesystem::path& folder) {
  auto peer = qv::sim::SerialPeer::plugIn({folder, "ttyACM0"});
  peer->setLineHandler(replyTo);
  auto device = QVLCDevice::createDeviceForPort(peer->path());
  if (!device->connect()) {
    std::fprintf(stderr, "cannot connect to %s\n", peer->path().c_str());
    std::exit(1);
  }
  std::atomic<int> replies{0};
  auto& center = qv::NotificationCenter::defaultCenter();
  qv::ObserverRegistration observer(
      center, center.addObserver(qv::kDeviceLineNotification, device->notificationSender(),
                                 [&](const qv::Notification& n) {
                                   const qv::Value* line = qv::find(n.userInfo, qv::kReceivedDataKey);
                                   if (line && *line->string() == "COMMAND COMPLETE H") ++replies;
                                 }));
  std::vector<double> samples;
  for (int round = 0; round < kWarmUp + kRounds; ++round) {
    const int expected = replies + 1;
    const auto start = Clock::now();
    device->writeLine("h", {}, {});
    if (!qv::runMainQueueUntil([&] { return replies >= expected; }, qv::seconds(5))) {
      std::fprintf(stderr, "no reply in round %d\n", round);
      std::exit(1);
    }
    if (round >= kWarmUp) samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  device->disconnect();
  return samples;
}

// The same exchange by hand: write and poll on the device side of a raw pseudo-terminal.
std::vector<double> rawRoundTrips(const std::filesystem::path& folder) {
  auto peer = qv::sim::SerialPeer::plugIn({folder, "ttyACM1"});
  peer->setLineHandler(replyTo);
  const int fd = ::open(peer->devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios attributes{};
  ::tcgetattr(fd, &attributes);
  ::cfmakeraw(&attributes);
  ::tcsetattr(fd, TCSANOW, &attributes);
  std::vector<double> samples;
  char buffer[256];
  for (int round = 0; round < kWarmUp + kRounds; ++round) {
    const auto start = Clock::now();
    if (::write(fd, "h\n", 2) != 2) std::exit(1);
    std::string reply;
    while (reply.find('\n') == std::string::npos) {
      pollfd pfd{fd, POLLIN, 0};
      ::poll(&pfd, 1, 5000);
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) reply.append(buffer, static_cast<std::size_t>(n));
    }
    if (round >= kWarmUp) samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  ::close(fd);
  return samples;
}

}  // namespace

int main() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-roundtrip-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return 1;
  const std::filesystem::path folder = pattern;
  auto source = std::make_shared<qv::SimulatorPortSource>(folder);
  qv::SerialPortSource::registerForLookup(source);

  const auto link = linkRoundTrips(folder);
  const auto raw = rawRoundTrips(folder);
  std::printf("RESULT serial_roundtrip_us %.1f us\n", percentile(link, 0.5));
  std::printf("RESULT serial_roundtrip_p90_us %.1f us\n", percentile(link, 0.9));
  std::printf("RESULT serial_roundtrip_raw_pty_us %.1f us\n", percentile(raw, 0.5));

  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return 0;
}
