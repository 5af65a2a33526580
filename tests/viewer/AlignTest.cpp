// The alignment of two scans: recovering a known pose, the decisions of the ratio search, the
// reference points, and moving vertex data by a matrix.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "viewer/AlignmentScans.h"
#include "viewer/ViewerTestSupport.h"
#include "viewer/model/QVLAlign.h"

namespace {

std::span<const std::uint8_t> bytesOf(const qv::SharedData& data) { return {data->data(), data->size()}; }

// One list naming every record but record 0.
QVLAlign::ReferenceSet allRecords(std::size_t records) {
  std::vector<std::uint32_t> list;
  for (std::uint32_t i = 1; i < records; ++i) list.push_back(i);
  return {indexBytes(list)};
}

struct Recovery {
  const char* name;
  qv::test::ScanOptions second;
  double rotationLimit_deg, translationLimit_mm;
};

class AlignRecovery : public ::testing::TestWithParam<Recovery> {};

TEST_P(AlignRecovery, FindsTheKnownPoseWithinTolerance) {
  const Recovery& c = GetParam();
  qv::test::ScanOptions first;
  first.points = c.second.points;
  first.noiseSigma_mm = c.second.noiseSigma_mm;
  first.seed = 7;
  first.objectHeight_mm = c.second.objectHeight_mm;
  const auto truth = qv::test::knownFirstFromSecond();
  const auto base = qv::test::scanOfObject(Eigen::Isometry3d::Identity(), first);
  const auto moved = qv::test::scanOfObject(truth, c.second);
  const auto baseBytes = vertexBytes(base), movedBytes = vertexBytes(moved);

  QVLAlign::Matrix m{};
  ASSERT_TRUE(QVLAlign::alignTargetScanObject(bytesOf(movedBytes), allRecords(moved.size()), bytesOf(baseBytes),
                                              allRecords(base.size()), &m));
  const auto error = qv::test::poseError(m.data(), truth);
  EXPECT_LT(error.rotation_deg, c.rotationLimit_deg);
  EXPECT_LT(error.translation_mm, c.translationLimit_mm);
}

INSTANTIATE_TEST_SUITE_P(Scans, AlignRecovery,
                         ::testing::Values(Recovery{"NoiseFree", {20000, 0.0, 0.0, 11}, 1.0, 1.0},
                                           Recovery{"Noisy", {20000, 0.1, 0.0, 12}, 2.0, 2.0},
                                           Recovery{"Cropped", {20000, 0.1, 0.3, 13}, 2.0, 2.0},
                                           // Normals face the origin, which here lies inside the object.
                                           Recovery{"CentredOnOrigin", {20000, 0.0, 0.0, 14, 0.0}, 1.0, 1.0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Align, CoincidingScansAreNoAlignmentAndGiveTheIdentity) {
  const auto scan = vertexBytes(qv::test::scanOfObject(Eigen::Isometry3d::Identity(), {3000, 0, 0, 3}));
  const auto refs = allRecords(scan->size() / 44);
  QVLAlign::Matrix m{};
  m[3] = 42;
  EXPECT_FALSE(QVLAlign::alignTargetScanObject(bytesOf(scan), refs, bytesOf(scan), refs, &m));
  EXPECT_EQ(m, QVLAlign::identity());
}

// Counts and outcomes chosen at will, to check what the search makes of them.
struct ScriptedSteps {
  std::vector<std::int32_t> counts;   // per coarse call
  std::vector<QVLIcpOutcome> fines;   // per refinement
  int coarseCalls = 0, refineCalls = 0;
  QVLAlign::Steps steps() {
    QVLAlign::Steps s;
    s.coarse = [this](auto, auto, auto, auto, float* m, auto, float* leaf, std::int32_t* count, float) {
      const auto all = QVLAlign::identity();
      std::copy(all.begin(), all.end(), m);
      m[3] = 5;
      *leaf = 2;
      *count = counts[static_cast<std::size_t>(coarseCalls++)];
    };
    s.refine = [this](auto, auto, auto, auto, float* m, auto, auto, auto) {
      m[7] = 9;
      return fines[static_cast<std::size_t>(refineCalls++)];
    };
    return s;
  }
};

TEST(Align, TheSearchTakesTheFirstRatioWhoseRefinementHoldsAndRefusesTheRest) {
  const auto scan = vertexBytes({QVLScanVertex{}, vertexAt(1, 2, 3)});
  const auto refs = allRecords(2);
  const QVLIcpOutcome good{true, 12, 0.9, 0.1, 500}, diverged{false, 1000, 0.9, 0.1, 500},
      offTheScan{true, 30, 0.05, 0.1, 500};
  QVLAlign::Matrix m{};

  ScriptedSteps twenty{{20, 20, 20, 20, 20, 20}, {}};
  EXPECT_FALSE(QVLAlign::alignTargetScanObject(bytesOf(scan), refs, bytesOf(scan), refs, &m, twenty.steps()));
  EXPECT_EQ(twenty.coarseCalls, 6);
  EXPECT_EQ(twenty.refineCalls, 0);
  EXPECT_EQ(m, QVLAlign::identity());

  ScriptedSteps first{{21}, {good}};
  EXPECT_TRUE(QVLAlign::alignTargetScanObject(bytesOf(scan), refs, bytesOf(scan), refs, &m, first.steps()));
  EXPECT_EQ(first.coarseCalls, 1);
  EXPECT_EQ(first.refineCalls, 1);
  EXPECT_EQ(m[3], 5);  // the coarse matrix, refined
  EXPECT_EQ(m[7], 9);

  // A refinement that diverged or left the moved scan off the fixed one is no alignment: the
  // next ratio is tried, and with none left the answer is no.
  ScriptedSteps refused{{50, 50, 0, 50, 0, 0}, {diverged, offTheScan, good}};
  EXPECT_TRUE(QVLAlign::alignTargetScanObject(bytesOf(scan), refs, bytesOf(scan), refs, &m, refused.steps()));
  EXPECT_EQ(refused.coarseCalls, 4);
  EXPECT_EQ(refused.refineCalls, 3);
  ScriptedSteps none{{50, 50, 50, 50, 50, 50}, {diverged, diverged, offTheScan, diverged, offTheScan, diverged}};
  EXPECT_FALSE(QVLAlign::alignTargetScanObject(bytesOf(scan), refs, bytesOf(scan), refs, &m, none.steps()));
  EXPECT_EQ(m, QVLAlign::identity());
}

TEST(Align, ReferencePointsSkipIndexZeroTheOriginAndWhatIsNotFinite) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const auto scan = vertexBytes({vertexAt(4, 4, 4), vertexAt(0, 0, 0), vertexAt(0, 0, 0.000001f), vertexAt(nan, 1, 1),
                                 vertexAt(1, inf, 1), vertexAt(7, 8, 9)});
  // Index 0 (a valid position) never yields a point; 9 is out of range; 5 is listed twice.
  const QVLAlign::ReferenceSet refs{indexBytes({0, 1, 2, 3, 4, 9, 5}), qv::SharedData(), indexBytes({5})};
  std::int32_t count = -1;
  std::vector<QVLAlignmentPoint> points;
  ASSERT_TRUE(QVLAlign::buildPointDataFromSourceData(bytesOf(scan), refs, &count, &points));
  ASSERT_EQ(count, 3);
  EXPECT_FLOAT_EQ(points[0].z, 0.000001f);
  EXPECT_FLOAT_EQ(points[1].x, 7);
  EXPECT_FLOAT_EQ(points[2].z, 9);

  // Never more points than records, however long the lists.
  const auto two = vertexBytes({QVLScanVertex{}, vertexAt(1, 1, 1)});
  ASSERT_TRUE(QVLAlign::buildPointDataFromSourceData(bytesOf(two), {indexBytes({1, 1, 1}), indexBytes({1})}, &count,
                                                     &points));
  EXPECT_EQ(count, 2);

  // A buffer of less than one record builds nothing and aligns nothing.
  const std::vector<std::uint8_t> partial(43, 1);
  count = -1;
  EXPECT_FALSE(QVLAlign::buildPointDataFromSourceData(partial, refs, &count, &points));
  EXPECT_EQ(count, -1);
  QVLAlign::Matrix m{};
  m[0] = 3;
  EXPECT_FALSE(QVLAlign::alignTargetScanObject(partial, refs, bytesOf(scan), refs, &m));
  EXPECT_EQ(m[0], 3);  // untouched
}

TEST(Align, MatricesMovePositionsAndTurnNormalsWithoutTheirScale) {
  // A uniform scale of 2 after a quarter turn about y, and a shift.
  const QVLAlign::Matrix m{0, 0, 2, 1, 0, 2, 0, 2, -2, 0, 0, 3, 0, 0, 0, 1};
  float p[3] = {1, 0, 0};
  QVLAlign::applyMatrixToVertex(m, p);
  EXPECT_FLOAT_EQ(p[0], 1);
  EXPECT_FLOAT_EQ(p[2], 1);
  // Only the exact origin and non-finite positions stay where they are.
  float nearOrigin[3] = {0, 0, 0.000001f}, origin[3] = {0, 0, 0};
  float notFinite[3] = {std::numeric_limits<float>::quiet_NaN(), 1, 1};
  QVLAlign::applyMatrixToVertex(m, nearOrigin);
  QVLAlign::applyMatrixToVertex(m, origin);
  QVLAlign::applyMatrixToVertex(m, notFinite);
  EXPECT_FLOAT_EQ(nearOrigin[0], 1.000002f);
  EXPECT_EQ(origin[0], 0);
  EXPECT_EQ(notFinite[1], 1);

  float n[3] = {0.6f, 0, 0};  // not unit: turned, not rescaled
  QVLAlign::applyMatrixToNormal(m, n);
  EXPECT_NEAR(n[0], 0, 1e-6);
  EXPECT_NEAR(n[2], -0.6f, 1e-6);
  float zero[3] = {0, 0, 0};
  QVLAlign::applyMatrixToNormal(m, zero);
  EXPECT_EQ(zero[2], 0);

  QVLScanVertex v = vertexAt(1, 0, 0, 7);
  v.normalX = 3;
  v.normalZ = 0;
  QVLScanVertex still = vertexAt(0, 0, 0);
  still.normalZ = 0;
  const auto moved = QVLAlign::applyMatrixToVertexData(m, bytesOf(vertexBytes({v, still})));
  QVLScanVertex out[2];
  ASSERT_EQ(moved.size(), sizeof out);
  std::memcpy(out, moved.data(), sizeof out);
  EXPECT_FLOAT_EQ(out[0].point3DZ, 1);
  EXPECT_NEAR(out[0].normalZ, -1, 1e-6);  // unit length in buffers
  EXPECT_EQ(out[0].lookupId, 7);
  EXPECT_EQ(std::memcmp(&out[1], &still, sizeof still), 0);

  const std::vector<std::uint8_t> partial(43, 9);
  EXPECT_EQ(QVLAlign::applyMatrixToVertexData(m, partial), partial);
}

}  // namespace
