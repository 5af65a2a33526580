// The interpreter's waiting states: what reply, if any, the interpreter is waiting for.
#pragma once

// One state per request; 0 and 1 wait for nothing. The values are part of the library's interface.
enum QVLIOperationState : int {
  QVLIOperationStateNone = 0,  // before the first request
  QVLIOperationStateIdle = 1,
  QVLIOperationStateAwaitingBanner = 2,
  QVLIOperationStateReadingCalibration = 3,
  QVLIOperationStateHoming = 4,
  QVLIOperationStateMovingCamera = 5,
  QVLIOperationStateDisablingLasers = 6,
  QVLIOperationStateEnablingLaser1 = 7,
  QVLIOperationStateEnablingLaser2 = 8,
  QVLIOperationStateKilling = 9,
  QVLIOperationStateWritingCalibration = 10,
  QVLIOperationStateRotatingPlatter = 11,
};

// True for the states that wait for a reply (2 to 11).
constexpr bool QVLIOperationStateIsWaiting(QVLIOperationState state) {
  return state >= QVLIOperationStateAwaitingBanner && state <= QVLIOperationStateRotatingPlatter;
}
