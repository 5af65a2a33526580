// The simulated scanner's firmware on a pseudo-terminal: it answers the real serial code the way the
// scanner does, at a realistic pace or none, resets into a boot loader on a 1200-baud open and
// close, and can be told to misbehave.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/firmware/FirmwareModel.h"
#include "sim/firmware/ScannerMemory.h"
#include "sim/serial/SerialPeer.h"

namespace qv::sim {

// One thread drives the model: it takes the lines the peer hears, writes the replies as they fall
// due, watches the port being opened, closed and set to 1200 baud, and plugs ports in and out.
// Every member may be called from any thread.
class FirmwareEmulator {
public:
  struct Options {
    // Where the port is published, and its name; empty: the simulator folder, the first free
    // "ttyACM<n>".
    std::filesystem::path folder;
    std::string name;
    FirmwareGeneration generation = FirmwareGeneration::V170;
    // A banner other than the generation's own (say, one the host does not know).
    std::optional<std::string> banner;
    FirmwarePace pace = FirmwarePace::realistic();
    double backlash_deg = FirmwareModel::kDefaultBacklash_deg;
    // What ends each line the firmware prints.
    std::string lineEnd = "\r\n";
    // Where the scanner keeps what survives a power cycle (its stored calibration, the firmware a
    // flash installed), read at plug-in and written whenever it changes, so that it also survives
    // the emulator; empty: kept in the emulator only. A calibration line is written before it is
    // acknowledged: one the folder cannot take is not kept and gets no "CALIBRATION SET".
    std::filesystem::path memoryFolder;
  };

  // Plugs the scanner in. Throws std::system_error when the pseudo-terminal cannot be made.
  static std::unique_ptr<FirmwareEmulator> plugIn(Options options);
  ~FirmwareEmulator();  // unplugs everything
  FirmwareEmulator(const FirmwareEmulator&) = delete;
  FirmwareEmulator& operator=(const FirmwareEmulator&) = delete;

  // Whether this emulator still exists, for readers that may outlive it: a camera's frame timer or
  // render can still be running on another thread while the test that owns both ends. Readers
  // hold the mutex while they use `emulator`; the destructor clears it first.
  struct Presence {
    std::mutex mutex;
    const FirmwareEmulator* emulator = nullptr;
  };
  std::shared_ptr<Presence> presence() const { return presence_; }

  // The scanner's port (the same path each time it comes back), and whether it is plugged in.
  std::string path() const;
  // Where the scanner keeps its memory; empty when it keeps it only while the emulator lives.
  const std::filesystem::path& memoryFolder() const { return options_.memoryFolder; }
  bool isPluggedIn() const;

  // ---- what the scanner is doing ----
  double headHeight_mm() const;
  double bedAngle_deg() const;
  bool laser1On() const;
  bool laser2On() const;
  bool isHomed() const;
  std::map<std::string, std::string> storedCalibration() const;
  void setStoredValue(const std::string& key, const std::string& value);
  // Every command line the firmware heard, oldest first (also those it ignored while silent).
  std::vector<std::string> commands() const;
  // True when nothing is being carried out and no reply is waiting to go out.
  bool isIdle() const;
  // The speed the host has set the scanner's line to (0 while unplugged).
  int lineBaudRate() const;
  FirmwareGeneration generation() const;

  // ---- scripted faults ----
  // A silent scanner hears commands and answers nothing.
  void setSilent(bool silent);
  // Prints `line` every `interval_s` seconds while plugged in; a zero interval stops it.
  void setChatter(double interval_s, std::string line = "STATUS OK");
  // Prints "Motor Timeout X" after every command's echo, as a firmware whose bed driver times
  // out does.
  void setMotorTimeouts(bool on);
  // Writes every line in two pieces, a moment apart.
  void setSplitLines(bool on);
  // Writes all lines that are due together in one piece.
  void setMergeLines(bool on);
  // Leaves out the next `count` completion lines ("COMMAND COMPLETE…", "CALIBRATION SET…").
  void dropNextCompletions(int count);
  // Unplugs the scanner right after echoing the next command that begins with `prefix` (any
  // command when empty).
  void unplugOnNextCommand(std::string prefix = {});
  // Prints a line now, whatever the firmware is doing.
  void say(const std::string& line);
  // Unplugs the scanner (the port disappears and its line hangs up); plugs it in again, powered up
  // afresh.
  void unplug();
  void replug();

  // ---- the boot loader ----
  // How often a 1200-baud open and close has reset the scanner into its boot loader.
  int resetCount() const;
  // The boot loader's port while it is there.
  std::optional<std::string> bootLoaderPath() const;
  // How often the boot loader's port was opened and closed again (a programmer at work).
  int flashCount() const;
  // The firmware the scanner comes back with after a boot loader that was opened (flashed).
  void setGenerationAfterFlash(FirmwareGeneration generation);
  // While held, a boot loader nobody programs stays past its window, however slowly the peer under
  // test gets round to seeing it; released, it leaves once its window is over.
  void holdBootLoader(bool held);

private:
  using Clock = std::chrono::steady_clock;
  struct Write {
    std::shared_ptr<SerialPeer> peer;
    std::string bytes;
  };

  explicit FirmwareEmulator(Options options);
  double elapsed_s() const;
  void run();
  // Each runs with the lock held and adds the writes and port changes to carry out unlocked.
  void takeInputs(double t_s);
  void watchPorts(double t_s);
  void emitDue(double t_s, std::vector<std::string>& lines);
  // The memory as it stands when it changed since it was last written (and notes it written).
  std::optional<ScannerMemory> memoryToWrite();
  std::shared_ptr<SerialPeer> plugScanner();
  std::shared_ptr<SerialPeer> plugBootLoader();
  void attach(const std::shared_ptr<SerialPeer>& peer, bool scanner);

  const Options options_;
  const Clock::time_point start_;
  std::filesystem::path folder_;
  std::string name_;

  const std::shared_ptr<Presence> presence_ = std::make_shared<Presence>();
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  FirmwareModel model_;
  std::shared_ptr<SerialPeer> scanner_;
  std::shared_ptr<SerialPeer> bootLoader_;
  std::deque<std::pair<std::string, double>> inputs_;  // lines heard, with the time heard
  std::vector<std::shared_ptr<SerialPeer>> retired_;   // ports to close with the lock released
  bool wantPlug_ = false;
  bool wantBootLoader_ = false;

  // Watching the scanner's line for the boot-loader reset.
  std::size_t scannerEventsSeen_ = 0;
  bool slowOpen_ = false;
  std::optional<double> bootLoaderDue_s_;
  std::optional<double> bootLoaderLeaves_s_;
  bool bootLoaderHeld_ = false;
  std::size_t bootLoaderEventsSeen_ = 0;
  bool bootLoaderOpened_ = false;
  int resets_ = 0;
  int flashes_ = 0;
  std::optional<FirmwareGeneration> generationAfterFlash_;
  std::optional<FirmwareGeneration> flashed_;  // what the last flash installed
  std::uint64_t memoryWritten_ = 0;            // the stored calibration's revision last written
  bool flashToWrite_ = false;

  bool silent_ = false;
  double chatterInterval_s_ = 0;
  std::string chatterLine_;
  double nextChatter_s_ = 0;
  bool motorTimeouts_ = false;
  bool split_ = false;
  bool merge_ = false;
  int dropCompletions_ = 0;
  std::optional<std::string> unplugPrefix_;
  std::optional<std::string> unplugEcho_;  // the echo after which the scanner is unplugged
  std::optional<double> unplugAt_s_;
  std::vector<std::string> spoken_;  // lines asked for by say()
  std::vector<std::string> heard_;   // every command line heard

  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace qv::sim
