// The texture record: derived projection values, dictionary form and lazy photo loading.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <opencv2/imgcodecs.hpp>
#include <optional>
#include <random>
#include <string>

#include "records/QVLTexture.h"
#include "support/TempFolder.h"

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr double kPi = 3.141592653589793;

void expectMatrixNear(const Eigen::Matrix3d& actual, const Eigen::Matrix3d& expected, double tolerance) {
  EXPECT_LT((actual - expected).cwiseAbs().maxCoeff(), tolerance) << "actual\n"
                                                                  << actual << "\nexpected\n"
                                                                  << expected;
}

void expectVectorNear(const Eigen::Vector3d& actual, const Eigen::Vector3d& expected, double tolerance) {
  EXPECT_LT((actual - expected).norm(), tolerance) << actual.transpose() << " vs " << expected.transpose();
}

// A folder of its own for the test, standing in as the data home so the application library
// folder lies inside it; both are put back afterwards.
class ScratchDataHome {
public:
  ScratchDataHome() {
    if (const char* old = std::getenv("XDG_DATA_HOME")) previous_ = old;
    ::setenv("XDG_DATA_HOME", root().c_str(), 1);
    fs::create_directories(library());
  }
  ~ScratchDataHome() {
    if (previous_) ::setenv("XDG_DATA_HOME", previous_->c_str(), 1);
    else ::unsetenv("XDG_DATA_HOME");
  }
  fs::path root() const { return folder_.path(); }
  fs::path library() const { return root() / "Quorvel"; }

private:
  qv::test::TempFolder folder_;
  std::optional<std::string> previous_;
};

// Three rows of two pixels, each pixel's colour telling its place: blue 10·row + column,
// green 100, red 200 + row + column.
cv::Mat placeCodedPhoto() {
  cv::Mat bgr(3, 2, CV_8UC3);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 2; ++c) bgr.at<cv::Vec3b>(r, c) = cv::Vec3b(10 * r + c, 100, 200 + r + c);
  return bgr;
}

}  // namespace

TEST(Texture, NewRecordHasDefaultsAndNothingDerived) {
  QVLTexture t;
  EXPECT_EQ(t.distanceToCenter(), 10.0);
  EXPECT_EQ(t.cameraWidth(), 1280.0);
  EXPECT_EQ(t.cameraHeight(), 960.0);
  EXPECT_EQ(t.centerX(), 0.0);
  EXPECT_EQ(t.centerY(), 0.0);
  EXPECT_EQ(t.millimetersPerPoint(), 0.0);
  EXPECT_EQ(t.matrixOffset(), Eigen::Matrix3d::Zero());
  EXPECT_TRUE(t.textureFileName().empty());
  EXPECT_TRUE(t.textureImage().empty());
}

TEST(Texture, DerivesProjectionOfAHandComputedCamera) {
  // f = 1000 px on a 1280 px image: one pixel covers 1/1000 of the distance, 0.1 mm at 100 mm.
  QVLTexture t;
  t.setIntrinsicFX(1000.0);
  t.setIntrinsicCX(640.5);
  t.setIntrinsicCY(480.25);
  t.setDistanceToCenter(100.0);
  t.setCameraPosition({10, 20, 30});
  t.setCameraNormal({0, 0, -2});  // looking down -Z, not of unit length
  t.setCameraUp({0, 3, 0});
  t.initializeTexture();

  EXPECT_DOUBLE_EQ(t.centerX(), 639.5);
  EXPECT_DOUBLE_EQ(t.centerY(), 479.75);
  EXPECT_NEAR(t.millimetersPerPoint(), 0.1, 1e-12);
  EXPECT_EQ(t.cameraNormZ(), -2.0);  // stored as given
  expectVectorNear(t.cameraNormal(), {0, 0, -1}, 1e-15);
  expectVectorNear(t.cameraPlane(), {10, 20, -70}, 1e-12);
  // Up stays +Y; looking down -Z takes a half turn about Y; the camera's right is then -X.
  expectMatrixNear(t.matrixOffset(), Eigen::Vector3d(-1, 1, -1).asDiagonal().toDenseMatrix(), 1e-12);

  EXPECT_NEAR(qv::textureMillimetersPerPoint(1600, 800, 50), 50.0 / 800.0, 1e-12);
}

TEST(Texture, CameraAlignedWithTheAxesNeedsNoTurn) {
  EXPECT_EQ(qv::textureCameraFromWorld({0, 1, 0}, {0, 0, 1}), Eigen::Matrix3d::Identity());
}

TEST(Texture, UpAlongZIsAQuarterTurnBackAboutX) {
  // Up (0, 0, 1) gives a first angle of -90 degrees; a normal of (0, -1, 0) then needs nothing more.
  const Eigen::Matrix3d m = qv::textureCameraFromWorld({0, 0, 1}, {0, -1, 0});
  expectMatrixNear(m, Eigen::AngleAxisd(-kPi / 2, Eigen::Vector3d::UnitX()).toRotationMatrix(), 1e-12);
  expectVectorNear(m * Eigen::Vector3d(0, 0, 1), Eigen::Vector3d::UnitY(), 1e-12);
}

TEST(Texture, TurnsEveryCameraOntoItsOwnAxes) {
  // For any orthogonal up and viewing direction the result is the inverse of the camera's
  // orientation: up onto +Y, viewing direction onto +Z, right-handed.
  std::mt19937 random(7);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_real_distribution<double> scale(0.2, 5.0);
  for (int i = 0; i < 200; ++i) {
    const Eigen::Quaterniond q = Eigen::Quaterniond(unit(random), unit(random), unit(random), unit(random)).normalized();
    const Eigen::Matrix3d orientation = q.toRotationMatrix();
    const Eigen::Vector3d up = orientation * Eigen::Vector3d::UnitY() * scale(random);
    const Eigen::Vector3d normal = orientation * Eigen::Vector3d::UnitZ() * scale(random);
    expectMatrixNear(qv::textureCameraFromWorld(up, normal), orientation.transpose(), 1e-9);
  }
}

TEST(Texture, UpAlongXStillLandsOnY) {
  // A camera rolled a quarter turn: its up has no Y or Z part, so no turn about X is needed.
  for (const double sign : {1.0, -1.0}) {
    const Eigen::Vector3d up(sign, 0, 0), normal(0, 0, 1);
    const Eigen::Matrix3d m = qv::textureCameraFromWorld(up, normal);
    ASSERT_TRUE(m.allFinite());
    expectVectorNear(m * up, Eigen::Vector3d::UnitY(), 1e-12);
    expectVectorNear(m * normal, Eigen::Vector3d::UnitZ(), 1e-12);
  }
  // A viewing direction along the up cannot be turned onto +Z; the result stays a rotation.
  const Eigen::Matrix3d along = qv::textureCameraFromWorld({0, 1, 0}, {0, 2, 0});
  ASSERT_TRUE(along.allFinite());
  EXPECT_NEAR(along.determinant(), 1.0, 1e-12);
}

TEST(Texture, DictionaryFormRoundTrips) {
  QVLTexture t;
  t.setTextureFileName("Texture.scan.60.0_12.png");
  t.setCameraPosition({1.5, -2.25, 300.125});
  t.setCameraNormal({0.1, -0.2, -0.97});
  t.setCameraUp({0.01, 0.99, -0.2});
  t.setCameraWidth(1600);
  t.setCameraHeight(1200);
  t.setDistortion0(-0.1);
  t.setDistortion1(0.02);
  t.setDistortion2(-0.003);
  t.setDistortion3(0.0004);
  t.setDistanceToCenter(250.5);
  t.setIntrinsicFX(1401.5);
  t.setIntrinsicFY(1399.25);
  t.setIntrinsicCX(800.75);
  t.setIntrinsicCY(601.5);

  const qv::Dictionary dictionary = t.jsonDictionary();
  EXPECT_EQ(dictionary.size(), 21u);
  EXPECT_EQ(qv::find(dictionary, "centerX"), nullptr);  // derived values are not part of the form

  const auto back = QVLTexture::textureFromJsonDictionary(dictionary);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->jsonDictionary(), dictionary);
  EXPECT_EQ(back->textureFileName(), "Texture.scan.60.0_12.png");
  EXPECT_EQ(back->cameraWidth(), 1600);
  EXPECT_EQ(back->cameraHeight(), 1200);
  EXPECT_EQ(back->intrinsicFY(), 1399.25);
  // The factory derives at once.
  EXPECT_DOUBLE_EQ(back->centerX(), 1600 - 800.75);
  EXPECT_DOUBLE_EQ(back->centerY(), 1200 - 601.5);
  EXPECT_NEAR(back->millimetersPerPoint(), 250.5 / 1401.5, 1e-12);
  EXPECT_NEAR(back->matrixOffset().determinant(), 1.0, 1e-12);

  EXPECT_EQ(QVLTexture::textureFromJsonDictionary({}), nullptr);
  EXPECT_EQ(*qv::find(QVLTexture().jsonDictionary(), "textureFileName"), qv::Value(""));
}

TEST(Texture, DictionaryReaderTakesTheSizeAsAPairAndKeepsTheDefaultDistance) {
  // Either size given sets both: a width without a height gives height 0, and the derived centre
  // follows the sizes read, not the defaults.
  auto widthOnly = QVLTexture::textureFromJsonDictionary({{"cameraWidth", 1600.0}, {"intrinsicCY", 480.0}});
  ASSERT_NE(widthOnly, nullptr);
  EXPECT_EQ(widthOnly->cameraWidth(), 1600.0);
  EXPECT_EQ(widthOnly->cameraHeight(), 0.0);
  EXPECT_DOUBLE_EQ(widthOnly->centerY(), -480.0);

  auto heightOnly = QVLTexture::textureFromJsonDictionary({{"cameraHeight", 1200.0}, {"cameraUpY", 1.0}});
  EXPECT_EQ(heightOnly->cameraWidth(), 0.0);
  EXPECT_EQ(heightOnly->cameraHeight(), 1200.0);

  auto neither = QVLTexture::textureFromJsonDictionary({{"cameraUpY", 1.0}});
  EXPECT_EQ(neither->cameraWidth(), 1280.0);
  EXPECT_EQ(neither->cameraHeight(), 960.0);

  auto zeroDistance = QVLTexture::textureFromJsonDictionary({{"distanceToCenter", 0.0}, {"cameraUpY", 1.0}});
  EXPECT_EQ(zeroDistance->distanceToCenter(), 10.0);
  EXPECT_EQ(zeroDistance->cameraUpY(), 1.0);
  EXPECT_EQ(zeroDistance->cameraPositionX(), 0.0);  // missing numbers read as 0

  // Null, booleans and other non-numbers read like absent members; text by its leading number.
  auto odd = QVLTexture::textureFromJsonDictionary({{"distanceToCenter", qv::Value()},
                                                    {"intrinsicFX", true},
                                                    {"intrinsicCX", "641.5 px"},
                                                    {"textureFileName", 12}});
  EXPECT_EQ(odd->distanceToCenter(), 10.0);
  EXPECT_EQ(odd->intrinsicFX(), 0.0);
  EXPECT_EQ(odd->intrinsicCX(), 641.5);
  EXPECT_EQ(odd->textureFileName(), "");
}

TEST(Texture, NonFiniteNumbersAreWrittenAsNull) {
  QVLTexture t;
  t.setIntrinsicFX(std::numeric_limits<double>::infinity());
  t.setCameraUpY(std::numeric_limits<double>::quiet_NaN());
  const qv::Dictionary dictionary = t.jsonDictionary();
  EXPECT_TRUE(qv::find(dictionary, "intrinsicFX")->isNull());
  EXPECT_TRUE(qv::find(dictionary, "cameraUpY")->isNull());
  const auto back = QVLTexture::textureFromJsonDictionary(dictionary);
  EXPECT_EQ(back->intrinsicFX(), 0.0);
  EXPECT_EQ(back->cameraUpY(), 0.0);
}

TEST(Texture, StoredAttributesKeepDefaultSizeAndDistance) {
  const auto t = QVLTexture::textureFromStoredAttributes({{"textureFileName", "/data/photo.png"},
                                                          {"cameraPositionZ", 12.5},
                                                          {"cameraNormZ", -1.0},
                                                          {"cameraUpY", 1.0},
                                                          {"intrinsicFX", 1400.0},
                                                          {"intrinsicCX", 640.0},
                                                          {"distortion2", 0.5},
                                                          {"cameraWidth", 1600.0},
                                                          {"cameraHeight", 1200.0},
                                                          {"distanceToCenter", 50.0}});
  EXPECT_EQ(t->textureFileName(), "/data/photo.png");
  EXPECT_EQ(t->cameraPositionZ(), 12.5);
  EXPECT_EQ(t->distortion2(), 0.5);
  EXPECT_EQ(t->cameraWidth(), 1280.0);
  EXPECT_EQ(t->cameraHeight(), 960.0);
  EXPECT_EQ(t->distanceToCenter(), 10.0);
  EXPECT_DOUBLE_EQ(t->centerX(), 640.0);
  EXPECT_NEAR(t->millimetersPerPoint(), 10.0 / 1400.0, 1e-12);
}

TEST(Texture, LoadsThePhotoInRgbAndFlipped) {
  ScratchDataHome home;
  const fs::path file = home.root() / "photo.png";
  ASSERT_TRUE(cv::imwrite(file.string(), placeCodedPhoto()));

  QVLTexture t;
  t.setTextureFileName(file.string());
  const cv::Mat image = t.textureImage();
  ASSERT_EQ(image.type(), CV_8UC3);
  ASSERT_EQ(image.rows, 3);
  ASSERT_EQ(image.cols, 2);
  EXPECT_EQ(image.at<cv::Vec3b>(0, 1), cv::Vec3b(201, 100, 1));  // red first
  EXPECT_EQ(image.at<cv::Vec3b>(2, 0), cv::Vec3b(202, 100, 20));

  const cv::Mat flipped = t.flippedTextureImage();
  ASSERT_EQ(flipped.rows, 3);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 2; ++c) EXPECT_EQ(flipped.at<cv::Vec3b>(r, c), image.at<cv::Vec3b>(2 - r, c)) << r << c;
  // The two caches do not share pixels.
  EXPECT_NE(flipped.data, image.data);

  // Cached: renaming does not drop the image, and replacing it is honoured.
  t.setTextureFileName("elsewhere.png");
  EXPECT_EQ(t.textureImage().data, image.data);
  cv::Mat replacement(1, 1, CV_8UC3, cv::Scalar(1, 2, 3));
  t.setTextureImage(replacement);
  EXPECT_EQ(t.textureImage().data, replacement.data);
}

TEST(Texture, FindsThePhotoInTheLibraryFolderAndRetriesLater) {
  ScratchDataHome home;
  const std::string name = "texture-only-in-library-" + std::to_string(::getpid()) + ".png";
  QVLTexture t;
  t.setTextureFileName(name);
  EXPECT_TRUE(t.textureImage().empty());  // nowhere yet, quietly
  EXPECT_TRUE(t.flippedTextureImage().empty());

  ASSERT_TRUE(cv::imwrite((home.library() / name).string(), placeCodedPhoto()));
  const cv::Mat image = t.textureImage();
  ASSERT_FALSE(image.empty());
  EXPECT_EQ(image.at<cv::Vec3b>(0, 0), cv::Vec3b(200, 100, 0));
  EXPECT_EQ(t.flippedTextureImage().at<cv::Vec3b>(0, 0), cv::Vec3b(202, 100, 20));
}

TEST(Texture, DamagedPhotoIsTreatedAsMissing) {
  ScratchDataHome home;
  const fs::path file = home.root() / "broken.png";
  {
    std::FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const unsigned char header[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    std::fwrite(header, 1, sizeof header, f);
    std::fclose(f);
  }
  QVLTexture t;
  t.setTextureFileName(file.string());
  EXPECT_TRUE(t.textureImage().empty());
  EXPECT_TRUE(t.flippedTextureImage().empty());
}
