// What a read, a save or an export does when the disk has no room (a real, small file system
// filled up) or refuses a file, and how a save clears away the temporary files of saves that were
// killed.
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "FormatsTestSupport.h"
#include "formats/FileFormats.h"
#include "formats/FormatErrors.h"
#include "formats/QVLObjFileExporter.h"
#include "formats/QVLPcdFileExporter.h"
#include "formats/QVLPlyFileExporter.h"
#include "formats/QVLQvkFileExporter.h"
#include "formats/QVLQvkFileImporter.h"
#include "formats/QVLQvkxFileExporter.h"
#include "formats/QVLQvkxFileImporter.h"
#include "formats/QVLStlFileExporter.h"
#include "formats/QVLXyzFileExporter.h"
#include "formats/QvkxFormat.h"
#include "formats/SSZipArchive.h"
#include "formats/internal/AtomicFile.h"
#include "store/QVSDTexture.h"
#include "support/SmallDisk.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kSmallDiskBytes = 16u << 20;
constexpr std::uint64_t kRoomLeft = 256u << 10;  // less than any file the tests write needs

std::set<std::string> namesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

std::int64_t underlyingCode(const qv::Error& error) {
  const auto* code = qv::find(error.userInfo, qv::Error::kUnderlyingErrorKey);
  return code ? code->toInt64() : 0;
}

}  // namespace

class SaveFailureTest : public FormatsTest {
protected:
  // One cloud of 40,000 points (500 rows by 80 slices, every slot a point) and a mesh of 20,000
  // triangles: every file made of it takes more than the room the tests leave.
  qv::ObjectID largeScan() {
    return makeScan([](const std::shared_ptr<QVSDScanObject>& scan) {
      constexpr std::uint32_t kRows = 500, kSlices = 80;
      std::vector<QVLScanVertex> points = {vertex(0, 0, 0)};
      std::vector<std::uint32_t> index;
      for (std::uint32_t i = 1; i <= kRows * kSlices; ++i) {
        points.push_back(vertex(float(i) * 0.001f + 1, float(i % kRows), float(i / kRows), 0, 0, 1, 0.5f, 0.5f, 0.5f));
        index.push_back(i);
      }
      scan->setVertexData(vertexBytes(points));
      auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
      cloud->setCameraHeight(kRows);
      for (std::uint32_t s = 0; s < kSlices; ++s) QVSDScanSlice::createScanSliceInPointCloud(cloud, float(s) * 0.1f);
      cloud->setVertexIndexData(indexBytes(index));
      points.resize(60000);
      for (std::size_t i = 0; i < points.size(); ++i) points[i] = vertex(float(i) + 1.5f, 2.25f, float(i % 3), 0, 1, 0);
      scan->setMeshedVertexData(vertexBytes(points));
    });
  }

  // A read that found no room: it names the library folder as full and the file as sound, and
  // the scan it was to fill is as it was.
  void expectNoRoomToRead(const qv::Error& error, const std::string& file, const fs::path& library, const qv::ObjectID& scan) {
    SCOPED_TRACE(file);
    EXPECT_EQ(error.domain, qv::kScanErrorDomain);
    EXPECT_EQ(error.code, qv::kFileWriteError) << error.description;
    EXPECT_NE(error.description.find("the folder " + library.string() + " is full"), std::string::npos) << error.description;
    EXPECT_NE(error.description.find("The file itself is fine"), std::string::npos) << error.description;
    const auto* named = qv::find(error.userInfo, qv::kFileKey);
    EXPECT_TRUE(named && *named == qv::Value(file));
    EXPECT_EQ(underlyingCode(error), ENOSPC);
    withScan(scan, [](QVSDScanObject& s) {
      EXPECT_FALSE(s.vertexData());
      EXPECT_TRUE(s.pointClouds().empty());
    });
  }
};

TEST_F(SaveFailureTest, AReadWithoutRoomInTheLibraryNamesTheFullFolderNotADamagedFile) {
  QV_RUN_ON_A_SMALL_DISK(kSmallDiskBytes);
  const auto source = largeScan();
  ASSERT_TRUE((exportScan<QVLQvkxFileExporter>(source, path("scan.qvkx"))));
  ASSERT_TRUE((exportScan<QVLQvkFileExporter>(source, path("scan.qvk"))));

  // A read-only disk takes no member at all: that is the folder's failure, which ends the unzip as
  // no room does, not a name it refuses.
  const fs::path readOnly = *qv::test::smallDiskFolder() / "read-only";
  fs::create_directories(readOnly / "unzipped");
  ASSERT_EQ(::mount(readOnly.c_str(), readOnly.c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
  ASSERT_EQ(::mount(nullptr, readOnly.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0) << std::strerror(errno);
  qv::Error unzipError;
  EXPECT_FALSE(SSZipArchive::unzipFileAtPath(path("scan.qvkx"), (readOnly / "unzipped").string(), true, "", &unzipError));
  EXPECT_TRUE(SSZipArchive::isWriteFailure(unzipError)) << unzipError.description;
  EXPECT_EQ(underlyingCode(unzipError), EROFS);

  // The library on the small disk, nearly full: the project's cloud cannot be unpacked there, nor
  // the scan file's points saved in the store.
  const fs::path library = *qv::test::smallDiskFolder() / "Quorvel";
  store = openStore(library);
  const auto scan = makeScan();
  qv::test::fillDiskLeaving(library, kRoomLeft);

  qv::Error error;
  EXPECT_FALSE(importFile<QVLQvkxFileImporter>(path("scan.qvkx"), scan, &error));
  expectNoRoomToRead(error, path("scan.qvkx"), library, scan);
  error = {};
  EXPECT_FALSE(importFile<QVLQvkFileImporter>(path("scan.qvk"), scan, &error));  // fails in the store's save
  expectNoRoomToRead(error, path("scan.qvk"), library, scan);
  for (const auto& name : namesIn(library))
    EXPECT_EQ(name.find(".QvkxImport"), std::string::npos) << "the working folder is removed";
}

TEST_F(SaveFailureTest, SavesAndExportsWithoutRoomNameTheFullFolderAndKeepTheEarlierFile) {
  QV_RUN_ON_A_SMALL_DISK(kSmallDiskBytes);
  const fs::path disk = *qv::test::smallDiskFolder();
  const fs::path folder = disk / "scans";
  fs::create_directory(folder);
  const std::vector<std::string> extensions = {"qvk", "qvkx", "ply", "pcd", "xyz", "obj", "stl"};
  for (const auto& extension : extensions) writeFile(folder / ("scan." + extension), "earlier " + extension);
  // A second library on the small disk, whose project saves need a working folder there.
  auto normal = std::move(store);
  store = openStore(disk / "Quorvel");
  const auto inFullLibrary = largeScan();
  auto full = std::exchange(store, std::move(normal));
  const auto source = largeScan();
  qv::test::fillDiskLeaving(disk, kRoomLeft);

  for (const auto& extension : extensions) {
    SCOPED_TRACE(extension);
    const fs::path target = folder / ("scan." + extension);
    qv::Error error;
    auto writer = qv::exporterForExtension(extension, source);
    ASSERT_TRUE(writer);
    writer->setPrivateQueueContext(store->privateContext());
    EXPECT_FALSE(writer->exportScanToFilePath(target.string(), &error));
    EXPECT_EQ(error.domain, qv::kScanErrorDomain);
    EXPECT_EQ(error.code, qv::kFileWriteError) << error.description;
    EXPECT_NE(error.description.find("the folder " + folder.string() + " is full"), std::string::npos) << error.description;
    EXPECT_EQ(underlyingCode(error), ENOSPC);
    EXPECT_EQ(readFile(target), "earlier " + extension);
  }
  std::set<std::string> earlier;
  for (const auto& extension : extensions) earlier.insert("scan." + extension);
  EXPECT_EQ(namesIn(folder), earlier) << "no temporary file is left beside them";

  // A project's members go to a working folder in the library first: that folder's disk is full.
  qv::Error error;
  QVLQvkxFileExporter project(inFullLibrary);
  project.setPrivateQueueContext(full->privateContext());
  EXPECT_FALSE(project.exportScanToFilePath(path("scan.qvkx"), &error));
  EXPECT_EQ(error.code, qv::kFileWriteError) << error.description;
  EXPECT_NE(error.description.find("the folder " + (disk / "Quorvel").string() + " is full"), std::string::npos)
      << error.description;
  EXPECT_EQ(underlyingCode(error), ENOSPC);
  EXPECT_FALSE(fs::exists(path("scan.qvkx")));
  for (const auto& name : namesIn(disk / "Quorvel"))
    EXPECT_EQ(name.find(".QvkxExport"), std::string::npos) << "the working folder is removed";
  full.reset();
}

TEST_F(SaveFailureTest, AMemberWhoseNameTheDiskRefusesIsLeftOutAndNamedAndTheRestIsRead) {
  const std::string cloud = "QVK\nproperty cameraHeight 1\nproperty radians 0\nend_header\n" +
                            Bytes().f32(1).f32(2).f32(3).f32(0).f32(0).f32(1).u8(1).u8(2).u8(3).str();
  const std::string tooLong = std::string(252, 'b') + ".png";  // one byte more than a file name may hold
  const fs::path folder = temp.path() / "unzipped";

  // The file system refuses the entry's name, or another entry stands in its way: that entry is
  // not written (the unzip ends there, or, within limits that go on past damage, leaves it out and
  // unpacks the rest), and the error is the entry's, not the folder's.
  struct Refused {
    std::vector<std::pair<std::string, std::string>> members;
    std::string entry, path;
    int err;
  };
  const std::vector<Refused> refused = {
      {{{"a.txt", "a"}, {tooLong, "b"}, {"c.txt", "c"}}, tooLong, (folder / tooLong).string(), ENAMETOOLONG},
      {{{"x", "a"}, {"x/y.png", "b"}, {"c.txt", "c"}}, "x/y.png", (folder / "x").string(), ENOTDIR},
      {{{"d/", ""}, {"d", "b"}, {"c.txt", "c"}}, "d", (folder / "d").string(), EISDIR},
  };
  for (const Refused& c : refused) {
    SCOPED_TRACE(c.entry.substr(0, 12));
    const std::string archive = archiveOf("refused.zip", c.members);
    fs::remove_all(folder);
    qv::Error error;
    EXPECT_FALSE(SSZipArchive::unzipFileAtPath(archive, folder.string(), true, "", &error));
    EXPECT_EQ(error.code, SSZipArchive::kRefusedEntryError) << error.description;
    EXPECT_FALSE(SSZipArchive::isWriteFailure(error));
    EXPECT_EQ(underlyingCode(error), c.err);
    EXPECT_EQ(error.userInfo[SSZipArchive::kEntryNameKey], qv::Value(c.entry));
    EXPECT_NE(error.description.find(c.path), std::string::npos) << error.description;
    EXPECT_NE(error.description.find(std::strerror(c.err)), std::string::npos) << error.description;
    EXPECT_FALSE(fs::exists(folder / "c.txt")) << "nothing after it is unpacked";

    fs::remove_all(folder);
    SSZipArchiveLimits limits;
    limits.skipDamagedEntries = true;
    std::vector<SSZipArchiveSkippedEntry> skipped;
    EXPECT_FALSE(SSZipArchive::unzipFileAtPath(archive, folder.string(), limits, &skipped, &error));
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0].name, c.entry);
    EXPECT_TRUE(skipped[0].refused);
    EXPECT_EQ(skipped[0].systemCode, c.err);
    EXPECT_EQ(readFile(folder / "c.txt"), "c");
  }

  // A project holding such a member opens without it, and the read's warning names it; nothing of
  // it is left in the library.
  const fs::path library = libraryFolder();
  const auto before = namesIn(library);
  for (const Refused& c : refused) {
    SCOPED_TRACE(c.entry.substr(0, 12));
    auto members = c.members;
    members.insert(members.begin(), {"CloudData.qvk", cloud});
    const std::string project = archiveOf("refused.qvkx", members);
    const auto scan = makeScan();
    qv::Error error;
    EXPECT_TRUE(importFile<QVLQvkxFileImporter>(project, scan, &error)) << error.description;
    EXPECT_EQ(error.userInfo[qv::kFileKey], qv::Value(project));
    EXPECT_EQ(error.userInfo[qv::qvkx::kMemberKey], qv::Value(c.entry));
    EXPECT_EQ(underlyingCode(error), c.err);
    EXPECT_NE(error.description.find(c.entry), std::string::npos) << error.description;
    EXPECT_NE(error.description.find(std::strerror(c.err)), std::string::npos) << error.description;
    withScan(scan, [](QVSDScanObject& s) {
      EXPECT_EQ(s.pointClouds().size(), 1u);
      EXPECT_EQ(verticesOf(s.vertexData()).size(), 2u);
    });
    EXPECT_EQ(namesIn(library), before);
  }

  // A photograph named with 86 CJK characters (fewer than 255 UTF-16 units, more than 255 bytes in
  // UTF-8) is missing from the scan and named, as a damaged one is; the other photograph is kept.
  std::string cjk;
  for (int i = 0; i < 86; ++i) cjk += "\xe5\x86\x99";
  cjk += ".png";
  const std::string qvtx = "<qvtx><textures><texture><filename>a.png</filename></texture><texture><filename>" + cjk +
                           "</filename></texture></textures></qvtx>";
  const auto textured = makeScan();
  qv::Error error;
  EXPECT_TRUE(importFile<QVLQvkxFileImporter>(
      archiveOf("photos.qvkx", {{"CloudData.qvk", cloud}, {"CloudData.qvtx", qvtx}, {"a.png", "A"}, {cjk, "B"}}), textured, &error));
  EXPECT_EQ(error.userInfo[qv::qvkx::kMemberKey], qv::Value(cjk));
  EXPECT_EQ(underlyingCode(error), ENAMETOOLONG);
  withScan(textured, [](QVSDScanObject& s) {
    ASSERT_EQ(s.textures().size(), 1u);
    EXPECT_EQ(readFile(*s.textures()[0]->textureFileName()), "A");
  });
}

TEST_F(SaveFailureTest, ASaveRemovesTheTemporaryFilesOfKilledSavesAndNoOtherFile) {
  const fs::path folder = temp.path() / "scans";
  fs::create_directory(folder);
  // As a save killed while it wrote leaves them: named by the writers' own rule, last written an
  // hour ago, held by no process.
  auto leftOver = [&](const std::string& name) {
    const fs::path file = qv::temporaryPathBeside(folder / name);
    writeFile(file, std::string(4096, 'k'));
    const struct timespec hourAgo[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
    EXPECT_EQ(::utimensat(AT_FDCWD, file.c_str(), hourAgo, 0), 0);
    return file;
  };
  const fs::path killed = leftOver("scan.qvkx");
  const fs::path killedToo = leftOver("other scan.ply");
  // Shaped alike, old and held by nobody, but of a file no writer of ours makes: the user's.
  const fs::path othersLeftover = leftOver("holiday.jpg");
  // A save of another process that is still writing holds its file locked, however old it looks.
  const fs::path inProgress = leftOver("big.qvkx");
  const int held = ::open(inProgress.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  // Files of the user's that only look alike.
  const std::string uuid = killed.filename().string().substr(std::string(".scan.qvkx.").size(), 36);
  std::string lowerUuid = uuid;
  for (auto& c : lowerUuid) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::vector<std::string> theUsers = {".scan.qvkx.tmp", "scan.qvkx." + uuid + ".tmp", ".scan.qvkx." + lowerUuid + ".tmp",
                                             "." + uuid + ".tmp", ".scan.qvkx." + uuid + ".tmp.bak"};
  for (const auto& name : theUsers) writeFile(folder / name, "the user's");
  fs::create_directory(folder / (".folder." + uuid + ".tmp"));

  // A save into the folder, which runs another save into it while it writes: neither takes the
  // other's temporary file for a leftover.
  const auto id = makeScan([](const std::shared_ptr<QVSDScanObject>& scan) {
    scan->setVertexData(vertexBytes({vertex(0, 0, 0), vertex(1, 2, 3, 0, 0, 1)}));
  });
  std::set<std::string> duringTheSave;
  ASSERT_TRUE(qv::writeFileAtomically(
      folder / "notes.txt",
      [&](const qv::ByteSink& sink) {
        sink(qv::bytesOf("first half "));
        EXPECT_TRUE((exportScan<QVLPlyFileExporter>(id, (folder / "scan.ply").string())));
        duringTheSave = namesIn(folder);
        sink(qv::bytesOf("second half"));
      },
      nullptr));
  EXPECT_EQ(readFile(folder / "notes.txt"), "first half second half");

  std::set<std::string> expected(theUsers.begin(), theUsers.end());
  expected.insert({".folder." + uuid + ".tmp", inProgress.filename().string(), othersLeftover.filename().string(), "scan.ply"});
  std::set<std::string> outerTemporary;
  for (const auto& name : duringTheSave)
    if (!expected.count(name)) outerTemporary.insert(name);
  ASSERT_EQ(outerTemporary.size(), 1u) << "only the outer save's own file is there besides the user's";
  EXPECT_EQ(outerTemporary.begin()->rfind(".notes.txt.", 0), 0u);
  expected.insert("notes.txt");
  EXPECT_EQ(namesIn(folder), expected);
  EXPECT_FALSE(fs::exists(killed));
  EXPECT_FALSE(fs::exists(killedToo));
  ::close(held);
}
