// The viewer on screen (under Xvfb): a simulated scan loaded, shown, turned and saved; the
// renderer's pixels against the projection; screenshots of the viewer, its appearance panel and
// its busy view, kept in the test's output folder.
#include <gtest/gtest.h>

#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <cmath>
#include <filesystem>
#include <set>

#include "store/QVSDPointCloud.h"
#include "viewer/ViewerTestSupport.h"
#include "viewer/gui/ViewerWindowTest.h"
#include "viewer/model/ViewerNavigation.h"
#include "viewer/ui/QVLCleaningPanel.h"
#include "viewer/ui/QVLSceneRenderer.h"

namespace fs = std::filesystem;

namespace {

using qv::test::kPatienceMs;
using qv::test::saveScreenshot;

// Distinct colours in an image, counted on a coarse grid: a blank frame has one or two.
int distinctColours(const QImage& image) {
  std::set<QRgb> seen;
  for (int y = 0; y < image.height(); y += 7)
    for (int x = 0; x < image.width(); x += 7) seen.insert(image.pixel(x, y) & 0xf0f0f0);
  return static_cast<int>(seen.size());
}

bool near(QColor a, QColor b, int tolerance) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance;
}

// The colour at a view position, or any pixel of the colour within a small square around it.
bool colourAround(const QImage& frame, double dpr, float x, float y, QColor want, int radius = 2) {
  const int cx = static_cast<int>(std::lround(x * dpr)), cy = static_cast<int>(std::lround(y * dpr));
  for (int dy = -radius; dy <= radius; ++dy)
    for (int dx = -radius; dx <= radius; ++dx) {
      const int px = cx + dx, py = cy + dy;
      if (px >= 0 && py >= 0 && px < frame.width() && py < frame.height() && near(frame.pixelColor(px, py), want, 24))
        return true;
    }
  return false;
}

class ViewerGui : public qv::test::ViewerWindowTest {
protected:
  // A fresh vase loaded and its Clean panel open, with the points projected for the brush.
  QVLCleaningPanel* vaseInTheCleanPanel() {
    controller->loadScan(makeVase(""));
    if (!shownWhenLoaded()) return nullptr;
    view->button("clean")->click();
    if (!QTest::qWaitFor([&] { return view->rightPanel()->width() == 250 && controller->projectionIsComplete(); }, kPatienceMs))
      return nullptr;
    return view->cleaningPanel();
  }

  // A vase as a turntable scan leaves it: rings of points in four passes, coloured by height,
  // and the zero record the scanner puts first.
  qv::ObjectID makeVase(const std::string& source) {
    std::vector<QVLScanVertex> vertices{QVLScanVertex{}};
    const qv::ObjectID id = storeScan([&](auto& scan) {
      for (int pass = 0; pass < 4; ++pass) {
        auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
        cloud->setLookupId(pass + 1);
        cloud->setHeadHeight(pass * 15.0);
        cloud->setLaserNumber(pass % 2);
        std::vector<std::uint32_t> list;
        for (int ring = 0; ring < 40; ++ring) {
          const float y = pass * 15.0f + ring * 0.375f;
          const float r = 18 + 6 * std::sin(y * 0.09f);
          for (int k = 0; k < 360; ++k) {
            const float a = k * 3.14159265f / 180;
            list.push_back(static_cast<std::uint32_t>(vertices.size()));
            // A blue band down one side, so that a turn shows.
            const bool band = k >= 60 && k < 120;
            vertices.push_back(vertexAt(r * std::cos(a), y, r * std::sin(a), static_cast<std::int16_t>(pass + 1),
                                        band ? 0.15f : 0.85f, 0.35f + 0.01f * y, band ? 0.85f : 0.15f));
          }
        }
        cloud->setVertexIndexData(indexBytes(list));
      }
      scan->setVertexData(vertexBytes(vertices));
      scan->setSourceFilePath(source);
    });
    scanVertices = vertices;
    return id;
  }

  // Vertices on the half of the vase that faces the camera must show in their own colour
  // where the projection puts them.
  void expectPointsWhereProjected(const QImage& frame) {
    const double dpr = view->renderer()->devicePixelRatioF();
    const auto snapshot = controller->viewSnapshot();
    ASSERT_TRUE(snapshot.valid);
    const qv::scene::Mat4 toCamera = snapshot.objectWorld * snapshot.cameraWorld.rigidInverse();
    int checked = 0, found = 0;
    for (std::size_t i = 1; i < scanVertices.size(); i += 97) {
      const QVLScanVertex& v = scanVertices[i];
      // Next to the band's edges a neighbour of the other colour may cover the point.
      const std::size_t degree = (i - 1) % 360;
      if ((degree >= 56 && degree < 64) || (degree >= 116 && degree < 124)) continue;
      const float depth = qv::scene::transformPoint(toCamera, {v.point3DX, v.point3DY, v.point3DZ}).z;
      const float axisDepth = qv::scene::transformPoint(toCamera, {0, v.point3DY, 0}).z;
      if (depth < axisDepth + 2) continue;  // the far side, or too near the silhouette
      const auto p = qv::viewer::projectPoint(snapshot, {v.point3DX, v.point3DY, v.point3DZ});
      if (!p.inFront || p.x < 5 || p.y < 5 || p.x > snapshot.width - 5 || p.y > snapshot.height - 5) continue;
      ++checked;
      if (colourAround(frame, dpr, p.x, p.y, QColor::fromRgbF(v.colourRed, v.colourGreen, v.colourBlue), 2)) ++found;

    }
    ASSERT_GT(checked, 20);
    // Seen from above, the belly of the vase hides a few near-side points below it.
    EXPECT_GE(found, checked * 9 / 10) << found << " of " << checked;
  }

  QImage rendererFrame() { return view->renderer()->grabFramebuffer(); }

  std::vector<QVLScanVertex> scanVertices;
};

}  // namespace

TEST_F(ViewerGui, ScanIsLoadedShownTurnedAndSaved) {
  const auto id = makeVase((temp.path() / "Vase.qvk").string());
  controller->loadScan(id);
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->busyView()->isVisible(); }, kPatienceMs));
  QTest::qWait(350);  // the fade-in
  const QImage busy = grabWindow();
  saveScreenshot(busy, "viewer-busy");
  EXPECT_GT(distinctColours(busy), 3);

  ASSERT_TRUE(shownWhenLoaded());
  EXPECT_EQ(view->pointCountLabel()->text().toStdString(), "Displaying 57600 points");
  EXPECT_TRUE(QTest::qWaitFor([&] { return view->button("export")->isEnabled(); }, kPatienceMs));
  EXPECT_EQ(view->window()->windowTitle().toStdString(), "Vase");

  const QImage loaded = grabWindow();
  saveScreenshot(loaded, "viewer-loaded");
  EXPECT_GT(distinctColours(loaded), 10);
  expectPointsWhereProjected(rendererFrame());

  // Turn it: a drag to the right turns the vase about its axis and tilts nothing with Shift.
  const float yawBefore = controller->yawAngle();
  QPoint at(300, 300);
  QMouseEvent press(QEvent::MouseButtonPress, at, view->renderer()->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                    Qt::ShiftModifier);
  QApplication::sendEvent(view->renderer(), &press);
  for (int i = 0; i < 10; ++i) {
    at += QPoint(12, 0);
    QMouseEvent move(QEvent::MouseMove, at, view->renderer()->mapToGlobal(at), Qt::NoButton, Qt::LeftButton,
                     Qt::ShiftModifier);
    QApplication::sendEvent(view->renderer(), &move);
  }
  QMouseEvent release(QEvent::MouseButtonRelease, at, view->renderer()->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                      Qt::ShiftModifier);
  QApplication::sendEvent(view->renderer(), &release);
  EXPECT_NEAR(controller->yawAngle() - yawBefore, 120.0f / view->renderer()->width() * 3.14159265f, 1e-3);
  EXPECT_FLOAT_EQ(controller->pitchAngle(), 0);
  const QImage turned = grabWindow();
  saveScreenshot(turned, "viewer-turned");
  expectPointsWhereProjected(rendererFrame());

  // Tilt and zoom in, then look again.
  controller->setPitchAngle(0.6f);
  controller->updateObjectTransform();
  QWheelEvent wheel(QPointF(300, 300), view->renderer()->mapToGlobal(QPointF(300, 300)), QPoint(), QPoint(0, 240),
                    Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(view->renderer(), &wheel);
  EXPECT_NEAR(controller->cameraPosition().z, 70, 1e-3);
  saveScreenshot(grabWindow(), "viewer-tilted");
  expectPointsWhereProjected(rendererFrame());

  // Pan with the right button, then zoom: the zoom moves the camera along its view, so the
  // panned vase stays off centre and grows.
  QPoint from(400, 300), to(320, 300);
  QMouseEvent rightPress(QEvent::MouseButtonPress, from, view->renderer()->mapToGlobal(from), Qt::RightButton,
                         Qt::RightButton, Qt::NoModifier);
  QApplication::sendEvent(view->renderer(), &rightPress);
  QMouseEvent rightMove(QEvent::MouseMove, to, view->renderer()->mapToGlobal(to), Qt::NoButton, Qt::RightButton,
                        Qt::NoModifier);
  QApplication::sendEvent(view->renderer(), &rightMove);
  QMouseEvent rightRelease(QEvent::MouseButtonRelease, to, view->renderer()->mapToGlobal(to), Qt::RightButton,
                           Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(view->renderer(), &rightRelease);
  EXPECT_NEAR(controller->cameraPosition().x, 80 * qv::viewer::panFactor(70), 1e-3);
  QApplication::sendEvent(view->renderer(), &wheel);
  EXPECT_NEAR(controller->cameraPosition().x, 80 * qv::viewer::panFactor(70), 1e-3) << "zoom keeps x";
  saveScreenshot(grabWindow(), "viewer-panned-zoomed");
  expectPointsWhereProjected(rendererFrame());

  // Save it as a scan file through the save panel.
  const std::string target = (temp.path() / "Saved Vase.qvk").string();
  view->button("export")->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->exportPopover()->isVisible(); }, kPatienceMs));
  EXPECT_TRUE(view->button("qvk")->isVisible());
  EXPECT_FALSE(view->button("qvkx")->isVisible());
  saveScreenshot(view->exportPopover()->grab().toImage(), "viewer-export-popover");
  view->button("qvk")->click();
  QFileDialog* panel = filePanel("savePanel");
  ASSERT_TRUE(panel);
  EXPECT_TRUE(QTest::qWaitFor([&] { return panel->selectedFiles().value(0).endsWith("/Vase.qvk"); }, kPatienceMs))
      << panel->selectedFiles().value(0).toStdString();
  panel->setDirectory(QString::fromStdString(temp.path().string()));
  auto* name = panel->findChild<QLineEdit*>("fileNameEdit");
  ASSERT_TRUE(name);
  name->setText("Saved Vase.qvk");
  static_cast<QDialog*>(panel)->accept();  // through the dialog, as its Save button does
  ASSERT_TRUE(QTest::qWaitFor([&] { return fs::exists(target) && !controller->isSaving(); }, kPatienceMs));
  EXPECT_GT(fs::file_size(target), 57600u * 12);  // at least every position
  EXPECT_EQ(controller->scanObjectFilePath(), target);
  EXPECT_EQ(view->window()->windowTitle().toStdString(), "Saved Vase");
}

TEST_F(ViewerGui, AppearancePanelOpensAndTheBackgroundFollowsTheColourWell) {
  const auto id = makeVase("");
  controller->loadScan(id);
  ASSERT_TRUE(shownWhenLoaded());
  view->button("appearance")->click();
  // The panel slides for about half a second; under load it may take longer.
  EXPECT_TRUE(QTest::qWaitFor([&] { return view->rightPanel()->width() == 250; }, kPatienceMs)) << view->rightPanel()->width();
  controller->colorWellPressed({0.1f, 0.2f, 0.4f, 1});
  QTest::qWait(50);
  const QImage shot = grabWindow();
  saveScreenshot(shot, "viewer-appearance");
  const QImage frame = rendererFrame();
  EXPECT_TRUE(near(frame.pixelColor(3, 3), QColor::fromRgbF(0.1, 0.2, 0.4), 3));
  expectPointsWhereProjected(frame);
  view->button("appearance")->click();
  EXPECT_TRUE(QTest::qWaitFor([&] { return view->rightPanel()->width() == 0; }, kPatienceMs)) << view->rightPanel()->width();

  // The layer list: four passes, and a click hides only the one clicked.
  view->button("layers")->click();
  ASSERT_EQ(view->layerTable()->count(), 4);
  // The list slides open to a row per layer.
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return view->layerTable()->height() == 4 * view->layerTable()->item(0)->sizeHint().height(); }, kPatienceMs))
      << view->layerTable()->height();
  view->layerTable()->item(3)->setSelected(true);
  emit view->layerTable()->itemClicked(view->layerTable()->item(3));
  // The label follows the crop pass on the main queue: wait for the pass and then for the label.
  ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->isCropPassRunning(); }, kPatienceMs));
  EXPECT_EQ(controller->numberOfFilteredVertices(), 3u * 14400);
  EXPECT_FALSE(controller->layerStates()[3].isEnabled);
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return view->pointCountLabel()->text() == "Displaying 43200 of 57600 points"; }, kPatienceMs))
      << view->pointCountLabel()->text().toStdString();
  saveScreenshot(grabWindow(), "viewer-layers");

  // The background went into the scan and is what the next load starts from.
  store->privateContext()->performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, *store->privateContext());
    ASSERT_TRUE(scan && scan->backgroundColour());
    EXPECT_NEAR(scan->backgroundColour()->array()->at(2).toDouble(), 0.4, 1e-6);
  });
}

TEST_F(ViewerGui, RendererDrawsSinglePointsWhereTheProjectionPutsThemAndUploadsOnlyIndicesAfterACrop) {
  // Single points of distinct colours at known places, drawn by the renderer and read back.
  std::vector<QVLScanVertex> points{vertexAt(0, 0, 0.001f, 0, 1, 0, 0),  vertexAt(20, 10, 0, 0, 0, 1, 0),
                                    vertexAt(-25, -12, 5, 0, 0, 0, 1), vertexAt(10, -20, -30, 0, 1, 1, 0),
                                    vertexAt(-5, 22, 15, 0, 1, 0, 1)};
  auto scene = controller->scene();
  auto node = qv::scene::Node::make("points");
  auto geometry = std::make_shared<qv::scene::Geometry>();
  geometry->vertices = std::make_shared<qv::scene::VertexBuffer>(qv::scene::VertexBuffer{vertexBytes(points)});
  geometry->indices = std::make_shared<std::vector<std::uint32_t>>(std::vector<std::uint32_t>{0, 1, 2, 3, 4});
  geometry->elementCount = 5;
  node->setGeometry(geometry);
  controller->objectsNode()->addChild(node);
  controller->setPitchAngle(0.3f);
  controller->setYawAngle(0.7f);
  controller->updateObjectTransform();
  view->renderer()->setPointRendering(3, false);
  const QImage frame = rendererFrame();
  saveScreenshot(frame, "renderer-single-points");
  const auto snapshot = qv::viewer::takeViewSnapshot(*scene, node, static_cast<float>(view->renderer()->width()),
                                                     static_cast<float>(view->renderer()->height()));
  const double dpr = view->renderer()->devicePixelRatioF();
  for (const QVLScanVertex& p : points) {
    const auto at = qv::viewer::projectPoint(snapshot, {p.point3DX, p.point3DY, p.point3DZ});
    ASSERT_TRUE(at.inFront);
    EXPECT_TRUE(colourAround(frame, dpr, at.x, at.y, QColor::fromRgbF(p.colourRed, p.colourGreen, p.colourBlue), 1))
        << "point at " << p.point3DX << ", " << p.point3DY << ", " << p.point3DZ << " expected near " << at.x << ", "
        << at.y;
  }
  node->removeFromParent();

  // A crop pass gives the renderer a new index list and nothing else.
  const auto id = makeVase("");
  controller->loadScan(id);
  ASSERT_TRUE(shownWhenLoaded());
  (void)rendererFrame();
  const std::size_t vertexUploads = view->renderer()->vertexBufferUploads();
  const std::size_t indexUploads = view->renderer()->indexBufferUploads();
  controller->setTopYCutOff(30.0f);
  // The count is published before the pass hands the renderer its new node: wait for its end.
  ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->isCropPassRunning(); }, kPatienceMs));
  ASSERT_LT(controller->numberOfFilteredVertices(), 57600u);
  const QImage cropped = rendererFrame();
  saveScreenshot(cropped, "renderer-cropped");
  EXPECT_EQ(view->renderer()->vertexBufferUploads(), vertexUploads);
  EXPECT_EQ(view->renderer()->indexBufferUploads(), indexUploads + 1);
}

TEST_F(ViewerGui, CleanPanelBrushPaintsSelectsDeletesAndApplies) {
  QVLCleaningPanel* panel = vaseInTheCleanPanel();
  ASSERT_TRUE(panel && panel->isVisible());
  // The panel's own layer list hides a pass and shows it again.
  ASSERT_TRUE(panel->button("layers")->isVisible()) << "four passes with points";
  panel->button("layers")->click();
  auto* layers = panel->findChild<QListWidget*>("cleaningLayers");
  ASSERT_TRUE(layers && layers->isVisible());
  ASSERT_EQ(layers->count(), static_cast<int>(controller->layerRows().size()));
  saveScreenshot(grabWindow(), "viewer-cleaning-layers");
  for (bool enabled : {false, true}) {
    QTest::mouseClick(layers->viewport(), Qt::LeftButton, Qt::NoModifier, layers->visualItemRect(layers->item(0)).center());
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->layerRows()[0].isEnabled == enabled; }, kPatienceMs));
  }
  panel->button("cropping")->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return panel->cropField(1)->isVisible(); }, kPatienceMs));
  EXPECT_EQ(panel->cropField(1)->text().toStdString(), controller->topYCutOffText());
  saveScreenshot(grabWindow(), "viewer-cleaning-crop");

  panel->button("brush")->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return controller->brushCleaningState() == 3; }, kPatienceMs));
  EXPECT_EQ(view->renderer()->cursor().shape(), Qt::BitmapCursor) << "the drawn brush";
  // A stroke across the middle of the vase, photographed before it is let go.
  QWidget* scene = view->renderer();
  const QPoint from(scene->width() / 2 - 70, scene->height() / 2 - 10);
  QTest::mousePress(scene, Qt::LeftButton, Qt::NoModifier, from);
  for (int step = 1; step <= 14; ++step) QTest::mouseMove(scene, from + QPoint(step * 10, step * 2));
  QTest::qWait(50);
  const QImage painting = grabWindow();
  saveScreenshot(painting, "viewer-cleaning-brush-stroke");
  QTest::mouseRelease(scene, Qt::LeftButton, Qt::NoModifier, from + QPoint(140, 28));
  // The count is the stroke's once its selection pass has ended and been drawn, not when it first
  // passes some size: on a busy machine a pass may still be under way.
  ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->isBrushSelectionPending(); }, kPatienceMs));
  const std::uint64_t selected = controller->numberOfSelectedVertices();
  ASSERT_GT(selected, 100u);
  int red = 0;
  EXPECT_TRUE(QTest::qWaitFor([&] {
    const QImage frame = rendererFrame();
    red = 0;
    for (int y = 0; y < frame.height(); y += 2)
      for (int x = 0; x < frame.width(); x += 2) red += near(frame.pixelColor(x, y), QColor(255, 0, 0), 40);
    return red > 50;
  }, kPatienceMs)) << "the selection is drawn red: " << red << " red pixels";
  saveScreenshot(grabWindow(), "viewer-cleaning-selected");

  panel->button("delete")->click();
  // Apply is not taken while the crop pass that draws the deletion runs: wait for its end, which
  // comes late on a busy machine.
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return controller->numberOfSelectedVertices() == 0 && !controller->isCropPassRunning(); }, kPatienceMs));
  EXPECT_EQ(controller->numberOfFilteredVertices(), 57600 - selected);
  panel->button("apply")->click();
  ASSERT_TRUE(controller->isApplyingChanges()) << "Apply was taken";
  ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->isApplyingChanges() && view->rightPanel()->width() == 0; }, kPatienceMs));
  EXPECT_EQ(controller->numberOfFilteredVertices(), 57600 - selected);
  saveScreenshot(grabWindow(), "viewer-cleaning-applied");
}

TEST_F(ViewerGui, CancelInTheCleanPanelBringsEveryPointBackAndKeysReachTheBrush) {
  QVLCleaningPanel* panel = vaseInTheCleanPanel();
  ASSERT_TRUE(panel);
  // Crop the top off through the panel's field.
  panel->button("cropping")->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return panel->cropField(1)->isVisible(); }, kPatienceMs));
  panel->cropField(1)->setText("30");
  emit panel->cropField(1)->editingFinished();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->isCropPassRunning(); }, kPatienceMs));
  const std::uint64_t cropped = controller->numberOfFilteredVertices();
  ASSERT_LT(cropped, 57600u);

  // A stroke, then the Delete key in the scene; Shift held shows the adding brush.
  panel->button("brush")->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return controller->brushCleaningState() == 3; }, kPatienceMs));
  QWidget* scene = view->renderer();
  QTest::keyPress(scene, Qt::Key_Shift, Qt::ShiftModifier);
  EXPECT_EQ(controller->brushCursor().sign, "+");
  QTest::keyRelease(scene, Qt::Key_Shift, Qt::NoModifier);
  EXPECT_EQ(controller->brushCursor().sign, "");
  const QPoint from(scene->width() / 2 - 40, scene->height() / 2);
  QTest::mousePress(scene, Qt::LeftButton, Qt::NoModifier, from);
  for (int step = 1; step <= 8; ++step) QTest::mouseMove(scene, from + QPoint(step * 10, 0));
  QTest::mouseRelease(scene, Qt::LeftButton, Qt::NoModifier, from + QPoint(80, 0));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->isBrushSelectionPending(); }, kPatienceMs));
  ASSERT_GT(controller->numberOfSelectedVertices(), 20u);
  QTest::keyClick(scene, Qt::Key_Delete);
  ASSERT_TRUE(QTest::qWaitFor([&] { return controller->numberOfFilteredVertices() < cropped; }, kPatienceMs));

  // Cancel: the panel closes and every point is back, on screen and in a fresh Clean panel.
  panel->button("cancel")->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->rightPanel()->width() == 0; }, kPatienceMs));
  ASSERT_TRUE(QTest::qWaitFor([&] { return controller->numberOfFilteredVertices() == 57600; }, kPatienceMs));
  auto* overlay = static_cast<QVLBrushStrokeOverlay*>(view->findChild<QWidget*>("brushStrokeOverlay"));
  ASSERT_TRUE(overlay);
  EXPECT_TRUE(overlay->stroke().empty()) << "no stroke is left painted over the scene";
  QTest::qWait(50);
  saveScreenshot(grabWindow(), "viewer-cleaning-cancelled");
  EXPECT_EQ(view->pointCountLabel()->text().toStdString(), "Displaying 57600 points");
  view->button("clean")->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->rightPanel()->width() == 250; }, kPatienceMs));
  panel->button("cropping")->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return panel->cropField(1)->isVisible(); }, kPatienceMs));
  EXPECT_EQ(panel->cropField(1)->text().toStdString(), controller->topYCutOffText());
  EXPECT_FLOAT_EQ(controller->topYCutOff(), controller->maxYValue());
  QTest::qWait(50);
  saveScreenshot(grabWindow(), "viewer-cleaning-after-cancel");

  // The export popover names its two groups.
  panel->button("cancel")->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->rightPanel()->width() == 0; }, kPatienceMs));
  controller->exportButtonPressed();
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->exportPopover()->isVisible(); }, kPatienceMs));
  for (const char* name : {"labelPointCloud", "labelMeshed"}) {
    auto* label = view->exportPopover()->findChild<QLabel*>(name);
    ASSERT_TRUE(label) << name;
    EXPECT_TRUE(label->isVisible()) << name;
  }
  QTest::qWait(50);
  saveScreenshot(view->exportPopover()->grab().toImage(), "viewer-export-popover");
  view->closeExportPopover();
}
