// What the application core asks of the scan screen.
#pragma once

class QVLScanViewControllerInterface {
public:
  virtual ~QVLScanViewControllerInterface() = default;
  // Shows the scan view at once when the scan is to start immediately, else the start view with
  // the quality choice.
  virtual void resetView() = 0;
  // Starts a scan from the settings (adaptive, or the override rotation and height).
  virtual void startScan() = 0;
};
