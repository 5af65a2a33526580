// What the application core asks of the manual (advanced) scan screen.
#pragma once

class QVLAdvancedScanViewControllerInterface {
public:
  virtual ~QVLAdvancedScanViewControllerInterface() = default;
  // Disables the screen's controls, asks the delegate to connect, homes the head and starts the
  // live monitoring.
  virtual void connectAndMonitorScanner() = 0;
};
