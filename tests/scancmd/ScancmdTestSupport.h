// Helpers of the protocol library's tests: a scripted device and a recorder of request outcomes
// (with the shared temporary folder, clock, captured log and resource folder).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Error.h"
#include "scancmd/QVLICalibrationDetails.h"
#include "scanlink/QVLIDeviceProtocol.h"
#include "support/CapturedLog.h"
#include "support/ManualClockScope.h"
#include "support/ResourceFolderScope.h"
#include "support/TempFolder.h"

namespace qv::test {

// A device that records the lines written to it and replies only when told. Writes complete at
// once unless held, or fail when told to.
class FakeDevice final : public QVLIDeviceProtocol {
public:
  struct Write {
    std::string line;
    Completion complete;
    ErrorCallback error;
  };

  void writeLine(const std::string& line, Completion complete, ErrorCallback error) override;
  void updateFirmwareFromContentOfFile(const std::string& hexFilePath, bool usingArduinoAvrDude,
                                       FirmwareCompletion completion) override;

  // Announces a received line, as the device does on the main queue.
  void reply(const std::string& line) const;
  void replyAll(const std::vector<std::string>& lines) const;
  // Announces a sent line (which the interpreter must not take for a reply).
  void announceSent(const std::string& line) const;

  std::vector<std::string> lines;  // every line written, in order
  // Held writes wait for complete() or fail(); otherwise each completes before writeLine returns.
  bool holdWrites = false;
  std::vector<Write> held;
  // The next `failures` writes fail with `failure`.
  int failures = 0;
  Error failure{kControlErrorDomain, 4, "write failed"};

  struct FirmwareCall {
    std::string path;
    bool arduino = false;
  };
  std::vector<FirmwareCall> firmwareCalls;

  void completeHeld(std::size_t index);
  void failHeld(std::size_t index, const Error& error);
};

// What a request reported. Callbacks may come from a device's write queue, so it locks.
class Outcome {
public:
  Completion completion();
  ErrorCallback error();
  std::function<void(const QVLICalibrationDetails&)> calibration();

  int calls() const;
  int completions() const;
  bool completedOnly() const;
  bool failedWith(int code) const;
  // The one error reported, when that is all that was reported.
  std::optional<Error> onlyError() const;
  std::optional<QVLICalibrationDetails> record() const;
  std::vector<Error> errors() const;
  // The threads the callbacks ran on, in order.
  std::vector<std::thread::id> threads() const;

private:
  mutable std::mutex mutex_;
  int completions_ = 0;
  std::vector<Error> errors_;
  std::optional<QVLICalibrationDetails> record_;
  std::vector<std::thread::id> threads_;
};

}  // namespace qv::test
