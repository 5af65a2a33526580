// The firmware emulator's thread: lines in from the pseudo-terminal, replies out as they fall due,
// the boot-loader reset, and the scripted faults.
#include "sim/firmware/FirmwareEmulator.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "scanlink/SimulatorPortSource.h"

namespace qv::sim {

namespace {

// How often the port's line is looked at for opens, closes and speed changes.
constexpr double kWatchInterval_s = 0.002;
// How long a piece of a split line waits for the rest.
constexpr auto kSplitPause = std::chrono::milliseconds(2);
// An unplugged scanner's last echo is given this long to reach the host first.
constexpr double kUnplugAfterEcho_s = 0.05;

// Takes a port away: its link disappears and its line hangs up. Never called with the emulator's
// lock held: hanging up waits for the port's thread, which may be waiting for that lock.
void retire(const std::shared_ptr<SerialPeer>& peer) {
  if (!peer) return;
  peer->unplug();
  peer->hangUp();
}

}  // namespace

std::unique_ptr<FirmwareEmulator> FirmwareEmulator::plugIn(Options options) {
  std::unique_ptr<FirmwareEmulator> emulator(new FirmwareEmulator(std::move(options)));
  auto peer = emulator->plugScanner();
  {
    std::lock_guard lock(emulator->mutex_);
    emulator->scanner_ = std::move(peer);
  }
  emulator->thread_ = std::thread([e = emulator.get()] { e->run(); });
  return emulator;
}

FirmwareEmulator::FirmwareEmulator(Options options)
    : options_(std::move(options)),
      start_(Clock::now()),
      folder_(options_.folder.empty() ? SimulatorPortSource::defaultFolder() : options_.folder),
      name_(options_.name),
      model_(options_.generation, options_.pace, options_.backlash_deg) {
  model_.setBanner(options_.banner);
  if (!options_.memoryFolder.empty()) {
    if (auto memory = loadScannerMemory(options_.memoryFolder)) {
      model_.setStoredCalibration(std::move(memory->calibration));
      flashed_ = memory->flashed;
      if (flashed_) model_.setGeneration(*flashed_);
    }
    memoryWritten_ = model_.storedRevision();
    // A calibration line is acknowledged only once the memory holds it, so a memory that cannot
    // be written leaves the host's write unanswered (its watchdog fails it) instead of letting it
    // pass for saved and losing the calibration at the next power-up. Runs on the thread, with the
    // lock held, between storing the line and its acknowledgement going out.
    model_.setMemoryKeeper([this] {
      if (!saveScannerMemory(options_.memoryFolder, ScannerMemory{model_.storedCalibration(), flashed_})) return false;
      memoryWritten_ = model_.storedRevision();
      flashToWrite_ = false;
      return true;
    });
  }
  presence_->emulator = this;
}

FirmwareEmulator::~FirmwareEmulator() {
  {
    std::lock_guard lock(presence_->mutex);
    presence_->emulator = nullptr;
  }
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::shared_ptr<SerialPeer> scanner, bootLoader;
  std::optional<ScannerMemory> memory;
  {
    std::lock_guard lock(mutex_);
    scanner = std::move(scanner_);
    bootLoader = std::move(bootLoader_);
    memory = memoryToWrite();  // a change the thread had no time to write
  }
  if (memory) saveScannerMemory(options_.memoryFolder, *memory);
  retire(scanner);
  retire(bootLoader);
}

std::optional<ScannerMemory> FirmwareEmulator::memoryToWrite() {
  if (options_.memoryFolder.empty() || (model_.storedRevision() == memoryWritten_ && !flashToWrite_)) return std::nullopt;
  memoryWritten_ = model_.storedRevision();
  flashToWrite_ = false;
  return ScannerMemory{model_.storedCalibration(), flashed_};
}

double FirmwareEmulator::elapsed_s() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

// ---- ports ----

std::shared_ptr<SerialPeer> FirmwareEmulator::plugScanner() {
  std::shared_ptr<SerialPeer> peer = SerialPeer::plugIn({folder_, name_});
  if (name_.empty()) name_ = peer->linkPath().filename().string();
  attach(peer, true);
  return peer;
}

std::shared_ptr<SerialPeer> FirmwareEmulator::plugBootLoader() {
  // The boot loader enumerates as a port of its own, never under the scanner's name.
  for (int n = 0; n < 10000; ++n) {
    const std::string name = "ttyACM" + std::to_string(n);
    std::error_code ec;
    if (name == name_ || std::filesystem::exists(std::filesystem::symlink_status(folder_ / name, ec))) continue;
    try {
      auto peer = std::shared_ptr<SerialPeer>(SerialPeer::plugIn({folder_, name}));
      attach(peer, false);
      return peer;
    } catch (const std::system_error&) {
      continue;  // taken meanwhile
    }
  }
  return nullptr;
}

void FirmwareEmulator::attach(const std::shared_ptr<SerialPeer>& peer, bool scanner) {
  if (!scanner) return;  // the boot loader speaks only to the programmer, which it leaves be
  peer->setLineHandler([this](const std::string& line) {
    {
      std::lock_guard lock(mutex_);
      inputs_.emplace_back(line, elapsed_s());
    }
    wake_.notify_all();
    return std::string();
  });
}

std::string FirmwareEmulator::path() const {
  std::lock_guard lock(mutex_);
  return (folder_ / name_).string();
}

bool FirmwareEmulator::isPluggedIn() const {
  std::lock_guard lock(mutex_);
  return scanner_ != nullptr;
}

void FirmwareEmulator::unplug() {
  std::shared_ptr<SerialPeer> peer;
  {
    std::lock_guard lock(mutex_);
    peer = std::move(scanner_);
    model_.powerCycle();
    inputs_.clear();
  }
  retire(peer);
}

void FirmwareEmulator::replug() {
  {
    std::lock_guard lock(mutex_);
    if (scanner_) return;
  }
  auto peer = plugScanner();
  {
    std::lock_guard lock(mutex_);
    scanner_ = std::move(peer);
    scannerEventsSeen_ = 0;
    slowOpen_ = false;
    model_.powerCycle();
  }
  wake_.notify_all();
}

// ---- the thread ----

void FirmwareEmulator::takeInputs(double t_s) {
  while (!inputs_.empty()) {
    auto [line, heard_s] = std::move(inputs_.front());
    inputs_.pop_front();
    if (unplugPrefix_ && line.starts_with(*unplugPrefix_)) {
      unplugPrefix_.reset();
      unplugEcho_ = "COMMAND RECEIVED " + line;
    }
    if (!silent_) model_.receive(line, std::min(heard_s, t_s));
    heard_.push_back(std::move(line));
  }
}

void FirmwareEmulator::watchPorts(double t_s) {
  if (scanner_) {
    const auto events = scanner_->events();
    for (; scannerEventsSeen_ < events.size(); ++scannerEventsSeen_) {
      const LineEvent& event = events[scannerEventsSeen_];
      if (event.kind == LineEvent::Kind::HungUp) {
        // Closing the port after it was opened at 1200 baud sends the controller into its boot
        // loader: the scanner's port goes, the boot loader's comes.
        if (slowOpen_) {
          ++resets_;
          retired_.push_back(std::move(scanner_));
          model_.powerCycle();
          bootLoaderDue_s_ = t_s + options_.pace.bootLoaderArrival_s;
          slowOpen_ = false;
          break;
        }
      } else if (event.baudRate == 1200) {
        slowOpen_ = true;
      }
    }
  }
  if (bootLoader_) {
    const auto events = bootLoader_->events();
    for (; bootLoaderEventsSeen_ < events.size(); ++bootLoaderEventsSeen_) {
      const LineEvent& event = events[bootLoaderEventsSeen_];
      if (event.kind == LineEvent::Kind::Opened) {
        bootLoaderOpened_ = true;
      } else if (event.kind == LineEvent::Kind::HungUp && bootLoaderOpened_) {
        bootLoaderLeaves_s_ = t_s;  // programmed: the boot loader starts the firmware at once
      }
    }
  }
  if (bootLoaderDue_s_ && *bootLoaderDue_s_ <= t_s) {
    bootLoaderDue_s_.reset();
    wantBootLoader_ = true;
  }
  if (bootLoader_ && bootLoaderLeaves_s_ && *bootLoaderLeaves_s_ <= t_s && (bootLoaderOpened_ || !bootLoaderHeld_)) {
    bootLoaderLeaves_s_.reset();
    if (bootLoaderOpened_) {
      ++flashes_;
      if (generationAfterFlash_) {
        model_.setGeneration(*generationAfterFlash_);
        flashed_ = generationAfterFlash_;
        flashToWrite_ = true;
      }
    }
    retired_.push_back(std::move(bootLoader_));
    wantPlug_ = true;
  }
}

void FirmwareEmulator::emitDue(double t_s, std::vector<std::string>& lines) {
  for (auto& line : model_.takeDue(t_s)) {
    const bool completion = line.starts_with("COMMAND COMPLETE") || line.starts_with("CALIBRATION SET");
    if (completion && dropCompletions_ > 0) {
      --dropCompletions_;
      continue;
    }
    const bool echo = line.starts_with("COMMAND RECEIVED");
    lines.push_back(std::move(line));
    if (echo && motorTimeouts_) lines.emplace_back("Motor Timeout X");
  }
  if (chatterInterval_s_ > 0 && t_s >= nextChatter_s_) {
    lines.push_back(chatterLine_);
    nextChatter_s_ = t_s + chatterInterval_s_;
  }
  for (auto& line : spoken_) lines.push_back(std::move(line));
  spoken_.clear();
  if (unplugEcho_) {
    // The power goes right after the echo: whatever the firmware would have said next is lost.
    const auto echo = std::find(lines.begin(), lines.end(), *unplugEcho_);
    if (echo != lines.end()) {
      lines.erase(echo + 1, lines.end());
      unplugEcho_.reset();
      unplugAt_s_ = t_s + kUnplugAfterEcho_s;
      model_.powerCycle();
    }
  }
}

void FirmwareEmulator::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const double t_s = elapsed_s();
    takeInputs(t_s);
    watchPorts(t_s);
    std::vector<std::string> lines;
    emitDue(t_s, lines);

    std::vector<Write> writes;
    if (scanner_ && !lines.empty()) {
      if (merge_) {
        std::string bytes;
        for (const auto& line : lines) bytes += line + options_.lineEnd;
        writes.push_back({scanner_, std::move(bytes)});
      } else {
        for (const auto& line : lines) writes.push_back({scanner_, line + options_.lineEnd});
      }
    }
    if (unplugAt_s_ && *unplugAt_s_ <= t_s) {
      unplugAt_s_.reset();
      retired_.push_back(std::move(scanner_));
      model_.powerCycle();
    }
    const bool split = split_;
    auto retired = std::move(retired_);
    retired_.clear();
    const bool plugScannerNow = std::exchange(wantPlug_, false);
    const bool plugBootLoaderNow = std::exchange(wantBootLoader_, false);
    const auto memory = memoryToWrite();

    lock.unlock();
    for (const auto& write : writes) {
      if (split && write.bytes.size() > 1) {
        const std::size_t half = write.bytes.size() / 2;
        write.peer->write(std::string_view(write.bytes).substr(0, half));
        std::this_thread::sleep_for(kSplitPause);
        write.peer->write(std::string_view(write.bytes).substr(half));
      } else {
        write.peer->write(write.bytes);
      }
    }
    writes.clear();
    // After the replies: the host does not wait for the disk. (Calibration lines were written
    // before their acknowledgement; this is what else changed: a value set from outside, a flash.)
    if (memory) saveScannerMemory(options_.memoryFolder, *memory);
    for (const auto& peer : retired) retire(peer);
    retired.clear();
    std::shared_ptr<SerialPeer> newBootLoader, newScanner;
    try {
      if (plugBootLoaderNow) newBootLoader = plugBootLoader();
      if (plugScannerNow) newScanner = plugScanner();
    } catch (const std::system_error&) {
      // The folder is gone (the test that made it has ended): nothing more to plug in.
    }
    lock.lock();

    if (newBootLoader) {
      bootLoader_ = std::move(newBootLoader);
      bootLoaderEventsSeen_ = 0;
      bootLoaderOpened_ = false;
      bootLoaderLeaves_s_ = elapsed_s() + options_.pace.bootLoaderWindow_s;
    }
    if (newScanner) {
      scanner_ = std::move(newScanner);
      scannerEventsSeen_ = 0;
      slowOpen_ = false;
      model_.powerCycle();
    }

    // Sleep until the next reply, chatter line or port change is due, or a line is heard.
    double wake_s = elapsed_s() + 1.0;
    if (const auto due = model_.nextDue()) wake_s = std::min(wake_s, *due);
    if (chatterInterval_s_ > 0) wake_s = std::min(wake_s, nextChatter_s_);
    if (bootLoaderDue_s_) wake_s = std::min(wake_s, *bootLoaderDue_s_);
    if (bootLoaderLeaves_s_) wake_s = std::min(wake_s, *bootLoaderLeaves_s_);
    if (unplugAt_s_) wake_s = std::min(wake_s, *unplugAt_s_);
    if (scanner_ || bootLoader_) wake_s = std::min(wake_s, elapsed_s() + kWatchInterval_s);
    const auto deadline = start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wake_s));
    wake_.wait_until(lock, deadline, [&] {
      return stopping_ || !inputs_.empty() || !spoken_.empty() || wantPlug_ ||
             (!options_.memoryFolder.empty() && model_.storedRevision() != memoryWritten_);
    });
  }
}

// ---- state ----

double FirmwareEmulator::headHeight_mm() const {
  std::lock_guard lock(mutex_);
  return model_.headHeight_mm();
}

double FirmwareEmulator::bedAngle_deg() const {
  std::lock_guard lock(mutex_);
  return model_.bedAngle_deg();
}

bool FirmwareEmulator::laser1On() const {
  std::lock_guard lock(mutex_);
  return model_.laser1On();
}

bool FirmwareEmulator::laser2On() const {
  std::lock_guard lock(mutex_);
  return model_.laser2On();
}

bool FirmwareEmulator::isHomed() const {
  std::lock_guard lock(mutex_);
  return model_.isHomed();
}

std::map<std::string, std::string> FirmwareEmulator::storedCalibration() const {
  std::lock_guard lock(mutex_);
  return model_.storedCalibration();
}

void FirmwareEmulator::setStoredValue(const std::string& key, const std::string& value) {
  {
    std::lock_guard lock(mutex_);
    model_.setStoredValue(key, value);
  }
  wake_.notify_all();  // the memory is written at once
}

std::vector<std::string> FirmwareEmulator::commands() const {
  std::lock_guard lock(mutex_);
  return heard_;
}

int FirmwareEmulator::lineBaudRate() const {
  std::lock_guard lock(mutex_);
  return scanner_ ? scanner_->baudRate() : 0;
}

bool FirmwareEmulator::isIdle() const {
  std::lock_guard lock(mutex_);
  return inputs_.empty() && !model_.isBusy() && spoken_.empty();
}

FirmwareGeneration FirmwareEmulator::generation() const {
  std::lock_guard lock(mutex_);
  return model_.generation();
}

// ---- faults ----

void FirmwareEmulator::setSilent(bool silent) {
  std::lock_guard lock(mutex_);
  silent_ = silent;
}

void FirmwareEmulator::setChatter(double interval_s, std::string line) {
  {
    std::lock_guard lock(mutex_);
    chatterInterval_s_ = interval_s;
    chatterLine_ = std::move(line);
    nextChatter_s_ = elapsed_s() + interval_s;
  }
  wake_.notify_all();
}

void FirmwareEmulator::setMotorTimeouts(bool on) {
  std::lock_guard lock(mutex_);
  motorTimeouts_ = on;
}

void FirmwareEmulator::setSplitLines(bool on) {
  std::lock_guard lock(mutex_);
  split_ = on;
}

void FirmwareEmulator::setMergeLines(bool on) {
  std::lock_guard lock(mutex_);
  merge_ = on;
}

void FirmwareEmulator::dropNextCompletions(int count) {
  std::lock_guard lock(mutex_);
  dropCompletions_ = std::max(0, count);
}

void FirmwareEmulator::holdBootLoader(bool held) {
  {
    std::lock_guard lock(mutex_);
    bootLoaderHeld_ = held;
  }
  wake_.notify_all();
}

void FirmwareEmulator::unplugOnNextCommand(std::string prefix) {
  std::lock_guard lock(mutex_);
  unplugPrefix_ = std::move(prefix);
}

void FirmwareEmulator::say(const std::string& line) {
  {
    std::lock_guard lock(mutex_);
    spoken_.push_back(line);
  }
  wake_.notify_all();
}

int FirmwareEmulator::resetCount() const {
  std::lock_guard lock(mutex_);
  return resets_;
}

std::optional<std::string> FirmwareEmulator::bootLoaderPath() const {
  std::lock_guard lock(mutex_);
  if (!bootLoader_) return std::nullopt;
  return bootLoader_->path();
}

int FirmwareEmulator::flashCount() const {
  std::lock_guard lock(mutex_);
  return flashes_;
}

void FirmwareEmulator::setGenerationAfterFlash(FirmwareGeneration generation) {
  std::lock_guard lock(mutex_);
  generationAfterFlash_ = generation;
}

}  // namespace qv::sim
