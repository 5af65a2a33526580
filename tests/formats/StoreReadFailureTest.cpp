// Every writer over a store whose reads fail: it stops with the store's own error and writes
// nothing, rather than a file that silently lacks what could not be read.
#include <sqlite3.h>

#include <filesystem>

#include "FormatsTestSupport.h"
#include "formats/QVLObjFileExporter.h"
#include "formats/QVLPcdFileExporter.h"
#include "formats/QVLPlyFileExporter.h"
#include "formats/QVLQvkFileExporter.h"
#include "formats/QVLQvkxFileExporter.h"
#include "formats/QVLStlFileExporter.h"
#include "formats/QVLXyzFileExporter.h"
#include "store/StoreErrors.h"

namespace fs = std::filesystem;

namespace {

// Changes the store file behind the store's back, through a connection of its own.
void runSQL(const fs::path& file, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
}

}  // namespace

class StoreReadFailureTest : public FormatsTest {
protected:
  // A scan of three good points in two clouds, as the exports expect it.
  qv::ObjectID scanWithClouds() {
    return makeScan([&](const std::shared_ptr<QVSDScanObject>& scan) {
      scan->setVertexData(vertexBytes({vertex(1, 2, 3, 0, 0, 1), vertex(4, 5, 6, 0, 1, 0), vertex(7, 8, 9, 1, 0, 0)}));
      for (const auto& index : {std::vector<std::uint32_t>{1, 2}, std::vector<std::uint32_t>{0}}) {
        auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
        cloud->setVertexIndexData(indexBytes(index));
        cloud->setRadiansData(std::make_shared<qv::Data>(4, 0));  // one rotation, at 0
      }
    });
  }

  // Exports through each writer of a point or scan file and expects the store's error and no file.
  template <typename Exporter>
  qv::Error expectRefused(const qv::ObjectID& id, const std::string& name, int code) {
    SCOPED_TRACE(name);
    qv::Error error;
    EXPECT_FALSE(exportScan<Exporter>(id, path(name), &error));
    EXPECT_TRUE(error.is(qv::kScanErrorDomain, code)) << error.text();
    EXPECT_FALSE(fs::exists(path(name)));
    return error;
  }

  fs::path storeFile() const { return libraryFolder() / TBCoreDataStoreS1::kStoreFileName; }
};

TEST_F(StoreReadFailureTest, ACloudListThatCannotBeReadStopsEveryPointAndScanExport) {
  const auto id = scanWithClouds();
  // The same exports work while the store can be read: the refusals below are the read's doing.
  ASSERT_TRUE(exportScan<QVLQvkxFileExporter>(id, path("before.qvkx")));
  ASSERT_TRUE(exportScan<QVLPlyFileExporter>(id, path("before.ply")));

  runSQL(storeFile(), "ALTER TABLE QVSDPointCloud RENAME TO Hidden");
  expectRefused<QVLQvkxFileExporter>(id, "scan.qvkx", qv::kStoreOperationError);
  expectRefused<QVLQvkFileExporter>(id, "scan.qvk", qv::kStoreOperationError);
  expectRefused<QVLPlyFileExporter>(id, "scan.ply", qv::kStoreOperationError);
  expectRefused<QVLPcdFileExporter>(id, "scan.pcd", qv::kStoreOperationError);
  expectRefused<QVLXyzFileExporter>(id, "scan.xyz", qv::kStoreOperationError);

  // Once the store reads again, so do the exports: no failure is kept for later.
  runSQL(storeFile(), "ALTER TABLE Hidden RENAME TO QVSDPointCloud");
  EXPECT_TRUE(exportScan<QVLQvkFileExporter>(id, path("after.qvk")));
}

TEST_F(StoreReadFailureTest, AScanThatCannotBeReadIsTheStoresErrorNotAMissingScanOrMesh) {
  const auto id = scanWithClouds();
  runSQL(storeFile(), "ALTER TABLE QVSDScanObject RENAME TO Hidden");
  expectRefused<QVLObjFileExporter>(id, "mesh.obj", qv::kStoreOperationError);
  expectRefused<QVLStlFileExporter>(id, "mesh.stl", qv::kStoreOperationError);
  expectRefused<QVLQvkxFileExporter>(id, "scan.qvkx", qv::kStoreOperationError);
  expectRefused<QVLXyzFileExporter>(id, "scan.xyz", qv::kStoreOperationError);
}

TEST_F(StoreReadFailureTest, AStoreThatCouldNotBeOpenedGivesItsReasonToEveryExport) {
  const auto id = scanWithClouds();
  // A second library whose folder is blocked by a file: its store stays closed.
  writeFile(temp.path() / "Blocked", "not a folder");
  store = openStore(temp.path() / "Blocked");
  ASSERT_FALSE(store->hasCoordinator());
  for (const auto& error : {expectRefused<QVLQvkxFileExporter>(id, "scan.qvkx", qv::kStoreUnavailableError),
                            expectRefused<QVLQvkFileExporter>(id, "scan.qvk", qv::kStoreUnavailableError),
                            expectRefused<QVLPlyFileExporter>(id, "scan.ply", qv::kStoreUnavailableError)}) {
    EXPECT_NE(error.description.find("Expected a folder to store application data, found a file"), std::string::npos)
        << error.description;
  }
}
