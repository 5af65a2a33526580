// The zip wrapper: folders and files zipped and unzipped with their dates and modes, the archive
// checked by Python's zipfile as an independent reader, overwrite rules, damaged archives, and
// entries or links that would land outside the destination.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unzip.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "FormatsTestSupport.h"
#include "formats/SSZipArchive.h"
#include "formats/internal/SystemLog.h"
#include "platform/Format.h"

namespace fs = std::filesystem;

namespace {

void writeText(const fs::path& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary);
  out << contents;
}
std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct RawEntry {
  std::string name;
  std::string data;
  bool link = false;
  std::uint32_t mode = 0644;
  bool stored = false;  // no compression, so the bytes stand in the archive as they are
};

// Writes entries exactly as given (any name, links as Unix link entries): archives our own
// writer would never make.
void writeRawZip(const std::string& path, const std::vector<RawEntry>& entries) {
  zipFile z = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  ASSERT_TRUE(z);
  for (const auto& e : entries) {
    zip_fileinfo zi{};
    zi.tmz_date = {26, 33, 13, 15, 3, 2017};
    zi.external_fa = ((e.link ? 0120000u : 0100000u) | e.mode) << 16;
    ASSERT_EQ(zipOpenNewFileInZip4_64(z, e.name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, e.stored ? 0 : Z_DEFLATED,
                                      e.stored ? 0 : 6, 0, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0, (3u << 8) | 20u, 0, 0),
              ZIP_OK);
    ASSERT_EQ(zipWriteInFileInZip(z, e.data.data(), static_cast<unsigned>(e.data.size())), ZIP_OK);
    ASSERT_EQ(zipCloseFileInZip(z), ZIP_OK);
  }
  ASSERT_EQ(zipClose(z, nullptr), ZIP_OK);
}

std::vector<std::string> entryNames(const std::string& archive) {
  std::vector<std::string> names;
  unzFile z = unzOpen64(archive.c_str());
  if (!z) return names;
  for (int rc = unzGoToFirstFile(z); rc == UNZ_OK; rc = unzGoToNextFile(z)) {
    char name[512];
    unz_file_info64 info;
    unzGetCurrentFileInfo64(z, &info, name, sizeof name, nullptr, 0, nullptr, 0);
    names.emplace_back(name);
  }
  unzClose(z);
  return names;
}

std::time_t localTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

void setTime(const fs::path& p, std::time_t when) {
  struct timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
}

std::time_t modificationTime(const fs::path& p) {
  struct stat st {};
  ::lstat(p.c_str(), &st);
  return st.st_mtim.tv_sec;
}

unsigned modeOf(const fs::path& p) {
  struct stat st {};
  ::lstat(p.c_str(), &st);
  return st.st_mode & 07777;
}

// Every path below the folder, relative to it.
std::set<std::string> listing(const fs::path& folder) {
  std::set<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(folder)) out.insert(e.path().lexically_relative(folder).string());
  return out;
}

struct Recorder : SSZipArchiveDelegate {
  std::vector<std::string> events;
  void zipArchiveWillUnzipArchiveAtPath(const std::string&, const SSZipArchiveGlobalInfo& info) override {
    events.push_back("will archive " + std::to_string(info.numberOfEntries));
  }
  void zipArchiveProgressEvent(std::uint64_t loaded, std::uint64_t total) override {
    events.push_back(loaded == 0 ? "progress start" : loaded == total ? "progress end" : "progress");
  }
  void zipArchiveWillUnzipFileAtIndex(std::uint64_t index, std::uint64_t, const std::string&, const SSZipArchiveFileInfo& info) override {
    events.push_back("will " + std::to_string(index) + " " + info.name);
  }
  void zipArchiveDidUnzipFileAtIndex(std::uint64_t index, std::uint64_t, const std::string&, const SSZipArchiveFileInfo&) override {
    events.push_back("did " + std::to_string(index));
  }
  void zipArchiveDidUnzipArchiveAtPath(const std::string&, const SSZipArchiveGlobalInfo&, const std::string&) override {
    events.push_back("did archive");
  }
};

class ZipArchiveTest : public ::testing::Test {
protected:
  void SetUp() override { qv::setSystemLogEnabled(false); }
  void TearDown() override { qv::setSystemLogEnabled(true); }

  // A folder with a file at the top and two in a subfolder, with known modes and dates.
  fs::path makeSourceFolder() {
    const fs::path src = temp.path() / "src";
    fs::create_directories(src / "sub");
    std::mt19937 random(3);
    std::string binary(100000, '\0');
    for (auto& c : binary) c = static_cast<char>(random());
    files = {{"top.txt", "at the top\n"}, {"sub/a.bin", binary}, {"sub/b.txt", "second\n"}};
    const std::map<std::string, unsigned> modes = {{"top.txt", 0600}, {"sub/a.bin", 0640}, {"sub/b.txt", 0755}};
    for (const auto& [name, contents] : files) {
      writeText(src / name, contents);
      ::chmod((src / name).c_str(), modes.at(name));
      setTime(src / name, fileTime);
    }
    return src;
  }

  qv::test::TempFolder temp;
  std::map<std::string, std::string> files;
  const std::time_t fileTime = localTime(2020, 1, 2, 3, 4, 6);
};

}  // namespace

TEST_F(ZipArchiveTest, AFolderZipsAndUnzipsWithItsContentsModesAndDates) {
  const fs::path src = makeSourceFolder();
  const std::string archive = (temp.path() / "folder.zip").string();
  ASSERT_TRUE(SSZipArchive::createZipFileAtPathWithContentsOfDirectory(archive, src.string()));
  EXPECT_EQ(entryNames(archive), (std::vector<std::string>{"sub/a.bin", "sub/b.txt", "top.txt"}))
      << "paths relative to the folder, and no entry for the subfolder itself";

  const fs::path dst = temp.path() / "dst";
  qv::Error error;
  ASSERT_TRUE(SSZipArchive::unzipFileAtPath(archive, dst.string(), true, "", &error)) << error.text();
  EXPECT_EQ(listing(dst), (std::set<std::string>{"sub", "sub/a.bin", "sub/b.txt", "top.txt"}));
  for (const auto& [name, contents] : files) {
    EXPECT_EQ(readText(dst / name), contents) << name;
    EXPECT_EQ(modeOf(dst / name), modeOf(src / name)) << name;
    EXPECT_EQ(modificationTime(dst / name), fileTime) << name;
  }
  // The folder made for the entries gets their date, also after files were written into it.
  EXPECT_EQ(modificationTime(dst / "sub"), fileTime);
}

TEST_F(ZipArchiveTest, PythonsZipfileReadsOurArchives) {
  if (std::system("command -v python3 > /dev/null 2>&1") != 0) GTEST_SKIP() << "python3 is not installed";
  const fs::path src = makeSourceFolder();
  const std::string archive = (temp.path() / "folder.zip").string();
  ASSERT_TRUE(SSZipArchive::createZipFileAtPathWithContentsOfDirectory(archive, src.string()));
  {
    SSZipArchive more((temp.path() / "more.zip").string());
    ASSERT_TRUE(more.open());
    const qv::Data bytes = {1, 2, 3, 0, 255};
    EXPECT_TRUE(more.writeData(&bytes, "data/bytes.bin"));
    EXPECT_FALSE(more.writeData(nullptr, "none"));
    EXPECT_TRUE(more.writeFileAtPath((src / "top.txt").string(), std::string("renamed.txt")));
    EXPECT_TRUE(more.close());
  }
  const fs::path script = temp.path() / "read_zip.py";
  writeText(script,
                       "import sys, zipfile, zlib\n"
                       "with zipfile.ZipFile(sys.argv[1]) as z:\n"
                       "    assert z.testzip() is None\n"
                       "    for i in z.infolist():\n"
                       "        data = z.read(i)\n"
                       "        print('%s %d %08x %o %04d-%02d-%02d %02d:%02d:%02d' % ((i.filename, len(data), zlib.crc32(data), i.external_attr >> 16) + i.date_time))\n");
  auto run = [&](const std::string& zip) {
    const std::string command = "python3 '" + script.string() + "' '" + zip + "' 2>&1";
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[512];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    EXPECT_EQ(pipe ? ::pclose(pipe) : -1, 0) << out;
    return out;
  };
  auto line = [&](const std::string& name, const std::string& contents, unsigned mode, const std::string& date) {
    const auto crc = ::crc32(0, reinterpret_cast<const Bytef*>(contents.data()), static_cast<uInt>(contents.size()));
    return qv::format("%s %zu %08lx %o %s\n", name.c_str(), contents.size(), static_cast<unsigned long>(crc), mode, date.c_str());
  };
  EXPECT_EQ(run(archive), line("sub/a.bin", files["sub/a.bin"], 0100640, "2020-01-02 03:04:06") +
                              line("sub/b.txt", files["sub/b.txt"], 0100755, "2020-01-02 03:04:06") +
                              line("top.txt", files["top.txt"], 0100600, "2020-01-02 03:04:06"));
  const std::string more = run((temp.path() / "more.zip").string());
  const std::string bytesLine = line("data/bytes.bin", std::string("\1\2\3\0\377", 5), 0, "");
  EXPECT_EQ(more.rfind(bytesLine.substr(0, bytesLine.size() - 1), 0), 0u) << more << "(dated now, with no mode)";
  EXPECT_NE(more.find(line("renamed.txt", files["top.txt"], 0100600, "2020-01-02 03:04:06")), std::string::npos) << more;
}

TEST_F(ZipArchiveTest, FilesAreStoredUnderTheirLastComponentInListOrder) {
  const fs::path src = makeSourceFolder();
  const std::string archive = (temp.path() / "files.zip").string();
  ASSERT_TRUE(SSZipArchive::createZipFileAtPath(
      archive, {(src / "top.txt").string(), (temp.path() / "missing.txt").string(), (src / "sub/b.txt").string(), (src / "sub").string()}));
  EXPECT_EQ(entryNames(archive), (std::vector<std::string>{"top.txt", "b.txt"})) << "missing files and folders are left out";
  EXPECT_FALSE(SSZipArchive::createZipFileAtPath((temp.path() / "no/such/folder.zip").string(), {}));
}

TEST_F(ZipArchiveTest, AFileThatIsNotAnArchiveIsReportedAsSuch) {
  writeText(temp.path() / "not.zip", "this is plain text, not an archive");
  qv::Error error;
  EXPECT_FALSE(SSZipArchive::unzipFileAtPath((temp.path() / "not.zip").string(), (temp.path() / "dst").string(), true, "", &error));
  EXPECT_EQ(error.domain, SSZipArchive::kErrorDomain);
  EXPECT_EQ(error.code, -1);
  EXPECT_EQ(error.description, "failed to open zip file");
}

TEST_F(ZipArchiveTest, BackslashesSeparateFoldersAndOverwriteDecidesAboutExistingFiles) {
  const std::string archive = (temp.path() / "raw.zip").string();
  writeRawZip(archive, {{"dir\\file.txt", "in a folder"}, {"keep.txt", "from the archive"}, {"after.txt", "next"}});
  const fs::path dst = temp.path() / "dst";
  fs::create_directories(dst);
  writeText(dst / "keep.txt", "mine");

  Recorder recorder;
  EXPECT_TRUE(SSZipArchive::unzipFileAtPath(archive, dst.string(), false, "", nullptr, &recorder));
  EXPECT_EQ(readText(dst / "dir" / "file.txt"), "in a folder");
  EXPECT_EQ(readText(dst / "keep.txt"), "mine");
  EXPECT_EQ(readText(dst / "after.txt"), "next") << "the entry after a kept file is still read";
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"will archive 3", "progress start", "will 0 dir\\file.txt", "progress", "did 0",
                                                       "will 1 keep.txt", "progress", "will 1 after.txt", "progress", "did 1",
                                                       "did archive", "progress end"}));

  EXPECT_TRUE(SSZipArchive::unzipFileAtPath(archive, dst.string()));
  EXPECT_EQ(readText(dst / "keep.txt"), "from the archive");
}

TEST_F(ZipArchiveTest, ADamagedEntryFailsAndLeavesNoHalfFile) {
  const std::string archive = (temp.path() / "damaged.zip").string();
  writeRawZip(archive, {{"good.txt", "fine"}, {"bad.txt", "HELLO-DATA-HELLO-DATA", false, 0644, true}});
  std::string bytes = readText(archive);
  bytes[bytes.find("HELLO-DATA") + 3] ^= 0x20;  // the stored bytes no longer match their checksum
  writeText(archive, bytes);
  const fs::path dst = temp.path() / "dst";
  qv::Error error;
  EXPECT_FALSE(SSZipArchive::unzipFileAtPath(archive, dst.string(), true, "", &error));
  EXPECT_EQ(error.code, SSZipArchive::kCannotReadEntryError);
  EXPECT_EQ(error.userInfo.at(SSZipArchive::kEntryNameKey), qv::Value("bad.txt"));
  EXPECT_TRUE(fs::exists(dst / "good.txt"));
  EXPECT_FALSE(fs::exists(dst / "bad.txt"));
}

TEST_F(ZipArchiveTest, WithinLimitsOversizedAndDamagedEntriesAreLeftOutAndTheRestUnpacked) {
  const std::string archive = (temp.path() / "limited.zip").string();
  writeRawZip(archive, {{"big.bin", std::string(5000, 'x')},
                        {"short.txt", "SHORT-DATA", false, 0644, true},
                        {"good.txt", "fine"}});
  // short.txt declares more bytes than it holds (its central entry says 100): it cannot be whole.
  std::string bytes = readText(archive);
  const std::string centralEntry("PK\x01\x02", 4);
  const std::size_t at = bytes.find(centralEntry, bytes.find(centralEntry) + 4);  // the second one
  ASSERT_NE(at, std::string::npos);
  const std::uint32_t declared = 100;
  std::memcpy(bytes.data() + at + 24, &declared, 4);
  writeText(archive, bytes);

  SSZipArchiveLimits limits;
  limits.maximumEntryBytes = 1000;
  limits.skipDamagedEntries = true;
  std::vector<SSZipArchiveSkippedEntry> skipped;
  const fs::path dst = temp.path() / "limited";
  qv::Error error;
  EXPECT_FALSE(SSZipArchive::unzipFileAtPath(archive, dst.string(), limits, &skipped, &error));
  ASSERT_EQ(skipped.size(), 2u);
  EXPECT_EQ(skipped[0].name, "big.bin");
  EXPECT_EQ(skipped[1].name, "short.txt");
  EXPECT_FALSE(fs::exists(dst / "big.bin"));
  EXPECT_FALSE(fs::exists(dst / "short.txt"));
  EXPECT_EQ(readText(dst / "good.txt"), "fine");

  // More in all than allowed ends the unzip, and the error names no entry.
  limits.maximumEntryBytes = UINT64_MAX;
  limits.maximumTotalBytes = 3000;
  skipped.clear();
  EXPECT_FALSE(SSZipArchive::unzipFileAtPath(archive, (temp.path() / "total").string(), limits, &skipped, &error));
  EXPECT_EQ(error.code, SSZipArchive::kLimitExceededError);
  EXPECT_FALSE(error.userInfo.count(SSZipArchive::kEntryNameKey));
  EXPECT_FALSE(fs::exists(temp.path() / "total" / "good.txt"));
}

TEST_F(ZipArchiveTest, EntriesAndLinksLeadingOutOfTheFolderAreRefused) {
  // The destination sits inside a box; nothing may appear in the box beside it.
  const fs::path box = temp.path() / "box";
  const fs::path dst = box / "dst";
  const fs::path outside = temp.path() / "outside";
  fs::create_directories(dst);
  fs::create_directories(outside);
  fs::create_symlink(outside, dst / "planted");  // a link already in the folder, leading out
  const std::string absolute = (temp.path() / "absolute.txt").string();
  const std::string archive = (temp.path() / "slip.zip").string();
  writeRawZip(archive, {
                           {"../up.txt", "no"},
                           {absolute, "no"},
                           {"a/../../up2.txt", "no"},
                           {"..\\up3.txt", "no"},
                           {"out", "../..", true},
                           {"abs", "/", true},
                           {"planted/x.txt", "no"},
                           {"sub/ok.txt", "yes"},
                           {"in", "sub", true},
                           {"in/through.txt", "yes"},
                           {"q", ".", true},
                           {"r", "q/..", true},       // "." then "..": out of the folder
                           {"s", "t/..", true},       // harmless when made...
                           {"t", ".", true},          // ...until this link makes it lead out
                           {"good.txt", "yes"},
                       });
  qv::Error error;
  EXPECT_FALSE(SSZipArchive::unzipFileAtPath(archive, dst.string(), true, "", &error));
  EXPECT_EQ(error.code, SSZipArchive::kUnsafeEntryError);
  EXPECT_EQ(error.userInfo.at(SSZipArchive::kEntryNameKey), qv::Value("../up.txt"));

  EXPECT_EQ(listing(box).count("up.txt") + listing(temp.path()).count("up2.txt") + listing(temp.path()).count("up3.txt"), 0u);
  EXPECT_FALSE(fs::exists(absolute));
  EXPECT_TRUE(fs::is_empty(outside)) << "nothing written through the planted link";
  EXPECT_EQ(listing(box).size(), listing(dst).size() + 1) << "the box holds only the destination";
  EXPECT_EQ(readText(dst / "good.txt"), "yes");
  EXPECT_EQ(readText(dst / "sub" / "ok.txt"), "yes");
  EXPECT_EQ(readText(dst / "sub" / "through.txt"), "yes") << "a link inside the folder may be written through";
  for (const char* refused : {"out", "abs", "r", "s"}) EXPECT_FALSE(fs::is_symlink(dst / refused)) << refused;
  EXPECT_TRUE(fs::is_symlink(dst / "in"));
  EXPECT_TRUE(fs::is_symlink(dst / "q"));
}

TEST(ZipDates, MSDOSWordsDecodeInLocalTime) {
  const std::uint32_t word = (37u << 25) | (4u << 21) | (15u << 16) | (13u << 11) | (33u << 5) | 13u;
  const std::time_t t = SSZipArchive::Clock::to_time_t(SSZipArchive::dateWithMSDOSFormat(word));
  std::tm local{};
  ::localtime_r(&t, &local);
  EXPECT_EQ(local.tm_year + 1900, 2017);
  EXPECT_EQ(local.tm_mon + 1, 4);
  EXPECT_EQ(local.tm_mday, 15);
  EXPECT_EQ(local.tm_hour, 13);
  EXPECT_EQ(local.tm_min, 33);
  EXPECT_EQ(local.tm_sec, 26);

  SSZipArchiveEntryTime fields;
  SSZipArchive::zipInfoSetDate(fields, SSZipArchive::Clock::from_time_t(t));
  EXPECT_EQ(fields.year, 2017u);
  EXPECT_EQ(fields.month, 3u) << "months count from 0";
  EXPECT_EQ(fields.dayOfMonth, 15u);
  EXPECT_EQ(fields.seconds, 26u);
}
