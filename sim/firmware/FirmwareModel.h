// The simulated scanner's firmware as a plain event model: command lines in, timed reply lines out,
// with the head, bed, lasers and stored calibration they change. No threads and no I/O.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qv::sim {

// The firmware generations the scanner has shipped with; each has its own banner and its own
// list of stored calibration keys.
enum class FirmwareGeneration { V150, V160, V161, V170, V200, Other };

// "Quorvel Firmware v1.7.0" and the like (the 1.6 generations still carry the older name).
std::string firmwareBanner(FirmwareGeneration generation);
// The keys a calibration read reports, in the order the firmware sends them; none for v1.5.0.
const std::vector<std::string>& firmwareReportedKeys(FirmwareGeneration generation);

// How fast the firmware answers and the motors move. Zero speeds make motions instant.
struct FirmwarePace {
  double replyDelay_s = 0.004;            // from a command to its echo
  double headSpeed_mm_per_s = 8.0;        // lead screw
  double bedSpeed_deg_per_s = 36.0;       // turntable
  double progressInterval_s = 0.1;        // between progress lines of a motion
  double laserSwitch_s = 0.02;
  double calibrationLine_s = 0.01;        // between key lines of a read; storing one key
  double boot_s = 0.3;                    // from a reset command to the banner
  double bootLoaderArrival_s = 0.5;       // from the 1200-baud reset to the boot loader's port
  double bootLoaderWindow_s = 8.0;        // how long the boot loader waits for a programmer

  // The pace of the real scanner, roughly; and no delay at all (for tests and benchmarks).
  static FirmwarePace realistic() { return {}; }
  static FirmwarePace none();
};

class FirmwareModel {
public:
  // Motions with no duration still report this many progress lines, so progress is exercised.
  static constexpr int kInstantProgressLines = 2;
  // The head's travel above the home switch, mm; a move past either end stops there.
  static constexpr double kHeadTravel_mm = 190.0;
  // The turntable's gear play, taken up whenever the direction of rotation changes, degrees.
  static constexpr double kDefaultBacklash_deg = 0.0015707964;

  FirmwareModel(FirmwareGeneration generation, FirmwarePace pace, double backlash_deg = kDefaultBacklash_deg);

  // A command line (without its line end) received at time `t_s`.
  void receive(const std::string& line, double t_s);
  // The reply lines due by `t_s`, in order; their effects on the head, bed and lasers are applied.
  std::vector<std::string> takeDue(double t_s);
  // When the next reply line is due; nothing when the firmware has nothing more to say.
  std::optional<double> nextDue() const;
  bool isBusy() const { return !script_.empty(); }

  // Power lost or restored: motion stops where it is, lasers go off, the head counts as not homed,
  // queued commands are forgotten. The stored calibration survives.
  void powerCycle();

  FirmwareGeneration generation() const { return generation_; }
  void setGeneration(FirmwareGeneration generation) { generation_ = generation; }
  // The banner the firmware prints; the generation's own unless set.
  std::string banner() const;
  void setBanner(std::optional<std::string> banner) { banner_ = std::move(banner); }

  double headHeight_mm() const { return head_mm_; }
  // The turntable's true angle, not wrapped, with the gear play accounted for.
  double bedAngle_deg() const { return bed_deg_; }
  bool laser1On() const { return laser1_; }
  bool laser2On() const { return laser2_; }
  bool isHomed() const { return homed_; }
  void setHeadHeight_mm(double height) { head_mm_ = height; }

  // The stored calibration: key to value text, as last written.
  const std::map<std::string, std::string>& storedCalibration() const { return stored_; }
  void setStoredValue(const std::string& key, const std::string& value) {
    stored_[key] = value;
    ++storedRevision_;
  }
  // Replaces the whole stored calibration (a memory read back).
  void setStoredCalibration(std::map<std::string, std::string> values) {
    stored_ = std::move(values);
    ++storedRevision_;
  }
  // Counts the changes of the stored calibration, so that a keeper of the memory sees when to
  // write it.
  std::uint64_t storedRevision() const { return storedRevision_; }
  // Asked, once a calibration line has been stored, whether the memory kept it (the calibration as
  // it now stands is storedCalibration()). A line it did not keep is forgotten again and is not
  // acknowledged, as a scanner whose memory fails would not: the host hears no "CALIBRATION SET"
  // for it. Without a keeper every line is kept.
  void setMemoryKeeper(std::function<bool()> keeper) { memoryKeeper_ = std::move(keeper); }

  // Every command line received, oldest first.
  const std::vector<std::string>& commands() const { return commands_; }

private:
  enum class Activity { None, Head, Bed, Other };
  struct Step {
    double due_s;
    std::string line;              // empty: an effect only
    std::function<void()> effect;  // applied when the line goes out
    // Applied in place of `effect` when set: the line goes out only when it answers true.
    std::function<bool()> effectSaying;
  };
  struct Motion {
    Activity kind = Activity::None;
    double start_s = 0, duration_s = 0;
    std::function<void(double fraction)> moveTo;
  };

  void start(const std::string& line, double t_s);
  void say(double due_s, std::string line, std::function<void()> effect = {});
  // As say(), with an effect that decides when the line is due whether it goes out.
  void sayIf(double due_s, std::string line, std::function<bool()> effect);
  // Stores one calibration value; false when the memory did not keep it (nothing then changed).
  bool storeCalibrationLine(const std::string& key, const std::string& value);
  // Schedules a motion's progress lines ("<prefix><n>", n of 10000) and answers when it ends.
  double scheduleMotion(Activity kind, double t0_s, double duration_s, const std::string& progressPrefix,
                        std::function<void(double fraction)> moveTo);
  // Stops the motion of `kind` at time `t_s` where it has got to, dropping its remaining lines.
  void interrupt(Activity kind, double t_s);
  double lastDue(double t_s) const { return script_.empty() ? t_s : std::max(t_s, script_.back().due_s); }

  FirmwareGeneration generation_;
  std::optional<std::string> banner_;
  FirmwarePace pace_;
  double backlash_deg_;

  double head_mm_ = 0.0;
  double bed_deg_ = 0.0;
  int bedDirection_ = +1;  // the side the gear play was last taken up on
  bool laser1_ = false;
  bool laser2_ = false;
  bool homed_ = false;
  std::map<std::string, std::string> stored_;
  std::uint64_t storedRevision_ = 0;
  std::function<bool()> memoryKeeper_;

  std::deque<Step> script_;           // lines of the command being carried out, by due time
  Motion motion_;
  std::deque<std::string> waiting_;   // commands received while busy, carried out in turn
  std::vector<std::string> commands_;
};

}  // namespace qv::sim
