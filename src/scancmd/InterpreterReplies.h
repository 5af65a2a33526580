// What the scanner's replies and its silence do to a waiting request, as plain functions over the
// interpreter's state. QVLIInterpreter applies them under its lock and carries out the effect
// (callbacks, the next line, logging) with the lock released; keeping the rules here lets them be
// read and tested without a device, a queue or a timer.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scancmd/QVLICalibrationDetails.h"
#include "scancmd/QVLIErrors.h"
#include "scancmd/QVLIFirmwareVersion.h"
#include "scancmd/QVLIOperationState.h"

namespace qv::protocol {

// The part of an interpreter's state that replies and the watchdog read and change.
struct InterpreterState {
  QVLIOperationState operationState = QVLIOperationStateNone;
  QVLIFirmwareVersion firmwareVersion = QVLIFirmwareVersionUnknown;
  float currentPositionX = 0.0f;  // bed angle, degrees in [0, 360)
  float currentPositionY = 0.0f;  // head height, mm
  float previousPositionX = 0.0f;
  float previousPositionY = 0.0f;
  float deltaPositionX = 0.0f;
  float deltaPositionY = 0.0f;
  int retryCounter = 0;  // homes the watchdog may still send again
  bool shouldUpdateFirmware = false;
  std::map<std::string, std::string> readCalibrationResults;  // values a calibration read has collected
  std::vector<std::string> calibrationCommandQueue;           // calibration lines still to write, next last
};

// What a reply line does to the waiting request.
struct ReplyEffect {
  enum class Request {
    Waiting,          // still waiting (the line was progress, an echo, or not for it)
    Completed,        // its completion callback runs
    Failed,           // its error callback runs with `error`
    CalibrationRead,  // its calibration callback runs with `calibration`
  };
  Request request = Request::Waiting;
  QVLIErrorCode error = QVLIErrorAborted;
  QVLICalibrationDetails calibration;
  // A calibration line to write next; the request goes on waiting for its acknowledgement.
  std::optional<std::string> nextLine;
  bool bannerSeen = false;  // the banner was read: the firmware generation is now known
};

// Applies one line the scanner sent (not empty, not the "Motor Timeout X" notice) to `state`.
ReplyEffect applyReply(InterpreterState& state, std::string_view line);

// What the watchdog's firing does to the waiting request.
enum class WatchdogEffect {
  Nothing,           // no request was waiting
  Aborted,           // the request fails with code 5 (the caller ends it and makes the state idle)
  DeviceLost,        // the scanner's line is gone: the request fails with code 1
  HomeAgain,         // homing was silent: send the home once more with the same callbacks
  TakenAsHome,       // homing was silent twice: the head is taken as home
  TakenAsCompleted,  // a move, rotation, laser or stop is taken as done
};

// Applies the watchdog's firing to `state`. `deviceGone` says the device's line is closed.
WatchdogEffect applyWatchdog(InterpreterState& state, bool deviceGone);

}  // namespace qv::protocol
