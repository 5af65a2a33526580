// The numbers of turning, tilting, panning and zooming the viewer, and its point size.
#include "viewer/model/ViewerNavigation.h"

#include <algorithm>
#include <cmath>

namespace qv::viewer {

float clampPitch(float pitch) { return std::clamp(pitch, -kMaxPitch, kMaxPitch); }

float panFactor(double cameraZ) { return static_cast<float>(((cameraZ - 20.0) / 80.0) * 0.3 + 0.1); }

Double3 pannedCameraPosition(Double3 camera, double dx, double dy) {
  const float f = panFactor(camera.z);
  return {camera.x - dx * f, camera.y + dy * f, camera.z};
}

Double3 zoomedCameraPosition(Double3 camera, float distance, double scrollY, double minDistance, double maxDistance) {
  double target = scrollY + distance;
  if (target >= maxDistance) target = maxDistance;
  if (target < minDistance) target = minDistance;
  if (!(distance > 0.0f) || !std::isfinite(distance)) return {0, 0, target};
  return {camera.x, camera.y, camera.z * (target / distance)};
}

float pointSizeForSetting(std::int64_t viewPointSize, float cameraDistance, double backingScale, float fullSizeDistance) {
  static constexpr float kBase[] = {0.5f, 4.0f, 8.0f, 16.0f};
  if (viewPointSize < 1 || viewPointSize > 4) return 1.0f;
  const float extra =
      cameraDistance < fullSizeDistance ? (1.0f - cameraDistance / fullSizeDistance) * 9.0f : 0.0f;
  return static_cast<float>((kBase[viewPointSize - 1] + extra) * backingScale);
}

scene::Mat4 cameraTransform(float pitch, Double3 p) {
  scene::Mat4 t = scene::Mat4::rotation({1, 0, 0}, -pitch);
  const scene::Mat4 r = scene::Mat4::rotation({1, 0, 0}, pitch);
  const auto row = [&](int i) {
    return static_cast<float>(r.at(i, 0) * p.x + r.at(i, 1) * p.y + r.at(i, 2) * p.z);
  };
  t.setTranslation({row(0), row(1), row(2)});
  return t;
}

Double3 usableCameraPosition(Double3 stored) {
  const double d = std::sqrt(stored.x * stored.x + stored.y * stored.y + stored.z * stored.z);
  if (!std::isfinite(d) || d < kMinCameraDistance) return kHomeCameraPosition;
  return stored;
}

FirstViewFit::FirstViewFit(double aspect, double fieldOfViewYDegrees) {
  constexpr double kSpare = 0.9;  // a point may reach nine tenths of the way to the view's edge
  const double half = fieldOfViewYDegrees * 3.14159265358979323846 / 360.0;
  tanY_ = std::tan(half) * kSpare;
  tanX_ = std::tan(half) * (std::isfinite(aspect) && aspect > 0 ? aspect : 1.0) * kSpare;
}

void FirstViewFit::add(double x, double y, double z) {
  // A point at depth z is inside the view from a camera at distance d when |y| <= (d - z) tan.
  const double d = z + std::max(std::fabs(y) / tanY_, std::fabs(x) / tanX_);
  if (std::isfinite(d)) needed_.push_back(static_cast<float>(d));
}

double FirstViewFit::distance() {
  double needed = 0;
  if (!needed_.empty()) {
    const auto kept = needed_.begin() + static_cast<std::ptrdiff_t>(needed_.size() - 1 - needed_.size() / 1000);
    std::nth_element(needed_.begin(), kept, needed_.end());
    needed = *kept;
  }
  return std::clamp(needed, kHomeCameraPosition.z, kMaxCameraDistance);
}

}  // namespace qv::viewer
