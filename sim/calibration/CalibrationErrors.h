// How far a recovered calibration lies from the simulated scanner's truth, in the terms a scan feels.
#pragma once

#include <Eigen/Core>
#include <algorithm>
#include <array>
#include <iosfwd>

#include "records/QVLScannerCalibration.h"
#include "sim/optics/ScannerModel.h"

namespace qv::sim {

// How a recovered calibration differs from the truth, in one frame of comparison.
struct CalibrationErrors {
  double fx_fraction = 0.0;  // |fx / fx_true - 1|
  double fy_fraction = 0.0;
  double cx_px = 0.0;  // signed: recovered - true
  double cy_px = 0.0;
  std::array<double, 2> laserAngle_deg{};
  // The difference of the planes' offsets d (n . x + d = 0): their distances from the camera
  // centre, which lies some 300 mm from where the lasers meet an object. A normal turned by 0.1 deg
  // about a point of the scan volume moves d by half a millimetre there, so this figure carries the
  // angle error over that lever as well as the plane's shift.
  std::array<double, 2> laserOffsetAtCamera_mm{};
  // The distance of the recovered plane from the true one where the scanner measures: at the point
  // of the true plane nearest the bed axis in the middle of the camera's view (where its optical
  // axis passes the bed axis). A point triangulated there moves by this much along the plane's
  // normal; elsewhere the angle error adds its own share, which the angle figure holds.
  std::array<double, 2> laserOffsetInScanVolume_mm{};
  double bedAxis_deg = 0.0;
  double bedOrigin_mm = 0.0;
  // The bed origin's error across the true axis, which moves the slices of different bed angles
  // apart (a scan's shape suffers), and along it, which lifts or lowers the whole scan on the bed
  // as one (its shape keeps).
  double bedOriginAcross_mm = 0.0;
  double bedOriginAlong_mm = 0.0;  // signed: up the true bed normal is positive
  double leadScrew_deg = 0.0;

  // The turn the recovered camera model gives every ray against the true camera (deg): a
  // principal point off by a pixel turns the whole recovered frame by 0.04 deg about the camera
  // centre, and every plane, axis and point measured through it turns alike. A scan made with
  // that calibration turns as a whole and keeps its shape.
  double cameraTurn_deg = 0.0;

  double worstLaserAngle_deg() const { return std::max(laserAngle_deg[0], laserAngle_deg[1]); }
  double worstLaserOffsetAtCamera_mm() const { return std::max(laserOffsetAtCamera_mm[0], laserOffsetAtCamera_mm[1]); }
  double worstLaserOffsetInScanVolume_mm() const {
    return std::max(laserOffsetInScanVolume_mm[0], laserOffsetInScanVolume_mm[1]);
  }
};

double angleBetween_deg(const Eigen::Vector3d& a, const Eigen::Vector3d& b);

// The point where a plane (given in the calibration's own form) is nearest the bed axis in the
// middle of the camera's view; see CalibrationErrors::laserOffsetInScanVolume_mm.
Eigen::Vector3d scanVolumePointOfPlane(const QVLLaserPlane& plane, const QVLScannerCalibration& truth);

// The rotation (calibration frame) that best carries the true camera's rays onto the recovered
// camera's rays through the same pixels, over the middle of the image.
Eigen::Matrix3d recoveredCameraTurn(const QVLScannerCalibration& recovered, const QVLScannerCalibration& truth);

// Turns every plane, axis and point of a calibration about the camera centre.
void turnGeometry(QVLScannerCalibration& c, const Eigen::Matrix3d& rotation);

// Both ways of comparing: `raw` in the calibration frame as given (the frame the recovered
// camera defines against the true camera's), `ownFrame` with the recovered geometry turned back by
// the recovered camera's turn, which is what a scan made with it feels.
struct CalibrationComparison {
  CalibrationErrors raw;
  CalibrationErrors ownFrame;
};
CalibrationErrors compareCalibrations(const QVLScannerCalibration& recovered, const QVLScannerCalibration& truth);
CalibrationComparison compareWithTruth(const QVLScannerCalibration& recovered, const QVLScannerCalibration& truth);

// A few lines per group of figures, for test and benchmark logs.
std::ostream& operator<<(std::ostream& out, const CalibrationErrors& e);
std::ostream& operator<<(std::ostream& out, const CalibrationComparison& c);

}  // namespace qv::sim
