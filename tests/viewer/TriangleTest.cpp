// The triangle record: its boxes and offsets, its projection through a camera, its faults and
// its dictionary form.
#include <gtest/gtest.h>

#include <cmath>

#include "viewer/ViewerTestSupport.h"
#include "viewer/model/QVLTriangle.h"

namespace {

std::shared_ptr<QVLTexture> photo(double width, double height) {
  auto t = std::make_shared<QVLTexture>();
  t->setCameraWidth(width);
  t->setCameraHeight(height);
  return t;
}

TEST(Triangle, PhotoBoxAtlasBoxAndFinalCoordinates) {
  QVLTriangle t;
  t.texture = photo(100, 80);
  t.texturePointA = {0.25, 0.5};
  t.texturePointB = {0.75, 0.5};
  t.texturePointC = {0.5, 0.75};
  t.updateTextureBoundingBox();
  EXPECT_DOUBLE_EQ(t.textureBoundingRect.x, 21);
  EXPECT_DOUBLE_EQ(t.textureBoundingRect.y, 36);
  EXPECT_DOUBLE_EQ(t.textureBoundingRect.width, 58);
  EXPECT_DOUBLE_EQ(t.textureBoundingRect.height, 28);

  // Placed at (100, 200) in a 1000 x 500 atlas, each corner keeps its offset from the box's
  // corner (0, 0), (50, 0), (25, 20) plus the margin.
  t.updateFinalBoxUVWithOrigin({100, 200});
  EXPECT_DOUBLE_EQ(t.projectedBoundingRect.width, 58);
  t.updateFinalUVForFinalImageSize(1000, 500);
  EXPECT_DOUBLE_EQ(t.projectedPointA.x * 1000, 104);
  EXPECT_DOUBLE_EQ(t.projectedPointA.y * 500, 204);
  EXPECT_DOUBLE_EQ(t.projectedPointB.x * 1000, 154);
  EXPECT_DOUBLE_EQ(t.projectedPointB.y * 500, 204);
  EXPECT_DOUBLE_EQ(t.projectedPointC.x * 1000, 129);
  EXPECT_DOUBLE_EQ(t.projectedPointC.y * 500, 224);

  // Fractional corners widen to whole pixels; whole ones do not.
  t.texturePointC = {0.505, 0.7501};
  t.updateTextureBoundingBox();
  EXPECT_DOUBLE_EQ(t.textureBoundingRect.width, 58);
  EXPECT_DOUBLE_EQ(t.textureBoundingRect.height, 29);
}

TEST(Triangle, ProjectionThroughACameraAndItsFaults) {
  QVLTexture camera;
  camera.setCameraPosition({0, 0, -100});
  camera.setCameraNormal({0, 0, 1});
  camera.setCameraUp({0, 1, 0});
  camera.setDistanceToCenter(100);
  camera.setCameraWidth(1000);
  camera.setCameraHeight(800);
  camera.setCenterX(400);
  camera.setCenterY(300);
  camera.setMillimetersPerPoint(0.5);
  camera.setMatrixOffset(Eigen::Matrix3d::Identity());

  const auto ahead = QVLTriangle::getUVcoordinateFor({0, 0, 50}, camera);
  ASSERT_TRUE(ahead);
  EXPECT_DOUBLE_EQ(ahead->x, (1000.0 - 400) / 1000);
  EXPECT_DOUBLE_EQ(ahead->y, 300.0 / 800);
  // Off the axis the ray meets the plane at 100 along z: (10, 20) there, halved per pixel.
  const auto off = QVLTriangle::getUVcoordinateFor({20, 40, 100}, camera);
  ASSERT_TRUE(off);
  EXPECT_NEAR(off->x, (1000.0 - (400 + 20)) / 1000, 1e-6);
  EXPECT_NEAR(off->y, (300.0 + 40) / 800, 1e-6);
  // A point beside the camera: its ray runs along the plane and never meets it.
  EXPECT_FALSE(QVLTriangle::getUVcoordinateFor({10, 0, -100}, camera));

  const auto blob = vertexBytes({vertexAt(1, 1, 1), vertexAt(2, 2, 2), vertexAt(3, 3, 3), vertexAt(0, 0, 0)});
  const auto line = QVLTriangle::initWithDataPointer(*blob, 0);
  ASSERT_TRUE(line);
  EXPECT_TRUE(line->isDegenerate());
  EXPECT_TRUE(line->normal.allFinite());
  EXPECT_FALSE(QVLTriangle::initWithDataPointer(*blob, 2));
}

TEST(Triangle, DictionaryRoundTripRecomputesNormalAndCentre) {
  const auto blob = vertexBytes({vertexAt(0, 0, 0), vertexAt(1, 0, 0), vertexAt(0, 2, 0)});
  auto t = *QVLTriangle::initWithDataPointer(*blob, 0);
  // (C - A) x (B - A) = (0, 2, 0) x (1, 0, 0) points along -z.
  EXPECT_DOUBLE_EQ(t.normal.z(), -1);
  EXPECT_DOUBLE_EQ(t.center.y(), 2.0 / 3);
  t.texturePointA = {0.1, 0.2};
  t.textureBoundingRect = {1, 2, 3, 4};
  t.projectedPointC = {0.7, 0.8};
  t.projectedBoundingRect = {5, 6, 7, 8};
  auto d = t.jsonDictionary();
  EXPECT_EQ(d.size(), 35u);
  d["normalZ"] = 5.0;
  d["centerX"] = 9.0;
  const auto back = QVLTriangle::triangleWithJsonDictionary(d);
  auto again = back.jsonDictionary();
  EXPECT_DOUBLE_EQ(again["normalZ"].toDouble(), -1);
  EXPECT_DOUBLE_EQ(again["centerX"].toDouble(), 1.0 / 3);
  again["normalZ"] = 5.0;
  again["centerX"] = 9.0;
  EXPECT_EQ(again, d);
}

}  // namespace
