// The aligning screen on the viewer (under Xvfb): opened over a loaded scan, the second scan of
// the same object aligned and merged while the waiting view shows, the save panel offered with
// the merged name, and the merged scan shown once the panel is cancelled. Screenshots of each
// step go to the test's output folder.
#include <gtest/gtest.h>

#include <QFileDialog>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "store/QVSDPointCloud.h"
#include "viewer/AlignmentScans.h"
#include "viewer/ViewerTestSupport.h"
#include "viewer/gui/ViewerWindowTest.h"
#include "viewer/ui/QVLAligningView.h"

namespace fs = std::filesystem;

namespace {

using qv::test::kPatienceMs;
using qv::test::saveScreenshot;

class AligningGui : public qv::test::ViewerWindowTest {
protected:
  // One scan of the lumpy object in the given pose, in one colour, as one cloud.
  qv::ObjectID addScan(const Eigen::Isometry3d& pose, unsigned seed, float r, float g, float b, const std::string& path) {
    auto vertices = qv::test::scanOfObject(pose, {8000, 0.05, 0.0, seed});
    std::vector<std::uint32_t> list;
    for (std::size_t i = 1; i < vertices.size(); ++i) {
      vertices[i].colourRed = r, vertices[i].colourGreen = g, vertices[i].colourBlue = b;
      list.push_back(static_cast<std::uint32_t>(i));
    }
    return storeScan([&](auto& scan) {
      auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
      cloud->setLookupId(1);
      cloud->setVertexIndexData(indexBytes(list));
      scan->setVertexData(vertexBytes(vertices));
      scan->setSourceFilePath(path);
    });
  }
};

}  // namespace

TEST_F(AligningGui, AlignsTheSecondScanOntoTheShownOneAndShowsTheMerge) {
  const std::string fixedPath = (temp.path() / "Lump.qvk").string(), secondPath = (temp.path() / "Lump-turned.qvk").string();
  const auto fixedId = addScan(Eigen::Isometry3d::Identity(), 5, 0.9f, 0.55f, 0.2f, fixedPath);
  addScan(qv::test::knownFirstFromSecond(), 6, 0.2f, 0.45f, 0.9f, secondPath);
  controller->loadScan(fixedId);
  ASSERT_TRUE(shownWhenLoaded());

  QVLAligningViewController::Options options;
  options.store = store.get();
  QVLAligningView* screen = QVLAligningView::open(view.get(), options);
  ASSERT_TRUE(screen);
  EXPECT_FALSE(QVLAligningView::open(view.get(), options)) << "one screen at a time";
  EXPECT_FALSE(controller->canOpenFile());
  QTest::qWait(400);  // the fade-in
  EXPECT_TRUE(screen->chooseFileButton()->isVisible());
  saveScreenshot(grabWindow(), "aligning-asking");

  screen->controller()->alignAndMergeFile(secondPath);
  QTest::qWait(400);
  EXPECT_TRUE(screen->waitingView()->isVisible());
  saveScreenshot(grabWindow(), "aligning-waiting");

  QFileDialog* panel = filePanel({}, kPatienceMs);
  ASSERT_TRUE(panel) << "no save panel";
  EXPECT_EQ(panel->labelText(QFileDialog::Accept).toStdString(), "Save Scan");
  ASSERT_FALSE(panel->selectedFiles().isEmpty());
  EXPECT_EQ(fs::path(panel->selectedFiles().front().toStdString()).filename().string(), "Lump_Lump-turned.qvk");
  const auto merged = screen->controller()->combinedScanObjectID();
  ASSERT_TRUE(merged);
  panel->reject();

  // Cancelled: the merged scan is shown and the screen is gone.
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->findChild<QVLAligningView*>() == nullptr; }, kPatienceMs));
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return controller->scanObjectId() == merged && controller->isDoneLoading() && !view->busyView()->isVisible(); },
      kPatienceMs));
  EXPECT_TRUE(controller->canOpenFile());
  EXPECT_EQ(controller->numberOfPresentVertices(), 16000u);
  saveScreenshot(grabWindow(), "aligning-merged");
}
