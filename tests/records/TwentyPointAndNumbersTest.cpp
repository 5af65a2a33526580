// The twenty-point record's pose helpers and the number rules of the records' file forms.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>

#include "records/QVLTwentyPointCalibration.h"
#include "records/RecordNumbers.h"

TEST(TwentyPoint, ClearedRecordIsIdentityPoseAndAllZero) {
  QVLTwentyPointCalibration record;
  record.found = true;
  record.headHeight = 42.0f;
  record.headPosition = 2;
  record.rotationVector = {0.1, 0.2, 0.3};
  record.translation = {1, 2, 3};
  record.checkerboardCoordinates3D[19] = {4, 5, 6};
  record.checkerboardCoordinates2D[7] = {8, 9};
  record.intrinsics[3] = 480.0f;
  record.rotation(1, 2) = 0.5f;
  clearCalibrationPoseRecord(record);

  EXPECT_FALSE(record.found);
  EXPECT_EQ(record.headHeight, 0.0f);
  EXPECT_EQ(record.headPosition, 0);
  EXPECT_TRUE(record.checkerboardCoordinates3D[19].isZero(0.0));
  EXPECT_TRUE(record.checkerboardCoordinates2D[7].isZero(0.0));
  EXPECT_TRUE(record.rotation.isZero(0.0));
  EXPECT_EQ(record.intrinsics[3], 0.0f);

  const cv::Mat rotation = rotationMatrixFromPoseRecord(record);
  ASSERT_EQ(rotation.type(), CV_32FC1);
  ASSERT_EQ(rotation.rows, 3);
  ASSERT_EQ(rotation.cols, 3);
  EXPECT_EQ(cv::norm(rotation, cv::Mat::eye(3, 3, CV_32FC1), cv::NORM_INF), 0.0);

  const cv::Mat translation = translationMatrixFromPoseRecord(record);
  ASSERT_EQ(translation.type(), CV_32FC1);
  ASSERT_EQ(translation.rows, 3);
  ASSERT_EQ(translation.cols, 1);
  EXPECT_EQ(cv::countNonZero(translation), 0);
}

TEST(TwentyPoint, PoseBecomesSinglePrecisionMatrices) {
  QVLTwentyPointCalibration record;
  const Eigen::Vector3d axis = Eigen::Vector3d(1, -2, 0.5).normalized();
  const double angle = 0.7;
  record.rotationVector = axis * angle;
  record.translation = {12.345678901, -0.1, 310.0};

  const cv::Mat rotation = rotationMatrixFromPoseRecord(record);
  const Eigen::Matrix3d expected = Eigen::AngleAxisd(angle, axis).toRotationMatrix();
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(rotation.at<float>(r, c), expected(r, c), 1e-6) << r << c;

  const cv::Mat translation = translationMatrixFromPoseRecord(record);
  EXPECT_EQ(translation.at<float>(0, 0), static_cast<float>(12.345678901));
  EXPECT_EQ(translation.at<float>(1, 0), -0.1f);
  EXPECT_EQ(translation.at<float>(2, 0), 310.0f);
}

TEST(TwentyPoint, RecordsOnTheHeapAreAligned) {
  auto record = std::make_unique<QVLTwentyPointCalibration>();
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(record->checkerboardCoordinates2D.data()) % 16, 0u);
  std::vector<QVLTwentyPointCalibration> views(3);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(views[1].checkerboardCoordinates2D.data()) % 16, 0u);
}

TEST(RecordNumbers, LeadingDecimalNumber) {
  EXPECT_EQ(qv::leadingDecimalNumber("12.5mm"), 12.5);
  EXPECT_EQ(qv::leadingDecimalNumber("  -3e2x"), -300.0);
  EXPECT_EQ(qv::leadingDecimalNumber("+.5"), 0.5);
  EXPECT_EQ(qv::leadingDecimalNumber("-7."), -7.0);
  EXPECT_EQ(qv::leadingDecimalNumber("2e"), 2.0);   // an exponent needs digits
  EXPECT_EQ(qv::leadingDecimalNumber("2e+"), 2.0);
  EXPECT_EQ(qv::leadingDecimalNumber("0x10"), 0.0);  // no hexadecimal
  EXPECT_EQ(qv::leadingDecimalNumber("1,5"), 1.0);   // whatever the locale, "." is the point
  EXPECT_EQ(qv::leadingDecimalNumber("1e-400"), 0.0);
  EXPECT_EQ(qv::leadingDecimalNumber("0.0000000000000000000000000000001e-300"), 0.0);
  for (const char* none : {"", " ", "-", ".", "e5", "abc", "nan", "inf", "-infinity", "1e400", "-1e999"}) {
    EXPECT_FALSE(qv::leadingDecimalNumber(none).has_value()) << none;
  }
}

TEST(RecordNumbers, FloatsAreWrittenShortAndReadBackExactly) {
  EXPECT_EQ(qv::doubleForFloat(-66.7249f), -66.7249);
  EXPECT_EQ(qv::doubleForFloat(0.1f), 0.1);
  EXPECT_EQ(qv::doubleForFloat(3.0f), 3.0);
  std::mt19937 random(11);
  std::uniform_int_distribution<std::uint32_t> bits;
  for (int i = 0; i < 100000; ++i) {
    const std::uint32_t pattern = bits(random);
    float value;
    std::memcpy(&value, &pattern, sizeof value);
    if (!std::isfinite(value)) continue;
    const double written = qv::doubleForFloat(value);
    ASSERT_EQ(static_cast<float>(written), value) << pattern;
  }
  EXPECT_TRUE(std::isnan(qv::doubleForFloat(std::numeric_limits<float>::quiet_NaN())));
}

TEST(RecordNumbers, ValuesAsNumbers) {
  EXPECT_EQ(qv::numberFromValue(qv::Value(2.5)), 2.5);
  EXPECT_EQ(qv::numberFromValue(qv::Value(7)), 7.0);
  EXPECT_EQ(qv::numberFromValue(qv::Value("4.25 mm")), 4.25);
  EXPECT_EQ(qv::numberFromValue(qv::Value("none")), 0.0);
  EXPECT_FALSE(qv::numberFromValue(qv::Value()).has_value());
  EXPECT_FALSE(qv::numberFromValue(qv::Value(true)).has_value());
  EXPECT_FALSE(qv::numberFromValue(qv::Value(qv::Array{qv::Value(1)})).has_value());
  EXPECT_FALSE(qv::numberFromValue(qv::Value(std::numeric_limits<double>::quiet_NaN())).has_value());
  EXPECT_TRUE(qv::valueForNumber(std::numeric_limits<double>::infinity()).isNull());
  EXPECT_EQ(qv::valueForNumber(1.5), qv::Value(1.5));
}
