// The simulated scanner's end of a serial line: a pseudo-terminal whose device side is published as
// a link in the simulator folder, and whose master side this object drives.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qv::sim {

// What the peer saw of the device side, in order.
struct LineEvent {
  enum class Kind { Opened, SpeedChanged, HungUp };
  Kind kind;
  int baudRate;  // the line speed at that moment (0 when not a standard speed)
};

// The peer watches the device side every couple of milliseconds: whether it is open, at what speed,
// and what was written to it. Removing the link unplugs the port (the port sources report the
// removal); hanging up closes the master side, so that the device's reads end and writes fail.
// While the link is published the peer holds its publisher lock (see SimulatorPortSource), which
// the kernel drops when the process dies however it dies: the links of a killed simulator are then
// seen as abandoned, and the next peer plugged into the folder clears them away.
class SerialPeer {
public:
  struct Options {
    // Where the link is made; empty: the simulator folder of the environment.
    std::filesystem::path folder;
    // The link's name; empty: the first free "ttyACM<n>".
    std::string name;
  };

  // Makes the pseudo-terminal, sets its device side raw at 9600 baud, clears away the links of
  // simulators that died, and publishes the link. Throws std::system_error when any step fails
  // (EEXIST: the name asked for belongs to a live port).
  static std::unique_ptr<SerialPeer> plugIn(Options options);
  static std::unique_ptr<SerialPeer> plugIn() { return plugIn(Options{}); }

  SerialPeer(const SerialPeer&) = delete;
  SerialPeer& operator=(const SerialPeer&) = delete;
  ~SerialPeer();  // unplugs and hangs up

  // The published link (the port's path) and the device it leads to.
  const std::filesystem::path& linkPath() const { return linkPath_; }
  std::string path() const { return linkPath_.string(); }
  const std::string& devicePath() const { return devicePath_; }

  // Bytes the device wrote, oldest first.
  std::string received() const;
  std::string takeReceived();
  // Waits (in real time, at most `limit`) until at least `count` bytes have arrived.
  bool waitForReceived(std::size_t count, std::chrono::milliseconds limit) const;

  // Sends bytes to the device; false when the master side is closed or the write failed.
  bool write(std::string_view bytes);

  // Replies to every line (up to a line feed, carriage returns dropped) the device writes: the
  // handler's answer is sent back at once, unless empty. Runs on the peer's thread.
  void setLineHandler(std::function<std::string(const std::string& line)> handler);

  bool isDeviceOpen() const;
  // The line speed now, as the device side last set it.
  int baudRate() const;
  std::vector<LineEvent> events() const;
  int hangUpCount() const;

  // Removes the link (the port is unplugged; the pseudo-terminal lives on).
  void unplug();
  // Closes the master side.
  void hangUp();

private:
  SerialPeer() = default;
  // Takes the link's publisher lock and makes the link; false (errno EEXIST when the name is
  // taken) otherwise. Called with the folder lock held.
  bool claim(const std::filesystem::path& link);
  void run();
  void readAvailable();
  // Records what one look at the line found: hung up or not before and after its speed was read.
  void noteLine(bool hungUpBefore, int speed, bool hungUpAfter);

  int master_ = -1;
  int wakeFd_ = -1;
  std::string devicePath_;
  std::filesystem::path linkPath_;
  int lockFd_ = -1;  // the publisher lock, held while published
  bool published_ = false;
  std::thread thread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable receivedChanged_;
  std::string received_;
  std::string pendingLine_;
  std::function<std::string(const std::string&)> lineHandler_;
  std::vector<LineEvent> events_;
  bool deviceOpen_ = false;
  int baudRate_ = 0;
  int hangUps_ = 0;
  bool masterClosed_ = false;
};

}  // namespace qv::sim
