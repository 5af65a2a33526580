// The object store: opening and recovering its file, identifiers, persistence, fetches over
// unsaved changes, roll-back, save notifications and the merging of the two contexts.
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <thread>

#include "StoreTestSupport.h"
#include "platform/NotificationCenter.h"
#include "platform/Paths.h"
#include "platform/Settings.h"
#include "store/ContextSave.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPoint3D.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/QVSDTexture.h"
#include "store/ScanModel.h"
#include "store/StoreErrors.h"
#include "support/CapturedLog.h"
#include "support/SmallDisk.h"
#include "support/WaitFor.h"

namespace fs = std::filesystem;

namespace {

std::shared_ptr<QVSDScanObject> newScan(qv::ObjectContext& context, const std::string& source) {
  auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(context));
  scan->setSourceFilePath(source);
  return scan;
}

// One scan saved, for tests about what becomes of a library that held one.
qv::ObjectID keepOneScan(qv::ObjectContext& context) {
  auto scan = newScan(context, "/scans/kept.qvk");
  EXPECT_TRUE(context.save());
  return scan->objectID();
}

qv::SharedData bytes(std::initializer_list<std::uint8_t> b) { return std::make_shared<const qv::Data>(b); }

// Changes the store file behind the store's back, through a connection of its own.
void runSQL(const fs::path& file, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "") << " in " << sql;
  sqlite3_free(message);
  sqlite3_close(db);
}

// Collects the save notifications of one context.
struct SaveRecorder {
  SaveRecorder(const qv::ObjectContext& context, const char* name) {
    auto& center = qv::NotificationCenter::defaultCenter();
    registration = qv::ObserverRegistration(center, center.addObserver(name, &context, [this](const qv::Notification& n) {
      notifications.push_back(n);
      saves.push_back(qv::ContextSave::from(n));
      onQueue.push_back(qv::currentQueue());
    }));
  }
  std::vector<qv::Notification> notifications;
  std::vector<std::shared_ptr<const qv::ContextSave>> saves;
  std::vector<qv::Queue*> onQueue;
  qv::ObserverRegistration registration;
};

}  // namespace

// ---------------------------------------------------------------- opening

TEST_F(StoreTest, FirstOpeningCreatesTheFolderChainAndAnEmptyStore) {
  const fs::path nested = temp.path() / "share" / "deep" / "Quorvel";
  auto other = openStore(nested);
  EXPECT_TRUE(fs::is_directory(nested));
  EXPECT_TRUE(fs::is_regular_file(nested / "Scan.7.storedata"));
  EXPECT_TRUE(other->hasCoordinator());
  EXPECT_TRUE(presented.empty());
  EXPECT_EQ(other->persistentStoreURL(), nested / "Scan.7.storedata");
  EXPECT_EQ(other->mainContext()->libraryFolder(), nested);
  EXPECT_EQ(other->mainContext()->filesFolder(), other->filesFolder());
  EXPECT_TRUE(fs::is_directory(other->filesFolder()));
  EXPECT_EQ(other->filesFolder().parent_path(), nested);
}

TEST_F(StoreTest, AFileWhereTheFolderShouldBeIsReportedWithCode101AndLeavesTheStoreClosed) {
  const fs::path blocked = temp.path() / "My Library";
  writeFile(blocked, "not a folder");
  presented.clear();
  auto other = openStore(blocked);
  ASSERT_EQ(presented.size(), 1u);
  EXPECT_TRUE(presented[0].is(qv::kScanErrorDomain, 101));
  EXPECT_EQ(presented[0].description,
            "Expected a folder to store application data, found a file (file://" + temp.path().string() + "/My%20Library).");
  EXPECT_FALSE(other->hasCoordinator());
  EXPECT_EQ(readFile(blocked), "not a folder");
  // Without a store the contexts find nothing and cannot save.
  other->privateContext()->performAndWait([&] {
    auto& context = *other->privateContext();
    EXPECT_TRUE(context.fetch<QVSDLibrary>(qv::FetchRequest("QVSDLibrary")).empty());
    QVSDLibrary::defaultLibraryInContext(context);
    qv::Error error;
    EXPECT_FALSE(context.save(&error));
    EXPECT_TRUE(error.is(qv::kScanErrorDomain, qv::kStoreUnavailableError));
    // Every refused save names why the store is closed, not only that it is.
    EXPECT_NE(error.description.find("Expected a folder to store application data"), std::string::npos) << error.description;
  });
}

TEST_F(StoreTest, ALibraryMissingATableIsMovedAsideIntactAndANewOneStartsEveryTimeAfter) {
  onMain([&] { keepOneScan(mainContext()); });
  closeStore();
  const fs::path file = libraryFolder() / "Scan.7.storedata";
  runSQL(file, "DROP TABLE QVSDTexture");
  const std::string damaged = readFile(file);
  presented.clear();
  store = openStore();

  // Moved aside as it was, reported once as the notice of a new library, and the new one saves.
  ASSERT_TRUE(store->hasCoordinator());
  ASSERT_TRUE(store->movedStoreFilePath());
  EXPECT_EQ(readFile(*store->movedStoreFilePath()), damaged);
  ASSERT_EQ(presented.size(), 1u);
  EXPECT_TRUE(presented[0].is(qv::kScanErrorDomain, qv::kStoreFileMovedAsideError)) << presented[0].text();
  onMain([&] {
    newScan(mainContext(), "/scans/new.qvk");
    EXPECT_TRUE(mainContext().save());
  });
  // The next start finds a sound library: nothing to report, the new scan is there.
  presented.clear();
  reopen();
  EXPECT_TRUE(presented.empty());
  EXPECT_FALSE(store->movedStoreFilePath());
  onMain([&] { EXPECT_EQ(mainContext().fetch<QVSDScanObject>(qv::FetchRequest("QVSDScanObject")).size(), 1u); });
}

namespace {

// Runs the rest of a test as a user who may not write what root made; root writes anything, so
// a permission test run as root acts as "nobody" until the scope ends.
class UnprivilegedScope {
public:
  UnprivilegedScope() {
    if (::geteuid() != 0) return;
    dropped_ = ::setegid(65534) == 0 && ::seteuid(65534) == 0;
    if (!dropped_) restore();
  }
  ~UnprivilegedScope() {
    if (dropped_) restore();
  }
  // False when running as root and the privileges could not be given up.
  bool active() const { return ::geteuid() != 0; }

private:
  static void restore() {
    if (::seteuid(0) != 0 || ::setegid(0) != 0) std::abort();  // the rest of the process needs root back
  }
  bool dropped_ = false;
};

}  // namespace

namespace {

// Who says whether a path may be written. The permission bits alone, read as the system reads
// them for the files' owner: root writes whatever the bits say, so this is what makes the tests
// mean the same when run as root. Or the system itself, asked as an unprivileged user.
enum class Judge { PermissionBits, SystemAsUser };
void PrintTo(Judge judge, std::ostream* out) {
  *out << (judge == Judge::PermissionBits ? "PermissionBits" : "SystemAsUser");
}

int byPermissionBits(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno;
  const mode_t needed = S_ISDIR(st.st_mode) ? (S_IWUSR | S_IXUSR) : S_IWUSR;
  return (st.st_mode & needed) == needed ? 0 : EACCES;
}

// Another program's connection to the store file: it has the store open until closed, and then
// leaves the log and its index behind unmerged, as a program that ended without tidying up does.
struct OtherConnection {
  explicit OtherConnection(const fs::path& file) {
    EXPECT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    EXPECT_EQ(sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr), SQLITE_OK);
  }
  ~OtherConnection() { close(); }
  void close() {
    if (db) sqlite3_close(db);
    db = nullptr;
  }
  sqlite3* db = nullptr;
};

const fs::perms kReadOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
const fs::perms kReadWrite = kReadOnly | fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;

}  // namespace

class StoreWriteAccessTest : public StoreTest, public ::testing::WithParamInterface<Judge> {
protected:
  void TearDown() override {
    StoreTest::TearDown();
    user_.reset();
    std::error_code ec;
    fs::permissions(libraryFolder(), fs::perms::all, ec);  // so that the folder can be removed
  }

  // From here on the test runs as the judge needs; false when it cannot (root that may not act
  // as another user).
  bool actAsJudged() {
    fs::permissions(temp.path(), fs::perms::all);
    if (GetParam() == Judge::PermissionBits) return true;
    user_.emplace();
    return user_->active();
  }
  TBCoreDataStoreS1::WriteAccessProbe judge() const {
    if (GetParam() == Judge::PermissionBits) return byPermissionBits;
    return &TBCoreDataStoreS1::systemWriteAccess;
  }

  // Opens the library as judged and checks that it opened for reading only: told once with code
  // 106 and `why`, the scan `kept` readable, and a new scan refused in the same words.
  void expectOpensForReadingOnly(const std::string& why, const qv::ObjectID& kept) {
    presented.clear();
    store = openStore({}, judge());
    ASSERT_TRUE(store->hasCoordinator());
    ASSERT_EQ(presented.size(), 1u);
    EXPECT_TRUE(presented[0].is(qv::kScanErrorDomain, qv::kStoreReadOnlyError)) << presented[0].text();
    EXPECT_NE(presented[0].description.find(why), std::string::npos) << presented[0].description;
    onMain([&] {
      EXPECT_TRUE(mainContext().objectWithID(kept));
      newScan(mainContext(), "/scans/new.qvk");
      qv::Error error;
      EXPECT_FALSE(mainContext().save(&error));
      EXPECT_TRUE(error.is(qv::kScanErrorDomain, qv::kStoreReadOnlyError)) << error.text();
      EXPECT_NE(error.description.find("Nothing was saved"), std::string::npos) << error.description;
      EXPECT_NE(error.description.find(why), std::string::npos) << error.description;
      mainContext().rollback();
    });
    EXPECT_EQ(presented.size(), 1u);  // told at the opening, not at each save
  }

  fs::path file() const { return libraryFolder() / "Scan.7.storedata"; }
  std::optional<UnprivilegedScope> user_;
};

INSTANTIATE_TEST_SUITE_P(Judges, StoreWriteAccessTest, ::testing::Values(Judge::PermissionBits, Judge::SystemAsUser),
                         [](const auto& info) {
                           return info.param == Judge::PermissionBits ? "PermissionBits" : "SystemAsUser";
                         });

TEST_P(StoreWriteAccessTest, AStoreFileThatCannotBeWrittenOpensItsScansReadOnlyAndEverySaveNamesWhy) {
  qv::ObjectID kept;
  onMain([&] { kept = keepOneScan(mainContext()); });
  closeStore();
  // The folder stays writable; the file not.
  fs::permissions(libraryFolder(), fs::perms::all);
  fs::permissions(file(), kReadOnly);
  const std::string before = readFile(file());
  if (!actAsJudged()) GTEST_SKIP() << "running as root without the right to act as another user";
  expectOpensForReadingOnly(file().string() + " can only be read (" + std::strerror(EACCES) + ")", kept);
  closeStore();
  // Nothing was made beside the file (a log made now would stay read-only), nor changed in it.
  EXPECT_EQ(std::distance(fs::directory_iterator(libraryFolder()), fs::directory_iterator()), 2);  // and its files folder
  EXPECT_EQ(readFile(file()), before);
}

TEST_P(StoreWriteAccessTest, AFolderThatCannotBeWrittenOpensItsScansReadOnlyAndEverySaveNamesWhy) {
  qv::ObjectID kept;
  onMain([&] { kept = keepOneScan(mainContext()); });
  closeStore();
  fs::permissions(file(), kReadWrite);
  fs::permissions(libraryFolder(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                       fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const std::string before = readFile(file());
  if (!actAsJudged()) GTEST_SKIP() << "running as root without the right to act as another user";
  // Told once, with the folder and the system's reason; not taken for a damaged library.
  expectOpensForReadingOnly(libraryFolder().string() + " cannot be written: " + std::strerror(EACCES), kept);
  EXPECT_FALSE(store->movedStoreFilePath());
  closeStore();
  // Nothing was made beside the file, nor changed in it.
  EXPECT_EQ(std::distance(fs::directory_iterator(libraryFolder()), fs::directory_iterator()), 2);  // and its files folder
  EXPECT_EQ(readFile(file()), before);
}

TEST_P(StoreWriteAccessTest, ALogLeftReadOnlyIsMendedKeepingItsSavesUnlessAnotherProgramHasTheStoreOpen) {
  auto other = std::make_unique<OtherConnection>(file());
  // Saved while another connection has the store open: the scan stays in the log, not merged.
  qv::ObjectID logged;
  onMain([&] { logged = keepOneScan(mainContext()); });
  closeStore();
  const fs::path log = file().string() + "-wal", index = file().string() + "-shm";
  ASSERT_TRUE(fs::exists(log) && fs::exists(index));
  fs::permissions(file(), kReadWrite);
  fs::permissions(libraryFolder(), fs::perms::all);
  fs::permissions(log, kReadOnly);
  fs::permissions(index, kReadOnly);
  const std::string logBytes = readFile(log);
  if (!actAsJudged()) GTEST_SKIP() << "running as root without the right to act as another user";

  // In use elsewhere: nothing is touched, the store opens for reading and names the log.
  expectOpensForReadingOnly(log.string() + " cannot be written: " + std::strerror(EACCES), logged);
  closeStore();
  EXPECT_NE(judge()(log), 0);
  EXPECT_EQ(readFile(log), logBytes);

  // Once no one has it open, the next opening makes both writable, and the logged scan is kept.
  other->close();
  presented.clear();
  store = openStore({}, judge());
  ASSERT_TRUE(store->hasCoordinator());
  EXPECT_TRUE(presented.empty()) << presented.front().text();
  EXPECT_EQ(judge()(log), 0);
  EXPECT_EQ(judge()(index), 0);
  onMain([&] {
    EXPECT_TRUE(mainContext().objectWithID(logged));
    newScan(mainContext(), "/scans/new.qvk");
    qv::Error error;
    EXPECT_TRUE(mainContext().save(&error)) << error.text();
  });
  reopen();
  onMain([&] { EXPECT_EQ(mainContext().fetch<QVSDScanObject>(qv::FetchRequest("QVSDScanObject")).size(), 2u); });
}

TEST_F(StoreTest, AnUnreadableStoreFileIsMovedAsideNotDeletedAndANewStoreStarts) {
  onMain([&] { keepOneScan(mainContext()); });
  closeStore();
  const fs::path file = libraryFolder() / "Scan.7.storedata";
  const std::string garbage(8192, 'x');
  writeFile(file, garbage);
  presented.clear();
  store = openStore();

  ASSERT_TRUE(store->hasCoordinator());
  ASSERT_TRUE(store->movedStoreFilePath());
  const fs::path moved = *store->movedStoreFilePath();
  EXPECT_EQ(moved.parent_path(), libraryFolder());
  EXPECT_EQ(moved.filename().string().rfind("Scan.7.storedata.corrupt-", 0), 0u) << moved;
  EXPECT_EQ(readFile(moved), garbage);
  ASSERT_EQ(presented.size(), 1u);
  EXPECT_TRUE(presented[0].is(qv::kScanErrorDomain, qv::kStoreFileMovedAsideError));
  EXPECT_EQ(qv::find(presented[0].userInfo, qv::kMovedFilePathKey)->toString(), moved.string());
  // The new store is empty and works.
  onMain([&] {
    EXPECT_TRUE(mainContext().fetch<QVSDScanObject>(qv::FetchRequest("QVSDScanObject")).empty());
    newScan(mainContext(), "/scans/new.qvk");
    EXPECT_TRUE(mainContext().save());
  });
}

TEST_F(StoreTest, AStoreWrittenWithAnotherModelIsMovedAsideWithItsLogAndStaysReadable) {
  store.reset();
  qv::drainMainQueue();
  // Another version of the model: one more attribute.
  auto otherModel = std::make_shared<const qv::ObjectModel>(std::vector<qv::EntityDescription>{
      qv::EntityDescription("Thing", {{"name", qv::AttributeType::String}, {"size", qv::AttributeType::Integer}}, {}, {})});
  {
    TBCoreDataStoreS1::Options options;
    options.folder = libraryFolder();
    options.model = otherModel;
    TBCoreDataStoreS1 old(options);
    old.privateContext()->performAndWait([&] {
      auto thing = old.privateContext()->insertNewObject("Thing");
      thing->setValue("name", std::string("precious"));
      ASSERT_TRUE(old.privateContext()->save());
    });
  }
  presented.clear();
  store = openStore();
  ASSERT_TRUE(store->movedStoreFilePath());
  EXPECT_TRUE(store->hasCoordinator());
  // The moved file still holds the old data for whoever wants it back.
  TBCoreDataStoreS1::Options options;
  options.folder = temp.path() / "recovered";
  options.model = otherModel;
  fs::create_directories(options.folder);
  fs::copy_file(*store->movedStoreFilePath(), options.folder / "Scan.7.storedata");
  if (fs::exists(store->movedStoreFilePath()->string() + "-wal"))
    fs::copy_file(store->movedStoreFilePath()->string() + "-wal", options.folder / "Scan.7.storedata-wal");
  TBCoreDataStoreS1 recovered(options);
  recovered.privateContext()->performAndWait([&] {
    auto things = recovered.privateContext()->executeFetchRequest(qv::FetchRequest("Thing"));
    ASSERT_EQ(things.size(), 1u);
    EXPECT_EQ(things[0]->stringValue("name"), "precious");
  });
}

TEST_F(StoreTest, AnOlderLibraryIsMarkedForOlderProgramsAndItsFilesMovedOnlyWhenItCanBeWritten) {
  const fs::path file = libraryFolder() / "Scan.7.storedata";
  auto modelVersion = [&] {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT value FROM store_metadata WHERE key = 'ModelVersion'", -1, &stmt, nullptr), SQLITE_OK);
    std::string value;
    if (sqlite3_step(stmt) == SQLITE_ROW) value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return value;
  };
  // Older programs compare the model's fingerprint exactly: a library of this layout must not
  // pass for theirs (they would find its scans without points and delete them).
  const std::string fingerprint = store->mainContext()->model()->versionHash();
  const std::string mark = modelVersion();
  EXPECT_NE(mark, fingerprint);
  EXPECT_EQ(mark.rfind(fingerprint, 0), 0u) << "the mark changes with the model";
  EXPECT_EQ(store->filesFolder().parent_path(), libraryFolder());
  EXPECT_EQ(store->mainContext()->filesFolder(), store->filesFolder());

  // A library of the older layout: its files directly in the library folder.
  const fs::path image = libraryFolder() / "photo.png", thumbnail = libraryFolder() / "thumb.tiff";
  const fs::path source = libraryFolder() / "scan.qvk";  // the user's own file: never moved
  for (const auto& f : {image, thumbnail, source}) writeFile(f, f.filename().string());
  qv::ObjectID id;
  onMain([&] {
    auto scan = newScan(mainContext(), source.string());
    scan->setVertexData(std::make_shared<const qv::Data>(44, 3));
    scan->setSnapshotFilePath(thumbnail.string());
    QVSDTexture::createTextureInScanObject(scan)->setTextureFileName(image.string());
    QVSDTexture::createTextureInScanObject(scan)->setTextureFileName(image.string());
    QVSDTexture::createTextureInScanObject(scan)->setTextureFileName((libraryFolder() / "gone.png").string());
    id = scan->objectID();
    ASSERT_TRUE(mainContext().save());
  });
  closeStore();
  runSQL(file, "UPDATE store_metadata SET value = '" + fingerprint + "' WHERE key = 'ModelVersion'");
  auto paths = [&] {
    std::vector<std::string> found;
    onPrivate([&] {
      auto scan = QVSDScanObject::scanObjectWithId(id, false, privateContext());
      ASSERT_TRUE(scan);
      found = {scan->sourceFilePath().value_or(""), scan->snapshotFilePath().value_or("")};
      for (const auto& t : scan->textures()) found.push_back(t->textureFileName().value_or(""));
      std::sort(found.begin() + 2, found.end());
      EXPECT_EQ(scan->dataLength("vertexData"), 44u);
    });
    return found;
  };
  const std::vector<std::string> before = {source.string(), thumbnail.string(), (libraryFolder() / "gone.png").string(),
                                           image.string(), image.string()};

  // Read as it stands while it can only be read: no mark, nothing moved.
  store = openStore({}, [&](const fs::path& p) { return p == file ? EACCES : 0; });
  ASSERT_TRUE(store->readOnlyError());
  EXPECT_EQ(paths(), before);
  EXPECT_EQ(store->filesFolder(), libraryFolder());
  closeStore();
  EXPECT_EQ(modelVersion(), fingerprint);

  // Opened for writing: marked, and every file it names beside the store moved into its own folder.
  store = openStore();
  EXPECT_FALSE(store->readOnlyError());
  const fs::path files = store->filesFolder();
  EXPECT_EQ(files.parent_path(), libraryFolder());
  std::vector<std::string> after = {source.string(), (files / "thumb.tiff").string(), (libraryFolder() / "gone.png").string(),
                                    (files / "photo.png").string(), (files / "photo.png").string()};
  std::sort(after.begin() + 2, after.end());
  EXPECT_EQ(paths(), after);
  EXPECT_EQ(readFile(files / "photo.png"), "photo.png");
  EXPECT_EQ(readFile(files / "thumb.tiff"), "thumb.tiff");
  EXPECT_FALSE(fs::exists(image));
  EXPECT_FALSE(fs::exists(thumbnail));
  EXPECT_EQ(readFile(source), "scan.qvk");
  closeStore();
  EXPECT_EQ(modelVersion(), mark);
}

TEST_F(StoreTest, AnEmptyLibraryBesideKeptOnesTakesBackTheNewestThatHoldsScansWholeOrSaysWhereOneIs) {
  const fs::path file = libraryFolder() / "Scan.7.storedata";
  const std::string fingerprint = store->mainContext()->model()->versionHash();
  auto scanCount = [&] {
    std::size_t n = 0;
    onMain([&] { n = mainContext().fetch<QVSDScanObject>(qv::FetchRequest("QVSDScanObject")).size(); });
    return n;
  };
  // A closed library made in a folder of its own, with `scans` scans, moved to `to`.
  int made = 0;
  auto placeLibrary = [&](int scans, const fs::path& to) {
    const fs::path folder = temp.path() / ("made" + std::to_string(++made));
    auto other = openStore(folder);
    other->mainContext()->performAndWait([&] {
      for (int i = 0; i < scans; ++i) newScan(*other->mainContext(), "/scans/other.qvk");
      ASSERT_TRUE(other->mainContext()->save());
    });
    other.reset();
    fs::rename(folder / "Scan.7.storedata", to);
  };
  // What an older program leaves of this version's library: the whole of it kept aside (here with
  // its saves still in its log), and a new, empty library of the older layout in its place.
  auto reader = std::make_unique<OtherConnection>(file);
  onMain([&] { keepOneScan(mainContext()); });
  onMain([&] {
    newScan(mainContext(), "/scans/logged.qvk");
    ASSERT_TRUE(mainContext().save());
  });
  closeStore();
  reader.reset();
  ASSERT_TRUE(fs::exists(file.string() + "-wal"));
  const fs::path newest = file.string() + ".corrupt-20240301-000000-2";
  for (const char* suffix : {"", "-wal", "-shm"}) fs::rename(file.string() + suffix, newest.string() + suffix);
  // Beside it: an older kept library with a scan, a newer one with none, one no model can read.
  const fs::path older = file.string() + ".corrupt-20240301-000000";
  const fs::path empty = file.string() + ".corrupt-20240302-000000";
  const fs::path unreadable = file.string() + ".corrupt-20240303-000000";
  placeLibrary(1, older);
  placeLibrary(0, empty);
  writeFile(unreadable, std::string(8192, 'x'));
  placeLibrary(0, file);
  runSQL(file, "UPDATE store_metadata SET value = '" + fingerprint + "' WHERE key = 'ModelVersion'");
  const std::string emptyLibrary = readFile(file);

  presented.clear();
  store = openStore();
  ASSERT_TRUE(store->hasCoordinator());
  EXPECT_EQ(store->takenBackStoreFilePath(), newest);
  EXPECT_EQ(scanCount(), 2u) << "taken back with its log";
  ASSERT_EQ(presented.size(), 1u);
  EXPECT_TRUE(presented[0].is(qv::kScanErrorDomain, qv::kKeptLibraryTakenBackError)) << presented[0].text();
  const auto* setAsideValue = qv::find(presented[0].userInfo, qv::kMovedFilePathKey);
  ASSERT_TRUE(setAsideValue);
  const fs::path setAside = setAsideValue->toString().value_or("");
  EXPECT_EQ(presented[0].description, "The scan library held no scans, so the library kept earlier as \"" +
                                          newest.filename().string() + "\" was taken back. The empty library was kept as \"" +
                                          setAside.filename().string() + "\".");
  // The empty library is kept as it was; the others stay as they are.
  EXPECT_EQ(readFile(setAside), emptyLibrary);
  for (const char* suffix : {"", "-wal", "-shm"}) EXPECT_FALSE(fs::exists(newest.string() + suffix)) << suffix;
  EXPECT_EQ(readFile(unreadable), std::string(8192, 'x'));
  EXPECT_TRUE(fs::exists(older) && fs::exists(empty));
  // Holding scans, the library is kept whatever lies beside it, and nothing is said.
  presented.clear();
  reopen();
  EXPECT_TRUE(presented.empty()) << presented.front().text();
  EXPECT_EQ(scanCount(), 2u);

  // A library without scans beside kept ones of which none can be taken back: the user is told
  // where the newest that cannot be read is, and it stays as it is.
  const fs::path lone = temp.path() / "Lone";
  fs::create_directories(lone);
  writeFile(lone / "Scan.7.storedata.corrupt-20240101-000000", "damaged");
  presented.clear();
  auto fresh = openStore(lone);
  ASSERT_TRUE(fresh->hasCoordinator());
  EXPECT_FALSE(fresh->takenBackStoreFilePath());
  ASSERT_EQ(presented.size(), 1u);
  EXPECT_TRUE(presented[0].is(qv::kScanErrorDomain, qv::kKeptLibraryFoundError)) << presented[0].text();
  EXPECT_EQ(qv::find(presented[0].userInfo, qv::kKeptLibraryPathKey)->toString(),
            (lone / "Scan.7.storedata.corrupt-20240101-000000").string());
  EXPECT_NE(presented[0].description.find(lone.string()), std::string::npos) << presented[0].description;
  EXPECT_EQ(readFile(lone / "Scan.7.storedata.corrupt-20240101-000000"), "damaged");
}

TEST_F(StoreTest, ALibraryThatOnceHeldScansStaysAndAKeptOneThatCannotComeBackIsToldOfOnceAndTruly) {
  auto scanCount = [](TBCoreDataStoreS1& in) {
    std::size_t n = 0;
    in.mainContext()->performAndWait(
        [&] { n = in.mainContext()->fetch<QVSDScanObject>(qv::FetchRequest("QVSDScanObject")).size(); });
    return n;
  };
  int made = 0;
  auto keepLibraryWithAScan = [&](const fs::path& as) {
    const fs::path folder = temp.path() / ("made" + std::to_string(++made));
    auto other = openStore(folder);
    other->mainContext()->performAndWait([&] { keepOneScan(*other->mainContext()); });
    other.reset();
    fs::rename(folder / "Scan.7.storedata", as);
  };
  const std::string keptName = "Scan.7.storedata.corrupt-20240301-000000";

  // Emptied by the user, a library is still the user's: a kept one beside it stays kept, and
  // nothing is said; so too for a library of an older program, which has no mark of it.
  const fs::path file = libraryFolder() / "Scan.7.storedata";
  onMain([&] {
    auto scan = newScan(mainContext(), "/scans/cleared.qvk");
    ASSERT_TRUE(mainContext().save());
    mainContext().deleteObject(scan);
    ASSERT_TRUE(mainContext().save());
  });
  closeStore();
  keepLibraryWithAScan(libraryFolder() / keptName);
  for (int older = 0; older < 2; ++older) {
    if (older) runSQL(file, "DELETE FROM store_metadata WHERE key NOT IN ('ModelVersion', 'StoreUUID', 'NextObjectNumber')");
    presented.clear();
    store = openStore();
    EXPECT_FALSE(store->takenBackStoreFilePath()) << older;
    EXPECT_TRUE(presented.empty()) << presented.front().text();
    EXPECT_EQ(scanCount(*store), 0u);
    EXPECT_TRUE(fs::exists(libraryFolder() / keptName));
    closeStore();
  }

  // A kept library with scans that fails SQLite's integrity check is not taken back: the user
  // is told it is damaged, once; so is a damaged library this version set aside itself.
  const fs::path beside = temp.path() / "Beside", damagedHere = temp.path() / "DamagedHere";
  fs::create_directories(beside);
  keepLibraryWithAScan(beside / keptName);
  runSQL(beside / keptName,
         "PRAGMA writable_schema=ON; UPDATE sqlite_master SET rootpage = (SELECT rootpage FROM sqlite_master WHERE "
         "name = 'QVSDTexture_scanObject') WHERE name = 'QVSDScanObject_library'");
  fs::create_directories(damagedHere);
  writeFile(damagedHere / "Scan.7.storedata", std::string(8192, 'x'));
  // The check reads the whole file: it is made once for a file that stays as it was.
  std::vector<fs::path> checked;
  auto openCounting = [&](const fs::path& folder) {
    TBCoreDataStoreS1::Options options;
    options.folder = folder;
    options.presentError = [this](const qv::Error& e) { presented.push_back(e); };
    options.libraryCheck = [&](const fs::path& kept) { checked.push_back(kept); };
    return std::make_unique<TBCoreDataStoreS1>(std::move(options));
  };
  const std::string damagedBytes = readFile(beside / keptName);
  for (const auto& folder : {beside, damagedHere}) {
    for (int opening = 0; opening < 3; ++opening) {
      presented.clear();
      auto opened = openCounting(folder);
      ASSERT_TRUE(opened->hasCoordinator());
      EXPECT_FALSE(opened->takenBackStoreFilePath());
      EXPECT_EQ(scanCount(*opened), 0u);
      if (opening > 0) {
        EXPECT_TRUE(presented.empty()) << folder << " " << presented.front().text();
      } else if (folder == beside) {
        ASSERT_EQ(presented.size(), 1u);
        EXPECT_TRUE(presented[0].is(qv::kScanErrorDomain, qv::kKeptLibraryFoundError)) << presented[0].text();
        EXPECT_NE(presented[0].description.find("\"" + keptName + "\" holds scans but is damaged"), std::string::npos)
            << presented[0].description;
      } else {
        ASSERT_EQ(presented.size(), 1u);
        EXPECT_TRUE(presented[0].is(qv::kScanErrorDomain, qv::kStoreFileMovedAsideError)) << presented[0].text();
      }
    }
  }
  EXPECT_EQ(checked, std::vector<fs::path>{beside / keptName});
  // A kept file whose time has changed is checked again, once, and still not told of again.
  fs::last_write_time(beside / keptName, fs::last_write_time(beside / keptName) - std::chrono::hours(1));
  for (int opening = 0; opening < 2; ++opening) {
    presented.clear();
    EXPECT_FALSE(openCounting(beside)->takenBackStoreFilePath());
    EXPECT_TRUE(presented.empty()) << presented.front().text();
  }
  EXPECT_EQ(checked, std::vector<fs::path>(2, beside / keptName));
  EXPECT_EQ(readFile(beside / keptName), damagedBytes);
}

namespace {

// What SQLite finds of a file's soundness ("ok", or the first faults), read through a connection
// of its own.
std::string integrityOf(const fs::path& file) {
  sqlite3* db = nullptr;
  std::string verdict = "cannot be opened";
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    verdict.clear();
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK)
      while (sqlite3_step(stmt) == SQLITE_ROW) verdict += reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    else
      verdict = sqlite3_errmsg(db);
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return verdict;
}

// A kept library with scans is taken back at opening, the library in its place set aside: one of
// another model, or an empty successor, each with its latest saves still in its log; or no library
// is there but the successor's log and index (a crash between the renames of an older program).
enum class LibraryMove { SetAside, TakeBack, LogWithoutFile };
constexpr int kMoveStepsTried = 9;  // more than any move takes

}  // namespace

class LibraryMoveCrashTest : public StoreTest, public ::testing::WithParamInterface<std::tuple<LibraryMove, int>> {};

TEST_P(LibraryMoveCrashTest, ARunStoppedAtAnyStepOfTheMoveLosesNoScanAndReplaysNoLogIntoAnotherFile) {
  const auto [move, stopAt] = GetParam();
  const fs::path file = libraryFolder() / "Scan.7.storedata";
  // Saved while another connection has the library open: the saves stay in its log at the end.
  auto saveIntoLog = [&](TBCoreDataStoreS1& into, const std::function<void(qv::ObjectContext&)>& more) {
    auto reader = std::make_unique<OtherConnection>(into.persistentStoreURL());
    into.mainContext()->performAndWait([&] {
      more(*into.mainContext());
      ASSERT_TRUE(into.mainContext()->save());
    });
    into.close();
    reader.reset();
    ASSERT_GT(fs::file_size(into.persistentStoreURL().string() + "-wal"), 0u);
  };
  auto placeAs = [](const fs::path& from, const fs::path& to) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
      if (fs::exists(from.string() + suffix)) fs::rename(from.string() + suffix, to.string() + suffix);
    }
  };
  std::vector<std::pair<std::string, std::string>> scans;  // source and points of each kept scan
  std::vector<std::pair<fs::path, std::string>> images;
  std::string strayLog;
  closeStore();
  fs::remove_all(libraryFolder());
  // The kept library: this version's, with scans and images, its latest save in its log.
  store = openStore();
  for (int i = 0; i < 2; ++i) {
    const fs::path image = store->filesFolder() / ("photo" + std::to_string(i) + ".png");
    images.emplace_back(image, std::string(5000 + i, static_cast<char>('a' + i)));
    writeFile(image, images.back().second);
    std::string points(44 * 300, '\0');
    for (std::size_t b = 0; b < points.size(); ++b) points[b] = static_cast<char>(b * 7 + i);
    scans.emplace_back("/scans/" + std::to_string(i) + ".qvk", points);
    auto add = [&, i](qv::ObjectContext& c) {
      auto scan = newScan(c, scans[i].first);
      scan->setVertexData(std::make_shared<const qv::Data>(points.begin(), points.end()));
      QVSDTexture::createTextureInScanObject(scan)->setTextureFileName(images[i].first.string());
    };
    if (i == 0) {
      onMain([&] {
        add(mainContext());
        ASSERT_TRUE(mainContext().save());
      });
    } else {
      saveIntoLog(*store, add);
    }
  }
  closeStore();
  placeAs(file, file.string() + ".corrupt-20240301-000000");
  auto otherModel = std::make_shared<const qv::ObjectModel>(std::vector<qv::EntityDescription>{
      qv::EntityDescription("Thing", {{"name", qv::AttributeType::String}}, {}, {})});
  if (move == LibraryMove::SetAside) {
    // In its place a library of another model, its latest save in its log.
    TBCoreDataStoreS1::Options options;
    options.folder = temp.path() / "other";
    options.model = otherModel;
    {
      TBCoreDataStoreS1 other(options);
      other.mainContext()->performAndWait([&] {
        other.mainContext()->insertNewObject("Thing")->setValue("name", std::string("filed"));
        ASSERT_TRUE(other.mainContext()->save());
      });
    }
    TBCoreDataStoreS1 other(options);
    saveIntoLog(other, [](qv::ObjectContext& c) { c.insertNewObject("Thing")->setValue("name", std::string("logged")); });
    placeAs(options.folder / "Scan.7.storedata", file);
  } else {
    // In its place its successor, left with a log of its own by a run that was killed.
    openStore(temp.path() / "successor").reset();
    placeAs(temp.path() / "successor" / "Scan.7.storedata", file);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      sqlite3* db = nullptr;
      sqlite3_open(file.c_str(), &db);
      sqlite3_exec(db, "INSERT INTO store_metadata VALUES ('KilledRun', 'yes')", nullptr, nullptr, nullptr);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_GT(fs::file_size(file.string() + "-wal"), 0u);
    if (move == LibraryMove::LogWithoutFile) {
      strayLog = readFile(file.string() + "-wal");
      fs::rename(file, file.string() + ".corrupt-20240302-000000");
    }
  }

  // A run stopped at the step: the system's crash, with nothing closed or tidied.
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    int steps = 0;
    TBCoreDataStoreS1::Options options;
    options.folder = libraryFolder();
    options.presentError = [](const qv::Error&) {};
    options.libraryStep = [&steps, stopAt = stopAt](const std::string&, bool) {
      if (steps++ == stopAt) _exit(0);
    };
    TBCoreDataStoreS1 stopped(options);
    _exit(100 + std::min(steps, 99));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (stopAt == kMoveStepsTried - 1) {
    EXPECT_GE(WEXITSTATUS(status), 100) << "more steps than tried";
  }

  presented.clear();
  store = openStore();
  ASSERT_TRUE(store->hasCoordinator());
  EXPECT_FALSE(store->readOnlyError());
  EXPECT_EQ(integrityOf(file), "ok");
  std::size_t found = 0;
  onMain([&] {
    for (const auto& scan : mainContext().fetch<QVSDScanObject>(qv::FetchRequest("QVSDScanObject"))) {
      ++found;
      const auto source = scan->sourceFilePath().value_or("");
      const auto expected = std::find_if(scans.begin(), scans.end(), [&](const auto& s) { return s.first == source; });
      ASSERT_NE(expected, scans.end()) << source;
      const auto points = scan->vertexData();
      ASSERT_TRUE(points);
      EXPECT_EQ(std::string(points->begin(), points->end()), expected->second) << source;
    }
  });
  EXPECT_EQ(found, scans.size());
  for (const auto& [image, bytes] : images) EXPECT_EQ(readFile(image), bytes) << image;
  if (move == LibraryMove::LogWithoutFile) {
    bool kept = false;
    for (const auto& entry : fs::directory_iterator(libraryFolder()))
      kept = kept || (entry.path().filename().string().rfind("Scan.7.storedata-wal.", 0) == 0 && readFile(entry.path()) == strayLog);
    EXPECT_TRUE(kept) << "the log that lay beside no library is kept under a name of its own";
  }
  if (move == LibraryMove::SetAside) {
    // The library of another model is kept whole under a dated name, its log's save in it.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(libraryFolder())) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("Scan.7.storedata.corrupt-", 0) != 0 || name.rfind("Scan.7.storedata.corrupt-2024", 0) == 0 ||
          name.ends_with("-wal") || name.ends_with("-shm"))
        continue;
      TBCoreDataStoreS1::Options options;
      options.folder = temp.path() / ("recovered-" + name);
      options.model = otherModel;
      fs::create_directories(options.folder);
      for (const char* suffix : {"", "-wal", "-shm"}) {
        if (fs::exists(entry.path().string() + suffix))
          fs::copy_file(entry.path().string() + suffix, options.folder / (std::string("Scan.7.storedata") + suffix));
      }
      TBCoreDataStoreS1 recovered(options);
      recovered.mainContext()->performAndWait([&] {
        for (const auto& thing : recovered.mainContext()->executeFetchRequest(qv::FetchRequest("Thing")))
          names.push_back(thing->stringValue("name").value_or(""));
      });
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"filed", "logged"}));
  }
}

INSTANTIATE_TEST_SUITE_P(EveryStep, LibraryMoveCrashTest,
                         ::testing::Combine(::testing::Values(LibraryMove::SetAside, LibraryMove::TakeBack,
                                                              LibraryMove::LogWithoutFile),
                                            ::testing::Range(0, kMoveStepsTried)),
                         [](const auto& info) {
                           const LibraryMove move = std::get<0>(info.param);
                           return std::string(move == LibraryMove::SetAside   ? "SetAside"
                                              : move == LibraryMove::TakeBack ? "TakeBack"
                                                                              : "LogWithoutFile") +
                                  "StoppedAtStep" + std::to_string(std::get<1>(info.param));
                         });

TEST_F(StoreTest, AFailedChangeOfAnOlderLibraryLeavesItAsItWasAndAFullDiskOpensItForReading) {
  QV_RUN_ON_A_SMALL_DISK(16u << 20);
  const fs::path disk = *qv::test::smallDiskFolder();
  const fs::path folder = disk / "Quorvel", file = folder / "Scan.7.storedata";
  // A library of the older layout from before large values had tables of their own: its values
  // in the rows, its files beside the store file.
  store = openStore(folder);
  const std::string fingerprint = store->mainContext()->model()->versionHash();
  const fs::path image = folder / "photo.png";
  writeFile(image, "photo");
  qv::ObjectID id;
  onMain([&] {
    auto scan = newScan(mainContext(), (disk / "scan.qvk").string());
    QVSDTexture::createTextureInScanObject(scan)->setTextureFileName(image.string());
    id = scan->objectID();
    ASSERT_TRUE(mainContext().save());
  });
  const fs::path filesFolder = store->filesFolder();
  closeStore();
  fs::remove(filesFolder);
  std::string sql = "UPDATE store_metadata SET value = '" + fingerprint + "' WHERE key = 'ModelVersion';";
  for (const auto& entity : qv::scanModel()->entities())
    for (const auto& a : entity->attributes())
      if (a.type == qv::AttributeType::Data) sql += "DROP TABLE \"" + entity->name() + "." + a.name + "\";";
  runSQL(file, sql + "UPDATE QVSDScanObject SET vertexData = zeroblob(44);");
  auto names = [&] {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
  };
  // Opened for reading, told why once, read as it stands; and not even tables, a files folder, a
  // log or an index are left of the attempt to change it.
  auto expectReadAsItWas = [&](const std::string& why) {
    const auto namesBefore = names();
    const std::string bytesBefore = readFile(file);
    presented.clear();
    store = openStore(folder);
    ASSERT_TRUE(store->hasCoordinator());
    ASSERT_EQ(presented.size(), 1u);
    EXPECT_TRUE(presented[0].is(qv::kScanErrorDomain, qv::kStoreReadOnlyError)) << presented[0].text();
    EXPECT_NE(presented[0].description.find(why), std::string::npos) << presented[0].description;
    onMain([&] {
      auto scan = QVSDScanObject::scanObjectWithId(id, false, mainContext());
      ASSERT_TRUE(scan);
      EXPECT_EQ(scan->dataLength("vertexData"), 44u);
      EXPECT_EQ(scan->textures().at(0)->textureFileName(), image.string());
    });
    closeStore();
    EXPECT_EQ(names(), namesBefore);
    EXPECT_TRUE(readFile(file) == bytesBefore) << "the store file changed";
    EXPECT_EQ(readFile(image), "photo");
  };
  // The change's own write refused (its files already have their second names by then).
  runSQL(file, "CREATE TRIGGER refuse BEFORE UPDATE ON QVSDTexture BEGIN SELECT RAISE(ABORT, 'refused'); END");
  expectReadAsItWas("it could not be changed to this version's layout");
  runSQL(file, "DROP TRIGGER refuse");
  // No room at all, then room to open it but not to change it.
  for (const std::uint64_t room : {std::uint64_t{0}, std::uint64_t{64} << 10}) {
    SCOPED_TRACE(room);
    qv::test::fillDiskLeaving(disk, room);
    expectReadAsItWas("the disk that holds the folder " + folder.string() + " is full");
    fs::remove(disk / "filler");
  }
}

TEST_F(StoreTest, AMetadataTableWithAKeylessRowIsAForeignStoreMovedAside) {
  store.reset();
  qv::drainMainQueue();
  const fs::path file = libraryFolder() / "Scan.7.storedata";
  runSQL(file, "INSERT INTO store_metadata VALUES (NULL, 'x')");  // SQLite lets a text key be NULL
  presented.clear();
  store = openStore();  // once threw out of the constructor, at every start
  ASSERT_TRUE(store->hasCoordinator());
  ASSERT_TRUE(store->movedStoreFilePath());
  ASSERT_EQ(presented.size(), 1u);
  EXPECT_TRUE(presented[0].is(qv::kScanErrorDomain, qv::kStoreFileMovedAsideError));
  onMain([&] {
    newScan(mainContext(), "/scans/new.qvk");
    EXPECT_TRUE(mainContext().save());
  });
}

TEST_F(StoreTest, AnEmptyFileIsTakenAsANewStore) {
  store.reset();
  qv::drainMainQueue();
  writeFile(libraryFolder() / "Scan.7.storedata", "");
  presented.clear();
  store = openStore();
  EXPECT_TRUE(store->hasCoordinator());
  EXPECT_FALSE(store->movedStoreFilePath());
  EXPECT_TRUE(presented.empty());
}

// ---------------------------------------------------------------- identifiers

TEST_F(StoreTest, IdentifiersKeepTheirStringFormAcrossRunsAndRejectForeignText) {
  std::string text;
  qv::ObjectID id;
  onMain([&] {
    auto scan = newScan(mainContext(), "/scans/a.qvk");
    id = scan->objectID();
    text = id.stringRepresentation();
    // Assigned at insertion: the identifier does not change when the object is first saved.
    ASSERT_TRUE(mainContext().save());
    EXPECT_EQ(scan->objectID().stringRepresentation(), text);
  });
  EXPECT_EQ(text.rfind("quorvel-store://", 0), 0u);
  EXPECT_NE(text.find("/QVSDScanObject/p"), std::string::npos);
  EXPECT_EQ(store->objectIDFromString(text), id);

  reopen();
  auto parsed = store->objectIDFromString(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->stringRepresentation(), text);
  onPrivate([&] {
    auto scan = privateContext().objectWithIDAs<QVSDScanObject>(*parsed);
    ASSERT_TRUE(scan);
    EXPECT_EQ(scan->sourceFilePath(), "/scans/a.qvk");
  });

  auto other = openStore(temp.path() / "Other");
  EXPECT_FALSE(other->objectIDFromString(text));  // another store's identifier
  EXPECT_FALSE(store->objectIDFromString(""));
  EXPECT_FALSE(store->objectIDFromString("quorvel-store://x/QVSDScanObject"));
  EXPECT_FALSE(store->objectIDFromString(text + "x"));
  auto unknownEntity = text;
  unknownEntity.replace(unknownEntity.find("QVSDScanObject"), 14, "NoSuchEntity00");
  EXPECT_FALSE(store->objectIDFromString(unknownEntity));
}

TEST_F(StoreTest, ObjectsWithObjectIDsSkipsEmptyEntriesAndAnswersNothingForNoList) {
  qv::ObjectID a, b;
  onMain([&] {
    a = newScan(mainContext(), "/a")->objectID();
    b = newScan(mainContext(), "/b")->objectID();
    ASSERT_TRUE(mainContext().save());
  });
  onPrivate([&] {
    EXPECT_FALSE(privateContext().objectsWithObjectIDs({}));
    auto none = privateContext().objectsWithObjectIDs({std::nullopt, std::nullopt});
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    auto both = privateContext().objectsWithObjectIDs({b, std::nullopt, a});
    ASSERT_TRUE(both);
    ASSERT_EQ(both->size(), 2u);
    EXPECT_EQ((*both)[0]->objectID(), b);
    EXPECT_EQ((*both)[1]->objectID(), a);
  });
}

TEST_F(StoreTest, AnIdentifierNeverSavedFindsNothingInTheOtherContext) {
  qv::ObjectID unsaved;
  onMain([&] { unsaved = newScan(mainContext(), "/a")->objectID(); });
  onPrivate([&] { EXPECT_EQ(privateContext().objectWithID(unsaved), nullptr); });
  onMain([&] { EXPECT_NE(mainContext().objectWithID(unsaved), nullptr); });
}

// ---------------------------------------------------------------- values and persistence

TEST_F(StoreTest, EveryKindOfValueReadsBackInANewStoreInstance) {
  const qv::Date when = qv::dateFromMicroseconds(1'700'000'123'456'789);
  const qv::Array colour{qv::Value(0.25), qv::Value(0.5), qv::Value(0.75), qv::Value(1.0)};
  qv::ObjectID id;
  onPrivate([&] {
    auto scan = newScan(privateContext(), "/scans/ünïcode path.qvk");
    scan->setCameraPositionX(1.0 / 3.0);
    scan->setYCutoff(-0.0f);
    scan->setIsActiveScan(1);
    scan->setLastOpenedDate(when);
    scan->setVertexData(bytes({1, 2, 3, 0, 255}));
    scan->setUnsavedVertexData(std::make_shared<const qv::Data>());  // empty is not the same as unset
    scan->setBackgroundColour(qv::Value(colour));
    id = scan->objectID();
    ASSERT_TRUE(privateContext().save());
  });
  reopen();
  onMain([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, mainContext());
    ASSERT_TRUE(scan);
    EXPECT_EQ(scan->sourceFilePath(), "/scans/ünïcode path.qvk");
    EXPECT_EQ(scan->cameraPositionX(), 1.0 / 3.0);
    EXPECT_EQ(scan->yCutoff(), 0.0);
    EXPECT_EQ(scan->isActiveScan(), 1);
    EXPECT_EQ(scan->lastOpenedDate(), when);
    ASSERT_TRUE(scan->vertexData());
    EXPECT_EQ(*scan->vertexData(), (qv::Data{1, 2, 3, 0, 255}));
    ASSERT_TRUE(scan->unsavedVertexData());
    EXPECT_TRUE(scan->unsavedVertexData()->empty());
    EXPECT_FALSE(scan->meshedVertexData());
    EXPECT_FALSE(scan->pitchAngle());
    ASSERT_TRUE(scan->backgroundColour());
    EXPECT_EQ(*scan->backgroundColour(), qv::Value(colour));
    EXPECT_FALSE(scan->hasChanges());
  });
}

TEST_F(StoreTest, NonFiniteDoublesReadBackAsTheyWereSaved) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  qv::ObjectID id;
  onPrivate([&] {
    auto scan = newScan(privateContext(), "/a");
    scan->setObjectCenterPoint({nan, inf, -inf});
    scan->setCameraPositionX(-nan);
    id = scan->objectID();
    ASSERT_TRUE(privateContext().save());
  });
  reopen();
  onMain([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, mainContext());
    ASSERT_TRUE(scan);
    ASSERT_TRUE(scan->objectCenterPointX()) << "a NaN centre came back unset";
    EXPECT_TRUE(std::isnan(*scan->objectCenterPointX()));
    EXPECT_EQ(scan->objectCenterPointY(), inf);
    EXPECT_EQ(scan->objectCenterPointZ(), -inf);
    ASSERT_TRUE(scan->cameraPositionX());
    EXPECT_TRUE(std::isnan(*scan->cameraPositionX()));
    EXPECT_TRUE(std::signbit(*scan->cameraPositionX())) << "the NaN's own bits are kept";
    // Fetches still compare the finite values.
    qv::FetchRequest request("QVSDScanObject");
    request.where("objectCenterPointY", qv::Comparison::Greater, qv::AttributeValue(1e308));
    EXPECT_EQ(mainContext().executeFetchRequest(request).size(), 1u);
  });
}

TEST_F(StoreTest, AFailedReadIsReportedAndReadAgainNextTime) {
  qv::ObjectID id;
  onMain([&] {
    auto scan = newScan(mainContext(), "/a");
    scan->setVertexData(std::make_shared<const qv::Data>(88, 1));
    QVSDPointCloud::createPointCloudForScanObject(scan);
    QVSDPointCloud::createPointCloudForScanObject(scan);
    id = scan->objectID();
    ASSERT_TRUE(mainContext().save());
  });
  reopen();
  const fs::path file = libraryFolder() / "Scan.7.storedata";
  onMain([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, mainContext());
    ASSERT_TRUE(scan);
    EXPECT_FALSE(mainContext().takeReadError());

    runSQL(file, "ALTER TABLE QVSDPointCloud RENAME TO Hidden");
    EXPECT_TRUE(scan->pointClouds().empty());
    EXPECT_TRUE(mainContext().takeReadError());
    runSQL(file, "ALTER TABLE Hidden RENAME TO QVSDPointCloud");
    EXPECT_EQ(scan->pointClouds().size(), 2u) << "the failed read was kept as an empty list";
    EXPECT_FALSE(mainContext().takeReadError());

    runSQL(file, "ALTER TABLE QVSDScanObject RENAME TO Hidden");
    EXPECT_EQ(scan->numberOfVertices(), 0u);
    EXPECT_TRUE(mainContext().takeReadError());
    runSQL(file, "ALTER TABLE Hidden RENAME TO QVSDScanObject");
    EXPECT_EQ(scan->numberOfVertices(), 2u);
  });
  onPrivate([&] {
    runSQL(file, "ALTER TABLE QVSDScanObject RENAME TO Hidden");
    EXPECT_FALSE(QVSDScanObject::scanObjectWithId(id, false, privateContext()));
    const auto error = privateContext().takeReadError();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, qv::kStoreOperationError);
    runSQL(file, "ALTER TABLE Hidden RENAME TO QVSDScanObject");
    EXPECT_TRUE(QVSDScanObject::scanObjectWithId(id, false, privateContext()));
  });
}

TEST_F(StoreTest, IntegerAttributesDropFractionsAndWrongKindsAreRefused) {
  onMain([&] {
    auto scan = newScan(mainContext(), "/a");
    auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
    cloud->setValue("laserNumber", 1.9);
    EXPECT_EQ(cloud->laserNumber(), 1);
    cloud->setValue("headHeight", std::int64_t{12});
    EXPECT_EQ(cloud->headHeight(), 12.0);
    cloud->setValue("headHeight", std::string("twelve"));
    EXPECT_EQ(cloud->headHeight(), 12.0);
  });
}

TEST_F(StoreTest, BytesAreReadOnlyWhenAskedForAndTheirLengthWithoutReadingThem) {
  qv::ObjectID id;
  onMain([&] {
    auto scan = newScan(mainContext(), "/a");
    scan->setVertexData(std::make_shared<const qv::Data>(100, 7));
    id = scan->objectID();
    ASSERT_TRUE(mainContext().save());
  });
  onPrivate([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, privateContext());
    // Changed in the file after the object was read: an object that had read its bytes with
    // the rest would still show the old ones.
    runSQL(libraryFolder() / "Scan.7.storedata", "UPDATE QVSDScanObject SET vertexData = zeroblob(100)");
    EXPECT_EQ(scan->numberOfVertices(), 2u);  // 100 bytes hold two whole records
    scan->setUnsavedVertexData(std::make_shared<const qv::Data>());
    EXPECT_EQ(scan->numberOfVertices(), 0u);  // an empty unsaved buffer stands in for the vertex data
    scan->setUnsavedVertexData(nullptr);
    EXPECT_EQ(scan->numberOfVertices(), 2u);
    EXPECT_EQ(*scan->vertexData(), qv::Data(100, 0));
  });
}

TEST_F(StoreTest, ALargeBufferHeldOpenIsSharedUntilACommitCouldHaveChangedIt) {
  // Every version is as long as the others, so that only the store's own record of changes can
  // tell them apart.
  constexpr std::size_t kBytes = std::size_t{2} << 20;
  qv::ObjectID id;
  onMain([&] {
    auto scan = newScan(mainContext(), "/a");
    scan->setVertexData(std::make_shared<const qv::Data>(kBytes, 1));
    id = scan->objectID();
    ASSERT_TRUE(mainContext().save());
  });
  auto readInPrivate = [&] {
    qv::SharedData bytes;
    onPrivate([&] { bytes = QVSDScanObject::scanObjectWithId(id, false, privateContext())->vertexData(); });
    return bytes;
  };
  auto readInMain = [&] {
    qv::SharedData bytes;
    onMain([&] { bytes = QVSDScanObject::scanObjectWithId(id, false, mainContext())->vertexData(); });
    return bytes;
  };

  // Held by one context (as an open scan's points are), read by the other: the same bytes.
  const qv::SharedData held = readInPrivate();
  ASSERT_TRUE(held);
  EXPECT_EQ(readInMain().get(), held.get());

  // A save of this store that writes other values of the same scan (the viewer's state and the
  // opened date, saved before an export) leaves the bytes shared.
  onMain([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, true, mainContext());
    scan->setSourceFilePath("/b");
    ASSERT_TRUE(mainContext().save());
  });
  settle();
  EXPECT_EQ(readInPrivate().get(), held.get());
  EXPECT_EQ(readInMain().get(), held.get());

  // Another connection changes them: the next read sees the change.
  runSQL(libraryFolder() / "Scan.7.storedata", "UPDATE QVSDScanObject SET vertexData = zeroblob(" + std::to_string(kBytes) + ")");
  const qv::SharedData zeros = readInPrivate();
  ASSERT_TRUE(zeros);
  EXPECT_EQ(*zeros, qv::Data(kBytes, 0));

  // So does a save of this store, for the bytes it did not write itself.
  onMain([&] {
    QVSDScanObject::scanObjectWithId(id, false, mainContext())->setVertexData(std::make_shared<const qv::Data>(kBytes, 3));
    ASSERT_TRUE(mainContext().save());
  });
  settle();
  const qv::SharedData saved = readInPrivate();
  ASSERT_TRUE(saved);
  EXPECT_EQ(*saved, qv::Data(kBytes, 3));
  EXPECT_EQ(*held, qv::Data(kBytes, 1));  // what was held is never changed under its holder
}

TEST_F(StoreTest, ASaveWritesALargeValueOnlyWhenItChangesAndOlderLibrariesKeepTheirsInTheRow) {
  constexpr std::size_t kBytes = std::size_t{16} << 20;
  const fs::path file = libraryFolder() / "Scan.7.storedata";
  qv::ObjectID id;
  onMain([&] {
    auto scan = newScan(mainContext(), "/a");
    scan->setVertexData(std::make_shared<const qv::Data>(kBytes, 7));
    scan->setUnsavedVertexData(std::make_shared<const qv::Data>());
    id = scan->objectID();
    ASSERT_TRUE(mainContext().save());
  });
  // Frames the log gains from one save of the scan's name: with the log emptied first, all of
  // them are that save's.
  auto framesOfARenamingSave = [&](const std::string& name) {
    OtherConnection other(file);
    // Once the store's own checkpoints in the background are done.
    EXPECT_TRUE(qv::test::waitFor([&] {
      return sqlite3_wal_checkpoint_v2(other.db, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr) == SQLITE_OK;
    }));
    const fs::path log = file.string() + "-wal";
    EXPECT_EQ(fs::file_size(log), 0u);
    onMain([&] {
      QVSDScanObject::scanObjectWithId(id, false, mainContext())->setSourceFilePath(name);
      ASSERT_TRUE(mainContext().save());
    });
    constexpr std::uintmax_t kHeader = 32, kFrame = 24 + 8192;
    return (std::max(fs::file_size(log), kHeader) - kHeader) / kFrame;
  };
  EXPECT_LT(framesOfARenamingSave("/a longer name than before"), 16);

  // A library written before large values had tables of their own: the bytes in the scan's row.
  closeStore();
  runSQL(file, "UPDATE QVSDScanObject SET vertexData = (SELECT bytes FROM \"QVSDScanObject.vertexData\" AS t "
               "WHERE t.id = QVSDScanObject.id), unsavedVertexData = x'';"
               "DROP TABLE \"QVSDScanObject.vertexData\"; DROP TABLE \"QVSDScanObject.unsavedVertexData\"");
  store = openStore();
  auto read = [&] {
    qv::SharedData vertices, unsaved;
    settle();
    onPrivate([&] {
      auto scan = QVSDScanObject::scanObjectWithId(id, false, privateContext());
      vertices = scan->vertexData();
      unsaved = scan->unsavedVertexData();
    });
    return std::pair{vertices, unsaved};
  };
  auto [vertices, unsaved] = read();
  ASSERT_TRUE(vertices && unsaved);
  EXPECT_EQ(*vertices, qv::Data(kBytes, 7));
  EXPECT_TRUE(unsaved->empty());  // empty, not unset
  // Written again, a value leaves the row for its table; one that is cleared is gone from both.
  onMain([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, mainContext());
    scan->setVertexData(std::make_shared<const qv::Data>(kBytes, 9));
    scan->setUnsavedVertexData(nullptr);
    ASSERT_TRUE(mainContext().save());
  });
  std::tie(vertices, unsaved) = read();
  ASSERT_TRUE(vertices);
  EXPECT_EQ(*vertices, qv::Data(kBytes, 9));
  EXPECT_FALSE(unsaved);
  EXPECT_LT(framesOfARenamingSave("/b"), 16);
  reopen();
  std::tie(vertices, unsaved) = read();
  ASSERT_TRUE(vertices);
  EXPECT_EQ(*vertices, qv::Data(kBytes, 9));
  EXPECT_FALSE(unsaved);
  // Deleting the scan deletes its values with it.
  onMain([&] {
    mainContext().deleteObject(QVSDScanObject::scanObjectWithId(id, false, mainContext()));
    ASSERT_TRUE(mainContext().save());
  });
  closeStore();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM \"QVSDScanObject.vertexData\"", -1, &stmt, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int64(stmt, 0), 0);
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}

// ---------------------------------------------------------------- fetching

TEST_F(StoreTest, FetchesSeeUnsavedInsertsChangesAndDeletionsOfTheirOwnContext) {
  onMain([&] {
    auto library = QVSDLibrary::defaultLibraryInContext(mainContext());
    for (int i = 0; i < 5; ++i) {
      auto scan = QVSDScanObject::createScanObjectInLibrary(library);
      scan->setSourceFilePath("/scan" + std::to_string(i));
      scan->setYawAngle(i * 10.0);
    }
    ASSERT_TRUE(mainContext().save());

    auto byYaw = [&](std::size_t limit) {
      std::vector<std::string> out;
      for (auto& s : mainContext().fetch<QVSDScanObject>(qv::FetchRequest("QVSDScanObject")
                                                             .where("yawAngle", qv::Comparison::GreaterOrEqual, 10.0)
                                                             .sortedBy("yawAngle", true)
                                                             .limit(limit)))
        out.push_back(*s->sourceFilePath());
      return out;
    };
    EXPECT_EQ(byYaw(0), (std::vector<std::string>{"/scan1", "/scan2", "/scan3", "/scan4"}));

    auto scans = QVSDScanObject::scanObjectsWithFilePath("/scan4", library);
    ASSERT_EQ(scans.size(), 1u);
    scans[0]->setYawAngle(15.0);  // moves between scan1 and scan2
    auto fresh = QVSDScanObject::createScanObjectInLibrary(library);
    fresh->setSourceFilePath("/fresh");
    fresh->setYawAngle(11.0);
    mainContext().deleteObject(QVSDScanObject::scanObjectWithFilePath("/scan2", library));
    auto gone = QVSDScanObject::scanObjectWithFilePath("/scan0", library);
    gone->setYawAngle(0.5);

    EXPECT_EQ(byYaw(0), (std::vector<std::string>{"/scan1", "/fresh", "/scan4", "/scan3"}));
    // A limit counts the context's view, not the stored rows.
    EXPECT_EQ(byYaw(2), (std::vector<std::string>{"/scan1", "/fresh"}));
    EXPECT_FALSE(QVSDScanObject::scanObjectWithFilePath("/scan2", library));
  });
}

TEST_F(StoreTest, ComparingWithNothingMatchesUnsetValuesAndUnknownKeysMatchNothing) {
  onMain([&] {
    newScan(mainContext(), "/with")->setSnapshotFilePath(std::string("/thumb.png"));
    newScan(mainContext(), "/without");
    ASSERT_TRUE(mainContext().save());
    newScan(mainContext(), "/pending");
    for (int pass = 0; pass < 2; ++pass) {
      auto unset = mainContext().fetch<QVSDScanObject>(
          qv::FetchRequest("QVSDScanObject").where("snapshotFilePath", qv::Comparison::Equal, {}).sortedBy("sourceFilePath"));
      ASSERT_EQ(unset.size(), 2u);
      EXPECT_EQ(unset[0]->sourceFilePath(), "/pending");
      EXPECT_EQ(unset[1]->sourceFilePath(), "/without");
      EXPECT_EQ(mainContext().fetch<QVSDScanObject>(
                    qv::FetchRequest("QVSDScanObject").where("snapshotFilePath", qv::Comparison::NotEqual, {})).size(), 1u);
      EXPECT_TRUE(mainContext().executeFetchRequest(
                      qv::FetchRequest("QVSDScanObject").where("noSuchKey", qv::Comparison::Equal, 1.0)).empty());
      ASSERT_TRUE(mainContext().save());
    }
  });
}

// ---------------------------------------------------------------- roll-back and deletion

TEST_F(StoreTest, RollbackForgetsInsertsAndRestoresChangedDeletedAndRelatedObjects) {
  onMain([&] {
    auto scan = newScan(mainContext(), "/kept");
    auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
    cloud->setHeadHeight(5.0);
    ASSERT_TRUE(mainContext().save());

    scan->setSourceFilePath(std::string("/renamed"));
    auto extra = QVSDPointCloud::createPointCloudForScanObject(scan);
    auto library = scan->library();
    auto other = QVSDScanObject::createScanObjectInLibrary(library);
    mainContext().deleteObject(cloud);
    EXPECT_EQ(scan->pointClouds().size(), 1u);
    EXPECT_TRUE(mainContext().hasChanges());

    mainContext().rollback();
    EXPECT_FALSE(mainContext().hasChanges());
    EXPECT_EQ(scan->sourceFilePath(), "/kept");
    EXPECT_FALSE(cloud->isDeleted());
    EXPECT_EQ(cloud->headHeight(), 5.0);
    ASSERT_EQ(scan->pointClouds().size(), 1u);
    EXPECT_EQ(scan->pointClouds()[0], cloud);
    EXPECT_EQ(library->scanObjects().size(), 1u);
    EXPECT_EQ(extra->managedObjectContext(), nullptr);
    EXPECT_EQ(mainContext().objectWithID(other->objectID()), nullptr);
    EXPECT_TRUE(mainContext().save());
  });
}

TEST_F(StoreTest, DeletingAScanDeletesEverythingItOwnsInTheStore) {
  qv::ObjectID scanID, keptID;
  onPrivate([&] {
    auto scan = newScan(privateContext(), "/gone");
    auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
    auto slice = QVSDScanSlice::createScanSliceInPointCloud(cloud, 1.0f);
    QVSDPoint3D::createPointInScanSlice(slice);
    QVSDTexture::createTextureInScanObject(scan);
    auto kept = newScan(privateContext(), "/kept");
    QVSDPointCloud::createPointCloudForScanObject(kept);
    scanID = scan->objectID();
    keptID = kept->objectID();
    ASSERT_TRUE(privateContext().save());
  });
  reopen();
  SaveRecorder saves(privateContext(), qv::ObjectContext::kDidSaveNotification);
  onPrivate([&] {
    privateContext().deleteObject(privateContext().objectWithID(scanID));
    ASSERT_TRUE(privateContext().save());
  });
  ASSERT_EQ(saves.saves.size(), 1u);
  std::map<std::string, int> deleted;
  for (auto& o : saves.saves[0]->deletedObjects) ++deleted[o->entity().name()];
  EXPECT_EQ(deleted, (std::map<std::string, int>{{"QVSDPoint3D", 1}, {"QVSDPointCloud", 1}, {"QVSDScanObject", 1},
                                                  {"QVSDScanSlice", 1}, {"QVSDTexture", 1}}));
  reopen();
  onMain([&] {
    for (const char* entity : {"QVSDPoint3D", "QVSDScanSlice", "QVSDTexture"})
      EXPECT_TRUE(mainContext().executeFetchRequest(qv::FetchRequest(entity)).empty()) << entity;
    EXPECT_EQ(mainContext().executeFetchRequest(qv::FetchRequest("QVSDPointCloud")).size(), 1u);
    EXPECT_EQ(mainContext().objectWithID(scanID), nullptr);
    EXPECT_EQ(QVSDScanObject::scanObjectWithId(keptID, false, mainContext())->pointClouds().size(), 1u);
  });
}

// ---------------------------------------------------------------- notifications

TEST_F(StoreTest, WillSaveShowsTheChangedKeysBeforeAnythingIsWritten) {
  qv::ObjectID id;
  onMain([&] {
    id = newScan(mainContext(), "/a")->objectID();
    ASSERT_TRUE(mainContext().save());
  });
  std::vector<std::string> keysSeen;
  bool storedYet = true;
  auto& center = qv::NotificationCenter::defaultCenter();
  qv::ObserverRegistration r(center, center.addObserver(qv::ObjectContext::kWillSaveNotification, store->mainContext().get(),
                                                        [&](const qv::Notification& n) {
    auto* context = const_cast<qv::ObjectContext*>(static_cast<const qv::ObjectContext*>(n.object));
    for (auto& o : context->updatedObjects()) {
      auto scan = std::dynamic_pointer_cast<QVSDScanObject>(o);
      if (scan && scan->hasChangedKey("snapshotFilePath")) keysSeen = scan->changedKeys();
    }
    // The other context still reads the old value from the store.
    store->privateContext()->performAndWait([&] {
      storedYet = QVSDScanObject::scanObjectWithId(id, false, privateContext())->snapshotFilePath().has_value();
    });
  }));
  onMain([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, mainContext());
    scan->setSnapshotFilePath(std::string("/thumb.png"));
    scan->setYawAngle(1.0);
    ASSERT_TRUE(mainContext().save());
  });
  EXPECT_EQ(keysSeen, (std::vector<std::string>{"snapshotFilePath", "yawAngle"}));
  EXPECT_FALSE(storedYet);
}

TEST_F(StoreTest, DidSaveCarriesInsertedUpdatedAndDeletedObjectsOnTheSavingQueue) {
  qv::ObjectID scanID, doomedID;
  onPrivate([&] {
    auto scan = newScan(privateContext(), "/a");
    doomedID = QVSDTexture::createTextureInScanObject(scan)->objectID();
    scanID = scan->objectID();
    ASSERT_TRUE(privateContext().save());
  });
  SaveRecorder saves(privateContext(), qv::ObjectContext::kDidSaveNotification);
  std::vector<long> lasers;
  std::vector<bool> pointOfScan;
  auto& center = qv::NotificationCenter::defaultCenter();
  // What the scan screen does with a save of the private context: it reads the inserted points,
  // their scan object and their cloud's laser, right there on the saving queue.
  qv::ObserverRegistration intake(center, center.addObserver(qv::ObjectContext::kDidSaveNotification,
                                                             store->privateContext().get(), [&](const qv::Notification& n) {
    for (auto& o : qv::ContextSave::from(n)->insertedObjects) {
      if (auto p = std::dynamic_pointer_cast<QVSDPoint3D>(o)) {
        pointOfScan.push_back(p->scanObject()->objectID() == scanID);
        lasers.push_back(static_cast<long>(p->pointCloud()->laserNumber().value_or(-1)));
      }
    }
  }));
  onPrivate([&] {
    auto scan = QVSDScanObject::scanObjectWithId(scanID, false, privateContext());
    auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
    cloud->setLaserNumber(1);
    auto slice = QVSDScanSlice::createScanSliceInPointCloud(cloud, 0.0f);
    QVSDPoint3D::createPointInScanSlice(slice)->setPoint3DX(1.0);
    scan->setObjectCenterPoint({1, 2, 3});
    privateContext().deleteObject(privateContext().objectWithID(doomedID));
    ASSERT_TRUE(privateContext().save());
    // Nothing to write: no notification.
    ASSERT_TRUE(privateContext().save());
  });
  ASSERT_EQ(saves.saves.size(), 1u);
  const auto& save = *saves.saves[0];
  EXPECT_EQ(saves.onQueue[0], store->privateContext()->queue().get());
  EXPECT_EQ(save.context, store->privateContext().get());
  std::vector<std::string> inserted;
  for (auto& o : save.insertedObjects) inserted.push_back(o->entity().name());
  EXPECT_EQ(inserted, (std::vector<std::string>{"QVSDPointCloud", "QVSDScanSlice", "QVSDPoint3D"}));
  ASSERT_EQ(save.deletedObjects.size(), 1u);
  EXPECT_EQ(save.deletedObjects[0]->objectID(), doomedID);
  ASSERT_EQ(save.updatedObjects.size(), 1u);
  EXPECT_EQ(save.updatedObjects[0]->objectID(), scanID);
  // The scan object changed its centre and gained a cloud, slice and point (and lost a texture).
  EXPECT_EQ(save.changedKeys(scanID), (std::vector<std::string>{"objectCenterPointX", "objectCenterPointY",
                                                                "objectCenterPointZ", "pointClouds", "points",
                                                                "scanSlices", "textures"}));
  const auto* updatedIDs = qv::find(saves.notifications[0].userInfo, "updated")->array();
  ASSERT_EQ(updatedIDs->size(), 1u);
  EXPECT_EQ((*updatedIDs)[0].toString(), scanID.stringRepresentation());
  EXPECT_EQ(qv::find(saves.notifications[0].userInfo, "inserted")->array()->size(), 3u);
  EXPECT_EQ(lasers, std::vector<long>{1});
  EXPECT_EQ(pointOfScan, std::vector<bool>{true});
}

TEST_F(StoreTest, AStepsThousandsOfPointsAndScansSaveReadBackAndDeleteExactly) {
  // 2,003 points: whole 64-row statements and every smaller size for the rest; one NaN.
  std::vector<QVLPoint3D> values(2003);
  for (std::size_t i = 0; i < values.size(); ++i) {
    auto& v = values[i];
    const float f = static_cast<float>(i);
    v = {f / 4096.0f, 0.5f, 1.0f - f / 4096.0f, 0.0f, -f, 1.0f, f + 0.25f, f, f * 0.01f, -f * 0.02f, 7.5f};
  }
  values[1234].point3DZ = NAN;
  std::vector<std::string> pointIDs, scanIDs;
  qv::ObjectID sliceID;
  onPrivate([&] {
    auto& ctx = privateContext();
    // 70 scans in one save, each with its own serialised value, bound side by side.
    for (int i = 0; i < 70; ++i) {
      auto scan = newScan(ctx, "/scan" + std::to_string(i));
      scan->setBackgroundColour(qv::Value(qv::Array{qv::Value(i), qv::Value("grey " + std::to_string(i))}));
      scanIDs.push_back(scan->objectID().stringRepresentation());
    }
    auto scan = newScan(ctx, "/points");
    auto slice = QVSDScanSlice::createScanSliceInPointCloud(QVSDPointCloud::createPointCloudForScanObject(scan), 12.5f);
    sliceID = slice->objectID();
    for (const auto& p : QVSDPoint3D::createPointsInScanSlice(slice, values)) pointIDs.push_back(p->objectID().stringRepresentation());
    ASSERT_TRUE(ctx.save());
  });
  ASSERT_EQ(pointIDs.size(), values.size());

  // Every value of every row as it was given, in a new store instance.
  auto readBack = [&](std::size_t i) -> std::shared_ptr<QVSDPoint3D> {
    auto id = privateContext().objectIDFromString(pointIDs[i]);
    return id ? privateContext().objectWithIDAs<QVSDPoint3D>(*id) : nullptr;
  };
  reopen();
  onPrivate([&] {
    for (std::size_t i = 0; i < scanIDs.size(); ++i) {
      auto scan = privateContext().objectWithIDAs<QVSDScanObject>(*privateContext().objectIDFromString(scanIDs[i]));
      ASSERT_TRUE(scan);
      EXPECT_EQ(scan->backgroundColour(), qv::Value(qv::Array{qv::Value(static_cast<int>(i)), qv::Value("grey " + std::to_string(i))}));
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
      auto p = readBack(i);
      ASSERT_TRUE(p) << i;
      const auto& v = values[i];
      EXPECT_EQ(p->scanSlice()->objectID(), sliceID);
      EXPECT_EQ(p->pointCloud()->objectID(), p->scanSlice()->pointCloud()->objectID());
      EXPECT_EQ(p->scanObject()->objectID(), p->scanSlice()->scanObject()->objectID());
      const double expected[] = {v.colourRed, v.colourGreen, v.colourBlue, v.point2DX, v.point2DY, v.point3DX,
                                 v.point3DY,  v.point3DZ,    v.normalX,    v.normalY,  v.normalZ};
      const std::optional<double> got[] = {p->colourRed(), p->colourGreen(), p->colourBlue(), p->point2DX(),
                                           p->point2DY(),  p->point3DX(),    p->point3DY(),   p->point3DZ(),
                                           p->normalX(),   p->normalY(),     p->normalZ()};
      for (std::size_t k = 0; k < std::size(expected); ++k) {
        ASSERT_TRUE(got[k]) << i << "/" << k;
        if (std::isnan(expected[k])) EXPECT_TRUE(std::isnan(*got[k])) << i;
        else EXPECT_EQ(*got[k], expected[k]) << i << "/" << k;
      }
      EXPECT_FALSE(p->index());
    }
    // Runs of consecutive numbers with gaps between them, and single points: only these go.
    for (std::size_t i = 0; i < values.size(); ++i)
      if (i % 3 == 0 || (i >= 500 && i < 1500)) privateContext().deleteObject(readBack(i));
    ASSERT_TRUE(privateContext().save());
  });
  reopen();
  onPrivate([&] {
    std::size_t left = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
      const bool deleted = i % 3 == 0 || (i >= 500 && i < 1500);
      EXPECT_EQ(readBack(i) == nullptr, deleted) << i;
      left += deleted ? 0 : 1;
    }
    auto slice = privateContext().objectWithIDAs<QVSDScanSlice>(sliceID);
    EXPECT_EQ(slice->points().size(), left);
    EXPECT_EQ(privateContext().executeFetchRequest(qv::FetchRequest("QVSDScanObject")).size(), scanIDs.size() + 1);
  });
}

TEST_F(StoreTest, DidSaveListsWhatWasWrittenWhenAWillSaveObserverChangedTheSave) {
  qv::ObjectID scanID;
  onPrivate([&] {
    scanID = newScan(privateContext(), "/scan")->objectID();
    ASSERT_TRUE(privateContext().save());
  });
  auto& center = qv::NotificationCenter::defaultCenter();
  // The observer adds a texture to the save and takes one of its points out of it.
  qv::ObserverRegistration editor(center, center.addObserver(qv::ObjectContext::kWillSaveNotification,
                                                             store->privateContext().get(), [&](const qv::Notification& n) {
    auto save = qv::ContextSave::from(n);
    QVSDTexture::createTextureInScanObject(QVSDScanObject::scanObjectWithId(scanID, false, privateContext()));
    privateContext().deleteObject(save->insertedObjects.back());
  }));
  SaveRecorder saves(privateContext(), qv::ObjectContext::kDidSaveNotification);
  onPrivate([&] {
    auto scan = QVSDScanObject::scanObjectWithId(scanID, false, privateContext());
    auto slice = QVSDScanSlice::createScanSliceInPointCloud(QVSDPointCloud::createPointCloudForScanObject(scan), 0.0f);
    QVSDPoint3D::createPointsInScanSlice(slice, std::vector<QVLPoint3D>(5));
    ASSERT_TRUE(privateContext().save());
  });
  ASSERT_EQ(saves.saves.size(), 1u);
  std::vector<std::string> names, listed;
  for (const auto& o : saves.saves[0]->insertedObjects) names.push_back(o->objectID().stringRepresentation());
  for (const auto& v : *qv::find(saves.notifications[0].userInfo, "inserted")->array()) listed.push_back(v.toString().value_or(""));
  EXPECT_EQ(listed, names);
  EXPECT_EQ(names.size(), 2u + 4u + 1u) << "cloud, slice, four points and the texture";
  const auto* updated = qv::find(saves.notifications[0].userInfo, "updated")->array();
  ASSERT_EQ(updated->size(), 1u);
  EXPECT_EQ((*updated)[0].toString(), scanID.stringRepresentation());
}

// ---------------------------------------------------------------- merging

TEST_F(StoreTest, APrivateSaveReachesTheMainContextWhenTheMainQueueRuns) {
  std::shared_ptr<QVSDScanObject> shown;
  qv::ObjectID id;
  onMain([&] {
    shown = newScan(mainContext(), "/scan");
    id = shown->objectID();
    ASSERT_TRUE(mainContext().save());
    EXPECT_TRUE(shown->pointClouds().empty());  // the main context has read the (empty) list
  });
  std::vector<std::string> announced;
  onMain([&] { shown->addKeyObserver([&](qv::ManagedObject&, const std::string& key) { announced.push_back(key); }); });
  onMain([&] {
    onPrivate([&] {
      auto scan = QVSDScanObject::scanObjectWithId(id, false, privateContext());
      scan->setYCutoff(-4.0);
      QVSDPointCloud::createPointCloudForScanObject(scan)->setHeadHeight(12.0);
      ASSERT_TRUE(privateContext().save());
    });
    EXPECT_FALSE(shown->yCutoff());  // the merge waits for the main queue's next turn
  });
  settle();
  onMain([&] {
    EXPECT_EQ(shown->yCutoff(), -4.0);
    ASSERT_EQ(shown->pointClouds().size(), 1u);
    EXPECT_EQ(shown->pointClouds()[0]->headHeight(), 12.0);
    EXPECT_FALSE(shown->hasChanges());
  });
  EXPECT_NE(std::find(announced.begin(), announced.end(), "yCutoff"), announced.end());
}

TEST_F(StoreTest, AMainDeletionReachesThePrivateContext) {
  qv::ObjectID scanID, cloudID;
  std::shared_ptr<QVSDScanObject> held;
  onPrivate([&] {
    held = newScan(privateContext(), "/scan");
    auto cloud = QVSDPointCloud::createPointCloudForScanObject(held);
    scanID = held->objectID();
    cloudID = cloud->objectID();
    ASSERT_TRUE(privateContext().save());
    EXPECT_EQ(held->pointClouds().size(), 1u);
  });
  onMain([&] {
    mainContext().deleteObject(mainContext().objectWithID(cloudID));
    ASSERT_TRUE(mainContext().save());
  });
  settle();
  onPrivate([&] {
    EXPECT_TRUE(held->pointClouds().empty());
    EXPECT_EQ(privateContext().objectWithID(cloudID), nullptr);
    EXPECT_TRUE(QVSDPointCloud::sortedPointCloudsForScanObject(held).empty());
  });
}

TEST_F(StoreTest, AMergeKeepsUnsavedLocalChangesAndTakesTheOtherKeys) {
  qv::ObjectID id;
  std::shared_ptr<QVSDScanObject> mine;
  onMain([&] {
    mine = newScan(mainContext(), "/scan");
    id = mine->objectID();
    ASSERT_TRUE(mainContext().save());
    mine->setPitchAngle(0.5);  // being edited on screen, not saved
  });
  onPrivate([&] {
    auto theirs = QVSDScanObject::scanObjectWithId(id, false, privateContext());
    theirs->setPitchAngle(-1.0);
    theirs->setRadiusCutoff(42.0);
    ASSERT_TRUE(privateContext().save());
  });
  settle();
  onMain([&] {
    EXPECT_EQ(mine->pitchAngle(), 0.5);
    EXPECT_EQ(mine->radiusCutoff(), 42.0);
    EXPECT_EQ(mine->changedKeys(), std::vector<std::string>{"pitchAngle"});
    ASSERT_TRUE(mainContext().save());  // the later save wins for the key both changed
  });
  reopen();
  onPrivate([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, privateContext());
    EXPECT_EQ(scan->pitchAngle(), 0.5);
    EXPECT_EQ(scan->radiusCutoff(), 42.0);
  });
}

TEST_F(StoreTest, ASaveThatCannotBeWrittenFailsWholeAndKeepsItsChanges) {
  qv::ObjectID scanID;
  onMain([&] {
    scanID = newScan(mainContext(), "/scan")->objectID();
    ASSERT_TRUE(mainContext().save());
  });
  onPrivate([&] {
    auto scan = QVSDScanObject::scanObjectWithId(scanID, false, privateContext());
    QVSDPointCloud::createPointCloudForScanObject(scan);
    QVSDScanObject::createScanObjectInLibrary(scan->library())->setSourceFilePath(std::string("/other"));
  });
  onMain([&] {
    mainContext().deleteObject(mainContext().objectWithID(scanID));
    ASSERT_TRUE(mainContext().save());
  });
  onPrivate([&] {
    // The new cloud's scan object is gone from the store: nothing of this save may land.
    qv::Error error;
    EXPECT_FALSE(privateContext().save(&error));
    EXPECT_TRUE(error.is(qv::kScanErrorDomain, qv::kStoreOperationError)) << error.text();
    EXPECT_TRUE(privateContext().hasChanges());
    privateContext().rollback();
    EXPECT_TRUE(privateContext().save());
  });
  reopen();
  onMain([&] {
    EXPECT_TRUE(mainContext().executeFetchRequest(qv::FetchRequest("QVSDScanObject")).empty());
    EXPECT_TRUE(mainContext().executeFetchRequest(qv::FetchRequest("QVSDPointCloud")).empty());
  });
}

TEST_F(StoreTest, BothContextsWorkAtOnceFromTheirOwnQueues) {
  // The scan driver writes on the private queue while the screens read on the main queue.
  std::atomic<bool> done{false};
  qv::ObjectID scanID;
  onMain([&] {
    scanID = newScan(mainContext(), "/scan")->objectID();
    ASSERT_TRUE(mainContext().save());
  });
  store->privateContext()->perform([&] {
    auto scan = QVSDScanObject::scanObjectWithId(scanID, false, privateContext());
    auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
    for (int step = 0; step < 40; ++step) {
      auto slice = QVSDScanSlice::createScanSliceInPointCloud(cloud, static_cast<float>(step));
      for (int i = 0; i < 20; ++i) QVSDPoint3D::createPointInScanSlice(slice)->setPoint2DY(i);
      EXPECT_TRUE(privateContext().save());
    }
    done = true;
  });
  std::size_t seen = 0;
  ASSERT_TRUE(qv::runMainQueueUntil([&] {
    auto scan = QVSDScanObject::scanObjectWithId(scanID, false, mainContext());
    seen = scan->scanSlices().size();
    return done.load() && seen == 40;
  }, qv::test::kPatience));
  onMain([&] {
    auto scan = QVSDScanObject::scanObjectWithId(scanID, false, mainContext());
    EXPECT_EQ(scan->points().size(), 800u);
  });
}

// ---------------------------------------------------------------- the application's store

TEST(DefaultStore, LivesInTheApplicationLibraryFolderWithContextsBoundToTheirQueues) {
  qv::test::TempFolder temp;
  ::setenv("XDG_DATA_HOME", temp.path().c_str(), 1);  // each test case runs in a process of its own
  auto& store = TBCoreDataStoreS1::defaultStore();
  EXPECT_EQ(&store, &TBCoreDataStoreS1::defaultStore());
  EXPECT_EQ(store.persistentStoreURL(), temp.path() / "Quorvel" / "Scan.7.storedata");
  EXPECT_EQ(TBCoreDataStoreS1::appLibraryDirectory(), temp.path() / "Quorvel");
  ASSERT_TRUE(store.hasCoordinator());
  auto privateContext = TBCoreDataStoreS1::privateQueueContext();
  auto mainContext = TBCoreDataStoreS1::mainQueueContext();
  EXPECT_EQ(mainContext->queue(), qv::mainQueue());
  EXPECT_EQ(mainContext->concurrencyType(), qv::ObjectContext::ConcurrencyType::MainQueue);
  EXPECT_EQ(privateContext->concurrencyType(), qv::ObjectContext::ConcurrencyType::PrivateQueue);
  EXPECT_NE(privateContext->queue(), qv::mainQueue());

  std::string text;
  bool onOwnQueue = false;
  privateContext->performAndWait([&] {
    onOwnQueue = privateContext->queue()->isCurrent();
    auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(*privateContext));
    text = scan->objectID().stringRepresentation();
    ASSERT_TRUE(privateContext->save());
  });
  EXPECT_TRUE(onOwnQueue);
  auto id = TBCoreDataStoreS1::managedObjectIDFromString(text);
  ASSERT_TRUE(id);
  bool found = false, ranOnMain = false;
  mainContext->perform([&] {
    ranOnMain = qv::isMainQueue();
    found = mainContext->objectWithID(*id) != nullptr;
  });
  EXPECT_FALSE(ranOnMain);  // perform never runs the block before returning
  qv::drainMainQueue();
  EXPECT_TRUE(ranOnMain);
  EXPECT_TRUE(found);
}

TEST(DefaultStore, RelativeXDGFoldersArePassedOverAndALibraryUnderARelativePathOpensForReading) {
  qv::test::TempFolder temp;  // each test case runs in a process of its own
  ::setenv("HOME", temp.path().c_str(), 1);
  ::setenv("XDG_DATA_HOME", "data", 1);
  ::setenv("XDG_STATE_HOME", "state", 1);
  ::setenv("XDG_CONFIG_HOME", "config", 1);
  EXPECT_EQ(TBCoreDataStoreS1::appLibraryDirectory(), temp.path() / ".local" / "share" / "Quorvel");
  EXPECT_EQ(qv::paths::stateHome(), temp.path() / ".local" / "state");
  EXPECT_EQ(qv::Settings::standardFilePath(), temp.path() / ".config" / "Quorvel" / "Settings.json");

  // A library named by a relative path, with characters a URI escapes, that can only be read.
  ASSERT_EQ(::chdir(temp.path().c_str()), 0);
  const fs::path folder = "my scans/#1?%";
  auto options = [&](TBCoreDataStoreS1::WriteAccessProbe writeAccess) {
    TBCoreDataStoreS1::Options made;
    made.folder = folder;
    made.presentError = [](const qv::Error&) {};
    made.writeAccess = std::move(writeAccess);
    return made;
  };
  {
    TBCoreDataStoreS1 writable(options({}));
    writable.mainContext()->performAndWait([&] { keepOneScan(*writable.mainContext()); });
  }
  TBCoreDataStoreS1 readOnly(options([](const fs::path& p) { return p.filename() == "Scan.7.storedata" ? EACCES : 0; }));
  ASSERT_TRUE(readOnly.hasCoordinator()) << (readOnly.openError() ? readOnly.openError()->text() : "");
  EXPECT_TRUE(readOnly.readOnlyError());
  readOnly.mainContext()->performAndWait([&] {
    EXPECT_EQ(readOnly.mainContext()->fetch<QVSDScanObject>(qv::FetchRequest("QVSDScanObject")).size(), 1u);
  });
}

// ---------------------------------------------------------------- the write-ahead log

TEST_F(StoreTest, TheLogStaysBoundedWhileAScanIsHeldOpenAndIsFoldedInWhenTheStoreCloses) {
  const fs::path file = libraryFolder() / "Scan.7.storedata", log = file.string() + "-wal";
  constexpr std::size_t kBytes = std::size_t{12} << 20;
  // The viewer's scan: its points read and held by the main context for the whole session.
  qv::ObjectID open;
  onMain([&] {
    auto scan = newScan(mainContext(), "/open");
    scan->setVertexData(std::make_shared<const qv::Data>(kBytes, 1));
    open = scan->objectID();
    ASSERT_TRUE(mainContext().save());
  });
  qv::SharedData held;
  onMain([&] { held = QVSDScanObject::scanObjectWithId(open, true, mainContext())->vertexData(); });
  ASSERT_TRUE(held);
  std::uintmax_t largestLog = 0;
  for (int i = 0; i < 12; ++i) {
    onPrivate([&] {
      auto scan = newScan(privateContext(), "/imported");
      scan->setVertexData(std::make_shared<const qv::Data>(kBytes, static_cast<std::uint8_t>(i)));
      ASSERT_TRUE(privateContext().save());
    });
    onMain([&] { ASSERT_TRUE(mainContext().save()); });
    settle();
    std::error_code ec;
    largestLog = std::max(largestLog, fs::file_size(log, ec));
  }
  // The size the log is cut back to, plus what the save that crossed it wrote.
  EXPECT_LE(largestLog, (std::uintmax_t{64} << 20) + 2 * kBytes) << largestLog;
  closeStore();
  EXPECT_FALSE(fs::exists(log));
  EXPECT_GT(fs::file_size(file), 12 * kBytes);
}

TEST_F(StoreTest, ALogLeftByAKilledRunIsFoldedInOnlyIntoAFileThatHoldsTheDatabaseAndElseKeptWithIt) {
  const fs::path file = libraryFolder() / "Scan.7.storedata", log = file.string() + "-wal";
  qv::ObjectID id;
  onMain([&] {
    id = newScan(mainContext(), "/a")->objectID();
    ASSERT_TRUE(mainContext().save());
  });
  closeStore();
  // A run that saves and is killed before it closes the store: its saves are only in the log.
  int runs = 0;  // each run writes other bytes: a row written as it was writes nothing
  auto killedRun = [&] {
    const std::string sql = "UPDATE QVSDScanObject SET sourceFilePath = '/killed', vertexData = zeroblob(" +
                            std::to_string(8000000 + runs++) + ")";
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      sqlite3* db = nullptr;
      sqlite3_open(file.c_str(), &db);
      sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_GT(fs::file_size(log), 8000000u);
  };
  killedRun();
  const auto storedBefore = fs::file_size(file);
  qv::test::CapturedLog captured;
  store = openStore();
  EXPECT_TRUE(qv::test::waitFor([&] { return fs::file_size(log) == 0; }));
  EXPECT_GT(fs::file_size(file), storedBefore + 8000000);
  onMain([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, mainContext());
    ASSERT_TRUE(scan);
    EXPECT_EQ(scan->sourceFilePath(), "/killed");
  });
  EXPECT_TRUE(qv::test::waitFor([&] { return captured.contains("Folded the library's log of 8.0 MB"); }));

  // A log that holds no frame SQLite takes for a save (its header gone) folds nothing in.
  closeStore();
  killedRun();
  {
    std::fstream damage(log, std::ios::in | std::ios::out | std::ios::binary);
    damage.write(std::string(32, '\0').data(), 32);
  }
  store = openStore();
  EXPECT_TRUE(qv::test::waitFor([&] { return captured.contains("held no saves to fold"); }));
  EXPECT_EQ(captured.text().find("Folded", captured.text().find("Folded") + 1), std::string::npos) << captured.text();

  // Beside a file that holds no database (emptied by hand, cut short by a crash before its pages
  // reached the disk, or another file's bytes), the log is never opened: SQLite would drop it, or
  // read its pages over a file not theirs. Both are kept under a dated name and the user is told,
  // as of a library that cannot be read; a new library starts, and later openings leave them be.
  const std::vector<std::function<void()>> noDatabase = {
      [&] { fs::resize_file(file, 0); }, [&] { fs::resize_file(file, 100); },
      [&] { std::fstream(file, std::ios::in | std::ios::out | std::ios::binary).write("Not a database!", 16); }};
  for (std::size_t i = 0; i < noDatabase.size(); ++i) {
    onMain([&] {
      newScan(mainContext(), "/b");
      ASSERT_TRUE(mainContext().save());
    });
    closeStore();
    killedRun();
    noDatabase[i]();
    const std::string fileBytes = readFile(file), logBytes = readFile(log);
    presented.clear();
    store = openStore();
    ASSERT_TRUE(store->movedStoreFilePath()) << i;
    const fs::path kept = *store->movedStoreFilePath();
    EXPECT_EQ(readFile(kept), fileBytes) << i;
    EXPECT_EQ(readFile(kept.string() + "-wal"), logBytes) << i;
    ASSERT_EQ(presented.size(), 1u) << i;
    EXPECT_TRUE(presented[0].is(qv::kScanErrorDomain, qv::kStoreFileMovedAsideError)) << presented[0].text();
    EXPECT_NE(presented[0].description.find(kept.filename().string()), std::string::npos) << presented[0].description;
    presented.clear();
    reopen();
    EXPECT_TRUE(presented.empty()) << i << ": " << presented.front().text();
    EXPECT_EQ(readFile(kept.string() + "-wal"), logBytes) << i;
    EXPECT_TRUE(store->hasCoordinator());
  }
  EXPECT_EQ(captured.text().find("Folded", captured.text().find("Folded") + 1), std::string::npos) << captured.text();
}
