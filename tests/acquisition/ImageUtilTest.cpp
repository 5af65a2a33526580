// The camera frame: pixel access, luminance, colour, comparison and image files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <opencv2/imgcodecs.hpp>

#include "acquisition/QVSImageUtil.h"
#include "acquisition/TestFrames.h"
#include "support/TempFolder.h"

namespace fs = std::filesystem;

namespace {

qv::SharedData share(qv::Data data) { return std::make_shared<const qv::Data>(std::move(data)); }

// A frame whose every pixel has the given bytes.
qv::Data uniformFrame(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3 = 255) {
  qv::Data frame(QVSImageUtil::kFrameBytes);
  for (std::size_t i = 0; i < frame.size(); i += 4) {
    frame[i] = b0;
    frame[i + 1] = b1;
    frame[i + 2] = b2;
    frame[i + 3] = b3;
  }
  return frame;
}

// Every pixel a different colour, so that a flip or a shift shows.
qv::Data patternFrame() {
  qv::Data frame(QVSImageUtil::kFrameBytes);
  for (int r = 0; r < QVSImageUtil::kHeight; ++r) {
    for (int c = 0; c < QVSImageUtil::kWidth; ++c) {
      std::uint8_t* p = frame.data() + r * QVSImageUtil::kBytesPerRow + c * 4;
      p[0] = static_cast<std::uint8_t>(r);
      p[1] = static_cast<std::uint8_t>(c);
      p[2] = static_cast<std::uint8_t>(r + c);
      p[3] = 255;
    }
  }
  return frame;
}

std::uint8_t* pixelOf(qv::Data& frame, int x, int y) {
  return frame.data() + static_cast<std::size_t>(y) * QVSImageUtil::kBytesPerRow + x * 4;
}

}  // namespace

TEST(ImageUtil, ColourOffsetsFollowTheColourSpace) {
  QVSImageUtil frame;
  EXPECT_EQ(frame.colourSpace(), 2);
  EXPECT_EQ(frame.colourOffsetForRed(), 2);
  EXPECT_EQ(frame.colourOffsetForGreen(), 1);
  EXPECT_EQ(frame.colourOffsetForBlue(), 0);
  frame.setColourSpace(1);
  EXPECT_EQ(frame.colourOffsetForRed(), 0);
  EXPECT_EQ(frame.colourOffsetForBlue(), 2);
  frame.setColourSpace(7);
  EXPECT_EQ(frame.colourOffsetForRed(), 0);
  EXPECT_EQ(frame.colourOffsetForGreen(), 0);
  EXPECT_EQ(frame.colourOffsetForBlue(), 0);
}

TEST(ImageUtil, LuminanceIsTruncatedRec709Luma) {
  EXPECT_EQ(QVSImageUtil::luminanceForPixelWithRed(100, 0, 0), 21);
  EXPECT_EQ(QVSImageUtil::luminanceForPixelWithRed(0, 100, 0), 71);
  EXPECT_EQ(QVSImageUtil::luminanceForPixelWithRed(0, 0, 100), 7);
  EXPECT_EQ(QVSImageUtil::luminanceForPixelWithRed(0, 0, 0), 0);
}

TEST(ImageUtil, RedAndBlueSwapWithTheColourSpace) {
  qv::Data data = uniformFrame(0, 0, 0);
  std::uint8_t* p = pixelOf(data, 10, 20);
  p[0] = 200;  // blue in the camera's order
  p[2] = 50;   // red
  QVSImageUtil frame(share(data));
  EXPECT_EQ(frame.luminanceAtX(10, 20), QVSImageUtil::luminanceForPixelWithRed(50, 0, 200));
  EXPECT_EQ(frame.colourAtPoint(10.5, 20.5), (qv::Colour{50 / 255.0, 0.0, 200 / 255.0, 1.0}));
  frame.setColourSpace(1);
  EXPECT_EQ(frame.luminanceAtX(10, 20), QVSImageUtil::luminanceForPixelWithRed(200, 0, 50));
  EXPECT_EQ(frame.colourAtPoint(10.5, 20.5), (qv::Colour{200 / 255.0, 0.0, 50 / 255.0, 1.0}));
}

TEST(ImageUtil, ColourAtPointStaysInsideTheFrame) {
  qv::Data data = uniformFrame(0, 0, 0);
  pixelOf(data, 1279, 959)[1] = 255;
  const QVSImageUtil frame(share(data));
  EXPECT_EQ(frame.colourAtPoint(1279.9, 959.9), (qv::Colour{0.0, 1.0, 0.0, 1.0}));
  EXPECT_FALSE(frame.colourAtPoint(1280.0, 0.0));
  EXPECT_FALSE(frame.colourAtPoint(-0.1, 0.0));
  EXPECT_FALSE(frame.colourAtPoint(0.0, 960.0));
  EXPECT_FALSE(QVSImageUtil().colourAtPoint(0.0, 0.0));
  // A short frame answers nothing for pixels it does not hold.
  const QVSImageUtil shortFrame(qv::Data(8, 9));
  EXPECT_TRUE(shortFrame.colourAtPoint(1.0, 0.0));
  EXPECT_FALSE(shortFrame.colourAtPoint(2.0, 0.0));
  EXPECT_EQ(shortFrame.luminanceAtX(500, 500), 0);
  EXPECT_EQ(QVSImageUtil().luminanceAtX(0, 0), 0);
}

TEST(ImageUtil, AverageLuminosities) {
  qv::Data data = uniformFrame(0, 0, 0);
  // The top half grey 100: mean luminance (100 x 614400) / 1228800 = 50 in integer arithmetic.
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 1280; ++x) {
      std::uint8_t* p = pixelOf(data, x, y);
      p[0] = p[1] = p[2] = 100;
    }
  const QVSImageUtil frame(share(data));
  const int grey = QVSImageUtil::luminanceForPixelWithRed(100, 100, 100);
  EXPECT_EQ(frame.averageLuminosity(), grey / 2);
  EXPECT_EQ(frame.averageLuminosityForPoints({}), 0);
  // Rounded mean over the points' pixels; an over-exposed point at column -1 reads as 0.
  EXPECT_EQ(frame.averageLuminosityForPoints({QVSImageLaserPoint(10.7f, 10), QVSImageLaserPoint(10.0f, 700)}),
            static_cast<int>(std::lround(grey / 2.0)));
  EXPECT_EQ(frame.averageLuminosityForPoints({QVSImageLaserPoint(-1.0f, 10), QVSImageLaserPoint(3.0f, 10)}),
            static_cast<int>(std::lround(grey / 2.0)));
  EXPECT_EQ(QVSImageUtil(qv::Data(100, 255)).averageLuminosity(), 0);
}

TEST(ImageUtil, EqualUnlessMoreThanAHundredPixelsGainRed) {
  const qv::Data base = uniformFrame(10, 10, 40);
  qv::Data hundred = base;
  qv::Data hundredAndOne = base;
  for (int i = 0; i < 101; ++i) {
    if (i < 100) pixelOf(hundred, i, 3)[2] = 240;
    pixelOf(hundredAndOne, i, 3)[2] = 240;
  }
  const QVSImageUtil frame(share(base));
  const QVSImageUtil a(share(hundred));
  const QVSImageUtil b(share(hundredAndOne));
  EXPECT_TRUE(frame.isEqual(&a));
  EXPECT_FALSE(frame.isEqual(&b));
  // Only gains count: every pixel's red falling is still the same frame.
  EXPECT_TRUE(b.isEqual(&frame));
  const QVSImageUtil darker(share(uniformFrame(10, 10, 0)));
  EXPECT_TRUE(frame.isEqual(&darker));
  // A gain of 38 does not count, 39 does.
  qv::Data small = base;
  qv::Data enough = base;
  for (int i = 0; i < 500; ++i) {
    pixelOf(small, i, 5)[2] = 40 + 38;
    pixelOf(enough, i, 5)[2] = 40 + 39;
  }
  const QVSImageUtil smallFrame(share(small));
  const QVSImageUtil enoughFrame(share(enough));
  EXPECT_TRUE(frame == smallFrame);
  EXPECT_FALSE(frame == enoughFrame);
  // The fourth byte carries no colour.
  const QVSImageUtil alpha(share(uniformFrame(10, 10, 40, 0)));
  EXPECT_TRUE(frame.isEqual(&alpha));
}

TEST(ImageUtil, EqualityOfMissingAndOddFrames) {
  const QVSImageUtil full(share(uniformFrame(1, 2, 3)));
  const QVSImageUtil noData;
  const QVSImageUtil emptyData(share(qv::Data{}));
  EXPECT_FALSE(full.isEqual(nullptr));
  EXPECT_TRUE(noData.isEqual(&noData));
  EXPECT_FALSE(noData.isEqual(&emptyData));
  EXPECT_TRUE(emptyData.isEqual(&noData));
  EXPECT_FALSE(noData.isEqual(&full));
  EXPECT_FALSE(full.isEqual(&noData));
  EXPECT_FALSE(full.isEqual(&emptyData));
  // Frames of different lengths are not the same, and neither is read past its end.
  const QVSImageUtil shortFrame(qv::Data(4000, 0));
  EXPECT_FALSE(full.isEqual(&shortFrame));
  EXPECT_FALSE(shortFrame.isEqual(&full));
  EXPECT_TRUE(shortFrame.isEqual(&shortFrame));
}

TEST(ImageUtil, SetColourWritesTheColourBytesOfItsOwnCopy) {
  const qv::SharedData original = share(uniformFrame(1, 2, 3, 77));
  QVSImageUtil frame(original);
  frame.setColour(qv::Colour{1.0, 0.5, 0.0, 1.0}, 5.9, 6.2);
  EXPECT_EQ(frame.colourAtPoint(5.0, 6.0), (qv::Colour{1.0, 128 / 255.0, 0.0, 1.0}));
  const std::uint8_t* p = frame.imageData()->data() + 6 * QVSImageUtil::kBytesPerRow + 5 * 4;
  EXPECT_EQ(p[3], 77);
  // The frame it was made from is shared read-only and keeps its bytes.
  EXPECT_EQ((*original)[6 * QVSImageUtil::kBytesPerRow + 5 * 4 + 2], 3);
  // Later changes go into the same copy; outside the frame nothing happens.
  const auto copy = frame.imageData().get();
  frame.setColour(qv::Colour::white(), 0.0, 0.0);
  frame.setColour(qv::Colour::white(), 1280.0, 0.0);
  frame.setColour(qv::Colour::white(), -1.0, 0.0);
  EXPECT_EQ(frame.imageData().get(), copy);
  EXPECT_EQ(frame.colourAtPoint(0.0, 0.0), qv::Colour::white());
  QVSImageUtil empty;
  empty.setColour(qv::Colour::white(), 0.0, 0.0);
  EXPECT_FALSE(empty.imageData());
}

TEST(ImageUtil, DisplayableImageIsACopyOfTheFrame) {
  const qv::Data data = patternFrame();
  const cv::Mat image = QVSImageUtil::imageFromImageData(data);
  ASSERT_EQ(image.rows, 960);
  ASSERT_EQ(image.cols, 1280);
  ASSERT_EQ(image.type(), CV_8UC4);
  EXPECT_EQ(image.at<cv::Vec4b>(300, 700), cv::Vec4b(300 % 256, 700 % 256, (300 + 700) % 256, 255));
  EXPECT_TRUE(QVSImageUtil::imageFromImageData(qv::Data(100, 0)).empty());
}

class ImageFiles : public testing::Test {
protected:
  void SetUp() override {
    const char* previous = std::getenv("XDG_DATA_HOME");
    if (previous) previous_ = previous;
    hadPrevious_ = previous != nullptr;
    ::setenv("XDG_DATA_HOME", scratch_.path().c_str(), 1);
    library_ = scratch_.path() / "Quorvel";
  }
  void TearDown() override {
    if (hadPrevious_) ::setenv("XDG_DATA_HOME", previous_.c_str(), 1);
    else ::unsetenv("XDG_DATA_HOME");
  }
  qv::test::TempFolder scratch_;
  fs::path library_;
  std::string previous_;
  bool hadPrevious_ = false;
};

TEST_F(ImageFiles, PngAndJpgGetTheirExtensionUnlessTheyHaveIt) {
  const qv::Data data = patternFrame();
  QVSImageUtil::savePngImage(data, scratch_.path() / "capitals.PNG");
  EXPECT_TRUE(fs::is_regular_file(scratch_.path() / "capitals.PNG"));
  QVSImageUtil::savePngImage(data, scratch_.path() / "picture.tiff");
  EXPECT_TRUE(fs::is_regular_file(scratch_.path() / "picture.tiff.png"));
  QVSImageUtil::saveJpgImage(data, scratch_.path() / "photo");
  EXPECT_TRUE(fs::is_regular_file(scratch_.path() / "photo.jpg"));

  const cv::Mat png = cv::imread((scratch_.path() / "capitals.PNG").string(), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(png.type(), CV_8UC4);
  EXPECT_EQ(png.at<cv::Vec4b>(17, 33), cv::Vec4b(17, 33, 50, 255));
  const cv::Mat jpg = cv::imread((scratch_.path() / "photo.jpg").string(), cv::IMREAD_COLOR);
  EXPECT_EQ(jpg.rows, 960);
  EXPECT_EQ(jpg.cols, 1280);
}

TEST_F(ImageFiles, InvertedImagesAreFlippedTopToBottom) {
  const qv::Data data = patternFrame();
  QVSImageUtil::saveInvertedPngImage(data, scratch_.path() / "flipped.png");
  const cv::Mat png = cv::imread((scratch_.path() / "flipped.png").string(), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(png.rows, 960);
  EXPECT_EQ(png.at<cv::Vec4b>(0, 33), cv::Vec4b(959 % 256, 33, (959 + 33) % 256, 255));
  EXPECT_EQ(png.at<cv::Vec4b>(959, 33), cv::Vec4b(0, 33, 33, 255));
  QVSImageUtil::saveInvertedJpgImage(data, scratch_.path() / "flipped");
  EXPECT_TRUE(fs::is_regular_file(scratch_.path() / "flipped.jpg"));
}

TEST_F(ImageFiles, AnExistingFileIsReplacedAndAFolderOrAShortFrameLeftAlone) {
  const fs::path path = scratch_.path() / "frame.png";
  std::ofstream(path) << "old";
  QVSImageUtil::savePngImage(patternFrame(), path);
  EXPECT_GT(fs::file_size(path), 100u);
  fs::create_directory(scratch_.path() / "folder.png");
  QVSImageUtil::savePngImage(patternFrame(), scratch_.path() / "folder.png");
  EXPECT_TRUE(fs::is_directory(scratch_.path() / "folder.png"));
  QVSImageUtil::savePngImage(qv::Data(1000, 0), scratch_.path() / "short.png");
  EXPECT_FALSE(fs::exists(scratch_.path() / "short.png"));
}

TEST_F(ImageFiles, OutputFolderNeedsTheLibraryFolder) {
  EXPECT_FALSE(QVSImageUtil::outputFolder());
  fs::create_directory(library_);
  const auto folder = QVSImageUtil::outputFolder();
  ASSERT_TRUE(folder);
  EXPECT_EQ(*folder, library_ / "QRZ");
  EXPECT_TRUE(fs::is_directory(*folder));
}

TEST_F(ImageFiles, SavedImageDataMakesItsFoldersAndWritesRawAndPng) {
  fs::create_directory(library_);
  const qv::Data data = patternFrame();
  QVSImageUtil::saveImageData(data, "Tuning/0001/ReferenceImage");
  const fs::path folder = library_ / "QRZ" / "Tuning" / "0001";
  ASSERT_TRUE(fs::is_regular_file(folder / "ReferenceImage.raw"));
  EXPECT_EQ(fs::file_size(folder / "ReferenceImage.raw"), QVSImageUtil::kFrameBytes);
  EXPECT_TRUE(fs::is_regular_file(folder / "ReferenceImage.png"));

  // A raw file already there is replaced; a folder there stops the write.
  std::ofstream(folder / "Second.raw") << "old";
  QVSImageUtil::saveImageData(data, "Tuning/0001/Second");
  EXPECT_EQ(fs::file_size(folder / "Second.raw"), QVSImageUtil::kFrameBytes);
  fs::create_directory(folder / "Third.raw");
  QVSImageUtil::saveImageData(data, "Tuning/0001/Third");
  EXPECT_FALSE(fs::exists(folder / "Third.png"));

  // A file where a folder should be ends the walk quietly; names leaving the folder are refused.
  std::ofstream(library_ / "QRZ" / "Blocked") << "file";
  QVSImageUtil::saveImageData(data, "Blocked/Inner/Image");
  EXPECT_FALSE(fs::exists(library_ / "QRZ" / "Blocked" / "Inner"));
  QVSImageUtil::saveImageData(data, "../Escaped");
  EXPECT_FALSE(fs::exists(library_ / "Escaped.raw"));
  QVSImageUtil::saveImageData({}, "Empty");
  QVSImageUtil::saveImageData(data, "");
  EXPECT_FALSE(fs::exists(library_ / "QRZ" / "Empty.raw"));
}
