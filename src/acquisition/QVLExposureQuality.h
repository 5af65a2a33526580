// What one frame kind gave at one exposure (or a pair of exposures) during exposure tuning.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "acquisition/QVSImageLaserPoint.h"
#include "acquisition/QVSImageUtil.h"

// Filled once when made and then only read; the combined results of exposure pairs are new records.
struct QVLExposureQuality {
  std::vector<int> exposures;                        // one exposure, or the two of a combined result
  std::vector<QVSImageLaserPoint> foundPoints;       // accepted points the delegate judged valid
  std::vector<QVSImageLaserPoint> overExposedPoints; // the detector's saturated rows
  unsigned averageLaserWidth = 0;                    // mean width of the found points, truncated; 0 for none
  float overallImageLuminosity = 0.0f;               // mean luminance of the laser-off frame
  std::shared_ptr<const QVSImageUtil> referenceImage;  // the laser-off frame of that exposure
  int whiteBalance = 0;

  QVLExposureQuality() = default;
  explicit QVLExposureQuality(std::vector<int> exposures) : exposures(std::move(exposures)) {}

  // The exposures joined by ", ".
  std::string description() const;
};
