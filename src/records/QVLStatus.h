// A progress report handed from scanning, tuning and calibration to the screens.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Value.h"

enum QVLStatusType : int {
  QVLStatusTypeTuning = 1,
  QVLStatusTypeScan = 2,
  QVLStatusTypeCalibration = 3,
  QVLStatusTypeCalibrationImage = 4,
  QVLStatusTypePassImage = 6,
  QVLStatusTypeLaserImage = 7,
  QVLStatusTypeMonitorImage = 10,
};

// Filled on a worker queue and read on the main thread: every property is read and written
// under the record's own lock. A negative percentageComplete means "no progress figure".
class QVLStatus {
public:
  QVLStatus() = default;

  static std::shared_ptr<QVLStatus> statusWithType(int type);
  static std::shared_ptr<QVLStatus> statusWithType(int type, qv::SharedData image);

  int type() const;
  void setType(int type);
  std::string title() const;
  void setTitle(std::string title);
  std::string message() const;
  void setMessage(std::string message);
  qv::SharedData image() const;
  void setImage(qv::SharedData image);
  float percentageComplete() const;
  void setPercentageComplete(float fraction);
  std::vector<std::shared_ptr<QVLStatus>> children() const;
  void setChildren(std::vector<std::shared_ptr<QVLStatus>> children);

  // The screens set their progress indicator only from a figure of 0 or more.
  bool hasProgress() const { return percentageComplete() >= 0.0f; }

private:
  mutable std::mutex mutex_;
  int type_ = 0;
  std::string title_;
  std::string message_;
  qv::SharedData image_;
  float percentageComplete_ = -1.0f;
  std::vector<std::shared_ptr<QVLStatus>> children_;
};
