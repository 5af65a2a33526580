// Meshing in the viewer: the options sheet's texts and its one-meshing rule, the meshing road
// from the export popover to the mesh shown in place of the points, its failure, and the
// meshed file's lifetime.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "FakeDisplay.h"
#include "platform/Queue.h"
#include "platform/Settings.h"
#include "support/ManualClockScope.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"
#include "viewer/ViewerStore.h"
#include "viewer/ViewerTestSupport.h"
#include "viewer/model/QVLMeshingViewController.h"
#include "viewer/model/QVLObjectSceneViewController.h"
#include "viewer/model/UserNotifier.h"

namespace fs = std::filesystem;

namespace {

class RecordingMeshing : public QVLMeshingProtocol {
public:
  void performMeshingWithOctreeDepth(std::int64_t depth, std::int64_t samples, Completion completion) override {
    calls.emplace_back(depth, samples);
    pending = std::move(completion);
  }
  void dismissMeshingViewControllerAndSaveMeshedFile(bool save) override { dismissals.push_back(save); }
  std::vector<std::pair<std::int64_t, std::int64_t>> calls;
  std::vector<bool> dismissals;
  Completion pending;
};

class MeshingDisplay : public FakeDisplay {
public:
  void showMeshingSheet(const std::shared_ptr<QVLMeshingViewController>& s) override { sheet = s; }
  void dismissMeshingSheet(std::function<void()> dismissed) override {
    sheet.reset();
    ++sheetDismissals;
    if (dismissed) dismissed();
  }
  void showSaveMeshView() override { saveMeshShown = true; }
  void dismissSaveMeshView() override { saveMeshShown = false; }
  std::shared_ptr<QVLMeshingViewController> sheet;
  int sheetDismissals = 0;
  bool saveMeshShown = false;
};

class MeshingTest : public ::testing::Test {
protected:
  void SetUp() override {
    settings = std::make_unique<qv::Settings>(temp.path() / "Settings.json");
    settings->registerDefaults({{"MeshingOctreeDepth", 8}, {"MeshingSamplesPerNode", 5}});
    qv::viewer::setUserNotifier(notifier);
  }
  void TearDown() override {
    qv::drainMainQueue();
    qv::viewer::setUserNotifier(nullptr);
  }
  qv::test::TempFolder temp;
  std::unique_ptr<qv::Settings> settings;
  std::shared_ptr<RecordingNotifier> notifier = std::make_shared<RecordingNotifier>();
};

}  // namespace

TEST_F(MeshingTest, SheetTextsFollowTheSettingsWhereverTheyChange) {
  auto sheet = QVLMeshingViewController::create(*settings);
  int changes = 0;
  sheet->setOnChange([&] { ++changes; });
  EXPECT_EQ(sheet->detailLevelText(), "8: More details, relatively slow");
  EXPECT_EQ(sheet->smoothingLevelText(), "5 samples per octree node");

  // Another sheet, or the preferences, writing the settings updates this one's texts.
  struct Case {
    std::int64_t depth, samples;
    const char *detail, *smoothing;
  };
  for (const Case& c : {Case{6, 1, "6: Low details, fast", "1 sample per octree node"},
                        Case{5, 0, "", "0 samples per octree node"},
                        Case{10, 2, "10: Extremely detailed, extremely slow", "2 samples per octree node"},
                        Case{11, 20, "", "20 samples per octree node"}}) {
    settings->setValue("MeshingOctreeDepth", c.depth);
    settings->setValue("MeshingSamplesPerNode", c.samples);
    qv::drainMainQueue();
    EXPECT_EQ(sheet->detailLevelText(), c.detail);
    EXPECT_EQ(sheet->smoothingLevelText(), c.smoothing);
  }
  EXPECT_GE(changes, 8);

  sheet->setMeshingType(3);
  EXPECT_EQ(sheet->meshingBodyText(), "Meshing is required for the STL file format. It may take several minutes to complete.");
  sheet->setMeshingType(2);
  EXPECT_EQ(sheet->meshingBodyText(), "Meshing is required for the OBJ file format. It may take several minutes to complete.");
  sheet->setMeshingType(0);
  EXPECT_EQ(sheet->meshingBodyText(), "Meshing is required for this file format. It may take several minutes to complete.");

  // The display indices reverse each whole triangle; a partial one keeps zeros.
  EXPECT_EQ(QVLObjectSceneViewController::meshIndexList(2 * 132 + 2 * 44),
            (std::vector<std::uint32_t>{2, 1, 0, 5, 4, 3, 0, 0}));
}

TEST_F(MeshingTest, OneMeshingAtATimeAndTheNoticeOnlyForAFinishedModel) {
  auto meshing = std::make_shared<RecordingMeshing>();
  auto first = QVLMeshingViewController::create(*settings);
  auto second = QVLMeshingViewController::create(*settings);
  first->setDelegate(meshing);
  second->setDelegate(meshing);
  settings->setValue("MeshingOctreeDepth", 11);  // out of the texts' range, still handed on as it is

  first->performMeshingButtonPressed();
  first->performMeshingButtonPressed();
  second->performMeshingButtonPressed();
  ASSERT_EQ(meshing->calls.size(), 1u);
  EXPECT_EQ(meshing->calls[0], std::make_pair(std::int64_t{11}, std::int64_t{5}));
  EXPECT_TRUE(first->isShowingWaitingView());
  EXPECT_FALSE(second->isShowingWaitingView());
  EXPECT_TRUE(QVLMeshingViewController::isMeshingInProgress());

  // A failure frees the flag but announces nothing: the viewer shows the reason.
  meshing->pending(qv::Error{"test", 1, "no surface", {}});
  qv::drainMainQueue();
  EXPECT_FALSE(QVLMeshingViewController::isMeshingInProgress());
  EXPECT_TRUE(notifier->notices.empty());

  // The completion may come on any thread; the notice is delivered from the main queue.
  second->performMeshingButtonPressed();
  ASSERT_EQ(meshing->calls.size(), 2u);
  std::thread([&] { meshing->pending(std::nullopt); }).join();
  EXPECT_FALSE(QVLMeshingViewController::isMeshingInProgress());
  EXPECT_TRUE(notifier->notices.empty());
  qv::drainMainQueue();
  EXPECT_EQ(notifier->notices, std::vector<std::string>{"Quorvel: Your model has finished meshing"});

  second->cancelButtonPressed();
  EXPECT_EQ(meshing->dismissals, std::vector<bool>{false});
}

namespace {

class MeshingHost : public MeshingTest {
protected:
  void SetUp() override {
    MeshingTest::SetUp();
    store = makeQuietStore(temp.path() / "Quorvel");
    QVLObjectSceneViewController::Options o;
    o.store = store.get();
    o.settings = settings.get();
    o.meshingThreads = 1;  // OpenMP's spinning threads crawl on a machine busy with other tests
    viewer = QVLObjectSceneViewController::create(o);
    viewer->setDisplay(&display);
    settings->setValue("MeshingOctreeDepth", 5);
  }
  void TearDown() override {
    EXPECT_TRUE(qv::test::waitFor([&] { return viewer.use_count() == 1; }));
    viewer.reset();
    store->privateContext()->performAndWait([] {});
    MeshingTest::TearDown();
  }

  qv::ObjectID makeScan(const std::vector<QVLScanVertex>& vertices, const std::string& source) {
    return addScanObject(*store, [&](auto& scan) {
      scan->setVertexData(vertexBytes(vertices));
      if (!source.empty()) scan->setSourceFilePath(source);
    });
  }

  void load(const qv::ObjectID& id) {
    viewer->loadScan(id);
    clock.advanceSeconds(0.3);
    ASSERT_TRUE(qv::test::waitFor([&] { return viewer->isDoneLoading(); }));
    // The busy view's last second runs on a timer the load sets just after it says it is done,
    // so a single step of the clock can come before that timer exists: keep stepping.
    ASSERT_TRUE(qv::test::waitFor([&] {
      clock.clock()->advance(qv::seconds(0.5));
      return !display.busyShown;
    }));
  }

  std::optional<std::string> meshedPath(const qv::ObjectID& id, std::optional<std::string>* source = nullptr) {
    std::optional<std::string> out;
    store->privateContext()->performAndWait([&] {
      auto scan = QVSDScanObject::scanObjectWithId(id, false, *store->privateContext());
      out = scan->meshedVertexDataFilePath();
      if (source) *source = scan->sourceFilePath();
    });
    return out;
  }

  std::size_t meshFiles() const {
    std::size_t n = 0;
    for (const auto& entry : fs::directory_iterator(store->libraryFolder())) n += entry.path().extension() == ".stl";
    return n;
  }

  qv::test::ManualClockScope clock;
  std::unique_ptr<TBCoreDataStoreS1> store;
  MeshingDisplay display;
  std::shared_ptr<QVLObjectSceneViewController> viewer;
};

}  // namespace

TEST_F(MeshingHost, TheMeshTakesThePointsPlaceAndItsFileGoesWhenTheViewerCloses) {
  const auto id = makeScan(ballScan(3000, 30, 40), "/scans/Ball.qvk");
  load(id);
  const auto pointsNode = viewer->objectNode();
  ASSERT_TRUE(pointsNode);
  pointsNode->setPosition({1, 2, 3});  // the mesh must keep where the points were

  viewer->exportFileFormatSelected("stl");
  ASSERT_TRUE(display.sheet);
  const auto sheet = display.sheet;
  EXPECT_EQ(sheet->meshingType(), 3);
  EXPECT_FALSE(viewer->meshPresentsTextures());
  viewer->showMeshingViewControllerForType("textured_obj");  // a sheet is up: nothing changes
  EXPECT_EQ(display.sheet, sheet);
  EXPECT_EQ(viewer->meshingType(), 3);

  sheet->performMeshingButtonPressed();
  EXPECT_TRUE(viewer->meshNeedsSaving());
  ASSERT_TRUE(qv::test::waitFor([&] { return viewer->isPresentingMeshedObject() && !viewer->meshingViewController(); }));
  EXPECT_EQ(display.sheetDismissals, 1);
  qv::drainMainQueue();

  const auto node = viewer->objectNode();
  ASSERT_NE(node, pointsNode);
  EXPECT_EQ(node->position().z, 3.0f);
  const auto geometry = node->geometry();
  ASSERT_TRUE(geometry);
  EXPECT_EQ(geometry->primitive, qv::scene::PrimitiveType::Triangles);
  EXPECT_EQ(geometry->elementCount, geometry->vertices->count());
  EXPECT_GT(geometry->primitiveCount(), 100u);
  EXPECT_EQ((std::vector<std::uint32_t>(geometry->indices->begin(), geometry->indices->begin() + 3)),
            (std::vector<std::uint32_t>{2, 1, 0}));
  EXPECT_EQ(geometry->material.lighting, qv::scene::LightingModel::Lambert);
  EXPECT_TRUE(geometry->material.doubleSided);
  EXPECT_FALSE(geometry->material.texture);
  EXPECT_EQ(display.buttons, qv::viewer::HeaderButtons::MeshToolbar);
  EXPECT_EQ(display.title, "Meshed Ball");
  EXPECT_FALSE(viewer->canOpenFile());

  // The finished meshing asks where to save it; cancelling keeps the mesh unsaved.
  EXPECT_EQ(display.suggestedNames, std::vector<std::string>{"Ball.stl"});
  EXPECT_TRUE(viewer->meshNeedsSaving());
  std::optional<std::string> source;
  const auto path = meshedPath(id, &source);
  EXPECT_EQ(source, "/scans/Ball.qvk") << "meshing leaves the scan's own path alone";
  ASSERT_TRUE(path);
  EXPECT_TRUE(fs::exists(*path));

  // The back button asks first; leaving from the overlay brings the points back.
  viewer->backToPointCloudButtonPressed(true);
  EXPECT_TRUE(display.saveMeshShown);
  EXPECT_TRUE(viewer->isPresentingMeshedObject());
  viewer->backToPointCloudButtonPressed(false);
  EXPECT_FALSE(display.saveMeshShown);
  EXPECT_FALSE(viewer->meshNeedsSaving());
  load(id);
  EXPECT_FALSE(viewer->isPresentingMeshedObject());
  EXPECT_EQ(viewer->objectNode()->geometry()->primitive, qv::scene::PrimitiveType::Points);

  viewer->closeSceneAndReturnHome();
  qv::drainMainQueue();
  ASSERT_TRUE(qv::test::waitFor([&] { return !meshedPath(id); }));
  EXPECT_FALSE(fs::exists(*path));
  EXPECT_EQ(meshFiles(), 0u);
}

TEST_F(MeshingHost, AFailedMeshingSaysWhyAndLeavesNothingToSave) {
  const auto id = makeScan(std::vector<QVLScanVertex>(50), "");
  load(id);
  const auto pointsNode = viewer->objectNode();
  viewer->exportFileFormatSelected("untextured_obj");
  ASSERT_TRUE(display.sheet);
  EXPECT_EQ(display.sheet->meshingType(), 2);
  display.sheet->performMeshingButtonPressed();
  ASSERT_TRUE(qv::test::waitFor([&] { return !viewer->meshingViewController() && !display.alerts.empty(); }));
  EXPECT_EQ(display.alerts[0].rfind("The model could not be meshed: ", 0), 0u) << display.alerts[0];
  EXPECT_FALSE(viewer->meshNeedsSaving());
  EXPECT_FALSE(viewer->isPresentingMeshedObject());
  EXPECT_EQ(viewer->objectNode(), pointsNode);
  EXPECT_TRUE(display.suggestedNames.empty()) << "nothing to save";
  qv::drainMainQueue();
  EXPECT_FALSE(QVLMeshingViewController::isMeshingInProgress());
  EXPECT_TRUE(notifier->notices.empty());
  EXPECT_EQ(meshFiles(), 0u);
  std::optional<std::string> source;
  EXPECT_FALSE(meshedPath(id, &source));
  EXPECT_FALSE(source) << "an empty source path stays empty";
}
