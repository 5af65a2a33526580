// The scanner's command lines and replies as plain functions: line texts, banner and generation,
// leading numbers, calibration keys, key lines, the calibration write order and the logged tables.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scancmd/QVLICalibrationDetails.h"
#include "scancmd/QVLIFirmwareVersion.h"

namespace qv::protocol {

// Command lines (without their line end, which the device link adds).
inline constexpr const char* kInitializeLine = "rst3C|41";
inline constexpr const char* kReadCalibrationLine = "<<<";
inline constexpr const char* kHomeLine = "h";
inline constexpr const char* kLasersOffLine = "L0";
inline constexpr const char* kLaser1Line = "L1";
inline constexpr const char* kLaser2Line = "L2";
// The stop request: three lines back to back, only the last waited for.
inline constexpr const char* kStopBedLine = "xk";
inline constexpr const char* kStopHeadLine = "yk";
inline constexpr const char* kStopLasersLine = "l0";

// The highest head position a move may end at, mm above home (exactly this is allowed).
inline constexpr float kHeadLimit_mm = 185.0f;
// Added in the new direction whenever the bed's direction of rotation changes, to take up the
// play of its gears, degrees.
inline constexpr float kBacklashAllowance_deg = 0.0015707964f;
// At most this many received lines are kept for diagnostics.
inline constexpr std::size_t kLastCommunicationsLimit = 150;
// Seconds of silence after which the watchdog ends a request.
inline constexpr double kWatchdogInterval_s = 2.0;

// "Y%0.1f": 10 → "Y10.0", -12.34 → "Y-12.3".
std::string moveLine(float distance_mm);
// "X%f" of the angle to write.
std::string rotationLine(float written_deg);
// The angle written for a rotation of `requested_deg` after a rotation of `previous_deg` (0 before
// the first, counting as positive): the backlash allowance is added whenever the direction changes.
float rotationWithBacklash(float requested_deg, float previous_deg);
// The remainder by 360 that keeps the sign of the angle (-10 stays -10, 370 becomes 10).
float wrapDegrees(float angle_deg);

// The number at the start of the text: leading white space skipped, an optional sign, digits, an
// optional fraction and exponent; the rest ignored; 0 when there is none. Never depends on the
// locale.
double leadingNumber(std::string_view text);
// The integer at the start of the text: leading white space, an optional sign, decimal digits; the
// rest ignored; 0 when there is none; clamped to the range of 64 bits.
std::int64_t leadingInteger(std::string_view text);

// True when the line is the firmware banner (begins "Quorvel Firmware v" or "Quorvix Firmware v").
bool isBanner(std::string_view line);
// The generation told by the end of the banner line (Other when no known version ends it).
QVLIFirmwareVersion firmwareVersionFromBanner(std::string_view banner);

// The keys a calibration read waits for with this generation; empty for Unknown and v1.5.0.
const std::vector<std::string>& expectedKeys(QVLIFirmwareVersion version);

// A key line's key and value: the text before the first space, and everything after that space.
// Nothing when the line holds no space.
std::optional<std::pair<std::string, std::string>> splitKeyLine(std::string_view line);

// The record made from the values of a completed read: each float field from its key's value by
// its leading number (0 when the key is not among `keys`); the identifier from GUID in canonical
// upper-case form, or a new random one when GUID holds no identifier.
QVLICalibrationDetails calibrationFromValues(const std::map<std::string, std::string>& values,
                                             const std::vector<std::string>& keys);

// The thirty calibration write lines in the order they are written (">>>BEDX…" first).
std::vector<std::string> calibrationWriteLines(const QVLICalibrationDetails& details);

// The table logged for a calibration write (`forWrite`) or a completed read: twelve lines framed
// by "<" or ">", every label's colon in column 18.
std::vector<std::string> calibrationLogLines(const QVLICalibrationDetails& details, bool forWrite);

}  // namespace qv::protocol
