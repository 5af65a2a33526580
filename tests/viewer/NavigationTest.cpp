// Navigation numbers, the scene graph's transforms and the projection of points.
#include <gtest/gtest.h>

#include <cmath>

#include "viewer/model/SceneModel.h"
#include "viewer/model/ViewProjection.h"
#include "viewer/model/ViewerNavigation.h"

using namespace qv::viewer;
using qv::scene::Mat4;
using qv::scene::Vec3;

TEST(Navigation, ClampsAndSteps) {
  EXPECT_FLOAT_EQ(clampPitch(2.0f), 1.5393804002589986f);
  EXPECT_FLOAT_EQ(clampPitch(-7.0f), -1.5393804002589986f);
  EXPECT_FLOAT_EQ(clampPitch(0.3f), 0.3f);
  EXPECT_FLOAT_EQ(panFactor(20), 0.1f);
  EXPECT_FLOAT_EQ(panFactor(100), 0.4f);
  const qv::Double3 panned = pannedCameraPosition({1, 2, 100}, 10, 5);
  EXPECT_NEAR(panned.x, 1 - 4.0, 1e-5);
  EXPECT_NEAR(panned.y, 2 + 2.0, 1e-5);
  EXPECT_EQ(panned.z, 100);

  // Zoom: clamped to 5..300, only z scaled.
  EXPECT_DOUBLE_EQ(zoomedCameraPosition({0, 0, 100}, 100, 500).z, 300);
  EXPECT_DOUBLE_EQ(zoomedCameraPosition({0, 0, 100}, 100, -500).z, 5);
  const qv::Double3 zoomed = zoomedCameraPosition({3, 4, 50}, 50.249378f, 10);
  EXPECT_EQ(zoomed.x, 3);
  EXPECT_EQ(zoomed.y, 4);
  EXPECT_NEAR(zoomed.z, 50 * (60.249378 / 50.249378), 1e-4);
  // A camera at the origin cannot be scaled away from it: it goes onto the z axis instead.
  const qv::Double3 fromOrigin = zoomedCameraPosition({0, 0, 0}, 0, 1);
  EXPECT_TRUE(std::isfinite(fromOrigin.z));
  EXPECT_DOUBLE_EQ(fromOrigin.z, 5);
  EXPECT_EQ(usableCameraPosition({0, 0, 0}).z, 100);
  EXPECT_EQ(usableCameraPosition({0, 10, 20}).y, 10);
}

TEST(Navigation, PointSize) {
  EXPECT_NEAR(pointSizeForSetting(2, 100, 2), (4 + (1 - 100.0 / 110) * 9) * 2, 1e-4);
  EXPECT_NEAR(pointSizeForSetting(2, 100, 2), 9.64, 0.01);
  EXPECT_FLOAT_EQ(pointSizeForSetting(3, 110, 2), 16);
  EXPECT_FLOAT_EQ(pointSizeForSetting(1, 200, 1), 0.5f);
  EXPECT_FLOAT_EQ(pointSizeForSetting(4, 300, 1), 16);
  EXPECT_FLOAT_EQ(pointSizeForSetting(0, 10, 2), 1);
  EXPECT_FLOAT_EQ(pointSizeForSetting(5, 10, 2), 1);
}

TEST(Navigation, CameraSwingsAboutTheOriginAndLooksAtIt) {
  const float pitch = 0.5f;
  const Mat4 t = cameraTransform(pitch, {0, 0, 80});
  const Vec3 at = t.translationPart();
  EXPECT_NEAR(at.x, 0, 1e-5);
  EXPECT_NEAR(at.y, 80 * std::sin(pitch), 1e-4);
  EXPECT_NEAR(at.z, 80 * std::cos(pitch), 1e-4);
  // The camera looks down its -z axis: in the world that direction points to the origin.
  const Vec3 ahead = qv::scene::transformPoint(t, {0, 0, -1});
  EXPECT_NEAR(ahead.x - at.x, 0, 1e-5);
  EXPECT_NEAR(ahead.y - at.y, -std::sin(pitch), 1e-5);
  EXPECT_NEAR(ahead.z - at.z, -std::cos(pitch), 1e-5);
  // Rotation entries as the scene framework writes them.
  const Mat4 r = Mat4::rotation({1, 0, 0}, pitch);
  EXPECT_FLOAT_EQ(r.at(1, 2), std::sin(pitch));
  EXPECT_FLOAT_EQ(r.at(2, 1), -std::sin(pitch));
}

TEST(SceneModel, WorldTransformsSnapshotAndPrimitiveCounts) {
  qv::scene::Scene scene;
  auto objects = qv::scene::Node::make("objects");
  auto object = qv::scene::Node::make("object");
  auto camera = qv::scene::Node::make("camera");
  scene.rootNode()->addChild(objects);
  objects->addChild(object);
  scene.rootNode()->addChild(camera);
  camera->setCamera(qv::scene::Camera{});
  camera->setPosition({0, 0, 100});
  scene.setPointOfView(camera);
  objects->setRotation({0, 1, 0}, 3.14159265f / 2);
  object->setPosition({10, 0, 0});
  // The child's offset is turned with its parent: +x becomes -z a quarter turn about y.
  const Vec3 p = qv::scene::transformPoint(object->worldTransform(), {0, 0, 0});
  EXPECT_NEAR(p.x, 0, 1e-4);
  EXPECT_NEAR(p.z, -10, 1e-4);

  auto geometry = std::make_shared<qv::scene::Geometry>();
  geometry->primitive = qv::scene::PrimitiveType::TriangleStrip;
  geometry->elementCount = 1;
  EXPECT_EQ(geometry->primitiveCount(), 0u);  // a too-short strip draws nothing
  geometry->elementCount = 7;
  EXPECT_EQ(geometry->primitiveCount(), 5u);
  object->setGeometry(geometry);
  const auto snapshot = scene.snapshot();
  ASSERT_EQ(snapshot.items.size(), 1u);
  EXPECT_NEAR(snapshot.items[0].world.translationPart().z, -10, 1e-4);
  EXPECT_EQ(snapshot.cameraWorld.translationPart().z, 100);

  // Moving a node to another parent takes it out of the first.
  camera->addChild(object);
  EXPECT_TRUE(objects->children().empty());
  EXPECT_EQ(scene.snapshot().items.size(), 1u);
}

TEST(Projection, KnownPointsLandWhereThePerspectivePutsThem) {
  qv::scene::Scene scene;
  auto object = qv::scene::Node::make("object");
  auto camera = qv::scene::Node::make("camera");
  scene.rootNode()->addChild(object);
  scene.rootNode()->addChild(camera);
  camera->setCamera(qv::scene::Camera{60, 0.1f, 600});
  camera->setTransform(cameraTransform(0, {0, 0, 100}));
  scene.setPointOfView(camera);
  const ViewSnapshot view = takeViewSnapshot(scene, object, 400, 300);
  ASSERT_TRUE(view.valid);
  const ViewPoint centre = projectPoint(view, {0, 0, 0});
  EXPECT_TRUE(centre.inFront);
  EXPECT_NEAR(centre.x, 200, 1e-3);
  EXPECT_NEAR(centre.y, 150, 1e-3);
  // At distance 100 with a 60-degree vertical view, half the height spans 100 tan 30.
  const float half = 100 * std::tan(3.14159265f / 6);
  const ViewPoint top = projectPoint(view, {0, half / 2, 0});
  EXPECT_NEAR(top.y, 75, 1e-2);  // up in the scene is up on screen
  const ViewPoint right = projectPoint(view, {half / 2, 0, 0});
  EXPECT_NEAR(right.x, 200 + 75, 1e-2);  // square pixels: the same scale across
  EXPECT_FALSE(projectPoint(view, {0, 0, 200}).inFront);  // behind the camera
  // The snapshot holds: moving the node afterwards does not change it.
  object->setPosition({50, 0, 0});
  EXPECT_NEAR(projectPoint(view, {0, 0, 0}).x, 200, 1e-3);
  EXPECT_FALSE(takeViewSnapshot(scene, nullptr, 400, 300).valid);
}

TEST(Navigation, FirstViewFitsEveryPointWithATenthToSpare) {
  // Small objects keep the reset distance.
  FirstViewFit small(1.0);
  small.add(10, 20, 10);
  EXPECT_DOUBLE_EQ(small.distance(), 100);
  // A point 50 above the origin and 45 nearer the camera: 50 / (d - 45) = 0.9 tan 30 degrees.
  const double t = 0.9 * std::tan(3.14159265358979 / 6);
  FirstViewFit tall(1.0);
  tall.add(0, 50, 45);
  tall.add(0, -10, 0);
  EXPECT_NEAR(tall.distance(), 45 + 50 / t, 1e-4);
  // Sideways the view is wider by its aspect.
  FirstViewFit wide(2.0);
  wide.add(200, 0, 0);
  EXPECT_NEAR(wide.distance(), 200 / (2 * t), 1e-4);
  // A stray point far off the object does not move the camera away from a thousand others.
  FirstViewFit stray(1.0);
  for (int i = 0; i < 1000; ++i) stray.add(0, 50, 45);
  stray.add(0, 400, 0);
  EXPECT_NEAR(stray.distance(), 45 + 50 / t, 1e-4);
  FirstViewFit huge(1.0);
  huge.add(0, 1000, 0);
  EXPECT_DOUBLE_EQ(huge.distance(), 300) << "never beyond the zoom's limit";
}
