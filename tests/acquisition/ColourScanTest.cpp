// An automatic colour scan of the standard simulated scene through the application's simulated
// camera: exposure tuning picks a laser-off exposure whose frames show the objects' colours, so
// the points carry those colours and the texture photographs do not clip.
#include <gtest/gtest.h>

#include <linux/videodev2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <future>
#include <set>

#include "acquisition/LaserLineDetector.h"
#include "acquisition/QVLTuning.h"
#include "acquisition/ScanHarness.h"
#include "acquisition/ScannerGeometry.h"
#include "records/QVSCalibrationDetails.h"
#include "sim/camera/SyntheticCamera.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanSlice.h"
#include "store/QVSDTexture.h"
#include "store/VertexRecords.h"

namespace {

using qv::sim::ScannerPose;
using qv::sim::SyntheticCamera;

// The simulated scanner's mechanics and calibration, with every frame taken by the simulated
// camera the application uses, at the bed angle and head height the mechanics are at.
class CameraScanner final : public QVLScanDelegate {
public:
  CameraScanner(std::shared_ptr<qv::sim::SimulatedScanner> mechanics, std::shared_ptr<SyntheticCamera> camera)
      : mechanics_(std::move(mechanics)), camera_(std::move(camera)) {
    fd_ = camera_->controls()->open(qv::sim::SyntheticControls::kNodePath);
    v4l2_control manual{V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL};
    camera_->controls()->ioctl(fd_, VIDIOC_S_CTRL, &manual);
  }

  qv::SharedData frame(int exposure, bool laser1, bool laser2) {
    return frame(exposure, ScannerPose{mechanics_->bedRotation_deg(), mechanics_->headHeight_mm(), laser1, laser2});
  }
  qv::SharedData frame(int exposure, const ScannerPose& pose) {
    v4l2_control control{V4L2_CID_EXPOSURE_ABSOLUTE, exposure};
    camera_->controls()->ioctl(fd_, VIDIOC_S_CTRL, &control);
    return camera_->takeFrame(pose);
  }

  bool connectToScannerForScan(QVLScan& scan, qv::Error* error) override {
    return mechanics_->connectToScannerForScan(scan, error);
  }
  std::shared_ptr<const QVSCalibrationDetails> calibrationDetailsForScan(QVLScan& scan) override {
    return mechanics_->calibrationDetailsForScan(scan);
  }
  void disconnectFromScannerForScan(QVLScan& scan, qv::Completion completion, qv::ErrorCallback error) override {
    mechanics_->disconnectFromScannerForScan(scan, std::move(completion), std::move(error));
  }
  void homeScannerForScan(QVLScan& scan, MotionCompletion completion, qv::ErrorCallback error) override {
    mechanics_->homeScannerForScan(scan, std::move(completion), std::move(error));
  }
  void homeScannerForScan(QVLScan& scan, float mm, MotionCompletion completion, qv::ErrorCallback error) override {
    mechanics_->homeScannerForScan(scan, mm, std::move(completion), std::move(error));
  }
  void moveHeadByMillimeters(float mm, QVLScan& scan, MotionCompletion completion, qv::ErrorCallback error) override {
    mechanics_->moveHeadByMillimeters(mm, scan, std::move(completion), std::move(error));
  }
  void rotateBedByDegrees(float degrees, QVLScan& scan, MotionCompletion completion, qv::ErrorCallback error) override {
    mechanics_->rotateBedByDegrees(degrees, scan, std::move(completion), std::move(error));
  }
  void captureCameraImageForScan(QVLScan&, int exposure, int, FrameCompletion completion, qv::ErrorCallback) override {
    completion(frame(exposure, false, false));
  }
  void captureCameraImageSequenceForScan(QVLScan&, int nonLaserExposure, int, const std::vector<int>& laser1Exposures,
                                         const std::vector<int>& laser2Exposures, SequenceCompletion completion,
                                         qv::ErrorCallback) override {
    auto sets = [&](const std::vector<int>& exposures, int laser) {
      std::vector<QVLScanResultSet> out;
      for (int e : std::set<int>(exposures.begin(), exposures.end()))
        out.emplace_back(e, frame(e, false, false), frame(e, laser == 0, laser == 1), frame(e, false, false));
      return out;
    };
    auto colour = frame(nonLaserExposure, false, false);
    completion(colour, sets(laser1Exposures, 0), sets(laser2Exposures, 1));
  }
  void setExposure(int exposure, QVLTuning&, qv::Completion completion, qv::ErrorCallback) override {
    exposure_ = exposure;
    completion();
  }
  void captureExposureImagesForTuning(QVLTuning&, ExposureImagesCompletion completion, qv::ErrorCallback) override {
    completion(frame(exposure_, false, false), frame(exposure_, true, false), frame(exposure_, false, true),
               frame(exposure_, false, false), camera_->controls()->whiteBalance());
  }
  // As the scan driver judges a point: inside the scanning area, a cylinder of 90 mm radius from
  // 5 mm above the bed up.
  bool isPointValidWithExposure(int, float x, int y, int laser, QVLTuning&) override {
    const auto geometry = ScannerGeometryFromCalibration(mechanics_->calibration()->scannerCalibration(),
                                                         mechanics_->headHeight_mm());
    Eigen::Vector3d point, normal;
    const float angle = static_cast<float>(mechanics_->bedRotation_deg() / 180.0 * M_PI);
    if (!TriangulateLaserPixel(geometry, x, y, laser, angle, point, normal)) return false;
    return point.x() * point.x() + point.z() * point.z() < 8100.0 && point.y() >= 5.0;
  }

private:
  std::shared_ptr<qv::sim::SimulatedScanner> mechanics_;
  std::shared_ptr<SyntheticCamera> camera_;
  int fd_ = -1;
  int exposure_ = 100;
};

// The light a laser-off frame records before the sensor clips it: four times what the frame at a
// quarter of the exposure, where nothing clips, shows.
std::array<double, 3> unclippedColour(const qv::Data& quarterExposure, int row, int column) {
  const std::uint8_t* p = quarterExposure.data() + static_cast<std::size_t>(row) * qv::kFrameBytesPerRow + 4 * column;
  return {4.0 * p[2], 4.0 * p[1], 4.0 * p[0]};
}

double median(std::vector<double> values) {
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

}  // namespace

TEST(ColourScan, AnAutomaticScanKeepsTheObjectsColoursAndItsPhotographsDoNotClip) {
  const auto scene = std::make_shared<const qv::sim::Scene>(qv::sim::Scene::standard());
  qv::test::ScanHarness h(*scene);
  SyntheticCamera::Options options;
  options.scene = scene;
  auto camera = SyntheticCamera::create([] { return ScannerPose{}; }, options);
  auto scanner = std::make_shared<CameraScanner>(h.scannerPtr(), camera);
  h.useDelegate(scanner);

  // No exposures given: the scan tunes them first.
  const auto outcome = h.build(60.0f, 0.0f, 0, {}, {});
  ASSERT_TRUE(outcome.completed) << (outcome.error ? outcome.error->text() : "");
  const int exposure = h.scan().nonLaserExposure();
  ASSERT_GT(exposure, 0);

  // Every stored point, sorted by the object it lies on, with its colour and the colour the
  // camera's unclipped light gives that surface there.
  const Eigen::Matrix3d turntable_from_bed = h.scanner().model().bed_from_turntable().transpose();
  struct Samples {
    std::array<std::vector<double>, 3> stored, truth;
  };
  std::map<int, Samples> objects;
  std::size_t points = 0, clipped = 0;
  std::vector<std::string> photographs;
  h.context().performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(h.scanId(), false, h.context());
    for (const auto& texture : scan->textures()) photographs.push_back(texture->textureFileName().value_or(""));
    for (const auto& cloud : QVSDPointCloud::sortedPointCloudsForScanObject(scan)) {
      const auto grid = cloud->readSliceGrid(nullptr);
      ASSERT_TRUE(grid);
      const auto slices = QVSDScanSlice::scanSlicesSortedByRotationInPointCloud(cloud);
      for (std::size_t s = 0; s < slices.size(); ++s) {
        const ScannerPose pose{slices[s]->rotation().value_or(0.0), cloud->headHeight().value_or(0.0), false, false};
        const qv::SharedData quarter = scanner->frame(exposure / 4, pose);
        for (int r = 0; r < qv::kFrameHeight; ++r) {
          const QVLSliceVertex& v = (*grid)[s * qv::kFrameHeight + r];
          if (!v.hasPoint()) continue;
          ++points;
          const std::array<double, 3> stored{255.0 * v.colourRed, 255.0 * v.colourGreen, 255.0 * v.colourBlue};
          if (*std::max_element(stored.begin(), stored.end()) >= 254.5) ++clipped;
          const Eigen::Vector3d p = turntable_from_bed * Eigen::Vector3d(v.point3DX, v.point3DY, v.point3DZ);
          int nearest = -1;
          double distance = 0.5;  // mm: points farther from every surface are not sorted
          for (std::size_t o = 1; o < scene->objects().size(); ++o) {
            const double d = std::fabs(scene->objects()[o]->distanceToSurface(p));
            if (d < distance) distance = d, nearest = static_cast<int>(o);
          }
          if (nearest < 0) continue;
          const auto truth = unclippedColour(*quarter, r, static_cast<int>(std::lround(v.point2DX)));
          for (int c = 0; c < 3; ++c) {
            objects[nearest].stored[c].push_back(stored[c]);
            objects[nearest].truth[c].push_back(truth[c]);
          }
        }
      }
    }
  });

  EXPECT_GT(points, 2000u);
  EXPECT_LT(static_cast<double>(clipped), 0.01 * static_cast<double>(points)) << "points with a clipped channel";
  EXPECT_EQ(objects.size(), scene->objects().size() - 1) << "every test object has points";
  for (const auto& [object, samples] : objects) {
    ASSERT_GT(samples.stored[0].size(), 100u) << "object " << object;
    double brightest = 0.0;
    for (int c = 0; c < 3; ++c) {
      const double stored = median(samples.stored[c]), truth = median(samples.truth[c]);
      EXPECT_NEAR(stored, truth, 0.1 * truth) << "object " << object << " channel " << c;
      brightest = std::max(brightest, stored);
    }
    // Not merely unclipped: exposed to show the objects, which are nearly white, well above dark.
    EXPECT_GT(brightest, 100.0) << "object " << object;
  }

  // The photographs: none clips where the objects are (nor anywhere else in this scene).
  EXPECT_FALSE(photographs.empty());
  for (const auto& path : photographs) {
    const cv::Mat photo = cv::imread(path, cv::IMREAD_COLOR);
    ASSERT_FALSE(photo.empty()) << path;
    std::vector<cv::Mat> channels;
    cv::split(photo, channels);
    int saturated = 0;
    for (const auto& channel : channels) saturated += cv::countNonZero(channel == 255);
    EXPECT_EQ(saturated, 0) << path;
  }
}

// The firmware does not turn the bed home, so the tuning runs wherever the bed was left. At 90
// degrees the second laser's line meets only the bed, below the scanning area: the laser-off
// exposure must still suit the objects the first laser lights, not be pushed to twice their
// brightness.
TEST(ColourScan, TuningWhereOneLaserMeetsOnlyTheBedStillChoosesAColourExposureThatDoesNotClip) {
  const auto scene = std::make_shared<const qv::sim::Scene>(qv::sim::Scene::standard());
  qv::test::ScanHarness h(*scene);
  SyntheticCamera::Options options;
  options.scene = scene;
  auto scanner = std::make_shared<CameraScanner>(h.scannerPtr(), SyntheticCamera::create([] { return ScannerPose{}; }, options));
  h.scanner().moveHeadByMillimeters(30.0f, h.scan(), nullptr, nullptr);
  h.scanner().rotateBedByDegrees(90.0f, h.scan(), nullptr, nullptr);

  auto tuning = QVLTuning::initWithDelegate(scanner.get());
  std::promise<int> chosen;
  tuning->findOptimalCombinedExposureForScan(
      false, [&](int nonLaser, std::vector<int>, std::vector<int>, int) { chosen.set_value(nonLaser); }, nullptr,
      [&](const qv::Error&) { chosen.set_value(-1); });
  auto future = chosen.get_future();
  ASSERT_EQ(future.wait_for(qv::test::kPatience), std::future_status::ready);
  const int exposure = future.get();
  ASSERT_GT(exposure, 0);

  // Nothing in the colour frame at that exposure clips.
  const qv::SharedData frame = scanner->frame(exposure, false, false);
  long saturated = 0;
  for (std::size_t i = 0; i < frame->size(); i += 4)
    saturated += (*frame)[i] == 255 || (*frame)[i + 1] == 255 || (*frame)[i + 2] == 255;
  EXPECT_EQ(saturated, 0) << "at exposure " << exposure;
}
