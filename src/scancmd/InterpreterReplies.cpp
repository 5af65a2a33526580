#include "scancmd/InterpreterReplies.h"

#include <algorithm>

#include "scancmd/CommandProtocol.h"
#include "scancmd/QVLIFirmware.h"

namespace qv::protocol {

namespace {

// The progress n of a "PX" or "PY" line as the fraction of the move done (10000 is all of it).
float progressFraction(std::string_view line) {
  return static_cast<float>(leadingNumber(line.substr(2))) / 10000.0f;
}

// The completion line of the laser and stop states (exact compares).
const char* exactCompletionLine(QVLIOperationState state) {
  switch (state) {
    case QVLIOperationStateDisablingLasers: return "COMMAND COMPLETE L0";
    case QVLIOperationStateEnablingLaser1: return "COMMAND COMPLETE L1";
    case QVLIOperationStateEnablingLaser2: return "COMMAND COMPLETE L2";
    case QVLIOperationStateKilling: return "COMMAND COMPLETE L0";
    default: return nullptr;
  }
}

ReplyEffect ending(ReplyEffect::Request request) {
  ReplyEffect effect;
  effect.request = request;
  return effect;
}

ReplyEffect completed(InterpreterState& state, QVLIOperationState next) {
  state.operationState = next;
  return ending(ReplyEffect::Request::Completed);
}

}  // namespace

ReplyEffect applyReply(InterpreterState& state, std::string_view line) {
  switch (state.operationState) {
    case QVLIOperationStateNone:
    case QVLIOperationStateIdle:
      return {};

    case QVLIOperationStateAwaitingBanner: {
      if (!isBanner(line)) return {};
      const std::string banner(line);
      state.shouldUpdateFirmware = QVLIFirmware::shouldUpdateFirmwareBasedOnDeviceResponse(banner);
      state.firmwareVersion = firmwareVersionFromBanner(line);
      state.operationState = QVLIOperationStateIdle;
      ReplyEffect effect = ending(ReplyEffect::Request::Completed);
      if (state.firmwareVersion == QVLIFirmwareVersion150) {
        effect.request = ReplyEffect::Request::Failed;
        effect.error = QVLIErrorFirmwareUnsupported;
      }
      effect.bannerSeen = true;
      return effect;
    }

    case QVLIOperationStateReadingCalibration: {
      if (line == "COMMAND RECEIVED <<<" || line == "COMMAND COMPLETE L0" ||
          line.starts_with("SETTING HALLEFFECT TO ")) {
        return {};
      }
      const auto keyValue = splitKeyLine(line);
      if (!keyValue) return {};
      const auto& keys = expectedKeys(state.firmwareVersion);
      const auto& [key, text] = *keyValue;
      if (!key.empty() && std::find(keys.begin(), keys.end(), key) != keys.end()) {
        state.readCalibrationResults.emplace(key, text);  // a repeated key keeps its first value
      }
      if (state.readCalibrationResults.size() != keys.size()) return {};
      // Idle before the callback: the application starts a calibration write from inside it.
      state.operationState = QVLIOperationStateIdle;
      ReplyEffect effect = ending(ReplyEffect::Request::CalibrationRead);
      effect.calibration = calibrationFromValues(state.readCalibrationResults, keys);
      return effect;
    }

    case QVLIOperationStateHoming:
      if (line != "COMMAND COMPLETE H") return {};
      state.currentPositionX = 0.0f;
      state.currentPositionY = 0.0f;
      return completed(state, QVLIOperationStateIdle);

    case QVLIOperationStateMovingCamera:
      if (line.starts_with("COMMAND RECEIVED Y")) return {};
      if (line.starts_with("PY")) {
        state.currentPositionY = state.previousPositionY + state.deltaPositionY * progressFraction(line);
      } else if (line.starts_with("COMMAND COMPLETE Y")) {
        state.currentPositionY = state.previousPositionY + state.deltaPositionY;
        return completed(state, QVLIOperationStateIdle);
      }
      return {};

    case QVLIOperationStateDisablingLasers:
    case QVLIOperationStateEnablingLaser1:
    case QVLIOperationStateEnablingLaser2:
    case QVLIOperationStateKilling:
      // The state stays: with its callbacks gone, further lines have no effect.
      if (line == exactCompletionLine(state.operationState)) return completed(state, state.operationState);
      return {};

    case QVLIOperationStateWritingCalibration:
      if (!line.starts_with("CALIBRATION SET")) return {};
      if (state.calibrationCommandQueue.empty()) return completed(state, state.operationState);
      {
        ReplyEffect effect;
        effect.nextLine = std::move(state.calibrationCommandQueue.back());
        state.calibrationCommandQueue.pop_back();
        return effect;
      }

    case QVLIOperationStateRotatingPlatter:
      if (line.starts_with("COMMAND RECEIVED X")) return {};
      if (line.starts_with("PX")) {
        state.currentPositionX =
            wrapDegrees(state.previousPositionX + state.deltaPositionX * progressFraction(line));
      } else if (line.starts_with("COMMAND COMPLETE X")) {
        state.currentPositionX = wrapDegrees(state.previousPositionX + state.deltaPositionX);
        return completed(state, QVLIOperationStateIdle);
      }
      return {};
  }
  return {};
}

WatchdogEffect applyWatchdog(InterpreterState& state, bool deviceGone) {
  const QVLIOperationState waiting = state.operationState;
  // Requests the watchdog would end as done (homing included); the others fail anyway.
  const bool takenAsDone = waiting == QVLIOperationStateHoming || waiting == QVLIOperationStateMovingCamera ||
                           waiting == QVLIOperationStateRotatingPlatter ||
                           waiting == QVLIOperationStateDisablingLasers ||
                           waiting == QVLIOperationStateEnablingLaser1 ||
                           waiting == QVLIOperationStateEnablingLaser2 || waiting == QVLIOperationStateKilling;
  // Silence from a scanner whose line is gone is no sign of firmware that omits its completion
  // lines: the request failed, and saying it succeeded would lose the user's scan quietly.
  if (deviceGone && takenAsDone) {
    state.operationState = QVLIOperationStateIdle;
    return WatchdogEffect::DeviceLost;
  }
  switch (waiting) {
    case QVLIOperationStateNone:
    case QVLIOperationStateIdle:
      return WatchdogEffect::Nothing;
    case QVLIOperationStateAwaitingBanner:
    case QVLIOperationStateReadingCalibration:
    case QVLIOperationStateWritingCalibration:
      return WatchdogEffect::Aborted;
    case QVLIOperationStateHoming:
      if (state.retryCounter >= 1) {
        --state.retryCounter;
        return WatchdogEffect::HomeAgain;
      }
      state.currentPositionX = 0.0f;
      state.currentPositionY = 0.0f;
      state.operationState = QVLIOperationStateIdle;
      return WatchdogEffect::TakenAsHome;
    case QVLIOperationStateMovingCamera:
      state.currentPositionY = state.previousPositionY + state.deltaPositionY;
      state.operationState = QVLIOperationStateIdle;
      return WatchdogEffect::TakenAsCompleted;
    case QVLIOperationStateRotatingPlatter:
      state.currentPositionX = wrapDegrees(state.previousPositionX + state.deltaPositionX);
      state.operationState = QVLIOperationStateIdle;
      return WatchdogEffect::TakenAsCompleted;
    case QVLIOperationStateDisablingLasers:
    case QVLIOperationStateEnablingLaser1:
    case QVLIOperationStateEnablingLaser2:
    case QVLIOperationStateKilling:
      return WatchdogEffect::TakenAsCompleted;
  }
  return WatchdogEffect::Nothing;
}

}  // namespace qv::protocol
