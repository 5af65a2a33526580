// Ray-cast camera frames of the simulated scanner, and where each laser line truly lies in them.
#pragma once

#include <Eigen/Core>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Value.h"
#include "sim/optics/FrameState.h"
#include "sim/optics/Scene.h"
#include "sim/optics/ScannerModel.h"

namespace qv::sim {

// Everything is worked out in world and turntable coordinates from the model's poses: a ray per
// pixel from the camera centre, the nearest surface it meets, ambient light from the camera's
// side, and each lit laser's sheet where it falls on a surface the laser can reach. A frame shows
// what a sensor behind a lens records: pixel centres lie at integer coordinates, a pixel across
// which the image changes (an edge, a silhouette, a square of a chessboard) gets the light
// averaged over its area (see PixelAreaLight), and the lens blurs all light slightly (see
// FrameState). Only those pixels are sampled more than once, so a frame costs little more than one
// ray a pixel. Frames are rendered in blocks of rows on several threads; the bytes are the same for
// any thread count.
class FrameRenderer {
public:
  static constexpr int kWidth = 1280;
  static constexpr int kHeight = 960;

  // Both must outlive the renderer. `threads`: how many threads a frame is rendered on (0: one
  // per core, 1: the calling thread alone).
  FrameRenderer(const ScannerModel& model, const Scene& scene, int threads = 0);

  // A 1280 x 960 frame, 4 bytes a pixel in the order blue, green, red, 255.
  qv::Data render(const FrameState& state) const;

  // The surface seen at a pixel, in turntable coordinates (point = origin + t direction).
  struct PixelHit {
    Scene::Hit hit;
    Eigen::Vector3d point_turntable = Eigen::Vector3d::Zero();
  };
  std::optional<PixelHit> castPixel(double u, double v, const FrameState& state) const;

  // Where a laser's plane crosses a visible, lit surface along an image row.
  struct LineCrossing {
    int row = 0;
    double x_px = 0.0;                                         // the true centre of the line
    Eigen::Vector3d point_turntable = Eigen::Vector3d::Zero(); // the surface point there
    Eigen::Vector3d point_world = Eigen::Vector3d::Zero();
    int objectId = -1;
    // The only crossing of its row, with the same smooth surface (one face of one object) lit and
    // seen for 8 px either side, so that the line's whole profile is there to measure.
    bool clean = false;
    // How far the point of the laser plane seen along the row moves per pixel there (mm/px).
    double mmPerPixel = 0.0;
  };
  std::vector<LineCrossing> laserLine(const FrameState& state, int laserIndex) const;

private:
  struct Setup;
  Setup setup(const FrameState& state) const;
  // The world direction of each whole pixel's ray, row by row (see pixelDirections()).
  using Directions = std::vector<Eigen::Vector3d>;
  const Directions& directions() const;

  const ScannerModel& model_;
  const Scene& scene_;
  int threads_;
  struct Lazy;
  std::shared_ptr<Lazy> lazy_;
};

}  // namespace qv::sim
