// Meshing on screen (under Xvfb): the options sheet from the export popover, its sliders and
// waiting view, the textured mesh drawn in place of the points, the textured OBJ read back by
// assimp with its texture, and the save-mesh overlay. Screenshots go to the test's output folder.
#include <gtest/gtest.h>

#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>

#include <opencv2/imgcodecs.hpp>

#include "formats/RunCommand.h"
#include "store/QVSDTexture.h"
#include "viewer/FakeDisplay.h"
#include "viewer/ViewerTestSupport.h"
#include "viewer/gui/ViewerWindowTest.h"
#include "viewer/model/QVLMeshingViewController.h"
#include "viewer/model/UserNotifier.h"
#include "viewer/ui/QVLCleaningPanel.h"
#include "viewer/ui/QVLMeshingView.h"
#include "viewer/ui/QVLSceneRenderer.h"
#ifdef QUORVEL_WITH_WAITING_SIGN
#include "screens/widgets/WaitingView.h"
#endif

namespace fs = std::filesystem;

namespace {

using qv::test::kPatienceMs;
using qv::test::saveScreenshot;

using qv::test::runCommand;

constexpr float kCentreY = 40, kRadius = 30;

class MeshingGui : public qv::test::ViewerWindowTest {
protected:
  void prepare(QVLObjectSceneViewController::Options& o) override {
    settings->registerDefaults({{"MeshingOctreeDepth", 6}, {"MeshingSamplesPerNode", 5}});
    qv::viewer::setUserNotifier(notifier);
#ifdef QUORVEL_WITH_WAITING_SIGN
    QVLMeshingView::setWaitingIndicatorFactory([](QWidget* p) -> QWidget* { return new qv::screens::WaitingView(p); });
#endif
    o.meshingThreads = 1;  // OpenMP's spinning threads crawl on a machine busy with other tests
  }
  void TearDown() override {
    ViewerWindowTest::TearDown();
    qv::viewer::setUserNotifier(nullptr);
    QVLMeshingView::setWaitingIndicatorFactory({});
  }

  // A ball as a scan leaves it (points with their normals) and the camera's photo of it from the
  // front: broad stripes of colour across it, so the texture shows on the mesh.
  qv::ObjectID makeBall() {
    const std::vector<QVLScanVertex> vertices = ballScan(6000, kRadius, kCentreY, 0.8f);
    cv::Mat photo(960, 1280, CV_8UC3);
    for (int row = 0; row < photo.rows; ++row)
      for (int col = 0; col < photo.cols; ++col) {
        const int stripe = (col / 40) % 3;
        photo.at<cv::Vec3b>(row, col) = stripe == 0 ? cv::Vec3b(40, 40, 220) : stripe == 1 ? cv::Vec3b(40, 200, 60)
                                                                                          : cv::Vec3b(230, 160, 30);
      }
    const fs::path photoPath = temp.path() / "photo-front.png";
    EXPECT_TRUE(cv::imwrite(photoPath.string(), photo));

    return storeScan([&](auto& scan) {
      scan->setVertexData(vertexBytes(vertices));
      scan->setSourceFilePath("/scans/Ball.qvk");
      auto texture = QVSDTexture::createTextureInScanObject(scan);
      texture->setTextureFileName(photoPath.string());
      texture->setCameraPosition({0, kCentreY, 200});
      texture->setCameraNorm({0, 0, -1});
      texture->setCameraUp({0, 1, 0});
      texture->setIntrinsicFX(1000);
      texture->setIntrinsicFY(1000);
      texture->setIntrinsicCX(640);
      texture->setIntrinsicCY(480);
    });
  }

  void load(const qv::ObjectID& id) {
    controller->loadScan(id);
    ASSERT_TRUE(shownWhenLoaded());
    QTest::qWait(50);
  }

  std::shared_ptr<RecordingNotifier> notifier = std::make_shared<RecordingNotifier>();
};

}  // namespace

TEST_F(MeshingGui, TexturedMeshIsMadeShownSavedAndReadByAssimp) {
  load(makeBall());
  EXPECT_TRUE(controller->modelHasTextures());
  controller->exportButtonPressed();
  ASSERT_TRUE(view->button("textured_obj")->isVisible());
  view->button("textured_obj")->click();

  ASSERT_TRUE(QTest::qWaitFor([&] { return view->meshingView() != nullptr; }, kPatienceMs));
  QVLMeshingView* sheet = view->meshingView();
  QTest::qWait(350);  // the fade-in
  EXPECT_EQ(sheet->meshingBodyTextField()->text().toStdString(),
            "Meshing is required for the OBJ file format. It may take several minutes to complete.");
  EXPECT_EQ(sheet->detailLevelTextField()->text().toStdString(), "6: Low details, fast");
  // The slider writes the setting and the text follows it.
  sheet->detailsLevelSlider()->setValue(7);
  EXPECT_EQ(settings->integerForKey("MeshingOctreeDepth"), 7);
  ASSERT_TRUE(QTest::qWaitFor([&] { return sheet->detailLevelTextField()->text() == "7: Medium details, relatively fast"; }, kPatienceMs));
  EXPECT_EQ(sheet->smoothingLevelTextField()->text().toStdString(), "5 samples per octree node");
  saveScreenshot(grabWindow(), "meshing-sheet");

  QTest::mouseClick(sheet->performMeshingButton(), Qt::LeftButton);
  EXPECT_TRUE(sheet->waitingView()->isVisible());
  EXPECT_FALSE(sheet->messageView()->isVisible());
  saveScreenshot(grabWindow(), "meshing-waiting");

  // The finished meshing asks where to save the mesh.
  QFileDialog* panel = filePanel("savePanel");
  ASSERT_TRUE(panel);
  EXPECT_TRUE(controller->isPresentingMeshedObject());
  EXPECT_EQ(notifier->notices, std::vector<std::string>{"Quorvel: Your model has finished meshing"});
  EXPECT_TRUE(panel->selectedFiles().value(0).endsWith("Ball.obj"));
  panel->setDirectory(QString::fromStdString(temp.path().string()));
  panel->findChild<QLineEdit*>("fileNameEdit")->setText("Ball.obj");
  static_cast<QDialog*>(panel)->accept();
  const fs::path obj = temp.path() / "Ball.obj";
  ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->meshNeedsSaving(); }, kPatienceMs));
  ASSERT_TRUE(fs::exists(obj));
  EXPECT_TRUE(fs::exists(temp.path() / "Ball.png"));
  QTest::qWait(400);  // the sheet's fade-out

  // The mesh is drawn with its texture: the stripes of the photo show on the ball.
  const auto geometry = controller->objectNode()->geometry();
  ASSERT_TRUE(geometry->material.texture);
  EXPECT_EQ(view->renderer()->textureUploads(), 1u);
  const QImage frame = view->renderer()->grabFramebuffer();
  saveScreenshot(grabWindow(), "meshed-textured");
  int red = 0, green = 0, blue = 0;
  for (int y = frame.height() / 4; y < frame.height() * 3 / 4; y += 3)
    for (int x = frame.width() / 4; x < frame.width() * 3 / 4; x += 3) {
      const QColor c = frame.pixelColor(x, y);
      red += c.red() > c.green() + 60 && c.red() > c.blue() + 60;
      green += c.green() > c.red() + 60 && c.green() > c.blue() + 60;
      blue += c.blue() > c.red() + 60 && c.blue() > c.green() + 60;
    }
  EXPECT_GT(red, 50);
  EXPECT_GT(green, 50);
  EXPECT_GT(blue, 50);
  EXPECT_EQ(view->window()->windowTitle().toStdString(), "Meshed Ball");
  EXPECT_TRUE(view->button("backToPointCloud")->isVisible());
  EXPECT_FALSE(view->button("home")->isVisible());

  // assimp reads the OBJ, finds its material and the texture it names.
  if (!runCommand("command -v assimp").first) GTEST_SKIP() << "assimp-utils is not installed";
  const auto [ok, info] = runCommand("assimp info '" + obj.string() + "' -r");
  ASSERT_TRUE(ok) << info;
  std::ofstream(qv::test::guiOutputFolder() / "assimp-info.txt") << info;
  // The texture it names lies beside the OBJ, and every triangle of the mesh is there.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(info, m, std::regex("Texture Refs:\\s+'([^']+)'"))) << info;
  EXPECT_TRUE(fs::exists(obj.parent_path() / m[1].str())) << m[1];
  ASSERT_TRUE(std::regex_search(info, m, std::regex("Faces:\\s+(\\d+)"))) << info;
  EXPECT_EQ(std::stoul(m[1]), geometry->primitiveCount());
}

TEST_F(MeshingGui, LeavingAnUnsavedMeshAsksFirst) {
  load(makeBall());
  controller->exportButtonPressed();
  view->button("stl")->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->meshingView() != nullptr; }, kPatienceMs));
  EXPECT_EQ(view->meshingView()->meshingBodyTextField()->text().toStdString(),
            "Meshing is required for the STL file format. It may take several minutes to complete.");
  QTest::mouseClick(view->meshingView()->performMeshingButton(), Qt::LeftButton);
  QFileDialog* panel = filePanel("savePanel");
  ASSERT_TRUE(panel);
  panel->reject();
  EXPECT_TRUE(QTest::qWaitFor([&] { return view->meshingView() == nullptr; }, kPatienceMs)) << "the sheet stays after its fade-out";
  EXPECT_TRUE(controller->meshNeedsSaving());
  const char* header[] = {"home", "open", "export", "layers", "clean", "align", "appearance"};
  for (const char* name : header) EXPECT_FALSE(view->button(name)->isVisible()) << name << " beside the mesh toolbar";

  QTest::mouseClick(view->button("backToPointCloud"), Qt::LeftButton);
  ASSERT_TRUE(view->saveMeshView());
  QTest::qWait(350);
  saveScreenshot(grabWindow(), "save-mesh-overlay");
  QTest::mouseClick(view->saveMeshView()->leaveButton(), Qt::LeftButton);
  // While the points come back the veiled header takes no click: none of its buttons may show
  // enabled, Clean no more than the others.
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->button("home")->isVisible(); }, kPatienceMs));
  for (const char* name : header) EXPECT_FALSE(view->button(name)->isEnabled()) << name << " while the points reload";
  saveScreenshot(grabWindow(), "back-to-points-reloading");
  ASSERT_TRUE(QTest::qWaitFor([&] { return controller->isDoneLoading() && !controller->isPresentingMeshedObject(); }, kPatienceMs));
  EXPECT_FALSE(view->saveMeshView());
  EXPECT_FALSE(controller->meshNeedsSaving());
  EXPECT_EQ(controller->objectNode()->geometry()->primitive, qv::scene::PrimitiveType::Points);
  EXPECT_TRUE(view->button("home")->isVisible());
  // Once the points are shown, one click on Clean opens its panel.
  ASSERT_TRUE(shownWhenLoaded());
  QTest::mouseClick(view->button("clean"), Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor([&] { return view->rightPanel()->width() == 250 && view->cleaningPanel()->isVisible(); }, kPatienceMs))
      << "the first click on Clean";
}
