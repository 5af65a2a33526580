// What exposure tuning asks of whoever runs the camera: set an exposure, take frames, judge points.
#pragma once

#include <functional>

#include "platform/Error.h"
#include "platform/Value.h"

class QVLTuning;

// Implemented by the application core, the scan driver, the calibration controller and the
// advanced scan screen. Completions may come on any queue, even before the request returns: the
// tuning never relies on being called back later.
class QVLTuningDelegate {
public:
  // The four frames of one exposure: lasers off, laser 1 on, laser 2 on, lasers off again, and the
  // white balance the camera reported with them.
  using ExposureImagesCompletion = std::function<void(qv::SharedData reference, qv::SharedData laser1,
                                                      qv::SharedData laser2, qv::SharedData verification,
                                                      int whiteBalance)>;

  virtual ~QVLTuningDelegate() = default;

  // Sets the camera exposure and waits for it to settle; code 8 of the scan domain when it cannot.
  virtual void setExposure(int exposure, QVLTuning& tuning, qv::Completion completion, qv::ErrorCallback error) = 0;
  // Switches to automatic white balance and takes one set of four frames.
  virtual void captureExposureImagesForTuning(QVLTuning& tuning, ExposureImagesCompletion completion,
                                              qv::ErrorCallback error) = 0;
  // Whether a detected point (image column x, row y, laser number 2 or 3) counts.
  virtual bool isPointValidWithExposure(int exposure, float x, int y, int laser, QVLTuning& tuning) = 0;
};
