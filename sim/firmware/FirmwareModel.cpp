// The simulated firmware's replies, motions and stored calibration.
#include "sim/firmware/FirmwareModel.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace qv::sim {

namespace {

// The firmware's key tables are written out here again on purpose, not taken from the protocol
// library: the emulator stands for the scanner, so a slip in the library's tables shows up as a
// failing test instead of being shared by both sides.
const std::vector<std::string> kKeys170 = {
    "BEDX", "BEDY", "BEDZ", "BDNX", "BDNY", "BDNZ", "LSNX", "LSNY", "LSNZ", "L1NX",
    "L1NY", "L1NZ", "L2NX", "L2NY", "L2NZ", "GUID", "L1UT", "L1OF", "L2UT", "L2OF",
    "XUT",  "YUT",  "TUT",  "HALL", "TMP1", "TMP2", "TMP3", "TMP4", "TMP5", "TMP6"};

const std::vector<std::string> kKeys160 = {"L1X1", "L1Y1", "L1X2", "L1Y2", "L2X1", "L2Y1", "L2X2",
                                           "L2Y2", "ROTY", "ROTZ", "ROTX", "GUID", "L1UT", "L1OF",
                                           "L2UT", "L2OF", "XUT",  "YUT",  "TUT"};

const std::vector<std::string> kKeys200 = [] {
  std::vector<std::string> keys = kKeys170;
  for (const char* k : {"L1OX", "L1OY", "L1OZ", "L2OX", "L2OY", "L2OZ", "CI00", "CI11", "CI02", "CI12",
                        "CDM0", "CDM1", "CDM2", "CDM3"}) {
    keys.emplace_back(k);
  }
  return keys;
}();

const std::vector<std::string> kNoKeys;

// The calibration the simulated scanner leaves the factory with: made up, but shaped like a real
// one (unit normals, a camera of 1280 x 960 pixels). The identifier is stored in lower case.
const std::map<std::string, std::string> kFactoryCalibration = {
    {"BEDX", "1.250000"},    {"BEDY", "-3.500000"},    {"BEDZ", "312.750000"},  {"BDNX", "0.001000"},
    {"BDNY", "0.999000"},    {"BDNZ", "0.012000"},     {"LSNX", "0.000500"},    {"LSNY", "0.999990"},
    {"LSNZ", "0.004000"},    {"L1NX", "0.866025"},     {"L1NY", "0.000000"},    {"L1NZ", "0.500000"},
    {"L2NX", "-0.866025"},   {"L2NY", "0.000000"},     {"L2NZ", "0.500000"},    {"L1OX", "120.000000"},
    {"L1OY", "0.000000"},    {"L1OZ", "0.000000"},     {"L2OX", "-120.000000"}, {"L2OY", "0.000000"},
    {"L2OZ", "0.000000"},    {"CI00", "1450.500000"},  {"CI11", "1451.250000"}, {"CI02", "640.250000"},
    {"CI12", "480.750000"},  {"CDM0", "-0.125000"},    {"CDM1", "0.062500"},    {"CDM2", "0.001000"},
    {"CDM3", "-0.000500"},   {"GUID", "3f2a9c4e-7b1d-4e8a-9c0f-5d6e7a8b9c01"},
    {"L1UT", "1"},           {"L1OF", "0"},            {"L2UT", "1"},           {"L2OF", "0"},
    {"XUT", "200"},          {"YUT", "200"},           {"TUT", "500"},          {"HALL", "512"},
    {"TMP1", "0"},           {"TMP2", "0"},            {"TMP3", "0"},           {"TMP4", "0"},
    {"TMP5", "0"},           {"TMP6", "0"},            {"L1X1", "100.5"},       {"L1Y1", "200.25"},
    {"L1X2", "110.5"},       {"L1Y2", "700.25"},       {"L2X1", "1170.5"},      {"L2Y1", "200.75"},
    {"L2X2", "1160.5"},      {"L2Y2", "700.75"},       {"ROTY", "0.5"},         {"ROTZ", "0.25"},
    {"ROTX", "0.125"},
};

// The firmware reads numbers the way the C library's atof does: a leading number, else 0.
double parseNumber(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  double value = 0.0;
  const auto result = std::from_chars(text.data() + i, text.data() + text.size(), value);
  return result.ec == std::errc() && std::isfinite(value) ? value : 0.0;
}

}  // namespace

FirmwarePace FirmwarePace::none() {
  FirmwarePace pace;
  pace.replyDelay_s = 0;
  pace.headSpeed_mm_per_s = 0;
  pace.bedSpeed_deg_per_s = 0;
  pace.progressInterval_s = 0;
  pace.laserSwitch_s = 0;
  pace.calibrationLine_s = 0;
  pace.boot_s = 0;
  pace.bootLoaderArrival_s = 0;
  pace.bootLoaderWindow_s = 0.2;  // long enough for a test to see the port
  return pace;
}

std::string firmwareBanner(FirmwareGeneration generation) {
  switch (generation) {
    case FirmwareGeneration::V150: return "Quorvel Firmware v1.5.0";
    case FirmwareGeneration::V160: return "Quorvix Firmware v1.6.0";
    case FirmwareGeneration::V161: return "Quorvix Firmware v1.6.1";
    case FirmwareGeneration::V170: return "Quorvel Firmware v1.7.0";
    case FirmwareGeneration::V200: return "Quorvel Firmware v2.0.0";
    case FirmwareGeneration::Other: return "Quorvel Firmware v2.1.3";
  }
  return {};
}

const std::vector<std::string>& firmwareReportedKeys(FirmwareGeneration generation) {
  switch (generation) {
    case FirmwareGeneration::V160:
    case FirmwareGeneration::V161: return kKeys160;
    case FirmwareGeneration::V170: return kKeys170;
    case FirmwareGeneration::V200:
    case FirmwareGeneration::Other: return kKeys200;
    case FirmwareGeneration::V150: break;
  }
  return kNoKeys;
}

FirmwareModel::FirmwareModel(FirmwareGeneration generation, FirmwarePace pace, double backlash_deg)
    : generation_(generation), pace_(pace), backlash_deg_(backlash_deg), stored_(kFactoryCalibration) {}

std::string FirmwareModel::banner() const { return banner_ ? *banner_ : firmwareBanner(generation_); }

void FirmwareModel::say(double due_s, std::string line, std::function<void()> effect) {
  script_.push_back({std::max(due_s, lastDue(due_s)), std::move(line), std::move(effect), {}});
}

void FirmwareModel::sayIf(double due_s, std::string line, std::function<bool()> effect) {
  script_.push_back({std::max(due_s, lastDue(due_s)), std::move(line), {}, std::move(effect)});
}

bool FirmwareModel::storeCalibrationLine(const std::string& key, const std::string& value) {
  auto before = stored_;
  const std::uint64_t revision = storedRevision_;
  setStoredValue(key, value);
  if (!memoryKeeper_ || memoryKeeper_()) return true;
  stored_ = std::move(before);
  storedRevision_ = revision;
  return false;
}

void FirmwareModel::receive(const std::string& line, double t_s) {
  commands_.push_back(line);
  if (line == "rst3C|41") {
    // The controller restarts: whatever it was doing stops, and it greets the host again.
    if (motion_.kind != Activity::None) interrupt(motion_.kind, t_s);
    powerCycle();
    say(t_s + pace_.boot_s, "Initializing...");
    say(t_s + pace_.boot_s, banner());
    return;
  }
  // A stop command cuts the running motion of its motor short and is carried out at once.
  if ((line == "xk" && motion_.kind == Activity::Bed) || (line == "yk" && motion_.kind == Activity::Head)) {
    interrupt(motion_.kind, t_s);
    start(line, t_s);
    return;
  }
  if (isBusy()) {
    waiting_.push_back(line);
  } else {
    start(line, t_s);
  }
}

double FirmwareModel::scheduleMotion(Activity kind, double t0_s, double duration_s, const std::string& progressPrefix,
                                     std::function<void(double)> moveTo) {
  motion_ = {kind, t0_s, duration_s, moveTo};
  int lines = kInstantProgressLines;
  if (duration_s > 0 && pace_.progressInterval_s > 0) {
    lines = std::max(1, static_cast<int>(std::ceil(duration_s / pace_.progressInterval_s)));
  }
  for (int i = 1; i <= lines; ++i) {
    const double fraction = static_cast<double>(i) / lines;
    say(t0_s + duration_s * fraction, progressPrefix + std::to_string(std::lround(fraction * 10000.0)),
        [moveTo, fraction] { moveTo(fraction); });
  }
  return t0_s + duration_s;
}

void FirmwareModel::interrupt(Activity kind, double t_s) {
  if (motion_.kind != kind) return;
  const double fraction =
      motion_.duration_s > 0 ? std::clamp((t_s - motion_.start_s) / motion_.duration_s, 0.0, 1.0) : 1.0;
  if (motion_.moveTo) motion_.moveTo(fraction);
  script_.clear();
  motion_ = {};
}

void FirmwareModel::start(const std::string& line, double t_s) {
  const double echo_s = t_s + pace_.replyDelay_s;
  say(echo_s, "COMMAND RECEIVED " + line);

  if (line == "h") {
    const double from = head_mm_;
    const double duration = pace_.headSpeed_mm_per_s > 0 ? from / pace_.headSpeed_mm_per_s : 0.0;
    motion_ = {Activity::Head, echo_s, duration, [this, from](double f) { head_mm_ = from * (1.0 - f); }};
    const int lines = duration > 0 && pace_.progressInterval_s > 0
                          ? std::max(1, static_cast<int>(std::ceil(duration / pace_.progressInterval_s)))
                          : kInstantProgressLines;
    for (int i = 1; i <= lines; ++i) {
      const double fraction = static_cast<double>(i) / lines;
      const double due = echo_s + duration * fraction;
      say(due, "PY" + std::to_string(std::lround(fraction * 10000.0)),
          [this, from, fraction] { head_mm_ = from * (1.0 - fraction); });
      // The hall sensor's reading rises as the head nears the switch.
      say(due, "H:" + std::to_string(200 + std::lround(312.0 * fraction)));
    }
    say(echo_s + duration, "HALL 512");
    say(echo_s + duration, "COMMAND COMPLETE H", [this] {
      head_mm_ = 0.0;
      homed_ = true;
    });
  } else if (line.size() > 1 && line[0] == 'Y') {
    const double from = head_mm_;
    const double to = std::clamp(from + parseNumber(line.substr(1)), 0.0, kHeadTravel_mm);
    const double duration = pace_.headSpeed_mm_per_s > 0 ? std::fabs(to - from) / pace_.headSpeed_mm_per_s : 0.0;
    const double end = scheduleMotion(Activity::Head, echo_s, duration, "PY",
                                      [this, from, to](double f) { head_mm_ = from + (to - from) * f; });
    say(end, "COMMAND COMPLETE Y");
  } else if (line.size() > 1 && line[0] == 'X') {
    const double requested = parseNumber(line.substr(1));
    double travel = requested;
    if (requested != 0.0) {
      // Turning the other way first takes up the gear play, which moves the bed nothing.
      const int direction = requested > 0 ? +1 : -1;
      if (direction != bedDirection_) {
        travel = requested - direction * std::min(backlash_deg_, std::fabs(requested));
        bedDirection_ = direction;
      }
    }
    const double from = bed_deg_;
    const double duration = pace_.bedSpeed_deg_per_s > 0 ? std::fabs(requested) / pace_.bedSpeed_deg_per_s : 0.0;
    const double end = scheduleMotion(Activity::Bed, echo_s, duration, "PX",
                                      [this, from, travel](double f) { bed_deg_ = from + travel * f; });
    say(end, "COMMAND COMPLETE X");
  } else if (line == "L0" || line == "l0") {
    say(echo_s + pace_.laserSwitch_s, "COMMAND COMPLETE L0", [this] { laser1_ = laser2_ = false; });
  } else if (line == "L1") {
    // One laser at a time: switching one on switches the other off.
    say(echo_s + pace_.laserSwitch_s, "COMMAND COMPLETE L1", [this] {
      laser1_ = true;
      laser2_ = false;
    });
  } else if (line == "L2") {
    say(echo_s + pace_.laserSwitch_s, "COMMAND COMPLETE L2", [this] {
      laser1_ = false;
      laser2_ = true;
    });
  } else if (line == "xk") {
    say(echo_s, "COMMAND COMPLETE KX");
  } else if (line == "yk") {
    say(echo_s, "COMMAND COMPLETE KY");
  } else if (line == "<<<") {
    const auto& keys = firmwareReportedKeys(generation_);
    if (keys.empty()) {
      say(echo_s, "UNKNOWN COMMAND <<<");
      return;
    }
    double at = echo_s + pace_.calibrationLine_s;
    const auto hall = stored_.find("HALL");
    say(at, "SETTING HALLEFFECT TO " + (hall != stored_.end() ? hall->second : std::string("0")));
    for (const auto& key : keys) {
      at += pace_.calibrationLine_s;
      const auto value = stored_.find(key);
      say(at, key + " " + (value != stored_.end() ? value->second : std::string("0.000000")));
    }
  } else if (line.starts_with(">>>")) {
    if (line.size() < 7) {
      say(echo_s, "CALIBRATION ERROR " + line);
      return;
    }
    const std::string key = line.substr(3, 4);
    const std::string value = line.substr(7);
    sayIf(echo_s + pace_.calibrationLine_s, "CALIBRATION SET " + key + " " + value,
          [this, key, value] { return storeCalibrationLine(key, value); });
  } else {
    say(echo_s, "UNKNOWN COMMAND " + line);
  }
}

std::vector<std::string> FirmwareModel::takeDue(double t_s) {
  std::vector<std::string> lines;
  double finished_s = t_s;
  for (;;) {
    while (!script_.empty() && script_.front().due_s <= t_s) {
      Step step = std::move(script_.front());
      script_.pop_front();
      bool said = true;
      if (step.effectSaying) said = step.effectSaying();
      else if (step.effect) step.effect();
      if (said && !step.line.empty()) lines.push_back(std::move(step.line));
      finished_s = step.due_s;
    }
    if (!script_.empty()) break;
    motion_ = {};
    if (waiting_.empty()) break;
    // The next command starts when the one before it ended, not when this call happens to run.
    const std::string next = std::move(waiting_.front());
    waiting_.pop_front();
    start(next, finished_s);
  }
  return lines;
}

std::optional<double> FirmwareModel::nextDue() const {
  if (script_.empty()) return std::nullopt;
  return script_.front().due_s;
}

void FirmwareModel::powerCycle() {
  script_.clear();
  waiting_.clear();
  motion_ = {};
  laser1_ = laser2_ = false;
  homed_ = false;
}

}  // namespace qv::sim
