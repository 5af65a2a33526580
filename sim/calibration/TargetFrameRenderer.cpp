// The calibration scene's colour frames: the optics' renderer with the lasers dark and no noise.
#include "sim/calibration/TargetFrameRenderer.h"

#include <algorithm>

#include "sim/optics/FrameRenderer.h"

namespace qv::sim {

TargetFrameRenderer::TargetFrameRenderer(const ScannerModel& model, const Scene& scene, int subsamples, double blur_px)
    : model_(model), scene_(scene), subsamples_(std::max(1, subsamples)), blur_(std::max(0.0, blur_px)) {}

qv::Data TargetFrameRenderer::render(const FrameState& state) const {
  FrameState colour = state;
  colour.laserOn = {false, false};
  colour.noiseSigma = 0.0;
  colour.areaSamples = subsamples_;
  colour.lensBlur_px = blur_;
  return FrameRenderer(model_, scene_).render(colour);
}

}  // namespace qv::sim
