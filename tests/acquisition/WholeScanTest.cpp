// Whole simulated scans of each test object: every stored point against the true surface, the two
// lasers against each other, and the point count against what the true surface lets the camera see.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <unordered_map>

#include "acquisition/LaserLineDetector.h"
#include "acquisition/LaserPointConversion.h"
#include "acquisition/ScannerGeometry.h"
#include "acquisition/ScanHarness.h"
#include "platform/Paths.h"
#include "records/QVSCalibrationDetails.h"
#include "sim/optics/CylinderObject.h"
#include "sim/optics/HourglassObject.h"
#include "sim/optics/SphereObject.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanSlice.h"
#include "store/VertexRecords.h"

using qv::sim::Scene;
using qv::test::ScanHarness;

namespace {

Scene sceneWith(std::shared_ptr<const qv::sim::SceneObject> object) {
  Scene scene;
  scene.add(std::move(object));
  return scene;
}

Scene offAxisCylinder() {
  return sceneWith(std::make_shared<qv::sim::CylinderObject>(25.0, -15.0, 22.0, 60.0, Eigen::Vector3d(0.85, 0.8, 0.72)));
}
// Resting on the bed: rows near the foot see the sphere and the bed meet.
Scene sphere() {
  return sceneWith(std::make_shared<qv::sim::SphereObject>(Eigen::Vector3d(5.0, 35.0, -8.0), 35.0, Eigen::Vector3d(0.9, 0.9, 0.9)));
}
Scene hourglass() {
  return sceneWith(std::make_shared<qv::sim::HourglassObject>(0.0, 0.0, 18.0, 45.0, 0.45, 110.0, Eigen::Vector3d(0.75, 0.82, 0.9)));
}

double surfaceDistance(const Scene& scene, const Eigen::Vector3d& p) {
  double best = 1e30;
  for (const auto& object : scene.objects()) best = std::min(best, std::fabs(object->distanceToSurface(p)));
  return best;
}

// The detector's worst column error against the true line, measured on frames of the scanner at a
// few bed angles: what every triangulated point may be off by, in pixels.
double measuredDetectorError(qv::sim::SimulatedScanner& scanner, double noise, double exposure) {
  double worst = 0.0;
  for (double angle = 7.0; angle < 360.0; angle += 30.0) {
    const auto light = scanner.lightAt(angle, 0.0);
    for (int laser = 0; laser < 2; ++laser) {
      const auto off = light->frame(exposure, {false, false}, noise, 11);
      std::array<bool, 2> on{laser == 0, laser == 1};
      const auto lit = light->frame(exposure, on, noise, 12);
      const auto detection = qv::detectLaserLine(off.data(), lit.data(), qv::LaserLineOptions{});
      std::multimap<int, double> truth;
      for (const auto& c : light->crossings(laser)) truth.emplace(c.row, c.x_px);
      for (const auto& p : detection.points) {
        double nearest = 1e9;
        auto [from, to] = truth.equal_range(p.y());
        for (auto it = from; it != to; ++it) nearest = std::min(nearest, std::fabs(it->second - p.x()));
        if (nearest < 5.0) worst = std::max(worst, nearest);
      }
    }
  }
  return worst;
}

// The laser exposure of these scans: the simulator's exposure 1.
constexpr double kExposure = 1.0;

// Whether the detector can find a true line crossing: its peak, averaged over the centre pixel,
// reaches the threshold, and the run lit above the detector's lit level is narrower than the
// widest run it accepts (a sheet met at a grazing angle smears across the row).
bool detectable(const qv::sim::SheetCrossing& c) {
  const double sigma = c.sigma_px;
  const double centre = sigma * std::sqrt(M_PI / 2.0) * 2.0 * std::erf(0.5 / (sigma * std::sqrt(2.0)));
  const double peak = c.colour.x() * kExposure * centre;
  if (peak < qv::LaserLineOptions{}.threshold) return false;
  const double run = 2.0 * sigma * std::sqrt(2.0 * std::log(peak / qv::kLitLevel));
  return run < qv::kWideRun;
}

struct ScanCheck {
  double rms_mm = 0.0;
  std::size_t points = 0;
};

// Checks every stored point of every cloud and answers the RMS distance to the true surface.
ScanCheck checkStoredScan(ScanHarness& h, const Scene& scene, double errorBound_px, double largestStep_deg) {
  const auto& model = h.scanner().model();
  const Eigen::Matrix3d turntable_from_bed = model.bed_from_turntable().transpose();
  const QVLScannerCalibration calibration = h.scanner().calibration()->scannerCalibration();
  ScanCheck check;
  double sumSquares = 0.0;
  std::size_t outside = 0, storedTotal = 0;
  std::vector<std::vector<Eigen::Vector3d>> clouds;
  h.context().performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(h.scanId(), false, h.context());
    for (const auto& cloud : QVSDPointCloud::sortedPointCloudsForScanObject(scan)) {
      const int laserIndex = static_cast<int>(cloud->laserNumber().value_or(0));
      const float head = static_cast<float>(cloud->headHeight().value_or(0.0));
      const ScannerGeometry geometry = ScannerGeometryFromCalibration(calibration, head);
      auto grid = cloud->readSliceGrid(nullptr);
      ASSERT_TRUE(grid);
      const auto slices = QVSDScanSlice::scanSlicesSortedByRotationInPointCloud(cloud);
      std::vector<Eigen::Vector3d> points;
      std::size_t stored = 0, predicted = 0;
      for (std::size_t s = 0; s < slices.size(); ++s) {
        const float angle = static_cast<float>(slices[s]->rotation().value_or(0.0));
        // The rows whose true line lies in the scanning area and can be found.
        std::map<int, bool> visibleRows;
        for (const auto& c : h.scanner().lightAt(angle, head)->crossings(laserIndex)) {
          Eigen::Vector3d point, normal;
          if (detectable(c) &&
              TriangulateLaserPixel(geometry, c.x_px, c.row, laserIndex + 2, static_cast<float>(angle / 180.0 * M_PI), point, normal) &&
              qv::isPointInsideScanningArea(point))
            visibleRows[c.row] = true;
        }
        predicted += visibleRows.size();
        for (int r = 0; r < 960; ++r) {
          const QVLSliceVertex& v = (*grid)[s * 960 + r];
          if (!v.hasPoint()) continue;
          ++stored;
          const Eigen::Vector3d bed(v.point3DX, v.point3DY, v.point3DZ);
          const double distance = surfaceDistance(scene, turntable_from_bed * bed);
          // What the detector's error means in millimetres at this pixel.
          Eigen::Vector3d a, b, n;
          const float rad = static_cast<float>(angle / 180.0 * M_PI);
          TriangulateLaserPixel(geometry, v.point2DX - errorBound_px, r, laserIndex + 2, rad, a, n);
          TriangulateLaserPixel(geometry, v.point2DX + errorBound_px, r, laserIndex + 2, rad, b, n);
          const double bound = 0.5 * (a - b).norm() + 0.01;
          if (distance > bound) ++outside;
          sumSquares += distance * distance;
          points.push_back(turntable_from_bed * bed);
        }
      }
      EXPECT_NEAR(static_cast<double>(stored), static_cast<double>(predicted), 0.05 * predicted)
          << "cloud of laser " << laserIndex << " at " << head << " mm";
      storedTotal += stored;
      clouds.push_back(std::move(points));
    }
  });
  EXPECT_EQ(outside, 0u) << "points farther from the surface than the detector's error allows";
  check.points = storedTotal;
  check.rms_mm = storedTotal ? std::sqrt(sumSquares / storedTotal) : 0.0;
  // The two lasers of a pass see the same surface: each laser 1 point has laser 2 points nearby
  // (within the spacing of the slices at the bed's rim, where they lie farthest apart).
  for (std::size_t c = 0; c + 1 < clouds.size(); c += 2) {
    std::unordered_map<long long, std::vector<Eigen::Vector3d>> cells;
    auto key = [](const Eigen::Vector3d& p) {
      return (static_cast<long long>(std::floor(p.x() / 4)) * 1000003LL + static_cast<long long>(std::floor(p.y() / 4))) * 1000033LL +
             static_cast<long long>(std::floor(p.z() / 4));
    };
    for (const auto& p : clouds[c + 1]) cells[key(p)].push_back(p);
    std::vector<double> nearest;
    for (const auto& p : clouds[c]) {
      double best = 1e9;
      for (int dx = -1; dx <= 1; ++dx)
        for (int dy = -1; dy <= 1; ++dy)
          for (int dz = -1; dz <= 1; ++dz) {
            const auto it = cells.find(key(p + Eigen::Vector3d(4.0 * dx, 4.0 * dy, 4.0 * dz)));
            if (it == cells.end()) continue;
            for (const auto& q : it->second) best = std::min(best, (p - q).norm());
          }
      nearest.push_back(best);
    }
    if (nearest.empty()) continue;
    std::nth_element(nearest.begin(), nearest.begin() + nearest.size() / 2, nearest.end());
    // Neighbouring slices lie at most one step apart at the 90 mm rim of the scanning area.
    EXPECT_LT(nearest[nearest.size() / 2], 0.5 * largestStep_deg / 180.0 * M_PI * 90.0) << "the two lasers' clouds disagree";
  }
  return check;
}

struct ScanCase {
  const char* name;
  Scene (*scene)();
  float degrees;   // 0: adaptive
  float height_mm;
  double noise = 0.0;  // sensor noise, grey levels
};

class WholeScan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(WholeScan, StoredPointsLieOnTheTrueSurface) {
  const ScanCase& c = GetParam();
  const Scene scene = c.scene();
  qv::sim::SimulatedScanner::Options options;
  options.noiseSigma = c.noise;
  ScanHarness h(c.scene(), options);
  // Coarse adaptive limits keep the scan short; the rule is the same at any scale.
  h.scan().setAdaptiveMinimumDegreesRotation(6.0f);
  h.scan().setAdaptiveMaximumDegreesRotation(15.0f);
  h.scan().setAdaptiveDefaultDegreesToRotate(10.0f);
  const auto outcome = h.build(c.degrees, c.height_mm, 100, {100}, {100});
  ASSERT_TRUE(outcome.completed) << (outcome.error ? outcome.error->text() : "");
  const double error_px = measuredDetectorError(h.scanner(), c.noise, kExposure) + 0.02;
  const ScanCheck check = checkStoredScan(h, scene, error_px, c.degrees > 0.0f ? c.degrees : 15.0f);
  EXPECT_GT(check.points, 1000u);
  if (c.height_mm > 0.0f) {
    // The hourglass stands taller than the first pass sees: a second pass follows, and its
    // progress reports carry its own number.
    std::size_t clouds = 0;
    h.context().performAndWait(
        [&] { clouds = QVSDScanObject::scanObjectWithId(h.scanId(), false, h.context())->pointClouds().size(); });
    EXPECT_GE(clouds, 4u);
    EXPECT_NE(std::find(outcome.titles.begin(), outcome.titles.end(), "Pass 2"), outcome.titles.end());
  }
  std::cout << c.name << ": " << check.points << " points, RMS " << check.rms_mm << " mm, detector error " << error_px
            << " px\n";
  // What the scanner is to reach: 0.05 mm without sensor noise, 0.15 mm at two grey levels.
  EXPECT_LT(check.rms_mm, c.noise > 0.0 ? 0.15 : 0.05);
  RecordProperty("rms_mm", std::to_string(check.rms_mm));
}

INSTANTIATE_TEST_SUITE_P(Objects, WholeScan,
                         ::testing::Values(ScanCase{"CylinderFixed", &offAxisCylinder, 10.0f, 0.0f},
                                           ScanCase{"SphereFixed", &sphere, 20.0f, 0.0f},
                                           ScanCase{"SphereFixedAtNoiseTwo", &sphere, 30.0f, 0.0f, 2.0},
                                           ScanCase{"HourglassAdaptivePasses", &hourglass, 0.0f, 60.0f}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// Without exposures the scan tunes them on the scanner first, writes them back to the settings and
// scans with them.
TEST(ScanTuning, ExposuresAreTunedWrittenBackAndUsed) {
  ScanHarness h(offAxisCylinder());
  const auto outcome = h.build(60.0f, 0.0f, 0, {}, {});
  ASSERT_TRUE(outcome.completed) << (outcome.error ? outcome.error->text() : "");
  EXPECT_GT(h.scan().nonLaserExposure(), 0);
  ASSERT_EQ(h.scan().laser1Exposures().size(), 1u);
  ASSERT_EQ(h.scan().laser2Exposures().size(), 1u);
  EXPECT_EQ(h.settings().integerForKey("CameraNonLaserExposureSetting"), h.scan().nonLaserExposure());
  EXPECT_EQ(h.settings().stringForKey("CameraLaser1ExposureSetting").value_or(""),
            std::to_string(h.scan().laser1Exposures().front()));
  EXPECT_EQ(h.scanner().requestCount(qv::sim::SimulatedScanner::Request::CaptureTuning), 22);
  // The chosen exposure shows the line: the scan stored points.
  std::size_t points = 0;
  h.context().performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(h.scanId(), false, h.context());
    points = scan->numberOfVertices();
  });
  EXPECT_GT(points, 1000u);
}

// With the scan diagnostics on, each step leaves its frames and the detector's intermediate images
// below "QRZ", and the points it stores are those of a scan without them.
TEST(ScanDiagnostics, EachStepLeavesItsFramesAndTheDetectorsImagesAndTheSamePoints) {
  namespace fs = std::filesystem;
  qv::test::TempFolder data;
  const char* previous = std::getenv("XDG_DATA_HOME");
  const std::string restore = previous ? previous : "";
  ::setenv("XDG_DATA_HOME", data.path().c_str(), 1);
  fs::create_directories(qv::paths::applicationLibraryPath());

  auto scanWith = [](bool diagnostics, std::vector<float>& storedX, std::size_t& newestPoints) {
    ScanHarness h(offAxisCylinder());
    h.settings().setValue("ShouldSaveScanDiagnosticInformation", diagnostics);
    const auto outcome = h.build(120.0f, 0.0f, 100, {100}, {100});
    ASSERT_TRUE(outcome.completed) << (outcome.error ? outcome.error->text() : "");
    h.context().performAndWait([&] {
      auto scan = QVSDScanObject::scanObjectWithId(h.scanId(), false, h.context());
      std::size_t lastSlices = 0;
      for (const auto& cloud : QVSDPointCloud::sortedPointCloudsForScanObject(scan)) {
        const auto grid = cloud->readSliceGrid(nullptr);
        ASSERT_TRUE(grid);
        for (const auto& v : *grid) storedX.push_back(v.point2DX);
        const auto slices = QVSDScanSlice::scanSlicesSortedByRotationInPointCloud(cloud);
        ASSERT_FALSE(slices.empty());
        lastSlices += static_cast<std::size_t>(slices.back()->numberOfPoints().value_or(0));
      }
      // Every step replaces the scan's stored points with its own: the last step's are left.
      newestPoints = scan->points().size();
      EXPECT_EQ(newestPoints, lastSlices);
    });
    if (!diagnostics) return;
    // The head homes a millimetre up.
    const fs::path frames = qv::paths::applicationLibraryPath() / "QRZ" / "Scan" / "Height_001.00";
    const fs::path images = h.store().libraryFolder() / "QRZ" / "Scan" / "Height_001.00";
    for (const char* rotation : {"Rotation_000.00", "Rotation_120.00", "Rotation_240.00"}) {
      EXPECT_TRUE(fs::is_regular_file(frames / rotation / "ColourImage.raw")) << rotation;
      for (const char* name : {"Laser1ReferenceImage", "Laser1Image", "Laser1VerificationImage", "Laser2ReferenceImage",
                               "Laser2Image", "Laser2VerificationImage"})
        EXPECT_TRUE(fs::is_regular_file(frames / rotation / "100" / (std::string(name) + ".png"))) << rotation << name;
      for (const char* folder : {"Reference1", "Verification1", "Reference2", "Verification2"})
        for (const char* name : {"LineDetectionLaserOn.png", "LineDetectionRedThresholdBlurred.png", "GreyscaleLaserImage.png"})
          EXPECT_TRUE(fs::is_regular_file(images / rotation / "100" / folder / name)) << rotation << folder << name;
    }
  };
  std::vector<float> with, without;
  std::size_t newestWith = 0, newestWithout = 0;
  scanWith(true, with, newestWith);
  scanWith(false, without, newestWithout);
  EXPECT_GT(newestWith, 100u);
  EXPECT_EQ(newestWith, newestWithout);
  EXPECT_EQ(with, without);

  if (previous) ::setenv("XDG_DATA_HOME", restore.c_str(), 1);
  else ::unsetenv("XDG_DATA_HOME");
}

// The scan's vertex data hold each stored point once, after record 0, and each cloud's index table
// names the point's own record; tidying the scan up afterwards (as saving it does) builds them
// again without doubling them.
TEST(ScanPointData, EveryPointHasOneRecordNamedByItsCloudsTableAlsoAfterATidyUp) {
  ScanHarness h(offAxisCylinder());
  const auto outcome = h.build(60.0f, 0.0f, 100, {100}, {100});
  ASSERT_TRUE(outcome.completed) << (outcome.error ? outcome.error->text() : "");

  auto checkRecords = [&](const char* when) {
    SCOPED_TRACE(when);
    h.context().performAndWait([&] {
      auto scan = QVSDScanObject::scanObjectWithId(h.scanId(), false, h.context());
      ASSERT_TRUE(scan->vertexDataFilePath());
      const auto bytes = qv::readWholeFile(*scan->vertexDataFilePath(), nullptr);
      ASSERT_TRUE(bytes);
      const auto records = qv::scanVerticesFromData(*bytes);
      std::size_t points = 0;
      std::vector<int> named(records.size(), 0);
      for (const auto& cloud : QVSDPointCloud::sortedPointCloudsForScanObject(scan)) {
        const auto grid = cloud->readSliceGrid(nullptr);
        ASSERT_TRUE(grid);
        ASSERT_TRUE(cloud->vertexIndexData());
        const auto table = qv::indexTableFromData(*cloud->vertexIndexData());
        ASSERT_EQ(table.size(), grid->size());
        for (std::size_t cell = 0; cell < grid->size(); ++cell) {
          const QVLSliceVertex& v = (*grid)[cell];
          const std::int32_t record = table[cell];
          if (!v.hasPoint()) {
            EXPECT_EQ(record, 0) << "cell " << cell;
            continue;
          }
          ++points;
          ASSERT_GT(record, 0) << "cell " << cell;
          ASSERT_LT(static_cast<std::size_t>(record), records.size()) << "cell " << cell;
          ++named[static_cast<std::size_t>(record)];
          const QVLScanVertex& r = records[static_cast<std::size_t>(record)];
          EXPECT_EQ(r.lookupId, cloud->lookupId().value_or(-1));
          EXPECT_EQ(r.point2DY, cell % qv::kSliceBlockRows);
          EXPECT_EQ(r.point3DX, v.point3DX);
          EXPECT_EQ(r.point3DY, v.point3DY);
          EXPECT_EQ(r.point3DZ, v.point3DZ);
        }
      }
      EXPECT_GT(points, 1000u);
      EXPECT_EQ(records.size(), points + 1) << "one record per point plus the empty record 0";
      EXPECT_EQ(std::count(named.begin() + 1, named.end(), 1), static_cast<std::ptrdiff_t>(points))
          << "each record named by exactly one cell";
      const QVLScanVertex zero{};
      EXPECT_EQ(std::memcmp(&records[0], &zero, sizeof zero), 0);
      // What the viewer and the writers read holds the same records.
      ASSERT_TRUE(scan->vertexData());
      EXPECT_EQ(*scan->vertexData(), *bytes);
      EXPECT_EQ(scan->numberOfVertices(), points + 1);
    });
  };
  checkRecords("at the end of the scan");
  h.scan().tidyUpCurrentScan();
  checkRecords("after a tidy-up");
}
