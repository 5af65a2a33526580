// The scan's numeric rules at their edges: exposure choice, adaptive steps, the pass decision,
// normals of analytic surfaces, the texture pose, and the two-detection confirmation.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <future>
#include <stdexcept>
#include <thread>

#include "acquisition/AdaptiveRotation.h"
#include "acquisition/ExposureSelection.h"
#include "acquisition/LaserPointConfirmation.h"
#include "acquisition/SurfaceNormals.h"
#include "acquisition/TexturePose.h"
#include "platform/ParallelFor.h"
#include "platform/Queue.h"
#include "records/QVSCalibrationDetails.h"
#include "store/VertexRecords.h"

namespace {

QVLExposureQuality quality(int exposure, int found, int over) {
  QVLExposureQuality q({exposure});
  for (int i = 0; i < found; ++i) q.foundPoints.emplace_back(100.0f, i);
  for (int i = 0; i < over; ++i) q.overExposedPoints.emplace_back(100.0f, 500 + i);
  return q;
}

}  // namespace

TEST(ExposureRules, SingleComplementaryAndCalibrationRulesAtTheirEdges) {
  // 104 does not beat 100 by more than 5 % of itself; 106 does.
  EXPECT_EQ(qv::chooseSingleExposure({quality(10, 100, 0), quality(20, 104, 0)}), 0u);
  EXPECT_EQ(qv::chooseSingleExposure({quality(10, 100, 0), quality(20, 106, 0)}), 1u);
  // Nine over-exposed rows are allowed, ten are not.
  EXPECT_EQ(qv::chooseSingleExposure({quality(10, 50, 9)}), 0u);
  EXPECT_FALSE(qv::chooseSingleExposure({quality(10, 50, 10)}));
  EXPECT_FALSE(qv::chooseSingleExposure({quality(10, 0, 0)}));
  // Twenty over-exposed rows between both lasers pass, twenty-one do not.
  EXPECT_EQ(qv::chooseComplementaryExposure({quality(10, 80, 10)}, {quality(10, 80, 10)}), 0u);
  EXPECT_FALSE(qv::chooseComplementaryExposure({quality(10, 80, 11)}, {quality(10, 80, 10)}));
  // The first index reaching 751 points wins even when a later one finds more; 750 is too few.
  EXPECT_EQ(qv::chooseCalibrationExposure({quality(10, 375, 0), quality(20, 400, 0), quality(30, 900, 0)},
                                          {quality(10, 375, 0), quality(20, 351, 0), quality(30, 900, 0)}),
            1u);
  EXPECT_FALSE(qv::chooseCalibrationExposure({quality(10, 375, 0)}, {quality(10, 375, 0)}));
}

TEST(ExposureRules, CombinedExposuresAndTheLaserOffChoice) {
  auto a = quality(10, 0, 0);
  a.foundPoints = {QVSImageLaserPoint(1.0f, 5), QVSImageLaserPoint(1.0f, 6)};
  a.overExposedPoints = {QVSImageLaserPoint(2.0f, 7)};
  auto b = quality(20, 0, 0);
  b.foundPoints = {QVSImageLaserPoint(9.0f, 6), QVSImageLaserPoint(9.0f, 7)};
  b.overExposedPoints = {QVSImageLaserPoint(3.0f, 8)};
  const auto all = qv::withCombinedExposures({a, b});
  ASSERT_EQ(all.size(), 3u);
  const auto& pair = all[2];
  EXPECT_EQ(pair.exposures, (std::vector<int>{10, 20}));
  ASSERT_EQ(pair.foundPoints.size(), 3u);
  for (const auto& p : pair.foundPoints)
    if (p.y() == 6) {
      EXPECT_EQ(p.x(), 1.0f) << "the first exposure wins a shared row";
    }
  // Row 7 has a found point now, so only row 8 stays over-exposed.
  ASSERT_EQ(pair.overExposedPoints.size(), 1u);
  EXPECT_EQ(pair.overExposedPoints[0].y(), 8);
  // Combined results are not combined again.
  EXPECT_EQ(qv::withCombinedExposures(all).size(), 4u);

  // Laser-off frames of grey 150 and 164 are both 7 from 157: the earlier exposure stays.
  auto frame = [](std::uint8_t grey) {
    return std::make_shared<const QVSImageUtil>(qv::Data(QVSImageUtil::kFrameBytes, grey));
  };
  auto off1 = quality(100, 0, 0);
  off1.referenceImage = frame(150);
  auto off2 = quality(200, 0, 0);
  off2.referenceImage = frame(164);
  auto off3 = quality(300, 0, 0);
  off3.referenceImage = frame(200);
  const auto laser = quality(10, 20, 0);
  EXPECT_EQ(qv::chooseNonLaserExposure({off1, off2, off3}, &laser, &laser), 0u);
  EXPECT_EQ(qv::chooseNonLaserExposure({off3, off2}, &laser, &laser), 1u);

  // A laser whose choice holds no point, or that has no choice, says nothing of the frames: the
  // other laser's points alone choose grey 164, where counting the silent one as black would put
  // the mean at 82, 100 and 127 and take the frame of grey 254.
  auto off4 = quality(400, 0, 0);
  off4.referenceImage = frame(254);
  const auto silent = quality(10, 0, 0);
  EXPECT_EQ(qv::chooseNonLaserExposure({off2, off3, off4}, &laser, &silent), 0u);
  EXPECT_EQ(qv::chooseNonLaserExposure({off2, off3, off4}, &silent, &laser), 0u);
  EXPECT_EQ(qv::chooseNonLaserExposure({off2, off3, off4}, nullptr, &laser), 0u);
  // With no point at all, every frame is as far from the mark: the first stays.
  EXPECT_EQ(qv::chooseNonLaserExposure({off3, off2}, &silent, nullptr), 0u);
}

TEST(AdaptiveRotation, StepsFromTheAverageSliceDistance) {
  const qv::AdaptiveLimits limits;  // 0.125 .. 3.0, default 1.0
  EXPECT_FLOAT_EQ(qv::adaptiveAverageDistanceMax(0.125f, 3.0f), 1.1f);
  EXPECT_FLOAT_EQ(qv::adaptiveAverageDistanceMin(0.125f, 3.0f), 0.75f);
  // Close slices widen the step: 1.0 x 0.925 / 0.5.
  auto s = qv::adaptiveStep(0.5, 1.0f, limits);
  EXPECT_NEAR(s.rotation_deg, 1.85f, 1e-5);
  EXPECT_NEAR(s.interval_deg, 1.85f, 1e-5);
  // Far slices: n = ceil(2.0 / 0.925) = 3, step 1/3, turning back by 2/3.
  s = qv::adaptiveStep(2.0, 1.0f, limits);
  EXPECT_NEAR(s.interval_deg, 1.0f / 3.0f, 1e-6);
  EXPECT_NEAR(s.rotation_deg, 1.0f / 3.0f - 1.0f, 1e-6);
  // The band's edges keep the last step; no estimate gives the default; a zero step too.
  EXPECT_FLOAT_EQ(qv::adaptiveStep(0.75, 0.7f, limits).rotation_deg, 0.7f);
  EXPECT_FLOAT_EQ(qv::adaptiveStep(1.1, 0.7f, limits).rotation_deg, 0.7f);
  EXPECT_FLOAT_EQ(qv::adaptiveStep(std::nullopt, 0.7f, limits).rotation_deg, 1.0f);
  EXPECT_FLOAT_EQ(qv::adaptiveStep(0.9, 0.0f, limits).rotation_deg, 1.0f);
  // Limits: a tiny distance stops at the maximum, a huge one at the minimum.
  EXPECT_FLOAT_EQ(qv::adaptiveStep(0.01, 1.0f, limits).interval_deg, 3.0f);
  EXPECT_FLOAT_EQ(qv::adaptiveStep(500.0, 1.0f, limits).interval_deg, 0.125f);
  // A slice ahead: step over it when the last step would land within the minimum of it.
  EXPECT_FLOAT_EQ(qv::stepPastSliceAhead(10.0f, 1.0f, 11.05f, limits).rotation_deg, 2.0f);
  EXPECT_FLOAT_EQ(qv::stepPastSliceAhead(10.0f, 1.0f, 12.0f, limits).rotation_deg, 1.0f);

  // The distance between two blocks counts only rows where both have a point.
  qv::SliceBlock a{}, b{};
  a[3].point3DX = 1.0f;
  b[3].point3DX = 4.0f;
  b[3].point3DY = 4.0f;
  a[9].point3DX = 2.0f;  // no partner
  const auto d = qv::sliceBlockDistance(a, b);
  EXPECT_EQ(d.rows, 1u);
  EXPECT_DOUBLE_EQ(*d.average(), 5.0);
}

TEST(PassDecision, RaisesClampsAndEnds) {
  // lo 0, hi 90: 50 raises by the interval; 40 raises to 65 mm; 20 completes.
  auto d = qv::decidePassEnd(50.0f, 0.0f, 90.0f, 10.0f, 30.0f);
  EXPECT_TRUE(d.anotherPass);
  EXPECT_FLOAT_EQ(d.raise_mm, 30.0f);
  d = qv::decidePassEnd(40.0f, 0.0f, 90.0f, 10.0f, 30.0f);
  EXPECT_FLOAT_EQ(d.raise_mm, 55.0f);
  EXPECT_FLOAT_EQ(qv::decidePassEnd(40.5f, 0.0f, 90.0f, 10.0f, 30.0f).raise_mm, 56.0f);  // rounds half away
  EXPECT_FALSE(qv::decidePassEnd(20.0f, 0.0f, 90.0f, 10.0f, 30.0f).anotherPass);
  EXPECT_FALSE(qv::decidePassEnd(std::nullopt, 0.0f, 90.0f, 10.0f, 30.0f).anotherPass);
  // The 185 mm limit: cut to end there exactly; at the limit the scan completes.
  d = qv::decidePassEnd(50.0f, 0.0f, 90.0f, 170.0f, 30.0f);
  EXPECT_FLOAT_EQ(d.raise_mm, 15.0f);
  EXPECT_FALSE(qv::decidePassEnd(50.0f, 0.0f, 90.0f, 185.0f, 30.0f).anotherPass);
  // A raise of zero or less would repeat the pass for ever: the scan completes instead.
  EXPECT_FALSE(qv::decidePassEnd(50.0f, 0.0f, 90.0f, 10.0f, 0.0f).anotherPass);
  EXPECT_FALSE(qv::decidePassEnd(50.0f, 0.0f, 90.0f, 10.0f, -5.0f).anotherPass);
  EXPECT_FALSE(qv::decidePassEnd(31.0f, 0.0f, 90.0f, 80.0f, 30.0f).anotherPass);  // 31 + 25 is below the head
}

namespace {

// A grid of slices of an analytic surface seen from +z after each slice's turn, with each point's
// laser-direction normal pointing from a laser in front towards the point.
std::vector<QVLSliceVertex> analyticGrid(std::size_t slices, const std::function<Eigen::Vector3f(double, double)>& surface) {
  std::vector<QVLSliceVertex> grid(slices * 960);
  for (std::size_t s = 0; s < slices; ++s) {
    const double angle = 2.0 * M_PI * static_cast<double>(s) / static_cast<double>(slices);
    for (int r = 100; r < 860; ++r) {
      const double t = (r - 100) / 760.0;
      const Eigen::Vector3f p = surface(angle, t);
      QVLSliceVertex& v = grid[s * 960 + static_cast<std::size_t>(r)];
      v.point3DX = p.x();
      v.point3DY = p.y();
      v.point3DZ = p.z();
      // The laser sits outside the surface, on the side the point faces.
      const Eigen::Vector3f laser = Eigen::AngleAxisf(static_cast<float>(angle), Eigen::Vector3f::UnitY()) *
                                    Eigen::Vector3f(0.0f, p.y(), 300.0f);
      const Eigen::Vector3f fromLaser = (p - laser).normalized();
      v.normalX = fromLaser.x();
      v.normalY = fromLaser.y();
      v.normalZ = fromLaser.z();
      // The depth of the point turned back by its slice's angle, as triangulation stores it.
      v.unwrappedPointZ = (Eigen::AngleAxisf(static_cast<float>(-angle), Eigen::Vector3f::UnitY()) * p).z();
    }
  }
  return grid;
}

}  // namespace

TEST(SurfaceNormals, CylinderAndSphereWithinThreeDegreesSignedByTheirUnwrappedDepth) {
  // Seen from the front (unwrapped depth above 0) the grid's triangles give the normal that faces
  // into the surface: the orientation the mesher's facets follow and the STL reader negates, so
  // that the mesh shows its outside. A point behind the axis is negated to match.
  // Rows run down the image (y falls as the row grows); slices turn the bed, so the points of
  // slice s lie at angle s about the axis.
  auto cylinder = [](double angle, double t) {
    return Eigen::Vector3f(static_cast<float>(40.0 * std::sin(angle)), static_cast<float>(80.0 - 80.0 * t),
                           static_cast<float>(40.0 * std::cos(angle)));
  };
  auto sphere = [](double angle, double t) {
    const double polar = 0.2 + 2.7 * t;  // from near the top pole to near the bottom
    return Eigen::Vector3f(static_cast<float>(30.0 * std::sin(polar) * std::sin(angle)),
                           static_cast<float>(40.0 + 30.0 * std::cos(polar)),
                           static_cast<float>(30.0 * std::sin(polar) * std::cos(angle)));
  };
  for (int which = 0; which < 2; ++which) {
    auto grid = analyticGrid(180, which == 0 ? std::function<Eigen::Vector3f(double, double)>(cylinder) : sphere);
    qv::computeSliceGridNormals(grid, 180);
    double worst = 0.0;
    for (std::size_t i = 0; i < grid.size(); ++i) {
      const QVLSliceVertex& v = grid[i];
      // The first and last rows of the surface see neighbours on one side only.
      const std::size_t row = i % 960;
      if (!v.hasPoint() || row < 102 || row > 857) continue;
      const Eigen::Vector3d p(v.point3DX, v.point3DY, v.point3DZ);
      const Eigen::Vector3d truth =
          -(which == 0 ? Eigen::Vector3d(p.x(), 0.0, p.z()).normalized() : (p - Eigen::Vector3d(0, 40, 0)).normalized());
      const Eigen::Vector3d n(v.normalX, v.normalY, v.normalZ);
      ASSERT_NEAR(n.norm(), 1.0, 1e-4);
      worst = std::max(worst, std::acos(std::clamp(n.dot(truth), -1.0, 1.0)) * 180.0 / M_PI);
    }
    EXPECT_LT(worst, 3.0) << (which == 0 ? "cylinder" : "sphere");
    // The same surface with every point behind the axis: every normal turns round.
    auto behind = analyticGrid(180, which == 0 ? std::function<Eigen::Vector3f(double, double)>(cylinder) : sphere);
    for (auto& v : behind) v.unwrappedPointZ = -v.unwrappedPointZ;
    qv::computeSliceGridNormals(behind, 180);
    for (std::size_t i = 0; i < grid.size(); i += 97) {
      EXPECT_EQ(behind[i].normalX, -grid[i].normalX);
      EXPECT_EQ(behind[i].normalZ, -grid[i].normalZ);
    }
  }
}

TEST(SurfaceNormals, SingleSlicesAndIsolatedPointsGetTheZeroNormal) {
  std::vector<QVLSliceVertex> grid(960);
  for (int r = 10; r < 20; ++r) {
    grid[r].point3DX = 1.0f;
    grid[r].point3DY = static_cast<float>(r);
    grid[r].normalZ = 1.0f;
  }
  qv::computeSliceGridNormals(grid, 1);
  for (const auto& v : grid) {
    EXPECT_EQ(v.normalX, 0.0f);
    EXPECT_EQ(v.normalY, 0.0f);
    EXPECT_EQ(v.normalZ, 0.0f);
  }
  // Four slices, two of them empty: P and U in slice 1, L and LU in slice 0. Slices wrap, so the
  // search to the right finds slice 0 again three steps on; its lighter triangles leave the
  // normal of (L, U, P), the plane's.
  std::vector<QVLSliceVertex> two(4 * 960);
  auto put = [&](std::size_t s, int r, Eigen::Vector3f p) {
    two[s * 960 + r].point3DX = p.x();
    two[s * 960 + r].point3DY = p.y();
    two[s * 960 + r].point3DZ = p.z();
  };
  put(1, 500, {0, 0, 0.5f});     // P
  put(1, 499, {0, 1, 0.5f});     // U
  put(0, 500, {-1, 0, 0.5f});    // L
  put(0, 499, {-1, 1, 0.5f});    // LU
  two[960 + 500].unwrappedPointZ = 1.0f;
  qv::computeSliceGridNormals(two, 4);
  const QVLSliceVertex& p = two[960 + 500];
  EXPECT_TRUE(std::isfinite(p.normalX) && std::isfinite(p.normalY) && std::isfinite(p.normalZ));
  EXPECT_NEAR(std::fabs(p.normalZ), 1.0f, 1e-5);
}

TEST(TexturePose, ATiltedBedWorkedByHand) {
  QVSCalibrationDetails c;
  // A bed tilted by 30 degrees about z: normal (-sin 30, cos 30, 0).
  c.setBedNormalX(-0.5f);
  c.setBedNormalY(static_cast<float>(std::sqrt(3.0) / 2.0));
  c.setBedOriginX(0.0f);
  c.setBedOriginY(-100.0f);
  c.setBedOriginZ(-300.0f);
  c.setLeadScrewNormalY(1.0f);
  // At yaw 0: p = camera (0) + 10 x (0, 1, 0) - bed origin = (0, 110, 300), then levelled: the
  // rotation that takes the normal onto +y is a turn of -30 degrees about z.
  const auto pose = qv::textureCameraPose(c, 10.0, 0.0);
  ASSERT_TRUE(pose);
  const Eigen::Matrix3d level = Eigen::AngleAxisd(-M_PI / 6.0, Eigen::Vector3d::UnitZ()).toRotationMatrix();
  EXPECT_LT((pose->position - level * Eigen::Vector3d(0, 110, 300)).norm(), 1e-4);
  EXPECT_LT((pose->normal - level * Eigen::Vector3d(0, 0, -1)).norm(), 1e-6);
  EXPECT_LT((pose->up - level * Eigen::Vector3d(0, 1, 0)).norm(), 1e-6);
  // Yaw 90 turns about the bed normal first.
  const auto turned = qv::textureCameraPose(c, 10.0, 90.0);
  const Eigen::Vector3d n = c.bedNormal().normalized();
  const Eigen::Matrix3d yaw = Eigen::AngleAxisd(M_PI / 2.0, n).toRotationMatrix();
  EXPECT_LT((turned->position - level * yaw * Eigen::Vector3d(0, 110, 300)).norm(), 1e-4);
  // A bed normal along +y needs no levelling; no bed normal is an error, not a crash.
  QVSCalibrationDetails flat;
  flat.setBedNormalY(1.0f);
  EXPECT_LT((qv::textureCameraPose(flat, 0.0, 0.0)->normal - Eigen::Vector3d(0, 0, -1)).norm(), 1e-12);
  qv::Error error;
  EXPECT_FALSE(qv::textureCameraPose(QVSCalibrationDetails(), 0.0, 0.0, &error));
  EXPECT_EQ(error.code, QVSCalibrationDetails::kNoBedFrameErrorCode);
  // File names carry one decimal of the head and none of the angle, whatever the locale.
  EXPECT_EQ(qv::textureFileName("ID", 12.0f, 60.0f), "Texture.ID.12.0_60.png");
  EXPECT_EQ(qv::textureFileName("ID", 7.25f, 299.6f), "Texture.ID.7.2_300.png");
}

TEST(LaserPointConfirmation, RowsColumnsAndEarlierExposures) {
  const std::vector<QVSImageLaserPoint> reference{{100.0f, 1}, {200.0f, 2}, {300.0f, 3}, {301.5f, 3}};
  const std::vector<QVSImageLaserPoint> verification{{100.99f, 1}, {201.0f, 2}, {301.0f, 3}, {50.0f, 4}};
  auto c = qv::confirmLaserPoints(reference, verification, {});
  // 0.99 px apart is confirmed, 1.0 is not, only the first reference point of a row is looked
  // at (row 3's second one would match), and row 4 has no reference point at all.
  ASSERT_EQ(c.kept.size(), 1u);
  EXPECT_EQ(c.kept[0].y(), 1);
  EXPECT_EQ(c.missed, 3);
  // Points within 2 rows of an earlier exposure's point are dropped uncounted; 3 rows away stays.
  c = qv::confirmLaserPoints(reference, verification, {QVSImageLaserPoint(0.0f, 5)});
  ASSERT_EQ(c.kept.size(), 1u);
  EXPECT_EQ(c.missed, 1);
}

TEST(ParallelFor, EveryTaskRunsOnceEvenWithEveryWorkerBusyAndAFailureIsPassedOn) {
  // Every worker of the default queue waits until the call has returned: the caller has to run
  // all the tasks itself rather than wait for a worker.
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  for (unsigned i = 0; i < 4 * std::max(8u, std::thread::hardware_concurrency()); ++i)
    qv::globalQueue(qv::QueuePriority::Default)->async([released] { released.wait(); });
  std::vector<std::atomic<int>> runs(6);
  std::vector<std::function<void()>> tasks;
  for (auto& r : runs) tasks.push_back([&r] { ++r; });
  qv::runConcurrently(tasks);
  release.set_value();
  for (const auto& r : runs) EXPECT_EQ(r.load(), 1);

  tasks.push_back([] { throw std::runtime_error("no frame"); });
  EXPECT_THROW(qv::runConcurrently(tasks), std::runtime_error);
  for (const auto& r : runs) EXPECT_EQ(r.load(), 2) << "the others still ran";

  // Loops nested in a loop's iterations (a frame's rows inside a laser's task) run every index once.
  std::vector<std::atomic<int>> cells(64 * 100);
  qv::parallelFor(64, 8, [&](std::size_t outer) {
    qv::parallelFor(100, 4, [&](std::size_t inner) { ++cells[outer * 100 + inner]; }, qv::QueuePriority::High);
  });
  EXPECT_TRUE(std::all_of(cells.begin(), cells.end(), [](const auto& c) { return c.load() == 1; }));
}
