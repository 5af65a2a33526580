// The bed-aligned copy of a calibration: a rigid motion that puts the bed axis on +Y.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "records/QVSCalibrationDetails.h"

namespace {

// A scanner as calibrated: camera at the origin looking down -Z, bed and lasers in front of it.
QVSCalibrationDetails scannerWithBedNormal(const Eigen::Vector3d& bed_normal) {
  QVSCalibrationDetails r;
  r.setBedNormalX(static_cast<float>(bed_normal.x()));
  r.setBedNormalY(static_cast<float>(bed_normal.y()));
  r.setBedNormalZ(static_cast<float>(bed_normal.z()));
  r.setBedOriginX(3.25f);
  r.setBedOriginY(-95.5f);
  r.setBedOriginZ(-302.0f);
  r.setCameraOriginX(0.5f);
  r.setCameraOriginY(-1.0f);
  r.setCameraOriginZ(2.0f);
  r.setCameraUpX(0.0f);
  r.setCameraUpY(0.96f);
  r.setCameraUpZ(0.28f);
  r.setLeadScrewNormalX(0.02f);
  r.setLeadScrewNormalY(0.97f);
  r.setLeadScrewNormalZ(0.24f);
  r.setLaser1NormalX(0.87f);
  r.setLaser1NormalY(0.01f);
  r.setLaser1NormalZ(0.49f);
  r.setLaser1OriginX(-66.0f);
  r.setLaser1OriginY(4.0f);
  r.setLaser1OriginZ(-7.0f);
  r.setLaser2NormalX(-0.86f);
  r.setLaser2NormalY(0.02f);
  r.setLaser2NormalZ(0.51f);
  r.setLaser2OriginX(33.0f);
  r.setLaser2OriginY(3.0f);
  r.setLaser2OriginZ(3.5f);
  r.setIntrinsicFX(1401.123f);
  r.setIntrinsicFY(1399.5f);
  r.setIntrinsicCX(640.25f);
  r.setIntrinsicCY(481.75f);
  r.setDistortion0(-0.1234567f);
  r.setDistortion1(0.0456f);
  r.setDistortion2(1.0e-4f);
  r.setDistortion3(-2.5e-5f);
  r.setUniqueId("6BA7B810-9DAD-11D1-80B4-00C04FD430C8");
  return r;
}

std::vector<Eigen::Vector3d> points(const QVSCalibrationDetails& r) {
  return {r.bedOrigin(), r.cameraOrigin(), r.laser1Origin(), r.laser2Origin()};
}

std::vector<Eigen::Vector3d> directions(const QVSCalibrationDetails& r) {
  return {r.bedNormal().normalized(), r.cameraNormal().normalized(), r.cameraUp().normalized(),
          r.leadScrewNormal().normalized(), r.laser1Normal().normalized(), r.laser2Normal().normalized()};
}

void expectVectorNear(const Eigen::Vector3d& actual, const Eigen::Vector3d& expected, double tolerance) {
  EXPECT_LT((actual - expected).norm(), tolerance) << "actual " << actual.transpose() << ", expected "
                                                   << expected.transpose();
}

// Float storage of values up to ~330 mm: about 3e-5 mm of rounding each.
constexpr double kPointTolerance = 1e-4;
constexpr double kDirectionTolerance = 1e-6;

}  // namespace

struct Bed {
  const char* name;
  Eigen::Vector3d normal;
};

void PrintTo(const Bed& bed, std::ostream* os) { *os << bed.name; }

class TiltedBed : public ::testing::TestWithParam<Bed> {};

TEST_P(TiltedBed, KeepsDistancesAndAnglesAndPutsTheBedAxisOnY) {
  const QVSCalibrationDetails before = scannerWithBedNormal(GetParam().normal);
  const auto after = before.calibrationAdjustedToBedOrientation();
  ASSERT_NE(after, nullptr);

  expectVectorNear(after->bedNormal(), Eigen::Vector3d::UnitY(), kDirectionTolerance);
  expectVectorNear(after->bedOrigin(), Eigen::Vector3d::Zero(), kPointTolerance);

  const auto p0 = points(before), p1 = points(*after);
  const auto d0 = directions(before), d1 = directions(*after);
  for (const Eigen::Vector3d& d : d1) EXPECT_NEAR(d.norm(), 1.0, kDirectionTolerance);

  for (std::size_t i = 0; i < p0.size(); ++i) {
    // Distances from the bed origin, which lands on the origin.
    EXPECT_NEAR(p1[i].norm(), (p0[i] - before.bedOrigin()).norm(), kPointTolerance) << i;
    for (std::size_t j = 0; j < p0.size(); ++j) {
      EXPECT_NEAR((p1[i] - p1[j]).norm(), (p0[i] - p0[j]).norm(), kPointTolerance) << i << "," << j;
      // Offsets between points keep their angle to every direction (same motion for both).
      for (std::size_t k = 0; k < d0.size(); ++k) {
        EXPECT_NEAR((p1[i] - p1[j]).dot(d1[k]), (p0[i] - p0[j]).dot(d0[k]), kPointTolerance) << i << j << k;
      }
    }
  }
  for (std::size_t i = 0; i < d0.size(); ++i) {
    for (std::size_t j = 0; j < d0.size(); ++j) {
      EXPECT_NEAR(d1[i].dot(d1[j]), d0[i].dot(d0[j]), kDirectionTolerance) << i << "," << j;
    }
    // Handedness is kept: a rotation, never a mirror.
    for (std::size_t j = 0; j < d0.size(); ++j) {
      for (std::size_t k = 0; k < d0.size(); ++k) {
        EXPECT_NEAR(d1[i].cross(d1[j]).dot(d1[k]), d0[i].cross(d0[j]).dot(d0[k]), 1e-5);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    BedAlignedCalibration, TiltedBed,
    ::testing::Values(Bed{"TowardTheCamera", {0.0, 0.6, 0.8}},
                      Bed{"PointingDown", {0.0, -0.6, 0.8}},  // more than a right angle
                      Bed{"SmallRealTilt", Eigen::Vector3d(0.05, 0.97, -0.2).normalized()},
                      Bed{"LongNormal", {0.0, 1.2, 1.6}},      // |n| = 2
                      Bed{"ShortNormal", {0.3, 0.1, 0.2}},     // far from +Y and short
                      Bed{"InTheXZPlane", {-0.7, 0.0, 0.7}},
                      Bed{"AllButUpsideDown", {1e-4, -1.0, 0.0}}),
    [](const ::testing::TestParamInfo<Bed>& info) { return std::string(info.param.name); });

TEST(BedAlignedCalibration, CopiesTheCameraModelAndDropsTheIdentifier) {
  const QVSCalibrationDetails before = scannerWithBedNormal({0.0, 0.6, 0.8});
  const auto after = before.calibrationAdjustedToBedOrientation();
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(after->intrinsicFX(), before.intrinsicFX());
  EXPECT_EQ(after->intrinsicFY(), before.intrinsicFY());
  EXPECT_EQ(after->intrinsicCX(), before.intrinsicCX());
  EXPECT_EQ(after->intrinsicCY(), before.intrinsicCY());
  EXPECT_EQ(after->distortion0(), before.distortion0());
  EXPECT_EQ(after->distortion1(), before.distortion1());
  EXPECT_EQ(after->distortion2(), before.distortion2());
  EXPECT_EQ(after->distortion3(), before.distortion3());
  EXPECT_FALSE(after->uniqueId().has_value());

  // The receiver is not touched.
  const QVSCalibrationDetails pristine = scannerWithBedNormal({0.0, 0.6, 0.8});
  EXPECT_EQ(before.jsonDictionary(), pristine.jsonDictionary());
}

TEST(BedAlignedCalibration, KnownTiltTurnsTheCameraAboutX) {
  // For a bed normal of (0, 0.6, 0.8) the shortest turn onto +Y is acos(0.6) about n x Y = -X.
  const auto after = scannerWithBedNormal({0.0, 0.6, 0.8}).calibrationAdjustedToBedOrientation();
  ASSERT_NE(after, nullptr);
  const Eigen::Matrix3d expected = Eigen::AngleAxisd(std::acos(0.6), -Eigen::Vector3d::UnitX()).toRotationMatrix();
  expectVectorNear(after->cameraNormal(), expected * Eigen::Vector3d(0, 0, -1), kDirectionTolerance);
  expectVectorNear(after->cameraOrigin(),
                   expected * (Eigen::Vector3d(0.5, -1.0, 2.0) - Eigen::Vector3d(3.25, -95.5, -302.0)),
                   kPointTolerance);
}

TEST(BedAlignedCalibration, AlignedNormalOnlyShiftsTheOrigin) {
  for (const Eigen::Vector3d& normal : {Eigen::Vector3d(0, 1, 0), Eigen::Vector3d(0, 2.5, 0)}) {
    const QVSCalibrationDetails before = scannerWithBedNormal(normal);
    const auto after = before.calibrationAdjustedToBedOrientation();
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after->bedNormal(), Eigen::Vector3d(0, 1, 0));
    EXPECT_EQ(after->bedOrigin(), Eigen::Vector3d::Zero());
    expectVectorNear(after->laser1Origin(), before.laser1Origin() - before.bedOrigin(), kPointTolerance);
    expectVectorNear(after->cameraNormal(), Eigen::Vector3d(0, 0, -1), 0.0 + 1e-12);
    expectVectorNear(after->laser2Normal(), before.laser2Normal().normalized(), kDirectionTolerance);
  }
}

TEST(BedAlignedCalibration, OppositeNormalIsAHalfTurnAboutX) {
  const QVSCalibrationDetails before = scannerWithBedNormal({0, -1, 0});
  const auto after = before.calibrationAdjustedToBedOrientation();
  ASSERT_NE(after, nullptr);
  const Eigen::Vector3d flip(1, -1, -1);
  EXPECT_EQ(after->bedNormal(), Eigen::Vector3d(0, 1, 0));
  EXPECT_EQ(after->bedOrigin(), Eigen::Vector3d::Zero());
  expectVectorNear(after->cameraNormal(), Eigen::Vector3d(0, 0, 1), 1e-12);
  expectVectorNear(after->laser1Origin(), flip.cwiseProduct(before.laser1Origin() - before.bedOrigin()),
                   kPointTolerance);
}

TEST(BedAlignedCalibration, BedWithoutANormalIsAnError) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (const Eigen::Vector3f& normal : {Eigen::Vector3f(0, 0, 0), Eigen::Vector3f(nan, 1, 0),
                                        Eigen::Vector3f(0, inf, 0), Eigen::Vector3f(0, 0, -inf)}) {
    QVSCalibrationDetails record;  // a fresh record has a zero bed normal
    record.setBedNormalX(normal.x());
    record.setBedNormalY(normal.y());
    record.setBedNormalZ(normal.z());
    qv::Error error;
    EXPECT_EQ(record.calibrationAdjustedToBedOrientation(&error), nullptr);
    EXPECT_EQ(error.domain, qv::kScanErrorDomain);
    EXPECT_EQ(error.code, QVSCalibrationDetails::kNoBedFrameErrorCode);
    EXPECT_FALSE(error.description.empty());
    EXPECT_EQ(record.calibrationAdjustedToBedOrientation(), nullptr);  // no error wanted: still safe
  }
}

TEST(BedAlignedCalibration, UnsetDirectionsStayZero) {
  // A record from an older scanner has no lead-screw or laser normals; they must not turn into
  // not-a-number in the copy the store keeps.
  QVSCalibrationDetails record;
  record.setBedNormalY(0.6f);
  record.setBedNormalZ(0.8f);
  const auto after = record.calibrationAdjustedToBedOrientation();
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(after->leadScrewNormal(), Eigen::Vector3d::Zero());
  EXPECT_EQ(after->laser1Normal(), Eigen::Vector3d::Zero());
  EXPECT_EQ(after->laser2Normal(), Eigen::Vector3d::Zero());
  EXPECT_TRUE(after->cameraNormal().allFinite());
}
