// The protocol library's test helpers.
#include "ScancmdTestSupport.h"

#include "platform/NotificationCenter.h"

namespace qv::test {

void FakeDevice::writeLine(const std::string& line, Completion complete, ErrorCallback error) {
  lines.push_back(line);
  if (failures > 0) {
    --failures;
    if (error) error(failure);
  } else if (holdWrites) {
    held.push_back({line, std::move(complete), std::move(error)});
  } else if (complete) {
    complete();
  }
}

void FakeDevice::updateFirmwareFromContentOfFile(const std::string& hexFilePath, bool usingArduinoAvrDude,
                                                 FirmwareCompletion completion) {
  firmwareCalls.push_back({hexFilePath, usingArduinoAvrDude});
  if (completion) completion(true, std::nullopt);
}

void FakeDevice::reply(const std::string& line) const {
  NotificationCenter::defaultCenter().post(kDeviceLineNotification, notificationSender(),
                                           {{kReceivedDataKey, Value(line)}});
}

void FakeDevice::replyAll(const std::vector<std::string>& replies) const {
  for (const auto& line : replies) reply(line);
}

void FakeDevice::announceSent(const std::string& line) const {
  NotificationCenter::defaultCenter().post(kDeviceLineNotification, notificationSender(),
                                           {{kSentDataKey, Value(line)}});
}

void FakeDevice::completeHeld(std::size_t index) {
  auto complete = std::move(held.at(index).complete);
  if (complete) complete();
}

void FakeDevice::failHeld(std::size_t index, const Error& error) {
  auto fail = std::move(held.at(index).error);
  if (fail) fail(error);
}

Completion Outcome::completion() {
  return [this] {
    std::lock_guard lock(mutex_);
    ++completions_;
    threads_.push_back(std::this_thread::get_id());
  };
}

ErrorCallback Outcome::error() {
  return [this](const Error& e) {
    std::lock_guard lock(mutex_);
    errors_.push_back(e);
    threads_.push_back(std::this_thread::get_id());
  };
}

std::function<void(const QVLICalibrationDetails&)> Outcome::calibration() {
  return [this](const QVLICalibrationDetails& details) {
    std::lock_guard lock(mutex_);
    record_ = details;
    threads_.push_back(std::this_thread::get_id());
  };
}

int Outcome::calls() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(threads_.size());
}

int Outcome::completions() const {
  std::lock_guard lock(mutex_);
  return completions_;
}

bool Outcome::completedOnly() const {
  std::lock_guard lock(mutex_);
  return completions_ == 1 && threads_.size() == 1;
}

bool Outcome::failedWith(int code) const {
  const auto e = onlyError();
  return e && e->code == code;
}

std::optional<Error> Outcome::onlyError() const {
  std::lock_guard lock(mutex_);
  if (errors_.size() != 1 || threads_.size() != 1) return std::nullopt;
  return errors_[0];
}

std::optional<QVLICalibrationDetails> Outcome::record() const {
  std::lock_guard lock(mutex_);
  return record_;
}

std::vector<Error> Outcome::errors() const {
  std::lock_guard lock(mutex_);
  return errors_;
}

std::vector<std::thread::id> Outcome::threads() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

}  // namespace qv::test
