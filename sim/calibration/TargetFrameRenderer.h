// Colour frames of the calibration scene with each pixel's light averaged over its area, so that board corners are exact.
#pragma once

#include "platform/Value.h"
#include "sim/optics/FrameState.h"
#include "sim/optics/Scene.h"
#include "sim/optics/ScannerModel.h"

namespace qv::sim {

// The optics' frame renderer samples each pixel at its centre, which leaves a chessboard's edges
// stepped and its corners off by up to half a pixel. This renderer shades exactly as that one does
// (ambient light from the camera's side, scaled by the exposure, saturating at 255), but wherever
// a pixel's neighbours differ it averages the light over a jittered grid of points across the pixel: the
// pixel's value is then the mean over its whole area, as a camera's sensor records it. Pixel
// centres lie at integer coordinates. The lens then spreads each point's light a little (a Gaussian
// blur of `blur_px`), as any real lens does; a perfectly sharp image would leave the corner
// finder only the few pixels along each edge to work with. Lasers are not drawn (the simulated
// scanner adds them) and no noise is added. Rows are shared out among the machine's cores.
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
