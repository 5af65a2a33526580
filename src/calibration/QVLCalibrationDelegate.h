// What the calibration controller asks of whoever runs the scanner: connection, motions, frames and the save.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "acquisition/QVLTuningDelegate.h"
#include "platform/Error.h"
#include "platform/Value.h"

class QVLCalibration;
class QVSCalibrationDetails;

// Implemented by the application core (and the simulated scanner). Every request ends in exactly
// one call of its completion or its error callback, on any queue and possibly before the request
// returns: the controller moves every continuation onto its own queue, so a delegate that answers
// at once never deepens the stack. The exposure requests of the tuning the controller starts are
// handed on unchanged to the QVLTuningDelegate operations.
class QVLCalibrationDelegate : public QVLTuningDelegate {
public:
  // Motions report where the bed (degrees) and the head (mm above home) are afterwards.
  using MotionCompletion = std::function<void(float bedRotation_deg, float headHeight_mm)>;

  // Sets the camera exposure, takes 2 colour frames (calibrationImages), then the laser frames:
  // one sequence with both lasers at the laser 1 exposure when the laser 2 exposure is 0 or the
  // same, else one per laser at its own exposure (the six laser-image properties).
  virtual void captureCameraImageSequenceForCalibration(QVLCalibration& calibration, int cameraExposure,
                                                        int laser1Exposure, int laser2Exposure,
                                                        qv::Completion completion, qv::ErrorCallback error) = 0;
  // Sets the exposure and takes one colour frame, afterwards the only element of calibrationImages.
  virtual void captureSingleImageForCalibration(QVLCalibration& calibration, int exposure, qv::Completion completion,
                                                qv::ErrorCallback error) = 0;
  // Opens the scanner and starts the camera; false with the reason otherwise.
  virtual bool connectToScannerForCalibration(QVLCalibration& calibration, qv::Error* error) = 0;
  virtual void disconnectFromScannerForCalibration(QVLCalibration& calibration, qv::Completion completion,
                                                   qv::ErrorCallback error) = 0;
  // Homes the head, then turns the bed back to the angle.
  virtual void homeScannerForCalibration(QVLCalibration& calibration, float restoringAngle_deg,
                                         MotionCompletion completion, qv::ErrorCallback error) = 0;
  // Up is positive.
  virtual void moveHeadByMillimeters(float millimeters, QVLCalibration& calibration, MotionCompletion completion,
                                     qv::ErrorCallback error) = 0;
  // Negative turns back.
  virtual void rotateBedByDegrees(float degrees, QVLCalibration& calibration, MotionCompletion completion,
                                  qv::ErrorCallback error) = 0;
  // Stores the result (on the scanner and in the settings).
  virtual void saveCalibration(std::shared_ptr<QVSCalibrationDetails> details, QVLCalibration& calibration,
                               qv::Completion completion, qv::ErrorCallback error) = 0;

  // The frames of the last capture: the colour frames, and each laser's frame before (reference),
  // with (laser on) and after (verification).
  virtual std::vector<qv::SharedData> calibrationImages() const = 0;
  virtual qv::SharedData laser1CalibrationReferenceImage() const = 0;
  virtual qv::SharedData laser1CalibrationImage() const = 0;
  virtual qv::SharedData laser1CalibrationVerificationImage() const = 0;
  virtual qv::SharedData laser2CalibrationReferenceImage() const = 0;
  virtual qv::SharedData laser2CalibrationImage() const = 0;
  virtual qv::SharedData laser2CalibrationVerificationImage() const = 0;
};
