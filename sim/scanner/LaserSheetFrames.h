// Fast camera frames of the simulated scanner: the scene's light worked out once per bed angle and
// head height, then any exposure, laser and noise is a cheap pass over it.
#pragma once

#include <Eigen/Core>
#include <array>
#include <cstdint>
#include <vector>

#include "platform/Value.h"
#include "sim/optics/Scene.h"
#include "sim/optics/ScannerModel.h"

namespace qv::sim {

// Where a laser sheet truly crosses the visible surface in one image row.
struct SheetCrossing {
  int row = 0;
  double x_px = 0.0;                                          // the line's centre
  double sigma_px = 1.0;                                      // its Gaussian width along the row
  Eigen::Vector3d colour = Eigen::Vector3d::Zero();           // peak grey levels per channel (r, g, b) at exposure 1
  Eigen::Vector3d point_turntable = Eigen::Vector3d::Zero();  // the lit surface point
  int objectId = -1;
};

struct SheetFrameOptions {
  double ambient = 0.25;        // a white surface facing the camera reaches this fraction of full scale
  double laserPeak = 400.0;     // grey levels at the centre of a squarely lit white surface, exposure 1
  double laserSigma_mm = 0.8;   // the sheet's Gaussian thickness
  int ambientStride = 4;        // the ambient light is cast every this many pixels and interpolated
  int fanRays = 6000;           // rays cast from each laser across its fan
};

// The light of one bed angle and head height, ready to be turned into frames.
class SheetLight {
public:
  SheetLight(const ScannerModel& model, const Scene& scene, double bedAngle_deg, double headHeight_mm,
             const SheetFrameOptions& options);

  double bedAngle_deg() const { return bedAngle_; }
  double headHeight_mm() const { return headHeight_; }
  const std::vector<SheetCrossing>& crossings(int laserIndex) const { return crossings_[laserIndex == 0 ? 0 : 1]; }

  // A 1280 x 960 BGRA frame: the ambient light and the lit lasers, times the exposure factor,
  // with Gaussian sensor noise of `noiseSigma` grey levels (repeatable by seed), saturating at 255.
  qv::Data frame(double exposure, std::array<bool, 2> lasers, double noiseSigma, std::uint64_t seed) const;

private:
  void castAmbient(const ScannerModel& model, const Scene& scene, const Eigen::Matrix3d& turntable_from_world,
                   const Eigen::Vector3d& camera_turntable);
  void castSheet(int laser, const ScannerModel& model, const Scene& scene, const Eigen::Matrix3d& turntable_from_world,
                 const Eigen::Vector3d& camera_turntable);

  double bedAngle_;
  double headHeight_;
  SheetFrameOptions options_;
  std::vector<float> ambient_;  // full resolution, r g b per pixel, at exposure 1
  std::array<std::vector<SheetCrossing>, 2> crossings_;
};

}  // namespace qv::sim
