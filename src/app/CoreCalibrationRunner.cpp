// The calibration wizard's runner over the application delegate.
#include "app/CoreCalibrationRunner.h"

#include "core/QVLAppDelegate.h"

namespace qv::app {

namespace {

// The wizard outlived the core (the program is ending): the pass still ends, once.
void coreGone(const qv::ErrorCallback& error) {
  if (error) error(qv::Error(qv::kScanErrorDomain, QVLAppErrorManualNoScanner, "The scanner is no longer available"));
}

}  // namespace

bool CoreCalibrationRunner::isCalibrated() const {
  const auto delegate = delegate_.lock();
  return delegate && delegate->isCalibrated();
}

void CoreCalibrationRunner::startFirstPassCalibration(int device, qv::Completion completion, Update update,
                                                      qv::ErrorCallback error) {
  const auto delegate = delegate_.lock();
  if (!delegate) return coreGone(error);
  delegate->startFirstPassCalibrationForViewController(device, std::move(completion), std::move(update),
                                                       std::move(error));
}

void CoreCalibrationRunner::startSecondPassCalibration(int device, qv::Completion completion, Update update,
                                                       qv::ErrorCallback error) {
  const auto delegate = delegate_.lock();
  if (!delegate) return coreGone(error);
  delegate->startSecondPassCalibrationForViewController(device, std::move(completion), std::move(update),
                                                        std::move(error));
}

void CoreCalibrationRunner::cancelScannerCalibration() {
  if (const auto delegate = delegate_.lock()) delegate->cancelScannerCalibrationForViewController();
}

void CoreCalibrationRunner::showHudScreen() {
  if (const auto delegate = delegate_.lock()) delegate->showHudScreenForCalibrationViewController();
}

}  // namespace qv::app
