// What the scan and calibration relays share: their refusals and the position report after a motion.
#pragma once

#include <memory>

#include "core/QVLAppDelegate.h"

namespace qv::relays {

inline qv::Error relayError(int code, const char* description) {
  return qv::Error(qv::kScanErrorDomain, code, description);
}

inline void refuseWithoutScanner(const qv::ErrorCallback& error) {
  if (error) error(relayError(QVLAppErrorNoScanner, "No scanner is connected"));
}

// The completion of an interpreter request: the position the interpreter tracks, read now.
inline qv::Completion positionReport(const std::shared_ptr<QVLIInterpreterProtocol>& interpreter,
                                     QVLAppDelegate::MotionCompletion completion) {
  return [interpreter, completion = std::move(completion)] {
    if (completion) completion(interpreter->currentPositionX(), interpreter->currentPositionY());
  };
}

}  // namespace qv::relays
