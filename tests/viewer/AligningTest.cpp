// The aligning screen's work on a real store: the merge's records, indices, clouds, capture
// geometry and textures, the merged name, reusing or importing the second scan, and what the
// user is told when a step fails.
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "formats/QVLFileImporter.h"
#include "platform/Queue.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanSlice.h"
#include "store/QVSDTexture.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"
#include "viewer/ViewerStore.h"
#include "viewer/ViewerTestSupport.h"
#include "viewer/model/QVLAligningViewController.h"
#include "viewer/model/ScanMerge.h"

namespace {

using Stage = qv::viewer::AligningDisplay::Stage;

class RecordingAligningDisplay : public qv::viewer::AligningDisplay {
public:
  void showStage(Stage s) override { stages.push_back(s); }
  void askForFileToAlign(const std::string&, std::function<void(std::optional<std::string>)> answer) override {
    answer(fileToAlign);
  }
  void askForMergedScanPath(const std::string& path, const std::vector<std::string>& extensions,
                            std::function<void(std::optional<std::string>)> answer) override {
    proposedName = std::filesystem::path(path).filename().string();
    offeredExtensions = extensions;
    answer(savePath);
  }
  void showAlert(const std::string& message, const std::string&) override { alerts.push_back(message); }

  std::optional<std::string> fileToAlign, savePath;
  std::string proposedName;
  std::vector<std::string> offeredExtensions, alerts;
  std::vector<Stage> stages;
};

class Host : public QVLAligningProtocol {
public:
  void dismissAligningViewController() override { ++dismissed; }
  void loadScan(const qv::ObjectID& id) override { loaded = id; }
  std::atomic<int> dismissed{0};
  std::optional<qv::ObjectID> loaded;
};

// Two records a cloud, moved by the import into the scan object it was made for.
class FakeImporter : public QVLFileImporter {
public:
  FakeImporter(std::string path, qv::ObjectID id, bool fails) : QVLFileImporter(std::move(path), std::move(id)), fails_(fails) {}
  bool parseFile(qv::Error* error) override {
    if (fails_) {
      if (error) *error = qv::Error("test", 1, "unreadable");
      return false;
    }
    auto context = privateQueueContext();
    context->performAndWait([&] {
      auto scan = QVSDScanObject::scanObjectWithId(scanObjectId(), false, *context);
      auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
      cloud->setLookupId(1);
      cloud->setVertexIndexData(indexBytes({1, 2}));
      QVSDScanSlice::createScanSliceInPointCloud(cloud, 0.0f);
      scan->setVertexData(vertexBytes({QVLScanVertex{}, vertexAt(1, 2, 3, 1), vertexAt(4, 5, 6, 1)}));
      context->save();
    });
    return true;
  }

private:
  bool fails_;
};

// Moves by (10, 0, 0) after a quarter turn about z.
const QVLAlign::Matrix kTurnAndShift{0, -1, 0, 10, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

class Aligning : public ::testing::Test {
protected:
  void SetUp() override {
    store = makeQuietStore(temp.path() / "Quorvel");
  }
  void TearDown() override {
    store->privateContext()->performAndWait([] {});
    qv::drainMainQueue();
  }

  std::shared_ptr<QVLAligningViewController> screen() {
    QVLAligningViewController::Options o;
    o.store = store.get();
    o.importers = [this](const std::string& path, const qv::ObjectID& id) -> std::unique_ptr<QVLFileImporter> {
      ++imports;
      return std::make_unique<FakeImporter>(path, id, failImport);
    };
    o.aligner = [this](auto, const auto&, auto, const auto&, QVLAlign::Matrix* m) {
      *m = alignable ? kTurnAndShift : QVLAlign::identity();
      return alignable;
    };
    auto s = QVLAligningViewController::create(o);
    s->setDisplay(&display);
    s->setDelegate(&host);
    return s;
  }

  template <typename F>
  void inContext(F code) {
    auto context = store->privateContext();
    context->performAndWait([&] { code(*context); });
  }

  qv::ObjectID addScan(const std::vector<QVLScanVertex>& vertices, const std::vector<std::vector<std::uint32_t>>& lists,
                       const std::string& source, bool withSlice, std::int16_t firstLookupId = 1) {
    return addScanObject(*store, [&](auto& scan) {
      std::int16_t lookup = firstLookupId;
      for (const auto& list : lists) {
        auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
        cloud->setLookupId(lookup++);
        cloud->setVertexIndexData(indexBytes(list));
        if (withSlice) QVSDScanSlice::createScanSliceInPointCloud(cloud, 0.0f);
      }
      scan->setVertexData(vertexBytes(vertices));
      scan->setSourceFilePath(source);
    });
  }

  std::size_t scanCount() { return ::scanCount(*store); }

  void run(const std::shared_ptr<QVLAligningViewController>& s, const std::string& path) {
    display.fileToAlign = path;
    s->chooseFileButtonPressed();
    ASSERT_TRUE(qv::test::waitFor([&] { return host.dismissed > 0; }));
    qv::drainMainQueue();
  }

  qv::test::TempFolder temp;
  std::unique_ptr<TBCoreDataStoreS1> store;
  RecordingAligningDisplay display;
  Host host;
  int imports = 0;
  bool failImport = false, alignable = true;
};

std::vector<QVLScanVertex> recordsOf(const qv::SharedData& data) {
  std::vector<QVLScanVertex> out(data ? data->size() / sizeof(QVLScanVertex) : 0);
  if (!out.empty()) std::memcpy(out.data(), data->data(), out.size() * sizeof(QVLScanVertex));
  return out;
}

std::vector<std::uint32_t> indicesOf(const qv::SharedData& data) {
  std::vector<std::uint32_t> out(data ? data->size() / 4 : 0);
  if (!out.empty()) std::memcpy(out.data(), data->data(), out.size() * 4);
  return out;
}

TEST_F(Aligning, MergesTheMovedSecondScanBehindTheFixedOneAndSavesIt) {
  // A fixed scan of 1,001 records with unsaved edits, and a second scan from the library.
  std::vector<QVLScanVertex> fixedRecords(1001);
  for (int i = 1; i <= 1000; ++i) fixedRecords[i] = vertexAt(1, 1, static_cast<float>(i), 1);
  const auto fixedId = addScan(fixedRecords, {{1, 2, 3}, {4}}, "/d/a.qvk", true);
  inContext([&](qv::ObjectContext& context) {
    auto fixed = QVSDScanObject::scanObjectWithId(fixedId, false, context);
    auto edited = fixedRecords;
    edited[1] = QVLScanVertex{};  // a point removed in the viewer, not yet saved
    fixed->setUnsavedVertexData(vertexBytes(edited));
    // Each cloud's grid is one slice of as many rows as it has entries, so the writers can lay it out.
    for (const auto& cloud : fixed->pointClouds())
      cloud->setCameraHeight(static_cast<std::int64_t>(cloud->vertexIndexData()->size() / 4));
    ASSERT_TRUE(context.save());
  });
  std::vector<QVLScanVertex> secondRecords{QVLScanVertex{}};
  for (int i = 1; i <= 6; ++i) secondRecords.push_back(vertexAt(static_cast<float>(i), 0, 0, i <= 3 ? 1 : 2));
  const auto secondId = addScan(secondRecords, {{0, 1, 2, 3}, {4, 5, 6}}, "/e/b.qvkx", true);
  inContext([&](qv::ObjectContext& context) {
    auto second = QVSDScanObject::scanObjectWithId(secondId, false, context);
    auto cloud = second->pointClouds().front();
    for (const auto& each : second->pointClouds())
      each->setCameraHeight(static_cast<std::int64_t>(each->vertexIndexData()->size() / 4));
    cloud->setBedX(0), cloud->setBedY(0), cloud->setBedZ(0);  // the origin stays
    cloud->setCameraOriginX(1), cloud->setCameraOriginY(0), cloud->setCameraOriginZ(0);
    cloud->setCameraNormalX(1), cloud->setCameraNormalY(0), cloud->setCameraNormalZ(0);
    auto texture = QVSDTexture::createTextureInScanObject(second);
    texture->setCameraPositionX(0), texture->setCameraPositionY(1), texture->setCameraPositionZ(0);
    texture->setCameraNormX(0), texture->setCameraNormY(1), texture->setCameraNormZ(0);
    ASSERT_TRUE(context.save());
  });
  const std::size_t scansBefore = scanCount();

  auto s = screen();
  s->setSourceScanObjectId(fixedId);
  const std::string saved = (temp.path() / "merged.qvkx").string();
  display.savePath = saved;
  run(s, "/e/b.qvkx");

  EXPECT_EQ(imports, 0);  // reused as stored
  EXPECT_TRUE(display.alerts.empty());
  EXPECT_EQ(display.proposedName, "a_b.qvkx");
  EXPECT_EQ(display.offeredExtensions, (std::vector<std::string>{"qvkx", "qvk"}));
  EXPECT_TRUE(std::filesystem::exists(saved));
  ASSERT_TRUE(s->combinedScanObjectID());
  EXPECT_EQ(host.loaded, s->combinedScanObjectID());
  EXPECT_EQ(display.stages, (std::vector<Stage>{Stage::Waiting, Stage::Offering, Stage::Saving}));
  EXPECT_EQ(scanCount(), scansBefore + 1);

  inContext([&](qv::ObjectContext& context) {
    auto merged = QVSDScanObject::scanObjectWithId(*s->combinedScanObjectID(), false, context);
    ASSERT_TRUE(merged);
    EXPECT_EQ(merged->sourceFilePath().value_or(""), saved);
    EXPECT_FALSE(merged->unsavedVertexData());  // the merge is what the viewer and writers read
    const auto records = recordsOf(merged->vertexData());
    ASSERT_EQ(records.size(), 1001u + 6u);
    EXPECT_EQ(records[1].point3DX, 0);  // the unsaved edit carried into the merge
    EXPECT_FLOAT_EQ(records[1001].point3DX, 10);  // (1, 0, 0) turned and shifted
    EXPECT_FLOAT_EQ(records[1001].point3DY, 1);
    EXPECT_NEAR(records[1001].normalZ, 1, 1e-6);  // along the turn's axis

    auto clouds = QVSDPointCloud::sortedPointCloudsForScanObject(merged);
    ASSERT_EQ(clouds.size(), 4u);
    std::vector<std::int64_t> ids;
    for (const auto& c : merged->pointClouds()) ids.push_back(c->lookupId().value_or(0));
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << "cloud numbers repeat";
    bool found5 = false;  // 5 became 1,005: the fixed scan's records less its record 0
    for (const auto& c : merged->pointClouds()) {
      const auto list = indicesOf(c->vertexIndexData());
      if (list == std::vector<std::uint32_t>{1004, 1005, 1006}) found5 = true;
      if (list == std::vector<std::uint32_t>{0, 1001, 1002, 1003}) {
        EXPECT_EQ(records[1001].lookupId, c->lookupId().value_or(-1));
        EXPECT_EQ(c->bedX().value_or(-1), 0);
        EXPECT_FLOAT_EQ(static_cast<float>(c->cameraOriginX().value_or(0)), 10);
        EXPECT_NEAR(c->cameraNormalY().value_or(0), 1, 1e-6);
      }
    }
    EXPECT_TRUE(found5);
    auto textures = merged->textures();
    ASSERT_EQ(textures.size(), 1u);
    EXPECT_FLOAT_EQ(static_cast<float>(textures[0]->cameraPositionX().value_or(0)), 9);
    EXPECT_NEAR(textures[0]->cameraNormX().value_or(0), -1, 1e-6);
  });
}

TEST_F(Aligning, MergedNamesFollowTheFixedScansFile) {
  using qv::viewer::combineSourceFilePath;
  EXPECT_EQ(combineSourceFilePath("/d/a.qvk", "/e/b.qvkx", false), "/d/a_b.qvk");
  EXPECT_EQ(combineSourceFilePath("/d/a.QVKX", "/e/b.qvk", true), "/d/a_b.qvkx");
  EXPECT_EQ(combineSourceFilePath("/d/a.ply", "/e/b.qvk", true), "");
  EXPECT_EQ(combineSourceFilePath("/d/a", "/e/b.qvk", false), "");
}

TEST_F(Aligning, FailuresCloseTheScreenTellTheUserAndLeaveNoScanBehind) {
  const auto fixedId = addScan({QVLScanVertex{}, vertexAt(1, 1, 1)}, {{1}}, "/d/a.qvk", true);
  const std::size_t scans = scanCount();

  {  // The fixed scan's own file: no import, the failure alert.
    auto s = screen();
    s->setSourceScanObjectId(fixedId);
    run(s, "/d/a.qvk");
    EXPECT_EQ(imports, 0);
    EXPECT_EQ(display.alerts, std::vector<std::string>{QVLAligningViewController::kFailureMessage});
  }
  {  // An unreadable file: closed without an alert, and the scan object made for it is gone.
    display.alerts.clear(), host.dismissed = 0, failImport = true;
    auto s = screen();
    s->setSourceScanObjectId(fixedId);
    run(s, "/e/broken.qvk");
    EXPECT_EQ(imports, 1);
    EXPECT_TRUE(display.alerts.empty());
    EXPECT_EQ(scanCount(), scans);
  }
  {  // Imported but not alignable: the alert, and again nothing left behind.
    display.alerts.clear(), host.dismissed = 0, failImport = false, alignable = false;
    auto s = screen();
    s->setSourceScanObjectId(fixedId);
    run(s, "/e/b.qvk");
    EXPECT_EQ(display.alerts, std::vector<std::string>{QVLAligningViewController::kFailureMessage});
    EXPECT_FALSE(s->combinedScanObjectID());
    EXPECT_EQ(scanCount(), scans);
  }
  {  // Imported and merged, but the file cannot be written: said so, and the merge still shown.
    // Both scans have slices, counted after the import, so the panel offers qvkx too.
    display.alerts.clear(), host.dismissed = 0, alignable = true;
    display.savePath = (temp.path() / "no such folder" / "m.qvk").string();
    auto s = screen();
    s->setSourceScanObjectId(fixedId);
    run(s, "/e/b.qvkx");
    EXPECT_EQ(display.offeredExtensions, (std::vector<std::string>{"qvkx", "qvk"}));
    EXPECT_EQ(display.proposedName, "a_b.qvkx");
    EXPECT_EQ(display.alerts, std::vector<std::string>{QVLAligningViewController::kSaveFailureMessage});
    ASSERT_TRUE(s->combinedScanObjectID());
    EXPECT_EQ(host.loaded, s->combinedScanObjectID());
    EXPECT_EQ(scanCount(), scans + 1);  // the merge only; the imported scan is not kept
  }
}

}  // namespace
