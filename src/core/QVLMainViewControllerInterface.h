// What the application core asks of the main screen (recent scans, scan buttons, status panel).
#pragma once

class QVLMainViewControllerInterface {
public:
  virtual ~QVLMainViewControllerInterface() = default;
  // Lays the screen out again: scan buttons, the first-run view, the recent-scan tiles that fit.
  virtual void adjustLayout(bool animated) = 0;
};
