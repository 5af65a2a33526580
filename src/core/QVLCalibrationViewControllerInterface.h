// What the application core asks of the calibration wizard.
#pragma once

class QVLCalibrationViewControllerInterface {
public:
  virtual ~QVLCalibrationViewControllerInterface() = default;
  // Puts the wizard back to its first state (choose the calibration target) and refreshes it.
  virtual void resetContent() = 0;
};
