// The viewer's rules on a real store: the load road, display records kept with the scan, the
// layer table, the header guards, the export popover, saving and the unsaved-changes question.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <opencv2/imgcodecs.hpp>

#include "FakeDisplay.h"
#include "formats/QVLFileExporter.h"
#include "platform/Queue.h"
#include "platform/Settings.h"
#include "platform/UUID.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/TBCoreDataStoreS1.h"
#include "support/ManualClockScope.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"
#include "viewer/ViewerControllerFixture.h"
#include "viewer/ViewerTestSupport.h"
#include "viewer/model/PanelFolder.h"
#include "viewer/model/QVLObjectSceneViewController.h"

namespace fs = std::filesystem;
using qv::viewer::SaveChangesAnswer;

TEST_F(ViewerController, LoadBuildsLayersSearchCloudAndDrawnPointsAndKeepsTheRecords) {
  const auto id = makeScan({{4, 20.0, 1, 30}, {3, 20.0, 0, 20}, {9, 5.0, 1, 10}});
  viewer->loadScan(id);
  EXPECT_TRUE(display.busyTexts.empty()) << "the busy view waits 0.3 s";
  clock.advanceSeconds(0.3);
  ASSERT_EQ(display.busyTexts, std::vector<std::string>{"Loading Scan..."});
  ASSERT_TRUE(qv::test::waitFor([&] { return viewer->isDoneLoading(); }));
  clock.advanceSeconds(0.9);
  EXPECT_TRUE(display.busyShown) << "the busy view stays a whole second";
  clock.advanceSeconds(0.1);
  ASSERT_TRUE(qv::test::waitFor([&] { return !display.busyShown; }));
  EXPECT_FALSE(display.headerBlocked);
  EXPECT_EQ(display.buttons, qv::viewer::HeaderButtons::ShownEnabled);
  EXPECT_EQ(display.title, "Vase");

  // Layers by head height, then laser; numbered from 1; counted from the drawn points.
  const auto layers = viewer->layerStates();
  ASSERT_EQ(layers.size(), 3u);
  EXPECT_EQ(layers[0].cloudId, 9);
  EXPECT_EQ(layers[1].cloudId, 3);
  EXPECT_EQ(layers[2].cloudId, 4);
  EXPECT_EQ(layers[2].layerNumber, 3);
  EXPECT_EQ(layers[2].numberOfPoints, 30);
  EXPECT_EQ(layers[1].numberOfVisiblePoints, 20);

  // The origin record never enters the search cloud; each point names its vertex.
  ASSERT_EQ(viewer->searchCloud().size(), 60u);
  EXPECT_EQ(viewer->searchCloud().vertexIndexAt(0), 1);
  EXPECT_EQ(viewer->searchCloud().octreePointCount(), 60u);
  EXPECT_EQ(viewer->numberOfFilteredVertices(), 60u);
  EXPECT_EQ(display.label, "Displaying 60 points");
  EXPECT_FLOAT_EQ(viewer->maxYValue(), 20.0f + 29 * kStep);

  // The records and orders went into the scan; a second load reads them back as they are.
  onScan(id, [](QVSDScanObject& scan) {
    ASSERT_TRUE(scan.sortableIndexData());
    EXPECT_EQ(scan.sortableIndexData()->size(), 61u * 48);
    EXPECT_EQ(scan.sortableIndexReferenceForNeighbourData()->size(), 61u * 8);
    auto records = qv::viewer::fromData<QVLSortableIndexEntry>(scan.sortableIndexData());
    records[5].flags |= QVLPointFlags::BeyondDisplayCap;  // as a cap would have left it
    scan.setSortableIndexData(qv::viewer::toData(records));
    scan.managedObjectContext()->save();
  });
  load(id);
  EXPECT_EQ(viewer->numberOfFilteredVertices(), 59u);
  EXPECT_EQ(display.label, "Displaying 59 of 60 points");
}

TEST_F(ViewerController, MissingVertexDataShowsTheFaultAndReturnsHome) {
  viewer->loadScan(addScanObject(*store, [](auto&) {}));
  clock.advanceSeconds(0.3);
  ASSERT_TRUE(qv::test::waitFor([&] { return delegate.hudShown == 1; }));
  EXPECT_FALSE(display.busyShown);
  ASSERT_EQ(display.alerts.size(), 1u);
  EXPECT_FALSE(viewer->isDoneLoading());
  EXPECT_FALSE(viewer->isRendering());
}

TEST_F(ViewerController, LayerClicksHideOnlyThatLayerAndTheCropPassFollowsTheLatestValues) {
  const auto id = makeScan({{1, 0.0, 0, 40}, {2, 10.0, 0, 25}});
  load(id);
  ASSERT_EQ(viewer->layerRows().size(), 2u);
  EXPECT_EQ(viewer->layerTableTargetHeight(20), 40);
  viewer->layerTableDidClickRow(1);
  ASSERT_TRUE(qv::test::waitFor([&] { return viewer->numberOfFilteredVertices() == 40; }));
  EXPECT_FALSE(viewer->layerStates()[1].isEnabled);
  EXPECT_TRUE(viewer->layerStates()[0].isEnabled);

  // Bursts of crop changes: whatever is dropped meanwhile, the last values are drawn.
  viewer->layerTableDidClickRow(1);
  for (int i = 0; i < 40; ++i) viewer->setTopYCutOff(10.0f - static_cast<float>(i) * 0.2f);
  viewer->setTopYCutOff(0.3f);
  viewer->pointManagementQueue()->sync([] {});
  ASSERT_TRUE(qv::test::waitFor([&] {
    viewer->pointManagementQueue()->sync([] {});
    return viewer->numberOfFilteredVertices() == 24;  // y 0 .. 0.299 of the first layer
  }));
  viewer->withRecords([](auto& records, auto&, auto&) {
    for (std::size_t i = 1; i < records.size(); ++i)
      EXPECT_EQ((records[i].flags & QVLPointFlags::OutsideHeight) != 0, records[i].y > 0.3f) << i;
  });
}

TEST_F(ViewerController, HeaderGuardsAndCanOpenFile) {
  EXPECT_FALSE(viewer->canOpenFile()) << "nothing loaded";
  const auto id = makeScan({{1, 0.0, 0, 10}});
  load(id);
  EXPECT_TRUE(viewer->canOpenFile());
  viewer->setBrushCleaningState(3);
  EXPECT_FALSE(viewer->canOpenFile());
  viewer->setBrushCleaningState(0);
  viewer->setAligningScreenShown(true);
  EXPECT_FALSE(viewer->canOpenFile());
  viewer->setAligningScreenShown(false);
  viewer->setPresentingMeshedObject(true);
  EXPECT_FALSE(viewer->canOpenFile());
  viewer->setPresentingMeshedObject(false);

  // An open panel blocks the header; the appearance button toggles its panel.
  delegate.openPanelShown = true;
  viewer->appearanceButtonPressed();
  EXPECT_EQ(viewer->rightPanel(), qv::viewer::RightPanel::Closed);
  delegate.openPanelShown = false;
  viewer->appearanceButtonPressed();
  EXPECT_EQ(display.panel, qv::viewer::RightPanel::Appearance);
  viewer->appearanceButtonPressed();
  EXPECT_EQ(display.panel, qv::viewer::RightPanel::Closed);

  // A single visible layer never opens the layer list.
  EXPECT_EQ(viewer->layerTableTargetHeight(20), 0);
  EXPECT_TRUE(viewer->validateMenuItem(101, "openDocument:"));
  EXPECT_FALSE(viewer->validateMenuItem(400, "scan:"));
}

TEST_F(ViewerController, ExportPopoverShowsTheFormatsTheScanAllows) {
  const auto plain = makeScan({{1, 0.0, 0, 10}});
  load(plain);
  EXPECT_EQ(viewer->exportChoices(), (qv::viewer::ExportChoices{true, false, false}));
  viewer->exportButtonPressed();
  EXPECT_TRUE(display.popoverShown);
  viewer->exportButtonPressed();
  EXPECT_FALSE(display.popoverShown) << "a second press closes it";

  const auto sliced = makeScan({{1, 0.0, 0, 10}}, "/scans/Cup.qvkx", true);
  load(sliced);
  ASSERT_TRUE(viewer->modelHasSlices());
  EXPECT_EQ(viewer->exportChoices(), (qv::viewer::ExportChoices{false, true, false}));
  settings->setValue("EnableQvkExports", true);
  EXPECT_EQ(viewer->exportChoices(), (qv::viewer::ExportChoices{true, true, false}));
}

TEST_F(ViewerController, SaveAsKeepsOrCopiesTheScanObject) {
  const auto id = makeScan({{1, 0.0, 0, 10}}, (temp.path() / "Vase.qvk").string());
  load(id);
  onScan(id, [](QVSDScanObject& scan) {
    scan.setUnsavedVertexData(vertexBytes({QVLScanVertex{}, vertexAt(1, 2, 3, 1)}));
    scan.managedObjectContext()->save();
  });

  // The same path in another case: the same object, the edits become its data.
  bool done = false, saved = false;
  viewer->savePointsToFilePath((temp.path() / "VASE.QVK").string(), (temp.path() / "Vase.qvk").string(), "qvk",
                               [&](bool ok) {
                                 done = true;
                                 saved = ok;
                               });
  ASSERT_TRUE(qv::test::waitFor([&] { return done; }));
  EXPECT_TRUE(saved);
  EXPECT_EQ(viewer->scanObjectId(), id);
  EXPECT_EQ(scanCount(), 1u);
  onScan(id, [](QVSDScanObject& scan) {
    EXPECT_FALSE(scan.unsavedVertexData());
    EXPECT_EQ(scan.vertexData()->size(), 88u);
  });

  // A new path: a second object that the viewer switches to; the first drops its edits.
  onScan(id, [](QVSDScanObject& scan) {
    scan.pointClouds()[0]->setCameraNormalX(0.5);
    scan.pointClouds()[0]->setCameraNormalY(0.25);
    scan.pointClouds()[0]->setCameraNormalZ(-1.0);
    scan.setUnsavedVertexData(vertexBytes({QVLScanVertex{}}));
    scan.managedObjectContext()->save();
  });
  done = false;
  const std::string copyPath = (temp.path() / "Copy.qvkx").string();
  viewer->savePointsToFilePath(copyPath, (temp.path() / "VASE.QVK").string(), "qvkx", [&](bool ok) {
    done = true;
    saved = ok;
  });
  ASSERT_TRUE(qv::test::waitFor([&] { return done; }));
  EXPECT_TRUE(saved);
  EXPECT_EQ(scanCount(), 2u);
  ASSERT_NE(viewer->scanObjectId(), id);
  EXPECT_EQ(viewer->scanObjectFilePath(), copyPath);
  EXPECT_EQ(display.title, "Copy");
  onScan(id, [](QVSDScanObject& scan) {
    EXPECT_FALSE(scan.unsavedVertexData());
    EXPECT_FALSE(scan.sortableIndexData());
  });
  onScan(*viewer->scanObjectId(), [&](QVSDScanObject& scan) {
    EXPECT_EQ(scan.sourceFilePath(), copyPath);
    EXPECT_EQ(scan.vertexData()->size(), 44u);
    EXPECT_EQ(scan.sortableIndexData()->size(), 11u * 48);
    ASSERT_EQ(scan.pointClouds().size(), 1u);
    EXPECT_EQ(scan.pointClouds()[0]->cameraNormalY(), 0.25) << "the copy keeps the camera normal";
  });

  // A save that did not keep all of the scan is a save, and the user hears what it left out.
  saveWarning = "The scan was saved, but 1 of its points was not kept: 1 point whose x is not a number";
  done = false;
  viewer->savePointsToFilePath(copyPath, copyPath, "qvkx", [&](bool ok) {
    done = true;
    saved = ok;
  });
  ASSERT_TRUE(qv::test::waitFor([&] { return done; }));
  EXPECT_TRUE(saved);
  EXPECT_EQ(display.alerts, std::vector<std::string>{"The scan was saved without some of its points: " + saveWarning});
}

TEST_F(ViewerController, SaveAsWithoutRoomInTheLibraryStoresNoScanWithoutItsPointsAndSaysWhy) {
  QV_RUN_ON_A_SMALL_DISK(8u << 20);
  // The library's own files, where its copies are made.
  const fs::path library = store->privateContext()->filesFolder();
  fs::create_directories(library);
  const auto id = makeScan({{1, 0.0, 0, 10}}, (temp.path() / "Vase.qvk").string());
  // The scan's snapshot, and its vertex file as the scan driver leaves it: larger than the room left.
  onScan(id, [&](QVSDScanObject& scan) {
    std::ofstream(library / "Vase.png") << std::string(4096, 'p');
    std::ofstream(library / "Vase.VertexData", std::ios::binary) << std::string(1u << 20, 'v');
    scan.setSnapshotFilePath((library / "Vase.png").string());
    scan.setVertexDataFilePath((library / "Vase.VertexData").string());
    scan.setUnsavedVertexData(vertexBytes({QVLScanVertex{}, vertexAt(1, 2, 3, 1)}));
    ASSERT_TRUE(scan.managedObjectContext()->save());
  });
  load(id);
  qv::test::fillDiskLeaving(library, 256u << 10);
  auto libraryFiles = [&] {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(library)) names.insert(entry.path().filename().string());
    return names;
  };
  const auto before = libraryFiles();

  // The file is written elsewhere, but the library cannot copy the scan's files for it: the user
  // is told so, no scan without its points is stored, and the viewer keeps the scan and its edits.
  bool done = false, saved = true;
  viewer->savePointsToFilePath((temp.path() / "Copy.qvk").string(), (temp.path() / "Vase.qvk").string(), "qvk", [&](bool ok) {
    done = true;
    saved = ok;
  });
  ASSERT_TRUE(qv::test::waitFor([&] { return done; }));
  EXPECT_FALSE(saved);
  ASSERT_EQ(display.alerts.size(), 1u);
  EXPECT_NE(display.alerts[0].find("the disk that holds the folder " + library.string() + " is full"), std::string::npos)
      << display.alerts[0];
  EXPECT_EQ(scanCount(), 1u);
  EXPECT_EQ(viewer->scanObjectId(), id);
  onScan(id, [&](QVSDScanObject& scan) {
    EXPECT_EQ(scan.unsavedVertexData()->size(), 88u);
    EXPECT_EQ(scan.vertexDataFilePath(), (library / "Vase.VertexData").string());
  });
  EXPECT_EQ(libraryFiles(), before) << "no copy made on the way is left";
}

TEST_F(ViewerController, ASaveThatThrowsFailsWithItsReasonAndKeepsTheScan) {
  const auto id = makeScan({{1, 0.0, 0, 10}}, (temp.path() / "Vase.qvk").string());
  load(id);
  bool done = false, saved = true;
  // The writer runs out of memory on its worker queue: the program goes on, the user is told and
  // the caller's completion hears of the failure.
  viewer->savePointsToFilePath((temp.path() / "Big.qvkx").string(), (temp.path() / "Vase.qvk").string(), "exhausting",
                               [&](bool ok) {
                                 done = true;
                                 saved = ok;
                               });
  ASSERT_TRUE(qv::test::waitFor([&] { return done; }));
  EXPECT_FALSE(saved);
  ASSERT_EQ(display.alerts.size(), 1u);
  EXPECT_NE(display.alerts[0].find("not enough memory"), std::string::npos) << display.alerts[0];
  EXPECT_FALSE(display.busyShown);
  EXPECT_EQ(viewer->scanObjectId(), id);
  EXPECT_FALSE(fs::exists(temp.path() / "Big.qvkx"));
}

TEST_F(ViewerController, UnsavedChangesQuestionAlwaysCompletes) {
  const auto id = makeScan({{1, 0.0, 0, 10}}, "");
  load(id);
  std::optional<bool> cancelled;
  viewer->saveAnyUnsavedChanges([&](bool c) { cancelled = c; });
  EXPECT_EQ(cancelled, false) << "nothing unsaved";
  EXPECT_TRUE(display.saveQuestions.empty());

  onScan(id, [](QVSDScanObject& scan) {
    scan.setUnsavedVertexData(vertexBytes({QVLScanVertex{}}));
    scan.managedObjectContext()->save();
  });
  cancelled.reset();
  display.saveAnswer = SaveChangesAnswer::Cancel;
  viewer->saveAnyUnsavedChanges([&](bool c) { cancelled = c; });
  EXPECT_EQ(cancelled, true);
  EXPECT_EQ(display.saveQuestions.back(), "Do you want to save the changes you've made to this file.");

  // "Save" of a scan without a file of its own: a project file through the save panel; a failed
  // write is reported and the close is called off rather than left hanging.
  failWrites = true;
  display.saveAnswer = SaveChangesAnswer::Save;
  display.savePath = (temp.path() / "Scan.qvkx").string();
  cancelled.reset();
  viewer->saveAnyUnsavedChanges([&](bool c) { cancelled = c; });
  ASSERT_TRUE(qv::test::waitFor([&] { return cancelled.has_value(); }));
  EXPECT_TRUE(*cancelled);
  EXPECT_EQ(display.suggestedNames.back(), "Scan.qvkx");
  EXPECT_EQ(display.panelExtensions.back(), "qvkx");
  ASSERT_EQ(display.alerts.size(), 1u);
  EXPECT_NE(display.alerts[0].find("The disk is full."), std::string::npos);
  EXPECT_FALSE(viewer->isSaving());

  failWrites = false;
  cancelled.reset();
  viewer->saveAnyUnsavedChanges([&](bool c) { cancelled = c; });
  ASSERT_TRUE(qv::test::waitFor([&] { return cancelled.has_value(); }));
  EXPECT_FALSE(*cancelled) << "saved, so the close goes on";

  // "Don't Save" drops the edits.
  onScan(*viewer->scanObjectId(), [](QVSDScanObject& scan) {
    scan.setUnsavedVertexData(vertexBytes({QVLScanVertex{}}));
    scan.managedObjectContext()->save();
  });
  display.saveAnswer = SaveChangesAnswer::DontSave;
  cancelled.reset();
  viewer->saveAnyUnsavedChanges([&](bool c) { cancelled = c; });
  EXPECT_EQ(cancelled, false);
  onScan(*viewer->scanObjectId(), [](QVSDScanObject& scan) { EXPECT_FALSE(scan.unsavedVertexData()); });
}

// The save panel never opens in the program's working folder: beside the file the scan came from
// (so that its own name asks to replace it), else in the folder last chosen in a panel, kept across
// launches, and the home folder the first time or once that folder is gone.
TEST_F(ViewerController, SavePanelsStartBesideTheScansFileOrInTheLastFolderChosen) {
  const fs::path home = temp.path() / "home", exports = temp.path() / "exports", scans = temp.path() / "scans";
  for (const auto& folder : {home, exports, scans}) fs::create_directories(folder);
  const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", home.c_str(), 1);
  struct RestoreHome {
    std::string value;
    ~RestoreHome() { ::setenv("HOME", value.c_str(), 1); }
  } restore{oldHome};

  const auto fresh = makeScan({{1, 0.0, 0, 10}}, "");
  load(fresh);
  viewer->savePointsForFileType("ply");  // cancelled
  ASSERT_EQ(display.suggestedFolders.size(), 1u);
  EXPECT_EQ(display.suggestedFolders.back(), home.string()) << "the first panel starts at home";

  std::optional<bool> saved;
  display.savePath = (exports / "Scan.ply").string();
  viewer->savePointsForFileType("ply", [&](bool ok) { saved = ok; });
  ASSERT_TRUE(qv::test::waitFor([&] { return saved.has_value(); }));
  display.savePath.reset();
  viewer->savePointsForFileType("xyz");
  EXPECT_EQ(display.suggestedFolders.back(), exports.string());
  viewer->setMeshingType(3);
  viewer->saveMesh({});
  EXPECT_EQ(display.suggestedFolders.back(), exports.string()) << "the mesh panel shares the folder";
  // The next launch reads the folder back from the settings file.
  EXPECT_EQ(qv::viewer::lastPanelFolder(qv::Settings(settings->filePath())), exports);

  // A scan opened from a file: its own folder and name, whatever was used last.
  const auto fromFile = makeScan({{1, 0.0, 0, 10}}, (scans / "myscan.qvkx").string());
  load(fromFile);
  viewer->savePointsForFileType("qvkx");
  EXPECT_EQ(display.suggestedFolders.back(), scans.string());
  EXPECT_EQ(display.suggestedNames.back(), "myscan.qvkx");

  // The last folder removed since: home again.
  fs::remove_all(exports);
  load(fresh);
  viewer->savePointsForFileType("ply");
  EXPECT_EQ(display.suggestedFolders.back(), home.string());
}

TEST_F(ViewerController, MeshSavesByMeshingTypeAndOnlyThenStopsAsking) {
  const auto id = makeScan({{1, 0.0, 0, 10}}, "/scans/Bust.qvk");
  load(id);
  viewer->setMeshNeedsSaving(true);
  std::optional<bool> saved;
  viewer->saveMesh([&](bool s) { saved = s; });
  EXPECT_EQ(saved, false) << "no mesh made";
  EXPECT_TRUE(display.suggestedNames.empty());

  viewer->setMeshingType(3);
  display.savePath = (temp.path() / "Bust.stl").string();
  saved.reset();
  failWrites = true;
  viewer->saveMesh([&](bool s) { saved = s; });
  ASSERT_TRUE(qv::test::waitFor([&] { return saved.has_value(); }));
  EXPECT_FALSE(*saved);
  EXPECT_TRUE(viewer->meshNeedsSaving());
  EXPECT_EQ(display.alerts.size(), 1u);

  failWrites = false;
  viewer->setMeshingType(1);
  display.savePath = (temp.path() / "Bust.obj").string();
  saved.reset();
  viewer->saveMesh([&](bool s) { saved = s; });
  ASSERT_TRUE(qv::test::waitFor([&] { return saved.has_value(); }));
  EXPECT_TRUE(*saved);
  EXPECT_EQ(display.suggestedNames.back(), "Bust.obj");
  EXPECT_FALSE(viewer->meshNeedsSaving());
}

TEST_F(ViewerController, ATexturedMeshSaveAsksBeforeReplacingAnotherMeshsMaterialOrImage) {
  // "a-b.obj" writes its material and image as "ab.mtl" and "ab.png", which "ab.obj" uses.
  const auto id = makeScan({{1, 0.0, 0, 10}}, "/scans/Bust.qvk");
  onScan(id, [&](QVSDScanObject& scan) { scan.setObjTextureFileName((temp.path() / "atlas.png").string()); });
  store->privateContext()->performAndWait([&] { ASSERT_TRUE(store->privateContext()->save(nullptr)); });
  load(id);
  viewer->setMeshingType(1);
  std::ofstream(temp.path() / "ab.mtl") << "mesh 1";
  std::ofstream(temp.path() / "ab.png") << "mesh 1";
  display.savePath = (temp.path() / "a-b.obj").string();
  auto save = [&] {
    std::optional<bool> saved;
    viewer->saveMesh([&](bool s) { saved = s; });
    EXPECT_TRUE(qv::test::waitFor([&] { return saved.has_value(); }));
    return saved.value_or(false);
  };
  display.replaceAnswer = false;
  EXPECT_FALSE(save());
  EXPECT_EQ(display.replaceQuestions, (std::vector<std::string>{"ab.mtl"}));
  EXPECT_FALSE(fs::exists(temp.path() / "a-b.obj")) << "a No replaces nothing, and writes nothing";
  EXPECT_TRUE(display.alerts.empty());

  display.replaceQuestions.clear();
  display.replaceAnswer = true;
  EXPECT_TRUE(save());
  EXPECT_EQ(display.replaceQuestions, (std::vector<std::string>{"ab.mtl", "ab.png"}));
  EXPECT_TRUE(fs::exists(temp.path() / "a-b.obj"));

  // Saved over the OBJ that names them, they are that OBJ's own and go with it, unless another OBJ
  // here takes the same names.
  std::ofstream(temp.path() / "ab.obj") << "mtllib ab.mtl\n";
  std::ofstream(temp.path() / "a-b.obj") << "mtllib ab.mtl\n";
  display.replaceQuestions.clear();
  EXPECT_TRUE(save());
  EXPECT_EQ(display.replaceQuestions, (std::vector<std::string>{"ab.mtl", "ab.png"})) << "ab.obj may use them";
  fs::remove(temp.path() / "ab.obj");
  std::ofstream(temp.path() / "a-b.obj") << "mtllib ab.mtl\n";
  display.replaceQuestions.clear();
  EXPECT_TRUE(save());
  EXPECT_TRUE(display.replaceQuestions.empty()) << "a save over a-b.obj asked again about its own companions";

  // An untextured OBJ writes no companions and asks nothing more.
  display.replaceQuestions.clear();
  viewer->setMeshingType(2);
  EXPECT_TRUE(save());
  EXPECT_TRUE(display.replaceQuestions.empty());
}

TEST_F(ViewerController, ViewerStateGoesBackIntoTheScan) {
  const auto id = makeScan({{1, 0.0, 0, 10}});
  bool called = false;
  viewer->saveViewerState([&] { called = true; });
  EXPECT_TRUE(called) << "before loading the completion runs at once";
  load(id);
  viewer->setPitchAngle(0.25f);
  viewer->setYawAngle(1.5f);
  viewer->scrollWheel(-40);
  called = false;
  viewer->saveViewerState([&] { called = true; });
  ASSERT_TRUE(qv::test::waitFor([&] { return called; }));
  onScan(id, [](QVSDScanObject& scan) {
    EXPECT_NEAR(*scan.pitchAngle(), 0.25, 1e-6);
    EXPECT_NEAR(*scan.yawAngle(), 1.5, 1e-6);
    EXPECT_NEAR(scan.cameraPosition().z, 60, 1e-3);
    ASSERT_TRUE(scan.snapshotFilePath());
    const cv::Mat thumbnail = cv::imread(*scan.snapshotFilePath());
    ASSERT_EQ(thumbnail.cols, 220);
    ASSERT_EQ(thumbnail.rows, 220);
    // The centred 300 x 300 square of the 400 x 300 frame: blue up to its middle, then red.
    EXPECT_GT(thumbnail.at<cv::Vec3b>(110, 60)[0], 150);
    EXPECT_LT(thumbnail.at<cv::Vec3b>(110, 60)[2], 50);
    EXPECT_GT(thumbnail.at<cv::Vec3b>(110, 160)[2], 150);
  });
}

TEST_F(ViewerController, LeavingAScanRemovesOnlyFilesOfItsOwnLibrary) {
  const auto id = makeScan({{1, 0.0, 0, 10}});
  const fs::path files = store->filesFolder(), elsewhere = temp.path() / "elsewhere";
  fs::create_directories(elsewhere);
  fs::create_directories(temp.path() / "cwd");
  fs::create_symlink(elsewhere, files / "out");
  fs::create_symlink(elsewhere / "linked.tiff", files / "link.tiff");
  fs::create_symlink(elsewhere / "linked.stl", files / "link.stl");
  // What the library is made of: the open store and its companions, a kept library and its log,
  // another library's files folder.
  const fs::path library = store->libraryFolder(), storeFile = store->persistentStoreURL();
  const std::string kept = storeFile.string() + ".corrupt-20240101-000000";
  const std::vector<fs::path> madeOf = {storeFile,  storeFile.string() + "-wal", storeFile.string() + "-shm",
                                        storeFile.string() + "-journal", kept, kept + "-wal",
                                        library / ("Files-" + qv::makeUUIDString())};
  for (const auto& part : madeOf) {
    if (fs::exists(part)) continue;
    if (part.filename().string().rfind("Files-", 0) == 0) fs::create_directory(part);
    else std::ofstream(part) << std::string(4, '\0');
  }
  fs::create_symlink(library, files / "up");
  // Rows naming someone else's files, in each form a row can name one, and what the library is
  // made of, named directly and through a link back into its folder: the thumbnail a scan leaves
  // behind and its unsaved mesh are removed only when they are the library's own.
  struct CurrentFolder {
    fs::path was = fs::current_path();
    ~CurrentFolder() { fs::current_path(was); }
  } restore;
  fs::current_path(temp.path() / "cwd");
  struct Decoy {
    std::string thumbnail, mesh;
    std::vector<fs::path> files;
  };
  std::vector<Decoy> decoys = {
      {"rel.tiff", "rel.stl", {temp.path() / "cwd/rel.tiff", temp.path() / "cwd/rel.stl"}},
      {(files / "../../snap.tiff").string(), (files / "../../snap.stl").string(),
       {files.parent_path().parent_path() / "snap.tiff", files.parent_path().parent_path() / "snap.stl"}},
      {(elsewhere / "abs.tiff").string(), (elsewhere / "abs.stl").string(),
       {elsewhere / "abs.tiff", elsewhere / "abs.stl"}},
      {(files / "out/in.tiff").string(), (files / "out/in.stl").string(),
       {elsewhere / "in.tiff", elsewhere / "in.stl"}},  // through a folder link leading out
      {(files / "link.tiff").string(), (files / "link.stl").string(),
       {elsewhere / "linked.tiff", elsewhere / "linked.stl"}},  // a file link leading out
  };
  for (std::size_t i = 0; i < madeOf.size(); ++i)
    decoys.push_back({madeOf[i].string(), (files / "up" / madeOf[(i + 1) % madeOf.size()].filename()).string(), madeOf});
  for (const auto& decoy : decoys) {
    for (const auto& file : decoy.files)
      if (!fs::exists(file)) std::ofstream(file) << "keep";
    store->mainContext()->performAndWait([&] {
      auto scan = QVSDScanObject::scanObjectWithId(id, false, *store->mainContext());
      ASSERT_TRUE(scan);
      scan->setSnapshotFilePath(decoy.thumbnail);
      scan->setMeshedVertexDataFilePath(decoy.mesh);
      ASSERT_TRUE(store->mainContext()->save());
    });
    ASSERT_TRUE(qv::test::waitFor([&] {
      std::string mesh;
      onScan(id, [&](QVSDScanObject& scan) { mesh = scan.meshedVertexDataFilePath().value_or(""); });
      return mesh == decoy.mesh;
    }));
    delegate.hudShown = 0;
    load(id);
    ASSERT_TRUE(viewer->isDoneLoading());
    viewer->closeSceneAndReturnHome();
    ASSERT_TRUE(qv::test::waitFor([&] { return delegate.hudShown > 0; }));
    store->privateContext()->performAndWait([] {});
    for (const auto& file : decoy.files) EXPECT_TRUE(fs::exists(file)) << decoy.thumbnail << ": " << file;
  }
  // Nor does a copy given up remove any of them, whatever its rows name.
  store->privateContext()->performAndWait([&] {
    auto& context = *store->privateContext();
    for (const auto& decoy : decoys) {
      auto copy = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(context));
      copy->setSnapshotFilePath(decoy.thumbnail);
      copy->setMeshedVertexDataFilePath(decoy.mesh);
      copy->discardCopiedFiles();
    }
    context.rollback();
  });
  for (const auto& decoy : decoys)
    for (const auto& file : decoy.files) EXPECT_TRUE(fs::exists(file)) << "a copy given up: " << file;
  // The library's own thumbnail goes when the next one takes its place, and only then: a visit
  // where no picture can be drawn keeps it, and the row naming it.
  std::string own;
  auto thumbnail = [&] {
    std::string path;
    onScan(id, [&](QVSDScanObject& scan) { path = scan.snapshotFilePath().value_or(""); });
    return path;
  };
  own = thumbnail();
  ASSERT_EQ(fs::path(own).parent_path(), files);
  ASSERT_TRUE(fs::exists(own));
  for (const bool drawable : {false, true}) {
    display.drawable = drawable;
    delegate.hudShown = 0;
    load(id);
    bool saved = false;
    viewer->saveViewerState([&] { saved = true; });
    ASSERT_TRUE(qv::test::waitFor([&] { return saved; }));
    EXPECT_EQ(fs::exists(own), !drawable) << (drawable ? "drawn" : "not drawn");
    EXPECT_EQ(thumbnail() == own, !drawable);
  }
  EXPECT_TRUE(fs::exists(thumbnail()));
}

TEST_F(ViewerController, KeysAndDragsMoveTheViewWithinTheirLimits) {
  const auto id = makeScan({{1, 0.0, 0, 10}});
  load(id);
  for (int i = 0; i < 20; ++i) {
    viewer->mouseDown(10, 10);
    viewer->mouseDragged(10, 10, 0, 300, {});
    viewer->mouseUp({});
  }
  EXPECT_FLOAT_EQ(viewer->pitchAngle(), 1.5393804002589986f) << "the pitch stops short of a quarter turn";
  viewer->mouseDown(10, 10);
  viewer->mouseDragged(10, 10, 40, 30, QVLModifiers{true, true});  // Shift and Control together: both angles
  viewer->mouseUp({});
  EXPECT_NEAR(viewer->yawAngle(), 40.0f / 400 * 3.14159265f, 1e-5);
  viewer->panTheObject(10, 0);
  EXPECT_NEAR(viewer->cameraPosition().x, -4, 1e-5);

  // C zeroes the angles only; Shift-C also brings the camera home.
  EXPECT_TRUE(viewer->keyDown("c", {}));
  EXPECT_EQ(viewer->pitchAngle(), 0);
  EXPECT_EQ(viewer->yawAngle(), 0);
  EXPECT_NEAR(viewer->cameraPosition().x, -4, 1e-5);
  EXPECT_TRUE(viewer->keyDown("C", QVLModifiers{true}));
  EXPECT_EQ(viewer->cameraPosition(), (qv::Double3{0, 0, 100}));
  EXPECT_NEAR(viewer->cameraNode()->position().z, 100, 1e-4);

  // The brush keys work only with the brush up, and keep the size within 5..40.
  EXPECT_FALSE(viewer->keyDown("]", {}));
  viewer->setBrushCleaningState(3);
  for (int i = 0; i < 50; ++i) viewer->keyDown("]", {});
  EXPECT_EQ(viewer->cleaningBrushSize(), 40u);
  for (int i = 0; i < 50; ++i) viewer->keyDown("[", {});
  EXPECT_EQ(viewer->cleaningBrushSize(), 5u);
  EXPECT_TRUE(viewer->keyDown(" ", {}));
  EXPECT_EQ(viewer->brushCleaningState(), 5);
  EXPECT_TRUE(viewer->keyUp(49));
  EXPECT_EQ(viewer->brushCleaningState(), 3);
  EXPECT_FALSE(viewer->keyUp(49)) << "releasing the space bar returns to the brush only from the hand";
  viewer->setBrushCleaningState(0);

  // Zoom keeps the camera 5 to 300 from the origin; the point size follows the distance.
  settings->setValue("ViewPointSize", 2);
  display.scale = 2;
  viewer->scrollWheel(-1000);
  EXPECT_NEAR(viewer->cameraPosition().z, 5, 1e-4);
  viewer->scrollWheel(5000);
  EXPECT_NEAR(viewer->cameraPosition().z, 300, 1e-3);
  EXPECT_FLOAT_EQ(display.pointSize, 8);
  viewer->scrollWheel(-200);
  EXPECT_NEAR(display.pointSize, 9.64, 0.01);
  // A change of the setting reaches the renderer at once.
  settings->setValue("ViewPointSize", 3);
  qv::drainMainQueue();
  EXPECT_NEAR(display.pointSize, (8 + (1 - 100.0 / 110) * 9) * 2, 0.01);
  settings->setValue("Enable3DPointSmoothing", true);
  qv::drainMainQueue();
  EXPECT_TRUE(display.smooth);
}

// What the header and the scene's keys do around the Clean panel: the layer list folds only the
// sub-panels, Align, Home and Open close the panels first (and Align passes the open-panel
// guard), Shift and Control show the brush's sign while held, Delete removes the selection.
TEST_F(ViewerController, PanelControlsCloseWhatTheyShouldAndKeysReachTheBrush) {
  const auto id = makeScan({{4, 20.0, 1, 60}, {3, 25.0, 0, 40}});
  load(id);
  const auto settle = [&] {
    for (int turn = 0; turn < 4; ++turn) {
      viewer->pointManagementQueue()->sync([] {});
      qv::drainMainQueue();
    }
  };
  viewer->cleanButtonPressed();
  viewer->croppingButtonPressed();
  settle();
  ASSERT_TRUE(viewer->cleaningPanels().cropping);
  viewer->pointCloudButtonPressed();
  settle();
  EXPECT_TRUE(viewer->cleaningPanels().layerTable) << "two visible layers";
  EXPECT_FALSE(viewer->cleaningPanels().cropping);
  EXPECT_EQ(viewer->rightPanel(), qv::viewer::RightPanel::Cleaning) << "the Clean panel stays";
  viewer->pointCloudButtonPressed();
  settle();
  EXPECT_FALSE(viewer->cleaningPanels().anyOpen());
  EXPECT_EQ(viewer->rightPanel(), qv::viewer::RightPanel::Cleaning);

  // The brush's sign follows the modifier keys while they are held.
  viewer->brushCleaningButtonPressed();
  settle();
  ASSERT_EQ(viewer->brushCleaningState(), 3);
  viewer->flagsChanged(QVLModifiers{true});
  EXPECT_EQ(viewer->brushCursor().sign, "+");
  viewer->flagsChanged(QVLModifiers{false, true});
  EXPECT_EQ(viewer->brushCursor().sign, "-");
  viewer->flagsChanged({});
  EXPECT_EQ(viewer->brushCursor().sign, "");

  // Backspace and Delete both delete what the brush selected.
  ASSERT_TRUE(qv::test::waitFor([&] { return viewer->projectionIsComplete(); }));
  for (int key = 0; key < 2; ++key) {
    const QVLScanVertex target = vertexAt(10, key == 0 ? 20 : 25, 0);  // the first point of each layer
    const auto at = viewer->projectPointX(target.point3DX, target.point3DY, target.point3DZ);
    const std::uint64_t before = viewer->numberOfFilteredVertices();
    viewer->mouseDown(at.x, at.y);
    viewer->mouseUp({});
    ASSERT_TRUE(qv::test::waitFor([&] { return viewer->numberOfSelectedVertices() > 0; }));
    key == 0 ? viewer->deleteBackward() : viewer->deleteForward();
    ASSERT_TRUE(qv::test::waitFor([&] { return viewer->numberOfFilteredVertices() < before; })) << key;
    viewer->didRenderScene();  // the frame after the stroke gives the brush back
    settle();
    ASSERT_EQ(viewer->brushCleaningState(), 3);
  }

  // Align waits while an open panel is up; then it closes the panels, dropping unapplied edits.
  delegate.openPanelShown = true;
  EXPECT_FALSE(viewer->alignButtonPressed());
  EXPECT_EQ(viewer->rightPanel(), qv::viewer::RightPanel::Cleaning);
  delegate.openPanelShown = false;
  viewer->setAligningScreenShown(true);
  EXPECT_FALSE(viewer->alignButtonPressed()) << "already aligning";
  viewer->setAligningScreenShown(false);
  EXPECT_TRUE(viewer->alignButtonPressed());
  settle();
  EXPECT_EQ(viewer->rightPanel(), qv::viewer::RightPanel::Closed);
  EXPECT_FALSE(viewer->cleaningPanels().anyOpen());
  EXPECT_EQ(viewer->brushCleaningState(), 0);
  EXPECT_EQ(viewer->numberOfFilteredVertices(), 100u);

  // Open and Home fold the sub-panels and close the Clean panel before they act.
  for (bool home : {false, true}) {
    viewer->cleanButtonPressed();
    viewer->brushCleaningButtonPressed();
    settle();
    ASSERT_TRUE(viewer->cleaningPanels().brush);
    home ? viewer->homeButtonPressed() : viewer->openButtonPressed();
    settle();
    EXPECT_FALSE(viewer->cleaningPanels().anyOpen()) << home;
    EXPECT_EQ(viewer->rightPanel(), qv::viewer::RightPanel::Closed) << home;
  }
  EXPECT_EQ(delegate.openAsked, 1);
  EXPECT_TRUE(qv::test::waitFor([&] { qv::drainMainQueue(); return delegate.hudShown == 1; }));
}

// A scan never shown before opens on a view of the whole of it, however tall; one shown before
// opens where it was left.
TEST_F(ViewerController, AFreshScanIsSeenWholeAtFirst) {
  const auto id = makeScan({{1, 0.0, 0, 60}, {2, 150.0, 0, 60}});
  load(id);
  ASSERT_TRUE(viewer->isDoneLoading());
  EXPECT_GT(viewer->cameraPosition().z, 100);
  for (const QVLScanVertex& v : {vertexAt(10, 0, 0), vertexAt(10 * std::cos(5.9f), 150 + 59 * kStep, 10 * std::sin(5.9f))}) {
    const auto at = viewer->projectPointX(v.point3DX, v.point3DY, v.point3DZ);
    ASSERT_TRUE(at.inFront);
    EXPECT_GT(at.y, 0) << v.point3DY;
    EXPECT_LT(at.y, 300) << v.point3DY;
  }
  // Leaving keeps the view with the scan; a view set there is where the next load starts.
  bool saved = false;
  viewer->saveViewerState([&] { saved = true; });
  ASSERT_TRUE(qv::test::waitFor([&] { return saved; }));
  store->mainContext()->performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, *store->mainContext());
    ASSERT_TRUE(scan);
    EXPECT_GT(scan->cameraPosition().z, 100);
    scan->setCameraPosition({0, 0, 60});
    store->mainContext()->save();
  });
  // The main context's save reaches the private one, which the load reads, on its own queue.
  ASSERT_TRUE(qv::test::waitFor([&] {
    double z = 0;
    onScan(id, [&](QVSDScanObject& scan) { z = scan.cameraPosition().z; });
    return z == 60;
  }));
  viewer->resetScene();
  load(id);
  EXPECT_EQ(viewer->cameraPosition(), (qv::Double3{0, 0, 60}));
}
