// Laser-line points of one frame to 3D points in the bed frame, and the volume the scanner measures.
#pragma once

#include <Eigen/Core>
#include <vector>

#include "acquisition/QVSImageLaserPoint.h"
#include "records/QVLPoint3D.h"
#include "records/QVLScannerCalibration.h"

namespace qv {

// Whether a bed-frame point lies in the measured volume: strictly inside a cylinder of 90 mm
// radius about the bed axis, and not more than 1 mm below the bed plane.
bool isPointInsideScanningArea(const Eigen::Vector3d& point_in_bed);

// The scan's conversion of one frame's points lit by laser `laser` (2 or 3): each is triangulated
// at the scan's current head height and bed rotation, and kept when it lies in the scanning area.
// `angle_deg` is the angle the frame is filed under; it only sets the unwrapped depth (the z of
// the point turned by -angle about +y). Without a calibration, or for another laser number, there
// are no points.
std::vector<QVLPoint3D> convertTo3dPoints(const QVLScannerCalibration* calibration,
                                          const std::vector<QVSImageLaserPoint>& points, int laser,
                                          float angle_deg, float currentBedRotation_deg,
                                          float currentHeadHeight_mm);

}  // namespace qv
