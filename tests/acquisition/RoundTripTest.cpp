// Round trips through the ground-truth scanner: known points on the laser planes, projected exactly
// and triangulated back; and rendered frames through the detector and the triangulation, within
// the error the detector's own sub-pixel error implies there.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <map>
#include <span>

#include "acquisition/LaserLineDetector.h"
#include "acquisition/LaserPointConversion.h"
#include "acquisition/ScannerGeometry.h"
#include "sim/optics/FrameRenderer.h"

using qv::sim::ScannerDesign;
using qv::sim::ScannerModel;

namespace {

ScannerDesign tiltedBed() {
  ScannerDesign d = ScannerDesign::standard();
  d.cameraRoll_deg = 2.0;
  d.bedTiltAboutX_deg = 4.0;
  d.bedTiltAboutZ_deg = -3.0;
  d.leadScrew_chassis = {0.02, 1.0, -0.03};
  return d;
}

// A webcam lens: about 9 px of barrel distortion in the corners, a little decentring.
ScannerDesign distortedLens() {
  ScannerDesign d = ScannerDesign::standard();
  d.k1 = -0.09;
  d.k2 = 0.11;
  d.p1 = 0.0008;
  d.p2 = -0.0005;
  return d;
}

float radians(double degrees) { return static_cast<float>(degrees / 180.0 * M_PI); }

void checkRenderedFrames(const ScannerDesign& design, int firstView, int views);

}  // namespace

TEST(RoundTrip, ExactProjectionsTriangulateBackWithinAThousandthOfAMillimetre) {
  for (const ScannerDesign& design : {ScannerDesign::ideal(), ScannerDesign::standard(), tiltedBed(), distortedLens()}) {
    const ScannerModel model(design);
    const QVLScannerCalibration calibration = model.groundTruthCalibration();
    const Eigen::Matrix3d bed_from_turntable = model.bed_from_turntable();
    int checked = 0;
    for (const int laser : {0, 1}) {
      for (const double head : {0.0, 60.0, 150.0}) {
        const ScannerGeometry geometry = ScannerGeometryFromCalibration(calibration, static_cast<float>(head));
        const Eigen::Vector3d camera = model.cameraCentre_world(head);
        const auto plane = model.laserPlane_world(laser, head);
        for (const double angle : {0.0, 37.0, 200.0, 311.5}) {
          const Eigen::Matrix3d turntable_from_world = ScannerModel::world_from_turntable(angle).transpose();
          for (double u = 60.0; u < 1280.0; u += 97.0) {
            for (double v = 40.0; v < 960.0; v += 83.0) {
              // The point of the laser plane seen at (u, v), worked out in the world.
              const Eigen::Vector3d ray = model.pixelDirection_world(u, v);
              const double t = plane.normal.dot(plane.emitter - camera) / plane.normal.dot(ray);
              if (!(t > 50.0 && t < 800.0)) continue;
              const Eigen::Vector3d world = camera + t * ray;
              const auto pixel = model.project(world, head);
              ASSERT_TRUE(pixel);
              const Eigen::Vector3d expected = bed_from_turntable * (turntable_from_world * world);
              Eigen::Vector3d point;
              Eigen::Vector3d normal;
              ASSERT_TRUE(TriangulateLaserPixel(geometry, pixel->x(), pixel->y(), laser + 2, radians(angle), point,
                                                normal));
              EXPECT_LT((point - expected).norm(), 0.001)
                  << "laser " << laser << " head " << head << " angle " << angle << " pixel " << u << "," << v;
              ++checked;
            }
          }
        }
      }
    }
    EXPECT_GT(checked, 600);
  }
}

TEST(RoundTrip, ConvertedPointsOfATiltedBedLieWhereTheyWere) {
  const ScannerModel model(tiltedBed());
  const QVLScannerCalibration calibration = model.groundTruthCalibration();
  const Eigen::Matrix3d bed_from_turntable = model.bed_from_turntable();
  const double head = 45.0;
  const double angle = 123.0;
  const Eigen::Vector3d camera = model.cameraCentre_world(head);
  const auto plane = model.laserPlane_world(1, head);
  std::vector<QVSImageLaserPoint> points;
  std::vector<Eigen::Vector3d> expected;
  for (int row = 0; row < 960; row += 5) {
    // Points of the plane at 60 mm from the camera's axis plane: on a small object near the axis.
    for (double u = 300.0; u < 1000.0; u += 50.0) {
      const Eigen::Vector3d ray = model.pixelDirection_world(u, row);
      const double t = plane.normal.dot(plane.emitter - camera) / plane.normal.dot(ray);
      const Eigen::Vector3d world = camera + t * ray;
      const Eigen::Vector3d bed = bed_from_turntable * (ScannerModel::world_from_turntable(angle).transpose() * world);
      if (!qv::isPointInsideScanningArea(bed)) continue;
      const auto pixel = model.project(world, head);
      if (std::fabs(pixel->y() - row) > 1e-9) continue;
      points.emplace_back(static_cast<float>(pixel->x()), row);
      expected.push_back(bed);
      break;
    }
  }
  ASSERT_GT(points.size(), 50u);
  // The frame is filed under the angle it was taken at, so unwrapping gives back the depth as seen.
  const auto converted =
      qv::convertTo3dPoints(&calibration, points, 3, static_cast<float>(angle), static_cast<float>(angle),
                            static_cast<float>(head));
  ASSERT_EQ(converted.size(), points.size());
  for (std::size_t i = 0; i < converted.size(); ++i) {
    const QVLPoint3D& p = converted[i];
    // Single-precision pixel columns cost a few micrometres here.
    EXPECT_LT((Eigen::Vector3d(p.point3DX, p.point3DY, p.point3DZ) - expected[i]).norm(), 0.005) << i;
    const Eigen::Vector3d unwrapped =
        Eigen::AngleAxisd(-angle / 180.0 * M_PI, Eigen::Vector3d::UnitY()) * expected[i];
    EXPECT_NEAR(p.unwrappedPointZ, unwrapped.z(), 0.005);
  }
}

// Rendered frames, detected and triangulated. The renderer knows where each row's line truly is;
// the detector's error e there, times how far the laser plane's point moves per pixel along the
// row, bounds how far the triangulated point may lie from the true surface point. A triangulation
// that is off by a sign or a frame, or a detector that drifts, breaks the bound.
TEST(RoundTrip, RenderedFramesThroughTheDetectorAndTheTriangulation) {
  for (const ScannerDesign& design : {ScannerDesign::standard(), distortedLens()}) {
    SCOPED_TRACE(design.k1 == 0.0 ? "no distortion" : "distortion");
    // Through the distorting lens one view (the one that sees most of the object) is enough and
    // keeps the test quick under the sanitizers.
    if (design.k1 == 0.0) checkRenderedFrames(design, 0, 3);
    else checkRenderedFrames(design, 1, 1);
  }
}

namespace {

void checkRenderedFrames(const ScannerDesign& design, int firstView, int views) {
  const ScannerModel model(design);
  const qv::sim::Scene scene = qv::sim::Scene::standard();
  const qv::sim::FrameRenderer renderer(model, scene);
  const QVLScannerCalibration calibration = model.groundTruthCalibration();
  const Eigen::Matrix3d bed_from_turntable = model.bed_from_turntable();

  struct View {
    double angle;
    double head;
    int laser;
    double noise;
  };
  double sumSquares = 0.0;
  int measured = 0;
  int withinHalfPixel = 0;
  const View all[] = {View{30.0, 0.0, 0, 0.0}, View{150.0, 40.0, 1, 0.0}, View{260.0, 20.0, 0, 2.0}};
  for (const View& view : std::span(all + firstView, static_cast<std::size_t>(views))) {
    qv::sim::FrameState state;
    state.bedAngle_deg = view.angle;
    state.headHeight_mm = view.head;
    state.noiseSigma = view.noise;
    const qv::Data off = renderer.render(state);
    state.laserOn[view.laser] = true;
    state.noiseSeed = 99;
    const qv::Data on = renderer.render(state);
    std::map<int, qv::sim::FrameRenderer::LineCrossing> truth;
    for (const auto& c : renderer.laserLine(state, view.laser))
      if (c.clean) truth[c.row] = c;

    const auto detection = qv::detectLaserLine(off.data(), on.data(), qv::LaserLineOptions{});
    const ScannerGeometry geometry = ScannerGeometryFromCalibration(calibration, static_cast<float>(view.head));
    for (const QVSImageLaserPoint& p : detection.points) {
      const auto it = truth.find(p.y());
      if (it == truth.end()) continue;
      const auto& crossing = it->second;
      const double error = p.x() - crossing.x_px;
      ASSERT_LT(std::fabs(error), 2.0) << "row " << p.y() << ": the detector found another line";
      sumSquares += error * error;
      ++measured;
      if (std::fabs(error) <= 0.5) ++withinHalfPixel;

      Eigen::Vector3d point;
      Eigen::Vector3d normal;
      ASSERT_TRUE(TriangulateLaserPixel(geometry, p.x(), p.y(), view.laser + 2, radians(view.angle), point, normal));
      const Eigen::Vector3d truePoint = bed_from_turntable * crossing.point_turntable;
      const double bound = 1.05 * crossing.mmPerPixel * std::fabs(error) + 0.002;
      EXPECT_LT((point - truePoint).norm(), bound) << "row " << p.y() << " error " << error << " px";
      // And so the point lies on the object's true surface within that bound.
      const Eigen::Vector3d onTurntable = bed_from_turntable.transpose() * point;
      EXPECT_LT(scene.objects()[crossing.objectId]->distanceToSurface(onTurntable), bound + 0.001);
    }
  }
  // The detector's own error on these frames: the bounds above follow from it.
  ASSERT_GT(measured, 100 * views);
  EXPECT_LT(std::sqrt(sumSquares / measured), 0.25);
  EXPECT_GT(withinHalfPixel, measured * 95 / 100);
}

}  // namespace
