// The ray caster split over threads: frames and laser lines do not depend on how many threads
// rendered them, and the scene's bounding shortcuts never change what a ray meets.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "sim/optics/CylinderObject.h"
#include "sim/optics/FrameRenderer.h"
#include "sim/optics/HourglassObject.h"
#include "sim/optics/SphereObject.h"

namespace qv::sim {
namespace {

// The nearest hit over every object, none skipped: what the scene's search must agree with.
std::optional<Scene::Hit> everyObject(const Scene& scene, const Ray& ray) {
  std::optional<Scene::Hit> best;
  double tMax = 1e30;
  for (std::size_t i = 0; i < scene.objects().size(); ++i) {
    if (const auto hit = scene.objects()[i]->intersect(ray, 1e-9, tMax)) {
      best = Scene::Hit{*hit, static_cast<int>(i)};
      tMax = hit->t;
    }
  }
  return best;
}

TEST(RenderThreads, FramesAndLaserLinesAreTheSameBytesOnAnyNumberOfThreads) {
  const ScannerModel model;
  const Scene scene = Scene::standard();
  // Noise, both lasers and an odd angle: the noise stream must be picked up where each block of
  // rows starts, and the line's subsamples and shadows run in every block.
  FrameState state;
  state.bedAngle_deg = 33.5;
  state.headHeight_mm = 12.0;
  state.laserOn = {true, true};
  state.exposure = 1.7;
  state.noiseSigma = 2.5;
  state.noiseSeed = 11;

  const FrameRenderer alone(model, scene, 1);
  const Data reference = alone.render(state);
  std::vector<std::vector<FrameRenderer::LineCrossing>> lines{alone.laserLine(state, 0), alone.laserLine(state, 1)};
  ASSERT_GT(lines[0].size(), 50u);
  ASSERT_GT(lines[1].size(), 50u);

  for (int threads : {3, 8}) {
    const FrameRenderer shared(model, scene, threads);
    const Data frame = shared.render(state);
    ASSERT_EQ(frame.size(), reference.size());
    EXPECT_TRUE(frame == reference) << threads << " threads";
    for (int laser = 0; laser < 2; ++laser) {
      const auto line = shared.laserLine(state, laser);
      ASSERT_EQ(line.size(), lines[laser].size()) << threads << " threads, laser " << laser;
      for (std::size_t i = 0; i < line.size(); ++i) {
        EXPECT_EQ(line[i].row, lines[laser][i].row);
        EXPECT_EQ(line[i].x_px, lines[laser][i].x_px);
        EXPECT_EQ(line[i].clean, lines[laser][i].clean);
      }
    }
  }
  // A different seed is a different frame: the noise is really there to be split.
  state.noiseSeed = 12;
  EXPECT_FALSE(alone.render(state) == reference);
}

TEST(RenderThreads, BoundingShortcutsNeverChangeWhatARayMeets) {
  Scene scene = Scene::standard();
  // A squat and a tall upright solid, and a small sphere, so that both kinds of bound are tried.
  scene.add(std::make_shared<CylinderObject>(-60.0, -40.0, 25.0, 6.0, Eigen::Vector3d(0.5, 0.5, 0.5)));
  scene.add(std::make_shared<HourglassObject>(55.0, 50.0, 6.0, 10.0, 1.4, 60.0, Eigen::Vector3d(0.5, 0.6, 0.7)));
  scene.add(std::make_shared<SphereObject>(Eigen::Vector3d(0.0, 80.0, 0.0), 4.0, Eigen::Vector3d(1, 1, 1)));
  const ScannerModel model;
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  int hits = 0, onUpright = 0;
  for (int i = 0; i < 200000; ++i) {
    // From the camera, from a laser, or from anywhere around the bed, towards a point on or near
    // an object's silhouette as often as not.
    Eigen::Vector3d origin;
    switch (i % 3) {
      case 0: origin = model.cameraCentre_world(unit(random) * 40.0 + 40.0); break;
      case 1: origin = model.laserPlane_world(i % 2, 30.0).emitter; break;
      default: origin = Eigen::Vector3d(unit(random) * 300.0, unit(random) * 200.0 + 100.0, unit(random) * 300.0);
    }
    const auto& object = scene.objects()[1 + i % (scene.objects().size() - 1)];
    const auto bounds = object->bounds();
    ASSERT_TRUE(bounds);
    const Eigen::Vector3d offset = Eigen::Vector3d(unit(random), unit(random), unit(random));
    Eigen::Vector3d target = bounds->centre + offset * bounds->radius;
    switch (i / 3 % 3) {
      case 0: break;  // anywhere within the bounding sphere
      case 1:         // on the bounding sphere, give or take a hair
        target = bounds->centre + offset.normalized() * bounds->radius * (1.0 + 1e-9 * unit(random));
        break;
      default:  // on the upright cylinder that holds the object, where its side may touch it
        if (bounds->uprightRadius > 0.0) {
          const double angle = M_PI * unit(random);
          target = bounds->centre + Eigen::Vector3d(std::cos(angle), 0.0, std::sin(angle)) * bounds->uprightRadius *
                                        (1.0 + 1e-9 * unit(random));
          target.y() += offset.y() * bounds->centre.y();
          ++onUpright;
        }
    }
    const Ray ray{origin, (target - origin).normalized()};
    const auto expected = everyObject(scene, ray);
    const auto got = scene.intersect(ray);
    ASSERT_EQ(got.has_value(), expected.has_value()) << "ray " << i;
    if (!got) continue;
    ++hits;
    ASSERT_EQ(got->objectId, expected->objectId) << "ray " << i;
    ASSERT_EQ(got->surface.t, expected->surface.t) << "ray " << i;
    ASSERT_EQ(got->surface.face, expected->surface.face) << "ray " << i;
  }
  EXPECT_GT(hits, 40000);
  EXPECT_GT(onUpright, 20000);
}

}  // namespace
}  // namespace qv::sim
