// The numbers of turning, tilting, panning and zooming the viewer, and its point size.
#pragma once

#include <cstdint>
#include <vector>

#include "store/Double3.h"
#include "viewer/model/SceneMath.h"

namespace qv::viewer {

// 0.49 pi: the pitch stays just short of a quarter turn either way.
inline constexpr float kMaxPitch = 1.5393804002589986f;
// Angle changes smaller than this leave the scene graph alone.
inline constexpr double kAngleThreshold = 0.00348;
inline constexpr double kMinCameraDistance = 5, kMaxCameraDistance = 300;
inline constexpr Double3 kHomeCameraPosition{0, 0, 100};

float clampPitch(float pitch);

// How far one point of mouse movement moves the camera: 0.1 at z 20, 0.4 at z 100.
float panFactor(double cameraZ);
Double3 pannedCameraPosition(Double3 camera, double dx, double dy);

// The camera after a scroll of `scrollY` with the camera `distance` from the origin: the target
// distance is clamped to 5..300 (or the range given) and z is scaled towards it (x and y stay). A
// camera at the origin (distance 0, which the scale would divide by) is put on the z axis at the target.
Double3 zoomedCameraPosition(Double3 camera, float distance, double scrollY, double minDistance = kMinCameraDistance,
                             double maxDistance = kMaxCameraDistance);

// The drawn point size in pixels: for ViewPointSize 1..4 a base of 0.5, 4, 8 or 16 plus up to 9
// more as the camera comes nearer than 110 (or the distance given), times the display's scale; 1 for
// any other setting.
float pointSizeForSetting(std::int64_t viewPointSize, float cameraDistance, double backingScale,
                          float fullSizeDistance = 110.0f);

// The camera node's transform: turned by -pitch about x, at the pitch-rotated camera position.
scene::Mat4 cameraTransform(float pitch, Double3 cameraPosition);
// A stored camera position the viewer can work with: one nearer the origin than the zoom allows
// (a scan never shown stores none, which reads as the origin) or not finite becomes (0, 0, 100).
Double3 usableCameraPosition(Double3 stored);

// Where the camera of a scan's first view stands so that the whole object is seen: points are
// added where they sit in the scene (home offset applied, no tilt), and the distance is the
// nearest on the z axis at which the points lie inside the view with a tenth of the view to
// spare, never nearer than the reset distance nor beyond the zoom's limit. A stray thousandth of
// the points (a reflection far off the object) does not push the camera away.
class FirstViewFit {
public:
  // `aspect` is the view's width over its height; the field of view is the vertical one.
  explicit FirstViewFit(double aspect, double fieldOfViewYDegrees = 60.0);
  void reserve(std::size_t points) { needed_.reserve(points); }
  void add(double x, double y, double z);
  double distance();

private:
  double tanY_ = 0, tanX_ = 0;
  std::vector<float> needed_;  // per point, the distance that brings it into view
};

}  // namespace qv::viewer
