// The corpus of odd but readable files (tests/formats/corpus, made by make_corpus.py): each rule a
// reader follows in one small file, and what each gives today. A change that makes one of them
// refuse, or lose a point, a cloud or a texture, fails here; one that means to must change the
// table and say why. Every read of them, and of each of them with one number changed, saves as it
// was read.
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "FormatsTestSupport.h"
#include "formats/KeptScan.h"
#include "formats/QVLQvkFileExporter.h"
#include "formats/QVLQvkFileImporter.h"
#include "formats/QVLQvkxFileExporter.h"
#include "formats/QVLQvkxFileImporter.h"
#include "formats/SSZipArchive.h"
#include "formats/internal/ReaderSupport.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDTexture.h"
#include "support/QuietStore.h"

namespace fs = std::filesystem;

class CorpusTest : public FormatsTest {};

TEST_F(CorpusTest, EveryOddButReadableFileOpensWithThePointsItAlwaysHad) {
  struct Expected {
    const char* file;
    std::size_t points, clouds, textures;
    bool warned;  // the read names what it did not read as written
  };
  const std::vector<Expected> table = {
      {"qvk-count-after-two-blanks.qvk", 3, 0, 0, true},
      {"qvk-count-of-a-word.qvk", 3, 0, 0, true},
      {"qvk-count-of-nothing.qvk", 3, 0, 0, true},
      {"qvk-count-with-a-tail.qvk", 3, 1, 0, true},
      {"qvk-rotation-of-no-number.qvk", 3, 1, 0, true},
      {"qvk-calibration-of-no-number.qvk", 3, 1, 0, false},  // a NaN is how a record holds no value
      {"qvk-point-of-no-number.qvk", 3, 0, 0, true},
      {"qvk-point-at-the-origin.qvk", 2, 0, 0, false},
      {"qvk-cut-in-a-point.qvk", 2, 0, 0, true},
      {"qvk-cut-in-an-index-list.qvk", 3, 1, 0, true},
      {"qvk-as-written.qvk", 3, 1, 0, false},
      {"qvk-older-layout.qvk", 1, 1, 0, false},
      {"qvkx-values-of-no-number.qvkx", 1, 1, 0, true},
      {"qvkx-values-with-tails.qvkx", 2, 1, 0, true},
      {"qvkx-rotations-out-of-order.qvkx", 2, 1, 0, false},
      {"qvkx-member-name-too-long.qvkx", 2, 1, 0, true},
      {"qvkx-member-outside-the-folder.qvkx", 2, 1, 0, true},
      {"qvkx-member-repeated.qvkx", 2, 1, 0, true},
      {"qvkx-description-ends-in-zeros.qvkx", 2, 1, 1, false},
      {"qvkx-binary-description-ends-in-zeros.qvkx", 2, 1, 1, true},
      {"qvkx-cut-in-a-point.qvkx", 1, 1, 0, true},
      {"qvkx-member-damaged.qvkx", 2, 1, 0, true},
      {"qvkx-as-written.qvkx", 3, 1, 1, false},
      {"qvkx-rotation-place-empty.qvkx", 4, 1, 0, true},  // the block of the empty place is left out
  };
  const fs::path corpus = QV_FORMATS_CORPUS;
  std::size_t files = 0;
  for (const auto& entry : fs::directory_iterator(corpus)) files += entry.path().extension() != ".py" ? 1 : 0;
  EXPECT_EQ(files, table.size()) << "every file of the corpus has its line";

  for (const auto& e : table) {
    SCOPED_TRACE(e.file);
    const std::string file = (corpus / e.file).string();
    const auto scan = makeScan();
    qv::Error error;
    const bool read = fs::path(file).extension() == ".qvk" ? importFile<QVLQvkFileImporter>(file, scan, &error)
                                                          : importFile<QVLQvkxFileImporter>(file, scan, &error);
    ASSERT_TRUE(read) << error.text();
    EXPECT_EQ(error.code != 0, e.warned) << error.description;
    withScan(scan, [&](QVSDScanObject& s) {
      std::size_t points = 0;
      for (const auto& v : verticesOf(s.vertexData())) points += v.point3DX != 0 || v.point3DY != 0 || v.point3DZ != 0 ? 1 : 0;
      EXPECT_EQ(points, e.points);
      EXPECT_EQ(s.pointClouds().size(), e.clouds);
      EXPECT_EQ(s.textures().size(), e.textures);
    });
  }
}

namespace {

// The files made from one: each with one number changed, a binary one to an infinity and a NaN,
// one in text to "inf", "nan", "", "abc" and "1.5abc". Each variant is named for the messages.
struct Variant {
  std::string name;
  std::string bytes;
};

void binaryVariants(const std::string& name, const std::string& bytes, const std::vector<std::size_t>& floats,
                    std::vector<Variant>& out) {
  for (const std::size_t at : floats) {
    for (const float value : {INFINITY, NAN}) {
      std::string changed = bytes;
      std::memcpy(changed.data() + at, &value, 4);
      out.push_back({name + ": the float at byte " + std::to_string(at) + (std::isnan(value) ? " a NaN" : " an infinity"), changed});
    }
  }
}

// Each part of the text between `begin` and `end` holding a digit, the parts split at single
// spaces and at the given separators.
void textVariants(const std::string& name, const std::string& bytes, std::size_t begin, std::size_t end, const std::string& separators,
                  std::vector<Variant>& out) {
  for (std::size_t at = begin; at < end;) {
    const std::size_t stop = std::min(end, bytes.find_first_of(separators + " ", at));
    const std::string part = bytes.substr(at, stop - at);
    if (part.find_first_of("0123456789") != std::string::npos) {
      for (const char* other : {"inf", "nan", "", "abc", "1.5abc"}) {
        std::string changed = bytes;
        changed.replace(at, part.size(), other);
        out.push_back({name + ": \"" + part + "\" at byte " + std::to_string(at) + " as \"" + other + "\"", changed});
      }
    }
    at = stop + 1;
  }
}

// A scan file: the counts of its header, and every float its header declares in the body.
std::vector<Variant> scanFileVariants(const std::string& name, const std::string& bytes) {
  std::vector<Variant> out;
  const std::size_t body = bytes.find("end_header\n");
  if (body == std::string::npos) return out;
  for (std::size_t line = 0; line < body; line = bytes.find('\n', line) + 1) {
    if (bytes.compare(line, 8, "element ") != 0) continue;
    const std::size_t count = bytes.find(' ', line + 8);
    textVariants(name, bytes, count + 1, bytes.find('\n', line), "", out);
  }
  QVLQvkFileImporter header("", qv::ObjectID());
  const qv::Data data(bytes.begin(), bytes.end());
  qv::Error ignored;
  if (!header.readQvkHeader(data, &ignored)) return out;
  std::vector<std::size_t> floats;
  std::uint64_t at = header.fileOffset();
  for (const auto& collection : header.collections()) {
    for (std::uint64_t item = 0; item < collection.numberOfItems && at < data.size(); ++item) {
      for (const auto& e : collection.elements) {
        if (e.dataType == QVLQvkFileImporterDataTypeFloat32) floats.push_back(at);
        if (e.dataType != QVLQvkFileImporterDataTypeArray) {
          at += e.dataType == QVLQvkFileImporterDataTypeByte ? 1 : QVLQvkFileImporter::dataSizeForElementWithDataType(e.dataType);
          continue;
        }
        const std::uint64_t countBytes = QVLQvkFileImporter::dataSizeForElementWithDataType(e.arraySizeDataType);
        if ((countBytes != 2 && countBytes != 4) || at + countBytes > data.size()) break;
        const std::uint64_t items = countBytes == 2 ? qv::qvk::readScalar<std::uint16_t>(data.data() + at)
                                                    : qv::qvk::readScalar<std::uint32_t>(data.data() + at);
        at += countBytes;
        const std::uint64_t itemBytes = QVLQvkFileImporter::dataSizeForElementWithDataType(e.arrayDataType);
        for (std::uint64_t i = 0; e.arrayDataType == QVLQvkFileImporterDataTypeFloat32 && i < items && at + 4 * i < data.size(); ++i)
          floats.push_back(at + 4 * i);
        at += items * itemBytes;
      }
    }
  }
  floats.erase(std::remove_if(floats.begin(), floats.end(), [&](std::size_t f) { return f + 4 > data.size(); }), floats.end());
  binaryVariants(name, bytes, floats, out);
  return out;
}

// A project's member: a cloud file's header values and the floats of its point slots, a
// description's numbers, a binary description's floats.
std::vector<Variant> memberVariants(const std::string& name, const std::string& bytes) {
  std::vector<Variant> out;
  const std::string extension = qv::asciiLowerCased(std::filesystem::path(name).extension().string());
  if (extension == ".qvk") {
    const std::size_t end = bytes.find("end_header\n");
    if (end == std::string::npos) return out;
    for (std::size_t line = 0; line < end; line = bytes.find('\n', line) + 1) {
      if (bytes.compare(line, 9, "property ") != 0) continue;
      const std::size_t value = bytes.find(' ', line + 9);
      if (value < bytes.find('\n', line)) textVariants(name, bytes, value + 1, bytes.find('\n', line), "", out);
    }
    std::vector<std::size_t> floats;
    for (std::size_t at = end + 11; at + 4 <= bytes.size();) {
      if (std::isnan(qv::qvk::readScalar<float>(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at))) {
        at += 4;
        continue;
      }
      if (at + 27 > bytes.size()) break;
      for (int f = 0; f < 6; ++f) floats.push_back(at + 4 * f);
      at += 27;
    }
    binaryVariants(name, bytes, floats, out);
  } else if (extension == ".qvtx") {
    for (std::size_t close = bytes.find('>'); close != std::string::npos; close = bytes.find('>', close + 1))
      textVariants(name, bytes, close + 1, std::min(bytes.size(), bytes.find('<', close)), "<", out);
  } else if (extension == ".qvt") {
    std::vector<std::size_t> floats;
    for (std::size_t at = 0; at + 37 <= bytes.size(); at += 37 + static_cast<unsigned char>(bytes[at + 36]))
      for (int f = 0; f < 9; ++f) floats.push_back(at + 4 * f);
    binaryVariants(name, bytes, floats, out);
  }
  return out;
}

// A folder in shared memory where the system has it: the test saves some 2,000 files, each synced
// to its disk, which costs a disk ten times the test's own work.
struct WorkFolder {
  fs::path path;
  WorkFolder(const fs::path& fallback) {
    std::error_code ec;
    std::string pattern = "/dev/shm/quorvel-test-XXXXXX";
    path = !::getenv("TMPDIR") && fs::is_directory("/dev/shm", ec) && ::mkdtemp(pattern.data()) ? fs::path(pattern) : fallback / "work";
    fs::create_directories(path, ec);
  }
  ~WorkFolder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

}  // namespace

TEST_F(CorpusTest, EachReadOfTheCorpusAndOfItsFilesWithOneNumberChangedSavesAsItWasRead) {
  using qv::test::KeptScan;
  using qv::test::SavedAs;
  const WorkFolder work(temp.path());
  store = qv::test::makeQuietStore(work.path / "Quorvel");
  auto at = [&](const std::string& name) { return (work.path / name).string(); };
  std::size_t reads = 0, refusedReads = 0, refusedSaves = 0, failures = 0;
  auto forget = [&](const qv::ObjectID& id) {
    onPrivate([&] {
      auto scan = QVSDScanObject::scanObjectWithId(id, false, privateContext());
      if (!scan) return;
      for (const auto& texture : scan->textures()) {
        std::error_code ec;
        fs::remove(texture->textureFileName().value_or(""), ec);  // the library's copies
      }
      privateContext().deleteObject(scan);
      EXPECT_TRUE(privateContext().save());
    });
  };
  auto kept = [&](const qv::ObjectID& id, SavedAs format) {
    KeptScan out;
    withScan(id, [&](QVSDScanObject& scan) { out = qv::test::keptScan(scan, format); });
    return out;
  };
  // Reads the file, saves it with each writer, reads that back and compares what each format keeps.
  auto check = [&](const std::string& name, const std::string& extension, const std::string& bytes) {
    const std::string in = at("in" + extension);
    writeFile(in, bytes);
    const auto scan = makeScan();
    qv::Error error;
    const bool read = extension == ".qvk" ? importFile<QVLQvkFileImporter>(in, scan, &error) : importFile<QVLQvkxFileImporter>(in, scan, &error);
    if (!read) {
      ++refusedReads;
      forget(scan);
      return;
    }
    ++reads;
    for (const SavedAs format : {SavedAs::Scan, SavedAs::Project}) {
      const std::string out = at(format == SavedAs::Scan ? "out.qvk" : "out.qvkx");
      std::error_code ec;
      fs::remove(out, ec);
      const KeptScan before = kept(scan, format);
      qv::Error saveError;
      const bool saved = format == SavedAs::Scan ? exportScan<QVLQvkFileExporter>(scan, out, &saveError)
                                                 : exportScan<QVLQvkxFileExporter>(scan, out, &saveError);
      const std::string what = name + ", saved as " + (format == SavedAs::Scan ? "a scan" : "a project");
      auto fail = [&](const std::string& why) {
        ADD_FAILURE() << what << ": " << why;
        ++failures;
      };
      if (!saved) {
        // A refusal says why and leaves no file.
        if (saveError.code == 0 || saveError.description.empty() || fs::exists(out)) fail("refused without a reason, or left a file");
        ++refusedSaves;
        continue;
      }
      // A save that does not keep every point says how many it did not keep, and only then.
      if (const auto wrong = qv::test::misreportedPoints(before, saveError)) fail(*wrong);
      const auto back = makeScan();
      qv::Error readError;
      const bool reread = format == SavedAs::Scan ? importFile<QVLQvkFileImporter>(out, back, &readError)
                                                  : importFile<QVLQvkxFileImporter>(out, back, &readError);
      if (!reread) fail("the saved file is refused: " + readError.description);
      else if (const auto differs = qv::test::differences(before, kept(back, format))) fail("it reads back " + *differs);
      forget(back);
    }
    forget(scan);
  };

  const fs::path corpus = QV_FORMATS_CORPUS;
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(corpus))
    if (entry.path().extension() != ".py") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    if (failures > 20) break;  // enough to go on
    const std::string name = file.filename().string(), extension = file.extension().string();
    const std::string bytes = readFile(file);
    check(name, extension, bytes);
    if (extension == ".qvk") {
      for (const auto& variant : scanFileVariants(name, bytes)) check(variant.name, extension, variant.bytes);
      continue;
    }
    // A project's members, each changed in turn, zipped again with the others as they were.
    const fs::path members = work.path / ("members-" + name);
    SSZipArchiveLimits limits;
    limits.skipDamagedEntries = true;
    limits.keepFirstOfEachName = true;
    std::vector<SSZipArchiveSkippedEntry> skipped;
    SSZipArchive::unzipFileAtPath(file.string(), members.string(), limits, &skipped, nullptr);
    std::vector<std::pair<std::string, std::string>> unpacked;
    for (const auto& entry : fs::directory_iterator(members))
      if (entry.is_regular_file()) unpacked.emplace_back(entry.path().filename().string(), readFile(entry.path()));
    std::sort(unpacked.begin(), unpacked.end());
    for (std::size_t m = 0; m < unpacked.size(); ++m) {
      for (const auto& variant : memberVariants(unpacked[m].first, unpacked[m].second)) {
        SSZipArchive zip(at("variant.qvkx"));
        ASSERT_TRUE(zip.open());
        for (std::size_t other = 0; other < unpacked.size(); ++other) {
          const std::string& member = other == m ? variant.bytes : unpacked[other].second;
          const qv::Data data(member.begin(), member.end());
          ASSERT_TRUE(zip.writeData(&data, unpacked[other].first));
        }
        ASSERT_TRUE(zip.close());
        check(name + ", " + variant.name, extension, readFile(at("variant.qvkx")));
      }
    }
  }
  // The variants reach every reader's rules: most still open, some are refused.
  EXPECT_GT(reads, 1000u);
  EXPECT_GT(refusedReads, 10u);
  std::printf("%zu reads of the corpus and its variants saved twice each (%zu saves refused); %zu variants refused\n", reads,
              refusedSaves, refusedReads);
  store.reset();  // before its folder goes
  qv::drainMainQueue();
  store = openStore();
}
