// The scan screen without a display: the preview's point sets and their thinning, the preview
// scene's navigation, and the screen's rules on the manual clock with a recording delegate.
#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "ScreensTestSupport.h"
#include "screens/ScanScreenPresenter.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPoint3D.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "viewer/model/PointDistance.h"

namespace qv::screens::test {
namespace {

QVLPreviewVertex at(float x, float y, float z = 0) {
  QVLPreviewVertex v;
  v.x = x;
  v.y = y;
  v.z = z;
  return v;
}

std::vector<QVLPreviewVertex> line(std::size_t n, float y = 0) {
  std::vector<QVLPreviewVertex> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(at(static_cast<float>(i), y + static_cast<float>(i % 3) * 0.1f));
  return out;
}

// The thinning as its rule reads: measure every interior point, remove the first nearest one,
// once per removed point.
std::vector<float> thinnedByTheRule(std::vector<QVLPreviewVertex> records, float fraction) {
  std::vector<std::size_t> list(records.size());
  for (std::size_t i = 0; i < list.size(); ++i) list[i] = i;
  std::size_t removed = 0;
  while (list.size() >= 3) {
    float best = std::numeric_limits<float>::max();
    std::size_t chosen = 0;
    for (std::size_t k = 1; k + 1 < list.size(); ++k) {
      const auto& p = records[list[k]];
      const auto& a = records[list[k - 1]];
      const auto& b = records[list[k + 1]];
      const float d = PointToSegmentDistance({p.x, p.y, p.z}, {a.x, a.y, a.z}, {b.x, b.y, b.z});
      if (d < best) {
        best = d;
        chosen = k;
      }
    }
    if (chosen == 0) break;
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(chosen));
    if (static_cast<float>(++removed) / static_cast<float>(records.size()) > fraction) break;
  }
  std::vector<float> xs;
  for (auto i : list) xs.push_back(records[i].x);
  return xs;
}

TEST(ScanPreviewPointSetTest, BatchesFitOrAreRefusedWholeAndThinningKeepsTheEndsInArrivalOrder) {
  QVLScanViewPointSet last(QVLScanViewPointSet::kLastSliceType);
  EXPECT_FALSE(last.addVertices(line(5001), 0));
  EXPECT_EQ(last.numberOfPoints(), 0u);
  QVLScanViewPointSet::Produced produced;
  EXPECT_TRUE(last.addVertices(line(5000), 0, &produced));
  EXPECT_EQ(last.numberOfPoints(), 5000u);
  EXPECT_EQ(produced.index.size(), 5000u);
  EXPECT_EQ(produced.index.back(), 4999u);
  EXPECT_FALSE(last.addVertices(line(1), 0)) << "a full set takes nothing more";

  // Three collinear points at one half: the middle lies on the segment and goes.
  std::vector<QVLPreviewVertex> three{at(0, 0), at(1, 1), at(2, 2)};
  EXPECT_EQ(QVLScanViewPointSet::removeIntermediatePoints(three.data(), 3, 0.5f), 1u);
  EXPECT_EQ(three[0].x, 0.0f);
  EXPECT_EQ(three[1].x, 2.0f);

  // Two interior points equally near their segments: the earlier goes first.
  std::vector<QVLPreviewVertex> tie{at(0, 0), at(1, 1), at(2, 0), at(3, 1), at(4, 0)};
  EXPECT_EQ(QVLScanViewPointSet::removeIntermediatePoints(tie.data(), 5, 0.1f), 1u);
  EXPECT_EQ(tie[1].x, 2.0f);

  // 96 % of 100 removes 97 and keeps the first and last; one or two points lose nothing.
  auto hundred = line(100);
  EXPECT_EQ(QVLScanViewPointSet::removeIntermediatePoints(hundred.data(), 100, 0.96f), 97u);
  EXPECT_EQ(hundred[0].x, 0.0f);
  EXPECT_EQ(hundred[2].x, 99.0f);
  auto two = line(2);
  EXPECT_EQ(QVLScanViewPointSet::removeIntermediatePoints(two.data(), 2, 0.96f), 0u);

  // A copy that would overflow the smaller set is refused.
  QVLScanViewPointSet big(QVLScanViewPointSet::kLevelOfDetailType);
  ASSERT_TRUE(big.addVertices(line(6000), 0));
  EXPECT_FALSE(last.copyFrom(big));
  EXPECT_EQ(last.numberOfPoints(), 5000u);
  EXPECT_TRUE(big.copyFrom(last));
  EXPECT_EQ(big.numberOfPoints(), 5000u);
}

TEST(ScanPreviewPointSetTest, ThinningRemovesExactlyWhatMeasuringTheWholeListEachTimeWould) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> jitter(-1.0f, 1.0f);
  for (float fraction : {0.25f, 0.5f, 0.75f, 0.9f, 0.96f}) {
    std::vector<QVLPreviewVertex> records;
    // A laser line down an object: mostly smooth, some rows noisy, some repeated exactly.
    for (int row = 0; row < 300; ++row) {
      const float y = static_cast<float>(row) * 0.3f;
      const float x = 20.0f * std::sin(y * 0.05f) + (row % 7 == 0 ? jitter(random) : 0.0f);
      records.push_back(at(row % 40 == 0 && row > 0 ? records.back().x : x, y, jitter(random) * 0.01f));
    }
    const auto expected = thinnedByTheRule(records, fraction);
    QVLScanViewPointSet set(QVLScanViewPointSet::kLevelOfDetailType);
    QVLScanViewPointSet::Produced produced;
    ASSERT_TRUE(set.addVertices(records, fraction, &produced));
    ASSERT_EQ(produced.data.size(), expected.size()) << fraction;
    for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(produced.data[i].x, expected[i]) << fraction << " at " << i;
    EXPECT_EQ(set.numberOfPoints(), expected.size());
    // The preview thins once for all its sets: each keeps what thinning it alone would keep.
    const auto order = QVLScanViewPointSet::removalOrder(records.data(), records.size(), 0.96f);
    QVLScanViewPointSet shared(QVLScanViewPointSet::kLevelOfDetailType);
    ASSERT_TRUE(shared.addThinnedVertices(records, order, QVLScanViewPointSet::removalsFor(records.size(), order.size(), fraction)));
    ASSERT_EQ(shared.numberOfPoints(), expected.size()) << fraction;
    for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(shared.vertices()[i].x, expected[i]) << fraction;
  }
}

class ScanPreviewTest : public ::testing::Test {
protected:
  qv::test::TempFolder temp;
  qv::Settings settings{temp.path() / "Settings.json"};
  ScanPreviewScene scene{settings};
  ScanPreview preview{scene};
};

TEST_F(ScanPreviewTest, AFullShownSetStepsTheDisplayDownToTheNextCoarserSetDrawnWhole) {
  ASSERT_TRUE(preview.pointSet(1).addVertices(line(1999990), 0));
  preview.intake(line(20, 5), {});
  EXPECT_EQ(preview.setToDisplay(), 2);
  EXPECT_EQ(preview.numberOfPoints(1), 1999990u) << "the full set refused the batch whole";
  // 20 points thinned by a quarter keep 14; the coarsest keeps its ends.
  EXPECT_EQ(preview.numberOfPoints(2), 14u);
  EXPECT_EQ(preview.numberOfPoints(6), 2u);
  EXPECT_EQ(preview.shownNodeCount(), 1u);
  const auto children = scene.objectsNode()->children();
  ASSERT_EQ(children.size(), 2u) << "the whole 75 % set and the red highlight";
  EXPECT_EQ(children[0]->geometry()->elementCount, 14u);
  EXPECT_EQ(children[1]->geometry()->material.diffuse->red, 1.0f);

  // The next save goes to the new shown set and waits, unseen, for the fade.
  preview.intake({}, line(8, 9));
  EXPECT_EQ(preview.numberOfPoints(1), 1999990u);
  EXPECT_EQ(preview.shownNodeCount(), 2u);
  EXPECT_EQ(scene.objectsNode()->children().size(), 2u);
  preview.fadeIn();
  preview.fadeHighlight(1.0f);
  EXPECT_EQ(preview.highlightNodeCount(), 0u);
  const auto after = scene.objectsNode()->children();
  ASSERT_EQ(after.size(), 2u);
  EXPECT_FALSE(after[1]->geometry()->material.diffuse) << "points keep their own colours";

  // A save of no points of this scan only empties the highlight.
  preview.intake({}, {});
  EXPECT_EQ(preview.lastSliceCount(), 0u);
  preview.reset();
  EXPECT_EQ(preview.setToDisplay(), 1);
  EXPECT_EQ(preview.numberOfPoints(2), 0u);
}

TEST_F(ScanPreviewTest, NavigationClampsThePitchIgnoresTinyTurnsAndZoomsWithinItsRange) {
  scene.setPitchAngle(2.0f);
  EXPECT_FLOAT_EQ(scene.pitchAngle(), 1.5393804f);
  scene.setPitchAngle(std::numeric_limits<float>::quiet_NaN());
  EXPECT_FLOAT_EQ(scene.pitchAngle(), 1.5393804f);
  scene.setPitchAngle(-9.0f);
  EXPECT_FLOAT_EQ(scene.pitchAngle(), -1.5393804f);
  scene.setPitchAngle(2.0f);
  scene.updateObjectTransform();
  const auto camera = scene.cameraNode()->position();
  EXPECT_GT(camera.y, 150.0f) << "the camera stands almost straight above";
  EXPECT_LT(std::fabs(camera.z), 20.0f);

  const auto objects = scene.objectsNode();
  scene.setYawAngle(0.003f);
  scene.updateObjectTransform();
  EXPECT_EQ(objects->transform(), scene::Mat4::identity());
  scene.setYawAngle(0.004f);
  scene.updateObjectTransform();
  EXPECT_NEAR(objects->transform().at(0, 2), -std::sin(0.004f), 1e-6);

  // The wheel scales only the camera's z by the clamped distance over the distance now.
  scene.resetViewKey(true);
  const float start = scene::length(scene.cameraNode()->position());
  scene.scrollWheel(-1000);
  EXPECT_NEAR(scene.cameraPosition0().z, 150.0 * 30.0 / start, 1e-3);
  EXPECT_EQ(scene.cameraPosition0().y, 20.0);
  const float near = scene::length(scene.cameraNode()->position());
  scene.scrollWheel(1000);
  EXPECT_NEAR(scene.cameraPosition0().z, 150.0 * 30.0 / start * 300.0 / near, 1e-2);
  const double zoomed = scene.cameraPosition0().z;

  // C levels the view only; Shift-C also brings the camera back.
  scene.drag(0, 100, 400, 400, {});
  EXPECT_NE(scene.pitchAngle(), 0.0f);
  scene.resetViewKey(false);
  EXPECT_EQ(scene.pitchAngle(), 0.0f);
  EXPECT_EQ(scene.cameraPosition0().z, zoomed);
  scene.resetViewKey(true);
  EXPECT_EQ(scene.cameraPosition0().z, 150.0);

  settings.setValue("ViewPointSize", Value(std::int64_t{5}));
  EXPECT_EQ(scene.pointSize(2.0), 1.0f);
  settings.setValue("ViewPointSize", Value(std::int64_t{2}));
  EXPECT_NEAR(scene.pointSize(2.0), (4 + (1 - start / 160.0) * 9) * 2, 1e-3);

  const auto records = line(10);
  auto node = ScanPreviewScene::renderVertices(records, {0, 1, 2, 3, 4, 5, 6, 7}, 10,
                                               ScanPreviewScene::PointMaterial::Internal);
  EXPECT_EQ(node->geometry()->elementCount, 8u);
}

// Records what the screen asked of the application and keeps the build's handlers.
class RecordingDelegate : public QVLScanViewControllerDelegate {
public:
  std::vector<std::string> calls;
  float step = -1, height = -1;
  qv::Completion complete;
  Update update;
  qv::ErrorCallback error;
  std::vector<qv::ObjectID> opened;

  void buildScanForScanViewController(const qv::ObjectID&, float s, float h, qv::Completion c, Update u,
                                      qv::ErrorCallback e) override {
    calls.push_back("build");
    step = s;
    height = h;
    complete = std::move(c);
    update = std::move(u);
    error = std::move(e);
  }
  void pauseScanForScanViewController() override { calls.push_back("pause"); }
  void resumeCurrentScanForScanViewController(qv::Completion c, Update u, qv::ErrorCallback e) override {
    calls.push_back("resume");
    complete = std::move(c);
    update = std::move(u);
    error = std::move(e);
  }
  void cancelScanForScanViewController() override { calls.push_back("cancel"); }
  void tidyScanForScanViewController() override { calls.push_back("tidy"); }
  void openScan(const qv::ObjectID& scan) override { opened.push_back(scan); }
  void showHudScreenForScanViewController() override { calls.push_back("hud"); }
};

class RecordingView : public ScanScreenView {
public:
  ScanScreenControls shown;
  int images = 0, panelOpened = 0;
  std::optional<std::string> saveAs;
  std::string offeredName;
  void showControls(const ScanScreenControls& c) override { shown = c; }
  void showMonitorImages(qv::SharedData, qv::SharedData) override { ++images; }
  void clearMonitorImages() override {}
  void setRightPanelOpen(bool) override {}
  void animateRightPanel(bool open, double, std::function<void()> done) override {
    panelOpened += open ? 1 : 0;
    done();
  }
  void chooseSaveLocation(const std::string& name, const std::filesystem::path&,
                          std::function<void(std::optional<std::string>)> done) override {
    offeredName = name;
    done(saveAs);
  }
  void previewChanged(double) override {}
  void sceneReset() override {}
};

class ScanScreenPresenterTest : public ScreensTest {
protected:
  ScanScreenPresenterTest() {
    presenter = ScanScreenPresenter::create(*store, *settings, dialogs);
    presenter->setDelegate(&delegate);
    presenter->setView(&view);
  }
  ~ScanScreenPresenterTest() override { presenter.reset(); }

  void startQuickScan() {
    presenter->simpleQualityScanButtonPressed();
    clock.advanceSeconds(1.0);
    ASSERT_EQ(delegate.calls.back(), "build");
  }
  // The scan's own clouds and slices, stored by the scan driver's context.
  void storeClouds(int clouds, int slicesEach, int pointsEach = 0) {
    auto context = store->privateContext();
    const auto id = *presenter->scanObjectID();
    context->performAndWait([&] {
      auto scan = QVSDScanObject::scanObjectWithId(id, false, *context);
      ASSERT_TRUE(scan);
      for (int c = 0; c < clouds; ++c) {
        auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
        cloud->setLaserNumber(c % 2);
        for (int s = 0; s < slicesEach; ++s) {
          auto slice = QVSDScanSlice::createScanSliceInPointCloud(cloud, 3.0 * s);
          for (int p = 0; p < pointsEach; ++p) {
            auto point = QVSDPoint3D::createPointInScanSlice(slice);
            point->setPoint3D({1.0 * p, 2.0 * s, 3.0});
          }
        }
      }
      context->save();
    });
    settle();
  }
  bool scanExists(const qv::ObjectID& id) {
    bool exists = false;
    auto context = store->mainContext();
    context->performAndWait([&] { exists = QVSDScanObject::scanObjectWithId(id, false, *context) != nullptr; });
    return exists;
  }

  FakeDialogs dialogs;
  RecordingDelegate delegate;
  RecordingView view;
  std::shared_ptr<ScanScreenPresenter> presenter;
};

TEST_F(ScanScreenPresenterTest, TheSettingsDecideBetweenTheQualityChoiceAndAnImmediateStart) {
  settings->setValue("EnableAdaptiveScanning", Value(true));
  presenter->resetView();
  EXPECT_FALSE(view.shown.startView);
  presenter->startScan();
  clock.advanceSeconds(0.9);
  EXPECT_TRUE(delegate.calls.empty()) << "the build waits a second";
  clock.advanceSeconds(0.1);
  ASSERT_EQ(delegate.calls, std::vector<std::string>{"build"});
  EXPECT_EQ(delegate.step, 0.0f);
  EXPECT_EQ(delegate.height, 37.0f);
  EXPECT_EQ(view.shown.status, "Starting scan");
  // One scan at a time: a start while one runs is ignored.
  presenter->startScan();
  clock.advanceSeconds(1);
  EXPECT_EQ(delegate.calls.size(), 1u);
  delegate.complete();
  qv::drainMainQueue();

  settings->setValue("EnableAdaptiveScanning", Value(false));
  settings->setValue("OverrideScanRotationAndHeight", Value(true));
  settings->setValue("ScanRotationInDegrees", Value(7.0));
  presenter->resetView();
  EXPECT_TRUE(view.shown.startView);
  presenter->startScan();
  clock.advanceSeconds(2);
  EXPECT_EQ(delegate.calls.size(), 1u);
  // The advanced screen's finer steps are whole turns too.
  for (float step : {0.6f, 1.2f, 0.125f}) EXPECT_TRUE(ScanScreenPresenter::stepDividesTurn(step)) << step;
  EXPECT_FALSE(ScanScreenPresenter::stepDividesTurn(7.0f));

  presenter->highQualityScanButtonPressed();
  EXPECT_DOUBLE_EQ(settings->doubleForKey("ScanRotationInDegrees"), 0.5);
  clock.advanceSeconds(1);
  EXPECT_EQ(delegate.step, 0.5f);
}

TEST_F(ScanScreenPresenterTest, ProgressStatusAndMonitorImagesComeFromTheUpdates) {
  startQuickScan();
  auto status = QVLStatus::statusWithType(QVLStatusTypeScan);
  status->setPercentageComplete(0.4f);
  status->setMessage("Pass 1");
  delegate.update(status);
  qv::drainMainQueue();
  EXPECT_FLOAT_EQ(view.shown.progress, 0.4f);
  EXPECT_FALSE(view.shown.details);

  auto bare = QVLStatus::statusWithType(QVLStatusTypeScan);  // progress -1, no message
  auto frame = std::make_shared<const qv::Data>(16, 0);
  bare->setChildren({QVLStatus::statusWithType(QVLStatusTypeLaserImage, frame)});
  delegate.update(bare);
  qv::drainMainQueue();
  EXPECT_FLOAT_EQ(view.shown.progress, 0.4f);
  EXPECT_EQ(view.shown.status, "Pass 1");
  EXPECT_EQ(view.images, 1);
  EXPECT_TRUE(view.shown.details);
  EXPECT_TRUE(presenter->isRightPanelOpen());
  // Closed by the user, it stays closed for the next scan's images.
  presenter->toggleAdvanced();
  EXPECT_TRUE(settings->boolForKey("ScanViewShouldHideAdvancedPanel"));
  delegate.update(bare);
  qv::drainMainQueue();
  EXPECT_EQ(view.panelOpened, 1);

  delegate.complete();
  qv::drainMainQueue();
  EXPECT_TRUE(view.shown.finish && view.shown.cancel && !view.shown.pause);
  EXPECT_EQ(view.shown.progress, 1.0f);
}

TEST_F(ScanScreenPresenterTest, APauseOffersFinishOnlyWithEnoughStoredAndTheMenuFollowsTheButtons) {
  startQuickScan();
  EXPECT_TRUE(presenter->validateMenuItem(ScanScreenPresenter::kPauseMenuTag).enabled);
  EXPECT_FALSE(presenter->validateMenuItem(ScanScreenPresenter::kPlayMenuTag).visible);
  presenter->pauseButtonPressed();
  EXPECT_EQ(delegate.calls.back(), "pause");
  EXPECT_EQ(view.shown.status, "Pausing scan");
  // While pausing neither pause nor play shows: the other items stay usable.
  EXPECT_TRUE(presenter->validateMenuItem(0).enabled);
  EXPECT_FALSE(presenter->validateMenuItem(ScanScreenPresenter::kPauseMenuTag).enabled);
  // A hidden button's item does nothing (the pause button's own action would resume here).
  presenter->performMenuItem(ScanScreenPresenter::kPauseMenuTag);
  clock.advanceSeconds(0.2);
  EXPECT_EQ(delegate.calls.back(), "pause");

  storeClouds(2, 3);  // 2 clouds, 6 slices
  delegate.error(qv::Error(qv::kScanErrorDomain, 12, "paused"));
  qv::drainMainQueue();
  EXPECT_EQ(view.shown.status, "Scan paused");
  EXPECT_TRUE(view.shown.play && view.shown.cancel);
  EXPECT_FALSE(view.shown.finish);

  presenter->playButtonPressed();
  EXPECT_FALSE(view.shown.play || view.shown.cancel);
  clock.advanceSeconds(0.1);
  EXPECT_EQ(delegate.calls.back(), "resume");
  EXPECT_EQ(view.shown.status, "Resuming scan");
  storeClouds(1, 1);  // a seventh slice
  delegate.error(qv::Error(qv::kScanErrorDomain, 12, "paused"));
  qv::drainMainQueue();
  EXPECT_TRUE(view.shown.finish);
  EXPECT_TRUE(presenter->validateMenuItem(ScanScreenPresenter::kFinishMenuTag).enabled);

  // A camera failure is told, then the scan can be resumed, finished or cancelled.
  dialogs.answer = 0;
  delegate.error(qv::Error(qv::kControlErrorDomain, 4, "write failed"));
  qv::drainMainQueue();
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(dialogs.alerts[0].message, "Camera Error");
  EXPECT_TRUE(view.shown.play && view.shown.finish && view.shown.cancel && !view.shown.pause);
}

TEST_F(ScanScreenPresenterTest, ACancelAsksOnceThereArePointsAndLeavesNoScanBehind) {
  // Before a scan starts there is nothing to ask about or delete.
  presenter->showStartView();
  presenter->cancelButtonPressed();
  EXPECT_EQ(delegate.calls.back(), "hud");

  startQuickScan();
  const auto id = *presenter->scanObjectID();
  storeClouds(1, 1, 5);
  EXPECT_EQ(presenter->preview().numberOfPoints(1), 5u) << "the preview follows the store's saves";
  delegate.error(qv::Error(qv::kScanErrorDomain, 12, "paused"));
  qv::drainMainQueue();
  presenter->cancelButtonPressed();
  ASSERT_EQ(dialogs.pending.size(), 1u);
  EXPECT_EQ(dialogs.alerts.back().buttons, (std::vector<std::string>{"Continue Scanning", "Delete Scan"}));
  dialogs.pending[0](0);
  EXPECT_EQ(delegate.calls.back(), "build");
  presenter->cancelButtonPressed();
  dialogs.pending[1](1);
  settle();
  EXPECT_EQ(delegate.calls.back(), "hud");
  EXPECT_FALSE(scanExists(id));

  // A cancel of a running scan may end as a pause: it is still the end of that scan.
  startQuickScan();
  const auto second = *presenter->scanObjectID();
  presenter->pauseButtonPressed();
  delegate.error(qv::Error(qv::kScanErrorDomain, 12, "paused"));
  qv::drainMainQueue();
  presenter->playButtonPressed();
  clock.advanceSeconds(0.1);
  presenter->cancelButtonPressed();  // nothing stored: no question
  delegate.error(qv::Error(qv::kScanErrorDomain, 11, "cancelled"));
  settle();
  EXPECT_FALSE(scanExists(second));

  // A step that makes no whole turn, and a failure before anything was stored, leave nothing either.
  presenter->scanWithSliceDegrees(7.0f, 37.0f);
  EXPECT_EQ(delegate.calls.back(), "hud");
  startQuickScan();
  const auto third = *presenter->scanObjectID();
  delegate.error(qv::Error(qv::kScanErrorDomain, 99, "odd"));
  settle();
  EXPECT_FALSE(scanExists(third));
  EXPECT_EQ(delegate.calls.back(), "hud");
}

TEST_F(ScanScreenPresenterTest, TheSaveNamesAFreeFileAndAFailedWriteReturnsToTheQuestion) {
  const auto folder = temp.path() / "Scans";
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "Scan.qvkx") << "x";
  std::ofstream(folder / "Scan(1).qvk") << "x";
  EXPECT_EQ(ScanScreenPresenter::defaultScanFileName(std::nullopt, folder), "Scan(2)");
  std::ofstream(folder / "Scan(2).qvk") << "x";
  EXPECT_EQ(ScanScreenPresenter::defaultScanFileName(std::nullopt, folder), "Scan(3)");
  EXPECT_EQ(ScanScreenPresenter::defaultScanFileName("/a/b/Bust.qvk", folder), "Bust");
  EXPECT_EQ(ScanScreenPresenter::defaultScanFileName("/a/b/Bust.ply", folder), "Scan(3)");

  settings->setValue("NSNavLastRootDirectory", Value(folder.string()));
  startQuickScan();
  delegate.complete();
  qv::drainMainQueue();
  presenter->finishButtonPressed();
  EXPECT_TRUE(view.shown.saveOverlay && view.shown.savePrompt && !view.shown.saving);
  view.saveAs = std::nullopt;
  presenter->saveScanButtonPressed();
  EXPECT_EQ(view.offeredName, "Scan(3)");
  EXPECT_TRUE(view.shown.savePrompt) << "a cancelled panel changes nothing";

  // The scan holds no points, so the writer refuses: the user is told and may try again.
  dialogs.answer = 0;
  view.saveAs = (folder / "Empty.qvk").string();
  presenter->saveScanButtonPressed();
  EXPECT_TRUE(view.shown.saving);
  ASSERT_TRUE(qv::runMainQueueUntil([&] { return !dialogs.alerts.empty(); }, qv::test::kPatience));
  EXPECT_EQ(dialogs.alerts[0].message, "The scan could not be saved");
  EXPECT_TRUE(view.shown.saveOverlay && view.shown.savePrompt && !view.shown.saving);
  EXPECT_TRUE(delegate.opened.empty());
  EXPECT_EQ(std::count(delegate.calls.begin(), delegate.calls.end(), "tidy"), 1);
}

}  // namespace
}  // namespace qv::screens::test
