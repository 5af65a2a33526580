// The scan driver's chain: errors with their codes and positions, pause and resume, cancel, a
// long scan on a delegate that answers at once, and tuning's cancel.
#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <fstream>

#include "acquisition/QVLTuning.h"
#include "acquisition/ScanHarness.h"
#include "records/QVSCalibrationDetails.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanSlice.h"
#include "store/QVSDTexture.h"
#include "support/WaitFor.h"

namespace {

// Answers every request at once with blank frames: the chain without the optics.
class BlankScanner : public QVLScanDelegate {
public:
  std::function<void(int step)> onSequence;  // called before each sequence completes
  std::optional<qv::Error> connectError, homeError;
  int failSequenceAt = -1;
  bool resultSets = true;  // false: no exposures, so no detection (the chain alone)
  qv::Error sequenceError{qv::kScanErrorDomain, 8, "camera failure"};
  int sequences = 0, homes = 0, disconnects = 0, singleFrames = 0;
  std::size_t deepestStack = 0;
  float bed = 0, head = 0;
  std::shared_ptr<const QVSCalibrationDetails> calibration = std::make_shared<QVSCalibrationDetails>();
  qv::SharedData blank = std::make_shared<const qv::Data>(QVSImageUtil::kFrameBytes, 0);

  bool connectToScannerForScan(QVLScan&, qv::Error* error) override {
    if (connectError && error) *error = *connectError;
    return !connectError;
  }
  std::shared_ptr<const QVSCalibrationDetails> calibrationDetailsForScan(QVLScan&) override { return calibration; }
  void disconnectFromScannerForScan(QVLScan&, qv::Completion c, qv::ErrorCallback) override {
    ++disconnects;
    c();
  }
  void homeScannerForScan(QVLScan& s, MotionCompletion c, qv::ErrorCallback e) override { homeScannerForScan(s, 0, c, e); }
  void homeScannerForScan(QVLScan&, float mm, MotionCompletion c, qv::ErrorCallback e) override {
    ++homes;
    if (homeError) return e(*homeError);
    bed = 0;
    head = mm;
    c(bed, head);
  }
  void moveHeadByMillimeters(float mm, QVLScan&, MotionCompletion c, qv::ErrorCallback) override {
    head += mm;
    c(bed, head);
  }
  void rotateBedByDegrees(float d, QVLScan&, MotionCompletion c, qv::ErrorCallback) override {
    bed = static_cast<float>(std::fmod(static_cast<double>(bed) + d, 360.0));
    c(bed, head);
  }
  void captureCameraImageForScan(QVLScan&, int, int, FrameCompletion c, qv::ErrorCallback) override {
    ++singleFrames;
    c(blank);
  }
  void captureCameraImageSequenceForScan(QVLScan&, int, int, const std::vector<int>&, const std::vector<int>&,
                                         SequenceCompletion c, qv::ErrorCallback e) override {
    // How deep this thread's stack is here: it must not grow from step to step.
    pthread_attr_t attr;
    void* base = nullptr;
    std::size_t size = 0;
    pthread_getattr_np(pthread_self(), &attr);
    pthread_attr_getstack(&attr, &base, &size);
    pthread_attr_destroy(&attr);
    const char here = 0;
    deepestStack = std::max(deepestStack, static_cast<std::size_t>(static_cast<const char*>(base) + size - &here));
    const int step = ++sequences;
    if (onSequence) onSequence(step);
    if (step == failSequenceAt) return e(sequenceError);
    if (!resultSets) return c(blank, {}, {});
    c(blank, {QVLScanResultSet(50, blank, blank, blank)}, {QVLScanResultSet(50, blank, blank, blank)});
  }
  void setExposure(int, QVLTuning&, qv::Completion c, qv::ErrorCallback) override { c(); }
  void captureExposureImagesForTuning(QVLTuning&, ExposureImagesCompletion c, qv::ErrorCallback) override {
    c(blank, blank, blank, blank, 5000);
  }
  bool isPointValidWithExposure(int, float, int, int, QVLTuning&) override { return true; }
};

class ScanDriver : public ::testing::Test {
protected:
  ScanDriver() : h(qv::sim::Scene()) {
    scan = QVLScan::initWithDelegate(blank);
    scan->setPrivateQueueContext(h.store().privateContext());
    scan->setSettings(&h.settings());
  }
  qv::test::ScanOutcome build(float degrees) {
    qv::test::ScanOutcome o;
    scan->buildScanWithId(h.scanId(), degrees, 0.0f, 100, 0, {50}, {50}, h.onComplete(o), h.onUpdate(o), h.onError(o));
    qv::test::ScanHarness::wait(o);
    return o;
  }
  std::size_t slicesAt(float rotation) {
    std::size_t n = 0;
    h.context().performAndWait([&] {
      auto cloud = QVSDPointCloud::pointCloudWithId(scan->laser1CloudObjectId(), h.context());
      for (const auto& s : QVSDScanSlice::scanSlicesSortedByRotationInPointCloud(cloud))
        if (s->rotation().value_or(-1) == rotation) ++n;
    });
    return n;
  }
  qv::test::ScanHarness h;
  std::shared_ptr<BlankScanner> blank = std::make_shared<BlankScanner>();
  std::shared_ptr<QVLScan> scan;
};

TEST_F(ScanDriver, ErrorsCarryTheirCodesAndThePositionAndDisconnect) {
  // A failed connection: code 7, no homing.
  blank->connectError = qv::Error(qv::kScanErrorDomain, 99, "no camera");
  auto o = build(30.0f);
  ASSERT_TRUE(o.error);
  EXPECT_EQ(o.error->code, QVLScan::kConnectFailedErrorCode);
  EXPECT_EQ(blank->homes, 0);
  // A failed first homing is handed on as it is, without a disconnect.
  blank->connectError.reset();
  blank->homeError = qv::Error(qv::kInterpreterErrorDomain, 5, "timed out");
  o = build(30.0f);
  ASSERT_TRUE(o.error);
  EXPECT_TRUE(o.error->is(qv::kInterpreterErrorDomain, 5));
  EXPECT_EQ(blank->disconnects, 1);  // the first scan's
  // A camera failure at the third step: its code, where the bed stood, and a disconnect.
  blank->homeError.reset();
  blank->failSequenceAt = blank->sequences + 3;
  o = build(30.0f);
  ASSERT_TRUE(o.error);
  EXPECT_TRUE(o.error->is(qv::kScanErrorDomain, 8));
  EXPECT_FLOAT_EQ(o.bed, 60.0f);
  EXPECT_FLOAT_EQ(o.head, 1.0f);
  EXPECT_EQ(blank->disconnects, 2);
  EXPECT_TRUE(scan->outstandingRequests().empty());
}

TEST_F(ScanDriver, PauseStoresTheStepThenResumeReplacesThatSliceAndCompletes) {
  blank->onSequence = [&](int step) {
    if (step == 4) scan->setShouldPauseScan(true);
  };
  auto o = build(30.0f);
  ASSERT_TRUE(o.error);
  EXPECT_EQ(o.error->code, QVLScan::kPausedErrorCode);
  EXPECT_FLOAT_EQ(o.bed, 90.0f);  // the paused step stored its slice and did not turn
  EXPECT_EQ(slicesAt(90.0f), 1u);
  blank->onSequence = nullptr;
  const int homes = blank->homes;
  o = {};
  scan->resumeCurrentScan(h.onComplete(o), h.onUpdate(o), h.onError(o));
  qv::test::ScanHarness::wait(o);
  ASSERT_TRUE(o.completed) << (o.error ? o.error->text() : "");
  EXPECT_EQ(blank->homes, homes) << "a resume does not home";
  EXPECT_EQ(slicesAt(90.0f), 1u) << "the resumed step replaces the slice at its angle";
  EXPECT_EQ(slicesAt(300.0f), 1u);
  // Every title after the first names the pass.
  ASSERT_GE(o.titles.size(), 1u);
  EXPECT_EQ(o.titles.front(), "Pass 1");
}

TEST_F(ScanDriver, CancelEndsWithCodeEleven) {
  blank->onSequence = [&](int step) {
    if (step == 2) scan->setShouldCancelScan(true);
  };
  const auto o = build(30.0f);
  ASSERT_TRUE(o.error);
  EXPECT_EQ(o.error->code, QVLScan::kCancelledErrorCode);
}

TEST_F(ScanDriver, TwoThousandStepsOnADelegateThatAnswersAtOnceKeepTheStackFlat) {
  std::size_t stackAtStep10 = 0;
  blank->resultSets = false;
  blank->onSequence = [&](int step) {
    if (step == 10) stackAtStep10 = blank->deepestStack;
  };
  const auto o = build(0.18f);
  ASSERT_TRUE(o.completed) << (o.error ? o.error->text() : "");
  EXPECT_GE(blank->sequences, 2000);
  EXPECT_LT(blank->deepestStack, stackAtStep10 + 16 * 1024) << "the callback chain grows the stack";
}

TEST_F(ScanDriver, TexturesEverySixtyDegreesFromStepsOrFromStopsOnTheWay) {
  auto calibration = std::make_shared<QVSCalibrationDetails>();
  calibration->setBedNormalY(1.0f);
  blank->calibration = calibration;
  // Steps of 25 degrees land on 0 and 300 and pass 60, 120, 180 and 240.
  const auto o = build(25.0f);
  ASSERT_TRUE(o.completed) << (o.error ? o.error->text() : "");
  EXPECT_EQ(blank->singleFrames, 4);
  std::vector<std::string> names;
  std::vector<double> yaws;
  h.context().performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(h.scanId(), false, h.context());
    for (const auto& t : scan->textures()) {
      names.push_back(std::filesystem::path(t->textureFileName().value_or("")).filename().string());
      // With the bed normal along +y the camera's view (0, 0, -1) turns by the yaw about +y.
      yaws.push_back(std::atan2(-t->cameraNormX().value_or(0.0), -t->cameraNormZ().value_or(0.0)) * 180.0 / M_PI);
    }
  });
  ASSERT_EQ(names.size(), 6u);
  std::sort(yaws.begin(), yaws.end());
  for (std::size_t i = 0; i < yaws.size(); ++i) {
    const double expected = 60.0 * static_cast<double>(i);
    auto apart = [&](double y) { return std::fabs(std::remainder(y - expected, 360.0)); };
    EXPECT_TRUE(std::any_of(yaws.begin(), yaws.end(), [&](double y) { return apart(y) < 1e-3; }))
        << "no photograph at yaw " << 60 * i;
  }
  for (const auto& name : names) {
    EXPECT_EQ(name.rfind("Texture.", 0), 0u) << name;
    EXPECT_NE(name.find(".1.0_"), std::string::npos) << "the head height with one decimal: " << name;
    EXPECT_TRUE(std::filesystem::exists(h.store().filesFolder() / name)) << name;
  }
}

TEST_F(ScanDriver, AVertexFileThatCannotBeWrittenEndsTheScanNamingItAndKeepsWhatWasStored) {
  std::string path;
  blank->onSequence = [&](int step) {
    if (step != 4) return;
    h.context().performAndWait([&] {
      auto cloud = QVSDPointCloud::pointCloudWithId(scan->laser2CloudObjectId(), h.context());
      path = cloud->vertexDataFilePath().value_or("");
    });
    std::filesystem::remove(path);
  };
  const auto o = build(30.0f);
  ASSERT_TRUE(o.error);
  EXPECT_EQ(o.error->code, QVLScan::kVertexFileErrorCode);
  const auto* file = qv::find(o.error->userInfo, qv::Error::kFilePathKey);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->toString().value_or(""), path);
  // The three steps before it stay; the failed step left no slice in either cloud.
  EXPECT_EQ(slicesAt(0.0f) + slicesAt(30.0f) + slicesAt(60.0f), 3u);
  EXPECT_EQ(slicesAt(90.0f), 0u);
}

TEST_F(ScanDriver, ACloudWhoseSliceFileIsSpoiltAtTheEndIsLeftOutAndNamedAndTheScanFinishes) {
  std::string path;
  blank->onSequence = [&](int step) {
    if (step != 2) return;
    h.context().performAndWait([&] {
      path = QVSDPointCloud::pointCloudWithId(scan->laser2CloudObjectId(), h.context())->vertexDataFilePath().value_or("");
    });
  };
  std::vector<std::string> messages;
  auto update = [&](std::shared_ptr<QVLStatus> s) {
    messages.push_back(s->message());
    // Between the last step and the point data: the file loses all but its first block.
    if (s->message() == "Completing scan" && !path.empty()) std::filesystem::resize_file(path, qv::kSliceBlockBytes);
  };
  qv::test::ScanOutcome o;
  scan->buildScanWithId(h.scanId(), 60.0f, 0.0f, 100, 0, {50}, {50}, h.onComplete(o), update, h.onError(o));
  qv::test::ScanHarness::wait(o);
  ASSERT_FALSE(path.empty());
  EXPECT_FALSE(o.error) << o.error->text();
  EXPECT_TRUE(o.completed);
  const auto named = std::count_if(messages.begin(), messages.end(), [](const std::string& m) {
    return m.find("point cloud") != std::string::npos && m.find("left out") != std::string::npos;
  });
  EXPECT_EQ(named, 1);
  h.context().performAndWait([&] {
    // The other laser's cloud has its records; the spoilt one has none.
    EXPECT_TRUE(QVSDPointCloud::pointCloudWithId(scan->laser1CloudObjectId(), h.context())->vertexIndexData());
    EXPECT_FALSE(QVSDPointCloud::pointCloudWithId(scan->laser2CloudObjectId(), h.context())->vertexIndexData());
  });
}

TEST_F(ScanDriver, APointDataFileThatCannotBeWrittenIsReported) {
  const auto torn = h.store().libraryFolder() / "torn.VertexData";
  { std::ofstream(torn) << "not whole records"; }
  h.context().performAndWait([&] {
    QVSDScanObject::scanObjectWithId(h.scanId(), false, h.context())->setVertexDataFilePath(torn.string());
    h.context().save();
  });
  const auto o = build(60.0f);
  ASSERT_TRUE(o.error) << "a failed save of the point data was taken as success";
  EXPECT_EQ(o.error->code, QVLScan::kPointDataErrorCode);
  EXPECT_EQ(slicesAt(300.0f), 1u);
}

TEST(ExposureTuning, ACancelDuringTheLastCaptureEndsWithCodeOne) {
  struct CancellingDelegate : BlankScanner {
    int captures = 0;
    void captureExposureImagesForTuning(QVLTuning& t, ExposureImagesCompletion c, qv::ErrorCallback e) override {
      if (++captures == 22) t.setShouldCancelTuning(true);
      BlankScanner::captureExposureImagesForTuning(t, c, e);
    }
  } delegate;
  auto tuning = QVLTuning::initWithDelegate(&delegate);
  std::optional<qv::Error> error;
  bool done = false;
  tuning->findOptimalExposureForScan(
      false, [&](int, std::vector<int>, std::vector<int>, int) { done = true; }, nullptr,
      [&](const qv::Error& e) {
        error = e;
        done = true;
      });
  ASSERT_TRUE(qv::runMainQueueUntil([&] { return done; }, qv::test::kPatience));
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->is(qv::kScanErrorDomain, 1));
  EXPECT_EQ(delegate.captures, 22);
}

}  // namespace
