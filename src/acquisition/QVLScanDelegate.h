// What the scan driver asks of the application core: the scanner's connection, motions and frames.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "acquisition/QVLTuningDelegate.h"
#include "platform/Error.h"
#include "platform/Value.h"
#include "records/QVLScanResultSet.h"

class QVLScan;
class QVSCalibrationDetails;

// The one object the driver talks to (it also answers the tuning requests the driver hands on).
// Every request ends in exactly one call of its completion or its error callback, on any queue and
// possibly before the request returns; the driver trampolines, so a synchronous delegate is fine.
class QVLScanDelegate : public QVLTuningDelegate {
public:
  // Motions report where the bed (degrees, as the scanner tracks it: modulo 360) and the head (mm
  // above home) are afterwards.
  using MotionCompletion = std::function<void(float bedRotation_deg, float headHeight_mm)>;
  using FrameCompletion = std::function<void(qv::SharedData frame)>;
  // A colour frame, then one result set per distinct exposure of each laser's list.
  using SequenceCompletion = std::function<void(qv::SharedData colourFrame, std::vector<QVLScanResultSet> laser1,
                                                std::vector<QVLScanResultSet> laser2)>;

  // Opens the device and the camera for scanning; false with the reason otherwise.
  virtual bool connectToScannerForScan(QVLScan& scan, qv::Error* error) = 0;
  // The calibration of the connected scanner; nothing when it has none.
  virtual std::shared_ptr<const QVSCalibrationDetails> calibrationDetailsForScan(QVLScan& scan) = 0;
  virtual void disconnectFromScannerForScan(QVLScan& scan, qv::Completion completion, qv::ErrorCallback error) = 0;
  virtual void homeScannerForScan(QVLScan& scan, MotionCompletion completion, qv::ErrorCallback error) = 0;
  // Homes, then raises the head by the distance when it is above 0.
  virtual void homeScannerForScan(QVLScan& scan, float moveHeadByMillimeters, MotionCompletion completion,
                                  qv::ErrorCallback error) = 0;
  // Up is positive; code 8 of the protocol domain past the head's 185 mm.
  virtual void moveHeadByMillimeters(float millimeters, QVLScan& scan, MotionCompletion completion,
                                     qv::ErrorCallback error) = 0;
  // Negative turns back.
  virtual void rotateBedByDegrees(float degrees, QVLScan& scan, MotionCompletion completion,
                                  qv::ErrorCallback error) = 0;
  // One laser-off colour frame at the exposure and white balance (0: automatic).
  virtual void captureCameraImageForScan(QVLScan& scan, int exposure, int whiteBalance, FrameCompletion completion,
                                         qv::ErrorCallback error) = 0;
  virtual void captureCameraImageSequenceForScan(QVLScan& scan, int nonLaserExposure, int nonLaserWhitebalance,
                                                 const std::vector<int>& laser1Exposures,
                                                 const std::vector<int>& laser2Exposures,
                                                 SequenceCompletion completion, qv::ErrorCallback error) = 0;
};
