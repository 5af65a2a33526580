// The questions before quitting, and the launch clean-up of the library folder.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "screens/AppTermination.h"
#include "screens/IntermediateFileCleanup.h"
#include "screens/ScreensTestSupport.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDTexture.h"

namespace qv::screens::test {
namespace {

namespace fs = std::filesystem;

class TerminationTest : public ::testing::Test {
protected:
  FakeHost host;
  FakeDialogs dialogs;
  FakeApplication application;
  std::shared_ptr<AppTermination> termination = AppTermination::create(host, dialogs, &application);
  std::vector<bool> answers;
  std::function<void(bool)> record = [this](bool mayEnd) { answers.push_back(mayEnd); };
};

TEST_F(TerminationTest, TheScanScreenAsksEvenBeforeAScanHasStarted) {
  host.shown = {ScreenKind::Scan};
  EXPECT_EQ(termination->applicationShouldTerminate(record), AppTermination::Reply::Later);
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(dialogs.alerts[0].message, "Scan in progress");
  EXPECT_EQ(dialogs.alerts[0].informativeText, "If you continue you will lose your current scan.");
  EXPECT_EQ(dialogs.alerts[0].buttons, (std::vector<std::string>{"Continue Scanning", "Abort and Quit"}));
  dialogs.pending[0](0);
  EXPECT_EQ(answers, std::vector<bool>{false});
  EXPECT_TRUE(application.calls.empty());  // the scan goes on, lasers and all

  termination->applicationShouldTerminate(record);
  dialogs.pending[1](1);
  EXPECT_EQ(answers, (std::vector<bool>{false, true}));
  EXPECT_EQ(application.calls, std::vector<std::string>{"stop hardware"});
}

TEST_F(TerminationTest, TheMainScreenQuitsAtOnceAndAClosedWindowIsNotAskedAgain) {
  host.shown = {ScreenKind::Main};
  EXPECT_EQ(termination->applicationShouldTerminate(record), AppTermination::Reply::Now);
  EXPECT_TRUE(dialogs.alerts.empty());

  // Closing with an unsaved mesh, answered "Quit Without Saving": the window closes, and the quit
  // that follows finds it gone and asks nothing.
  host.made.insert(ScreenKind::Viewer);
  host.shown = {ScreenKind::Viewer};
  host.viewerScreen.meshUnsaved = true;
  EXPECT_FALSE(termination->mainWindowShouldClose());
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(dialogs.alerts[0].message, "Mesh not saved");
  EXPECT_EQ(dialogs.alerts[0].buttons, (std::vector<std::string>{"Continue Editing", "Quit Without Saving"}));
  dialogs.pending[0](1);
  EXPECT_FALSE(host.windowVisible);
  EXPECT_EQ(termination->applicationShouldTerminate(record), AppTermination::Reply::Now);
  EXPECT_EQ(dialogs.alerts.size(), 1u);
}

TEST_F(TerminationTest, UnsavedPointsAreAnsweredWhenTheSaveEnds) {
  host.made.insert(ScreenKind::Viewer);
  host.shown = {ScreenKind::Viewer};
  host.viewerScreen.saveAnswer = false;
  EXPECT_EQ(termination->applicationShouldTerminate(record), AppTermination::Reply::Later);
  EXPECT_EQ(answers, std::vector<bool>{true});  // nothing unsaved: the viewer says not cancelled

  // "Save": the quit waits for the save, and is answered either way.
  host.viewerScreen.saveAnswer.reset();
  termination->applicationShouldTerminate(record);
  EXPECT_EQ(answers.size(), 1u);
  host.viewerScreen.pendingSave(true);  // the save failed: keep running, nothing is lost
  EXPECT_EQ(answers, (std::vector<bool>{true, false}));
}

class CleanupTest : public ScreensTest {
protected:
  fs::path touch(const fs::path& relative) {
    fs::path path = libraryFolder() / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "x";
    return path;
  }
  void runCleanup() {
    bool done = false;
    removeIntermediateFiles(*store, [&] { done = true; });
    store->privateContext()->performAndWait([] {});
    ASSERT_TRUE(done);
  }
};

TEST_F(CleanupTest, IntermediateFilesGoAndReferencedOnesStay) {
  const fs::path thumbnail = touch("A.tiff");
  const fs::path strayThumbnail = touch("B.tiff");
  const fs::path capitalTiff = touch("C.TIFF");
  const fs::path nestedTiff = touch("sub/D.tiff");
  const fs::path capitalPng = touch("E.PNG");
  const fs::path texture = touch("F.png");
  const fs::path vertexData = touch("G.VertexData");
  const fs::path strayVertexData = touch("H.VertexData");
  const fs::path sliceBlocks = touch("I.pointcloudvertices");
  const fs::path mesh = touch("J.stl");
  const fs::path dotFile = touch(".K.stl");
  const fs::path credits = touch("Credits.rtf");
  const fs::path other = touch("notes.txt");
  const fs::path tuning = touch("sub/deeper/QRZ/frame.png");
  const fs::path importFolder = touch("X.QvkxImport/cloud.qvk");
  const fs::path source = touch("../scans/kept.qvk");

  auto context = store->privateContext();
  context->performAndWait([&] {
    auto library = QVSDLibrary::defaultLibraryInContext(*context);
    auto kept = QVSDScanObject::createScanObjectInLibrary(library);
    kept->setSourceFilePath(source.string());
    kept->setVertexData(std::make_shared<const qv::Data>(44, 1));
    kept->setSnapshotFilePath(thumbnail.string());
    kept->setVertexDataFilePath(vertexData.string());
    auto tex = QVSDTexture::createTextureInScanObject(kept);
    tex->setTextureFileName(texture.string());
    auto blank = QVSDScanObject::createScanObjectInLibrary(library);  // never saved to a file
    blank->setVertexData(std::make_shared<const qv::Data>(44, 1));
    auto empty = QVSDScanObject::createScanObjectInLibrary(library);
    empty->setSourceFilePath(source.string());
    auto moved = QVSDScanObject::createScanObjectInLibrary(library);
    moved->setSourceFilePath((temp.path() / "gone.qvk").string());
    moved->setVertexData(std::make_shared<const qv::Data>(44, 1));
    ASSERT_TRUE(context->save());
  });
  runCleanup();

  for (const auto& gone : {strayThumbnail, capitalPng, strayVertexData, sliceBlocks, mesh, tuning.parent_path(),
                           importFolder.parent_path()})
    EXPECT_FALSE(fs::exists(gone)) << gone;
  for (const auto& stays : {thumbnail, capitalTiff, nestedTiff, texture, vertexData, dotFile, credits, other,
                            libraryFolder() / TBCoreDataStoreS1::kStoreFileName, libraryFolder() / "sub/deeper"})
    EXPECT_TRUE(fs::exists(stays)) << stays;

  std::vector<std::string> remaining;
  context->performAndWait([&] {
    for (auto& scan : QVSDLibrary::defaultLibraryInContext(*context)->scanObjects())
      remaining.push_back(scan->sourceFilePath().value_or(""));
  });
  EXPECT_EQ(remaining, std::vector<std::string>{source.string()});
}

TEST_F(CleanupTest, NoFileGoesWhileALibraryMayStillNameIt) {
  auto context = store->privateContext();
  auto scanCount = [&] {
    std::size_t n = 0;
    context->performAndWait([&] { n = QVSDLibrary::defaultLibraryInContext(*context)->scanObjects().size(); });
    return n;
  };
  auto addScan = [&](const fs::path& source, const fs::path& image) {
    std::ofstream(image) << "x";
    context->performAndWait([&] {
      auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(*context));
      scan->setSourceFilePath(source.string());
      scan->setVertexData(std::make_shared<const qv::Data>(44, 1));
      QVSDTexture::createTextureInScanObject(scan)->setTextureFileName(image.string());
      ASSERT_TRUE(context->save());
    });
  };
  auto runSQL = [&](const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((libraryFolder() / TBCoreDataStoreS1::kStoreFileName).c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  };

  // A stale scan (its source file is gone) while the disk is full: its deletion cannot be saved,
  // so the scan stays, and so does its image.
  const fs::path staleImage = store->filesFolder() / "stale.png";
  addScan(temp.path() / "gone.qvk", staleImage);
  runSQL("CREATE TRIGGER full BEFORE DELETE ON QVSDScanObject BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END");
  runCleanup();
  EXPECT_EQ(scanCount(), 1u);
  EXPECT_TRUE(fs::exists(staleImage));
  runSQL("DROP TRIGGER full");
  runCleanup();
  EXPECT_EQ(scanCount(), 0u);
  EXPECT_FALSE(fs::exists(staleImage));

  // A read that fails cannot tell what the library holds: a scan whose points cannot be measured
  // is not a scan without points, and a file whose lookup fails may be named.
  const fs::path namedImage = store->filesFolder() / "named.png";
  addScan(touch("../scans/named.qvk"), namedImage);
  runSQL("ALTER TABLE \"QVSDScanObject.vertexData\" RENAME TO Hidden");
  runCleanup();
  runSQL("ALTER TABLE Hidden RENAME TO \"QVSDScanObject.vertexData\"");
  EXPECT_EQ(scanCount(), 1u);
  runSQL("ALTER TABLE QVSDTexture RENAME TO Hidden");
  runCleanup();
  runSQL("ALTER TABLE Hidden RENAME TO QVSDTexture");
  EXPECT_TRUE(fs::exists(namedImage));

  // A library copied or moved to another folder (a restored backup, another machine or user):
  // its rows still name its files under the folder it was in, and it reads them, and keeps them,
  // where they lie now; what no row names still goes. The rows stay as they were.
  const fs::path copiedImage = store->filesFolder() / "copied.png";
  const fs::path copiedSource = temp.path() / "scans" / "copied.qvk";  // not under the folder that goes
  std::ofstream(copiedSource) << "x";
  addScan(copiedSource, copiedImage);
  const fs::path filesName = store->filesFolder().filename();
  store.reset();
  const fs::path moved = temp.path() / "Restored" / "Quorvel";
  fs::create_directories(moved.parent_path());
  fs::copy(libraryFolder(), moved, fs::copy_options::recursive);
  std::ofstream(moved / filesName / "stray.png") << "x";
  fs::remove_all(libraryFolder());
  store = qv::test::makeQuietStore(moved);
  context = store->privateContext();
  ASSERT_EQ(store->filesFolder(), moved / filesName);
  runCleanup();
  EXPECT_TRUE(fs::exists(moved / filesName / "copied.png"));
  EXPECT_FALSE(fs::exists(moved / filesName / "stray.png"));
  std::vector<std::string> images;
  context->performAndWait([&] {
    for (const auto& scan : QVSDLibrary::defaultLibraryInContext(*context)->scanObjects())
      for (const auto& texture : scan->textures()) images.push_back(texture->textureFileName().value_or(""));
  });
  EXPECT_NE(std::find(images.begin(), images.end(), (moved / filesName / "copied.png").string()), images.end());
  store.reset();
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((moved / TBCoreDataStoreS1::kStoreFileName).c_str(), &db), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM QVSDTexture WHERE textureFileName = ?", -1, &stmt, nullptr);
    sqlite3_bind_text(stmt, 1, copiedImage.c_str(), -1, SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(stmt, 0), 1) << "the row names the file as it was written";
    sqlite3_finalize(stmt);
    sqlite3_close(db);
  }
  fs::rename(moved, libraryFolder());
  store = qv::test::makeQuietStore(libraryFolder());
  context = store->privateContext();

  // A library moved aside (as an older program moves one of this layout, taking it for another
  // model's) keeps every file it names when a new library, with scans of its own, starts in the
  // same folder and cleans up.
  const fs::path keptImage = store->filesFolder() / "kept.png";
  addScan(touch("../scans/kept.qvk"), keptImage);
  store.reset();
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const fs::path file = libraryFolder() / (std::string(TBCoreDataStoreS1::kStoreFileName) + suffix);
    if (fs::exists(file)) fs::rename(file, file.string() + ".corrupt-20240101-000000");
  }
  {
    // The new library, made elsewhere: a library without scans would take the kept one back.
    const fs::path elsewhere = temp.path() / "Elsewhere";
    store = qv::test::makeQuietStore(elsewhere);
    context = store->privateContext();
    addScan(touch("../scans/new.qvk"), store->filesFolder() / "new.png");
    store.reset();
    fs::rename(elsewhere / TBCoreDataStoreS1::kStoreFileName, libraryFolder() / TBCoreDataStoreS1::kStoreFileName);
  }
  store = qv::test::makeQuietStore(libraryFolder());
  ASSERT_TRUE(store->hasCoordinator());
  ASSERT_FALSE(store->takenBackStoreFilePath());
  runCleanup();
  EXPECT_TRUE(fs::exists(keptImage));

  // A store that could not be opened cannot say which files it names: every one stays.
  store.reset();
  const fs::path locked = temp.path() / "Locked";
  fs::create_directories(locked);
  std::ofstream(locked / "image.png") << "x";
  TBCoreDataStoreS1::Options options;
  options.folder = locked;
  options.presentError = [](const qv::Error&) {};
  options.writeAccess = [](const fs::path&) { return EACCES; };
  store = std::make_unique<TBCoreDataStoreS1>(std::move(options));
  ASSERT_FALSE(store->hasCoordinator());
  runCleanup();
  EXPECT_TRUE(fs::exists(locked / "image.png"));
}

TEST_F(CleanupTest, AnOlderLibraryCopiedFromAnotherHomeKeepsEveryImage) {
  // A library of the older layout (its files beside the store) copied from another home that is
  // kept: its rows name each file where it lay there, and the copy of it lies beside this store.
  const fs::path firstHome = temp.path() / "first/.local/share/Quorvel";
  fs::create_directories(firstHome);
  const std::vector<std::string> names = {"6F1C2A3B-0D4E-4F5A-8B6C-7D8E9FA0B1C2.tiff",
                                          "0A1B2C3D-4E5F-4061-8273-8495A6B7C8D9.png",
                                          "9E8D7C6B-5A49-4837-8261-5F4E3D2C1B0A.png"};
  auto context = store->privateContext();
  const std::string fingerprint = context->model()->versionHash();
  const fs::path source = touch("../scans/old.qvk");
  context->performAndWait([&] {
    auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(*context));
    scan->setSourceFilePath(source.string());
    scan->setVertexData(std::make_shared<const qv::Data>(44, 1));
    scan->setSnapshotFilePath((firstHome / names[0]).string());
    for (std::size_t i = 1; i < names.size(); ++i)
      QVSDTexture::createTextureInScanObject(scan)->setTextureFileName((firstHome / names[i]).string());
    ASSERT_TRUE(context->save());
  });
  store.reset();
  for (const auto& name : names) {
    std::ofstream(libraryFolder() / name) << "copy " << name;
    std::ofstream(firstHome / name) << "first";
  }
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((libraryFolder() / TBCoreDataStoreS1::kStoreFileName).c_str(), &db), SQLITE_OK);
    const std::string sql = "UPDATE store_metadata SET value = '" + fingerprint + "' WHERE key = 'ModelVersion'";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
  store = qv::test::makeQuietStore(libraryFolder());
  context = store->privateContext();
  ASSERT_FALSE(store->readOnlyError());
  runCleanup();

  std::vector<std::string> named;
  context->performAndWait([&] {
    for (const auto& scan : QVSDLibrary::defaultLibraryInContext(*context)->scanObjects()) {
      named.push_back(scan->snapshotFilePath().value_or(""));
      for (const auto& texture : scan->textures()) named.push_back(texture->textureFileName().value_or(""));
    }
  });
  ASSERT_EQ(named.size(), names.size());
  for (const auto& path : named) {
    EXPECT_EQ(fs::path(path).parent_path(), store->filesFolder()) << path;
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "copy " + fs::path(path).filename().string()) << path;
  }
  for (const auto& name : names) EXPECT_TRUE(fs::exists(firstHome / name)) << "the first home's own " << name;
}

}  // namespace
}  // namespace qv::screens::test
