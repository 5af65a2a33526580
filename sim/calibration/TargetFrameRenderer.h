// Colour frames of the calibration scene with each pixel's light averaged over its area, so that board corners are exact.
#pragma once

#include "platform/Value.h"
#include "sim/optics/FrameState.h"
#include "sim/optics/Scene.h"
#include "sim/optics/ScannerModel.h"

namespace qv::sim {

// The optics' frame renderer as the calibration's frames want it: area-averaged wherever the
// image changes within a pixel (a straight edge measured exactly, a corner by quartering the
// pixel, with `subsamples` x `subsamples` jittered points in what is left), so that a
// chessboard's corners are exact, and blurred by the lens (`blur_px`), since a perfectly sharp
// image would leave the corner finder only the few pixels along each edge to work with. Lasers
// are not drawn (the simulated scanner adds them) and no noise is added.
class TargetFrameRenderer {
public:
  TargetFrameRenderer(const ScannerModel& model, const Scene& scene, int subsamples = 8, double blur_px = 0.8);

  qv::Data render(const FrameState& state) const;

private:
  const ScannerModel& model_;
  const Scene& scene_;
  int subsamples_;
  double blur_;
};

}  // namespace qv::sim
