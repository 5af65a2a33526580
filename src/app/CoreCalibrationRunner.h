// The calibration wizard's runner over the application core: every pass, cancel and return to the
// main screen goes to the application delegate's calibration relays.
#pragma once

#include <memory>

#include "screens/CalibrationWizardPresenter.h"

class QVLAppDelegate;

namespace qv::app {

class CoreCalibrationRunner final : public qv::screens::CalibrationRunner {
public:
  explicit CoreCalibrationRunner(std::weak_ptr<QVLAppDelegate> delegate) : delegate_(std::move(delegate)) {}

  bool isCalibrated() const override;
  void startFirstPassCalibration(int device, qv::Completion completion, Update update,
                                 qv::ErrorCallback error) override;
  void startSecondPassCalibration(int device, qv::Completion completion, Update update,
                                  qv::ErrorCallback error) override;
  void cancelScannerCalibration() override;
  void showHudScreen() override;

private:
  std::weak_ptr<QVLAppDelegate> delegate_;
};

}  // namespace qv::app
