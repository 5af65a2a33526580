// The aligning screen on the viewer (under Xvfb): opened over a loaded scan, the second scan of
// the same object aligned and merged while the waiting view shows, the save panel offered with
// the merged name, and the merged scan shown once the panel is cancelled. Screenshots of each
// step go to the test's output folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QImage>
#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <filesystem>

#include "platform/Queue.h"
#include "platform/Settings.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/TBCoreDataStoreS1.h"
#include "support/TempFolder.h"
#include "viewer/AlignmentScans.h"
#include "viewer/gui/GuiOutput.h"
#include "viewer/ViewerTestSupport.h"
#include "viewer/model/QVLObjectSceneViewController.h"
#include "viewer/ui/QVLAligningView.h"
#include "viewer/ui/QVLObjectSceneView.h"

namespace fs = std::filesystem;

namespace {

using qv::test::saveScreenshot;

class AligningGui : public ::testing::Test {
protected:
  void SetUp() override {
    TBCoreDataStoreS1::Options options;
    options.folder = temp.path() / "Quorvel";
    options.presentError = [](const qv::Error&) {};
    store = std::make_unique<TBCoreDataStoreS1>(std::move(options));
    settings = std::make_unique<qv::Settings>(temp.path() / "Settings.json");
    settings->registerDefaults({{"ViewPointSize", 2}});
    QVLObjectSceneViewController::Options o;
    o.store = store.get();
    o.settings = settings.get();
    controller = QVLObjectSceneViewController::create(o);
    view = std::make_unique<QVLObjectSceneView>(controller);
    view->resize(900, 640);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
  }
  void TearDown() override {
    view.reset();
    EXPECT_TRUE(QTest::qWaitFor([&] { return controller.use_count() == 1; }, 10000));
    controller.reset();
    store->privateContext()->performAndWait([] {});
    qv::drainMainQueue();
  }

  // One scan of the lumpy object in the given pose, in one colour, as one cloud.
  qv::ObjectID addScan(const Eigen::Isometry3d& pose, unsigned seed, float r, float g, float b, const std::string& path) {
    auto vertices = qv::test::scanOfObject(pose, {8000, 0.05, 0.0, seed});
    std::vector<std::uint32_t> list;
    for (std::size_t i = 1; i < vertices.size(); ++i) {
      vertices[i].colourRed = r, vertices[i].colourGreen = g, vertices[i].colourBlue = b;
      list.push_back(static_cast<std::uint32_t>(i));
    }
    qv::ObjectID id;
    store->privateContext()->performAndWait([&] {
      auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(*store->privateContext()));
      auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
      cloud->setLookupId(1);
      cloud->setVertexIndexData(indexBytes(list));
      scan->setVertexData(vertexBytes(vertices));
      scan->setSourceFilePath(path);
      ASSERT_TRUE(store->privateContext()->save());
      id = scan->objectID();
    });
    return id;
  }

  QFileDialog* openDialog() {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible()) return d;
    return view->findChild<QFileDialog*>();
  }

  QImage grab() {
    QApplication::processEvents();
    return view->grab().toImage();
  }

  qv::test::TempFolder temp;
  std::unique_ptr<TBCoreDataStoreS1> store;
  std::unique_ptr<qv::Settings> settings;
  std::shared_ptr<QVLObjectSceneViewController> controller;
  std::unique_ptr<QVLObjectSceneView> view;
};

}  // namespace

TEST_F(AligningGui, AlignsTheSecondScanOntoTheShownOneAndShowsTheMerge) {
  const std::string fixedPath = (temp.path() / "Lump.qvk").string(), secondPath = (temp.path() / "Lump-turned.qvk").string();
  const auto fixedId = addScan(Eigen::Isometry3d::Identity(), 5, 0.9f, 0.55f, 0.2f, fixedPath);
  addScan(qv::test::knownFirstFromSecond(), 6, 0.2f, 0.45f, 0.9f, secondPath);
  controller->loadScan(fixedId);
  ASSERT_TRUE(QTest::qWaitFor([&] { return controller->isDoneLoading() && !view->busyView()->isVisible(); }, 20000));

  QVLAligningViewController::Options options;
  options.store = store.get();
  QVLAligningView* screen = QVLAligningView::open(view.get(), options);
  ASSERT_TRUE(screen);
  EXPECT_FALSE(QVLAligningView::open(view.get(), options)) << "one screen at a time";
  EXPECT_FALSE(controller->canOpenFile());
  QTest::qWait(400);  // the fade-in
  EXPECT_TRUE(screen->chooseFileButton()->isVisible());
  saveScreenshot(grab(), "aligning-asking");

  screen->controller()->alignAndMergeFile(secondPath);
  QTest::qWait(400);
  EXPECT_TRUE(screen->waitingView()->isVisible());
  saveScreenshot(grab(), "aligning-waiting");

  ASSERT_TRUE(QTest::qWaitFor([&] { return openDialog() != nullptr; }, 30000)) << "no save panel";
  QFileDialog* panel = openDialog();
  EXPECT_EQ(panel->labelText(QFileDialog::Accept).toStdString(), "Save Scan");
  ASSERT_FALSE(panel->selectedFiles().isEmpty());
  EXPECT_EQ(fs::path(panel->selectedFiles().front().toStdString()).filename().string(), "Lump_Lump-turned.qvk");
  const auto merged = screen->controller()->combinedScanObjectID();
  ASSERT_TRUE(merged);
  panel->reject();

  // Cancelled: the merged scan is shown and the screen is gone.
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->findChild<QVLAligningView*>() == nullptr; }, 5000));
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return controller->scanObjectId() == merged && controller->isDoneLoading() && !view->busyView()->isVisible(); },
      20000));
  EXPECT_TRUE(controller->canOpenFile());
  EXPECT_EQ(controller->numberOfPresentVertices(), 16000u);
  saveScreenshot(grab(), "aligning-merged");
}

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  qv::setMainQueueWakeup([] { QMetaObject::invokeMethod(qApp, [] { qv::drainMainQueue(); }, Qt::QueuedConnection); });
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  qv::setMainQueueWakeup(nullptr);
  return result;
}
