// Texturing a mesh: which photo each triangle takes, how the regions pack, and whether the atlas
// pixel under every final UV is the photo pixel under its photo UV.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "support/TempFolder.h"
#include "viewer/ViewerTestSupport.h"
#include "viewer/model/QVLImageProjection.h"

namespace {

// A camera looking along +z from z = -100 onto the plane z = 0, one millimetre a pixel unless
// given, whose photo colours every pixel by its own column (red), row (green) and the marker.
std::shared_ptr<QVLTexture> camera(double x, double centerX, int marker, double mmPerPixel = 1.0, int width = 100,
                                   int height = 100) {
  auto t = std::make_shared<QVLTexture>();
  t->setTextureFileName("photo" + std::to_string(marker));
  t->setCameraPosition({x, 0, -100});
  t->setCameraNormal({0, 0, 1});
  t->setCameraUp({0, 1, 0});
  t->setDistanceToCenter(100);
  t->setCameraWidth(width);
  t->setCameraHeight(height);
  t->setCenterX(centerX);
  t->setCenterY(height / 2.0);
  t->setMillimetersPerPoint(mmPerPixel);
  t->setMatrixOffset(Eigen::Matrix3d::Identity());
  cv::Mat image(height, width, CV_8UC3);
  for (int r = 0; r < height; ++r)
    for (int c = 0; c < width; ++c) image.at<cv::Vec3b>(r, c) = cv::Vec3b(c, r, marker);
  t->setTextureImage(image);
  return t;
}

// Triangles in the plane z = 0 whose normal ((C - A) x (B - A)) faces the cameras.
void addTriangle(std::vector<QVLScanVertex>& out, Eigen::Vector2f a, Eigen::Vector2f b, Eigen::Vector2f c) {
  for (const auto& p : {a, b, c}) out.push_back(vertexAt(p.x(), p.y(), 0));
}

TEST(ImageProjection, PicksTheBestPhotoWhoseBandHoldsAllCorners) {
  std::vector<QVLScanVertex> v;
  addTriangle(v, {0, 0}, {40, 0}, {40, 20});
  const auto mesh = vertexBytes(v);
  // Straight ahead but its first corner at u = 0.9 exactly: the band is open, so it is refused.
  const auto edge = camera(0, 10, 1);
  const auto aside = camera(-60, -30, 2);
  const auto asideTwin = camera(-60, -30, 3);
  QVLImageProjection p;
  p.buildTrianglesByProjectingTextures({edge, aside, asideTwin}, *mesh);
  ASSERT_EQ(p.mappedTriangles.size(), 1u);
  EXPECT_EQ(p.mappedTriangles[0].texture, aside);  // equal scores: the earlier photo
  EXPECT_NEAR(p.mappedTriangles[0].texturePointA.x, 0.7, 1e-6);

  // Just inside the band the head-on camera wins.
  p.buildTrianglesByProjectingTextures({camera(0, 11, 1), aside}, *mesh);
  EXPECT_EQ(p.mappedTriangles[0].texture->textureFileName(), "photo1");

  // A line is never textured, and a photo whose plane the rays run along is skipped, not fatal.
  std::vector<QVLScanVertex> line;
  addTriangle(line, {0, 0}, {1, 0}, {2, 0});
  addTriangle(line, {0, 0}, {40, 0}, {40, 20});
  auto sideways = camera(0, 50, 4);
  sideways->setCameraNormal({1, 0, 0});
  sideways->setCameraPosition({0, 0, -100});  // the ray to corner (0, 0, 0) lies in its image plane
  p.buildTrianglesByProjectingTextures({sideways, aside}, *vertexBytes(line));
  ASSERT_EQ(p.mappedTriangles.size(), 2u);
  EXPECT_FALSE(p.mappedTriangles[0].texture);
  EXPECT_EQ(p.mappedTriangles[1].texture, aside);
}

TEST(ImageProjection, PacksTallestFirstThenColumnsAndRows) {
  QVLImageProjection p;
  const auto photo = std::make_shared<QVLTexture>();
  for (auto [w, h] : {std::pair{20, 30}, {25, 10}, {10, 10}, {12, 8}, {30, 8}, {8, 8}, {0, 0}}) {
    QVLTriangle t;
    if (w) t.texture = photo;
    t.textureBoundingRect = {0, 0, double(w), double(h)};
    p.mappedTriangles.push_back(t);
  }
  const auto size = p.packAtlas();
  EXPECT_EQ(size.width, 50);
  EXPECT_EQ(size.height, 40);
  const std::pair<double, double> expected[] = {{0, 0}, {20, 8}, {0, 30}, {20, 18}, {20, 0}, {10, 30}};
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(p.mappedTriangles[i].projectedBoundingRect.x, expected[i].first) << "T" << i;
    EXPECT_EQ(p.mappedTriangles[i].projectedBoundingRect.y, expected[i].second) << "T" << i;
    EXPECT_TRUE(p.mappedTriangles[i].hasBeenConsumed);
  }
  EXPECT_TRUE(p.mappedTriangles[6].hasBeenConsumed);
}

TEST(ImageProjection, AtlasPixelsMatchThePhotoUnderEveryUV) {
  qv::test::TempFolder temp;
  // A flat 40 x 30 mm sheet in 5 mm cells; the left camera sees the left part best, the right one
  // the right part.
  std::vector<QVLScanVertex> v;
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 6; ++j) {
      const float x = -20.0f + 5 * i, y = -15.0f + 5 * j;
      addTriangle(v, {x, y}, {x + 5, y}, {x + 5, y + 5});
      addTriangle(v, {x, y}, {x + 5, y + 5}, {x, y + 5});
    }
  v.push_back(vertexAt(1, 2, 3));  // a trailing partial triangle is no triangle
  const auto mesh = vertexBytes(v);
  const auto left = camera(-15, 120, 40, 0.25, 240, 200);
  const auto right = camera(15, 120, 200, 0.25, 240, 200);
  QVLImageProjection p;
  p.buildTrianglesByProjectingTextures({left, right}, *mesh);
  ASSERT_EQ(p.mappedTriangles.size(), 96u);
  const auto atlas = p.buildAtlas(temp.path(), nullptr);
  ASSERT_TRUE(atlas);
  ASSERT_EQ(atlas->textureCoordinatesData().size(), 96u * 48);
  EXPECT_EQ(std::filesystem::path(atlas->textureFileName()).extension(), ".png");

  std::ifstream in(atlas->textureFileName(), std::ios::binary);
  char signature[8] = {};
  in.read(signature, 8);
  EXPECT_EQ(std::memcmp(signature, "\x89PNG\r\n\x1a\n", 8), 0);

  cv::Mat image = cv::imread(atlas->textureFileName(), cv::IMREAD_COLOR);
  ASSERT_FALSE(image.empty());
  cv::cvtColor(image, image, cv::COLOR_BGR2RGB);
  int fromLeft = 0, fromRight = 0;
  const auto* uv = reinterpret_cast<const double*>(atlas->textureCoordinatesData().data());
  for (std::size_t k = 0; k < p.mappedTriangles.size(); ++k, uv += 6) {
    const QVLTriangle& t = p.mappedTriangles[k];
    ASSERT_TRUE(t.texture) << k;
    (t.texture == left ? fromLeft : fromRight)++;
    const double u = (uv[0] + uv[2] + uv[4]) / 3 * image.cols, w = (uv[1] + uv[3] + uv[5]) / 3 * image.rows;
    const double pu = (t.texturePointA.x + t.texturePointB.x + t.texturePointC.x) / 3 * t.texture->cameraWidth();
    const double pv = (t.texturePointA.y + t.texturePointB.y + t.texturePointC.y) / 3 * t.texture->cameraHeight();
    const cv::Vec3b got = image.at<cv::Vec3b>(static_cast<int>(w), static_cast<int>(u));
    const cv::Vec3b want = t.texture->textureImage().at<cv::Vec3b>(static_cast<int>(pv), static_cast<int>(pu));
    EXPECT_NEAR(got[0], want[0], 1) << "triangle " << k;
    EXPECT_NEAR(got[1], want[1], 1) << "triangle " << k;
    EXPECT_EQ(got[2], want[2]) << "triangle " << k;
  }
  EXPECT_GT(fromLeft, 20);
  EXPECT_GT(fromRight, 20);
}

TEST(ImageProjection, NoAtlasWhenNothingCanBeTextured) {
  qv::test::TempFolder temp;
  std::vector<QVLScanVertex> v;
  addTriangle(v, {0, 0}, {40, 0}, {40, 20});
  const auto mesh = vertexBytes(v);
  auto unreadable = camera(0, 30, 1);
  unreadable->setTextureImage({});
  unreadable->setTextureFileName((temp.path() / "missing.png").string());
  EXPECT_FALSE(QVLImageProjection::mapTextures({}, *mesh, temp.path()));
  EXPECT_FALSE(QVLImageProjection::mapTextures({unreadable}, *mesh, temp.path()));
  EXPECT_FALSE(QVLImageProjection::mapTextures({camera(0, 30, 1)}, {}, temp.path()));
  // Readable, but the triangle lies outside every photo's band.
  EXPECT_FALSE(QVLImageProjection::mapTextures({camera(500, 30, 1)}, *mesh, temp.path()));
  EXPECT_TRUE(std::filesystem::is_empty(temp.path()));
  // The same photo where it does see the triangle: one region, the atlas its size.
  const auto atlas = QVLImageProjection::mapTextures({camera(0, 30, 1)}, *mesh, temp.path());
  ASSERT_TRUE(atlas);
  const cv::Mat image = cv::imread(atlas->textureFileName());
  EXPECT_EQ(image.cols, 48);
  EXPECT_EQ(image.rows, 28);
}

}  // namespace
