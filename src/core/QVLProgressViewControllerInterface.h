// What the application core asks of the file-load progress overlay.
#pragma once

class QVLProgressViewControllerInterface {
public:
  virtual ~QVLProgressViewControllerInterface() = default;
  // The overlay's indicator, from 0 to 1.
  virtual void setProgress(float fraction) = 0;
};
