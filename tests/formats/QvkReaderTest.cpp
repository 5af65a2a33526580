// The qvk reader: a written scan read back, each of the three body readers, header rules, and bad
// files, cancels and failed saves that must leave the scan object as it was.
#include <sqlite3.h>

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <random>
#include <set>

#include "FormatsTestSupport.h"
#include "formats/FormatErrors.h"
#include "formats/QVLQvkFileExporter.h"
#include "formats/QVLQvkFileImporter.h"
#include "platform/NotificationCenter.h"

namespace {

bool isZero(const QVLScanVertex& v) {
  const QVLScanVertex zero;
  return std::memcmp(&v, &zero, sizeof v) == 0;
}

std::vector<float> floatsOf(const qv::SharedData& data) {
  std::vector<float> out(data ? data->size() / 4 : 0);
  if (!out.empty()) std::memcpy(out.data(), data->data(), out.size() * 4);
  return out;
}

std::vector<std::uint32_t> entriesOf(const qv::SharedData& data) {
  std::vector<std::uint32_t> out(data ? data->size() / 4 : 0);
  if (!out.empty()) std::memcpy(out.data(), data->data(), out.size() * 4);
  return out;
}

// The older layout's header, with a vertex and a clouds block.
std::string olderHeader(int vertices, int clouds) {
  std::string h = "QVK\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(vertices) + "\n";
  for (const char* p : {"x", "y", "z", "nx", "ny", "nz"}) h += std::string("property float32 ") + p + "\n";
  for (const char* p : {"red", "green", "blue"}) h += std::string("property byte ") + p + "\n";
  h += "element clouds " + std::to_string(clouds) + "\n";
  for (const char* p : {"cameraOriginX", "cameraOriginY", "cameraOriginZ", "laserOriginX", "laserOriginY", "laserOriginZ", "headHeight"})
    h += std::string("property float32 ") + p + "\n";
  h += "property uint16 id\nproperty byte laser\nproperty uint16 height\nproperty uint16 slices\n"
       "property uint16 cameraWidth\nproperty uint16 cameraHeight\n";
  for (const char* p : {"BEDX", "BEDY", "BEDZ", "BDNX", "BDNY", "BDNZ", "LSNX", "LSNY", "LSNZ", "L1NX", "L1NY", "L1NZ", "L2NX", "L2NY", "L2NZ"})
    h += std::string("property float32 ") + p + "\n";
  h += "property list uint16 float32 radians\nproperty list uint32 uint32 vertexIndicies\nend_header\n";
  return h;
}

void olderCloud(Bytes& b, std::uint16_t id, std::uint8_t laser, std::vector<std::uint32_t> indices) {
  for (int i = 0; i < 7; ++i) b.f32(static_cast<float>(i + 1));  // origins and head height
  b.u16(id).u8(laser).u16(960).u16(1).u16(1280).u16(960);
  for (int i = 0; i < 9; ++i) b.f32(0.5f);  // bed, bed normal, lead screw normal
  b.f32(0.1f).f32(0.2f).f32(0.3f);          // l1 normal
  b.f32(-0.1f).f32(-0.2f).f32(-0.3f);       // l2 normal
  b.u16(1).f32(0.75f);
  b.u32(static_cast<std::uint32_t>(indices.size()));
  for (auto k : indices) b.u32(k);
}

// Deletes the scan object's row behind the store's back just before a save writes, so the save
// (which inserts clouds pointing at it) fails in the store file itself.
class SaveBreaker {
public:
  SaveBreaker(const std::filesystem::path& storeFile, const qv::ObjectContext* context, std::int64_t scanNumber)
      : registration_(qv::NotificationCenter::defaultCenter(),
                      qv::NotificationCenter::defaultCenter().addObserver(
                          qv::ObjectContext::kWillSaveNotification, context, [storeFile, scanNumber](const qv::Notification&) {
                            sqlite3* db = nullptr;
                            ASSERT_EQ(sqlite3_open(storeFile.c_str(), &db), SQLITE_OK);
                            const std::string sql = "DELETE FROM \"QVSDScanObject\" WHERE id = " + std::to_string(scanNumber);
                            EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
                            sqlite3_close(db);
                          })) {}

private:
  qv::ObserverRegistration registration_;
};

}  // namespace

class QvkReaderTest : public FormatsTest {
protected:
  void SetUp() override {
    FormatsTest::SetUp();
    target = makeScan();
  }

  std::unique_ptr<QVLQvkFileImporter> importerFor(const std::string& file) {
    auto importer = std::make_unique<QVLQvkFileImporter>(file, target);
    importer->setPrivateQueueContext(store->privateContext());
    return importer;
  }
  bool read(const std::string& file, qv::Error* error = nullptr) {
    importer = importerFor(file);
    return importer->parseFile(error);
  }
  bool readBytes(const std::string& bytes, qv::Error* error = nullptr) {
    writeFile(path("input.qvk"), bytes);
    return read(path("input.qvk"), error);
  }
  std::string written(const qv::ObjectID& id) {
    EXPECT_TRUE(exportScan<QVLQvkFileExporter>(id, path("written.qvk")));
    return readFile(path("written.qvk"));
  }

  // The scan object to read into is untouched and the context holds no half-read changes.
  void expectTargetUntouched() {
    withScan(target, [&](QVSDScanObject& scan) {
      EXPECT_FALSE(scan.vertexData());
      EXPECT_TRUE(scan.pointClouds().empty());
      EXPECT_FALSE(scan.radiusCutoff());
      EXPECT_FALSE(privateContext().hasChanges());
    });
  }
  static void expectInvalidAt(const qv::Error& error, std::int64_t offset) {
    EXPECT_EQ(error.domain, qv::kScanErrorDomain);
    EXPECT_EQ(error.code, qv::kInvalidFileError) << error.text();
    ASSERT_TRUE(error.userInfo.count(qv::kFileOffsetKey)) << error.text();
    EXPECT_EQ(error.userInfo.at(qv::kFileOffsetKey).toInt64(), offset) << error.text();
    EXPECT_EQ(error.userInfo.at(qv::kDescriptionKey), qv::Value(qv::kQvkInvalidDescription));
    EXPECT_EQ(keysOf(error), (std::set<std::string>{qv::kFileKey, qv::kFileOffsetKey, qv::kDescriptionKey}));
  }
  static std::set<std::string> keysOf(const qv::Error& error) {
    std::set<std::string> keys;
    for (const auto& [key, value] : error.userInfo) keys.insert(key);
    return keys;
  }

  qv::ObjectID target;
  std::unique_ptr<QVLQvkFileImporter> importer;
};

TEST_F(QvkReaderTest, AWrittenScanWithTwoCloudsReadsBack) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> coordinate(-80.0f, 80.0f), unit(0.0f, 1.0f);
  std::vector<QVLScanVertex> source(1, vertex(0, 0, 0));
  for (int i = 1; i < 40; ++i)
    source.push_back(vertex(coordinate(random), coordinate(random), coordinate(random), unit(random), unit(random),
                            unit(random), unit(random), unit(random), unit(random)));
  source[17] = vertex(0, 0, 0, 1, 1, 1, 1, 1, 1);  // at the origin: comes back as an empty record
  // Cloud 1 is a grid of two slices of 960 rows; cloud 2 a plain list.
  std::vector<std::uint32_t> grid(2 * 960, 0);
  for (std::uint32_t k = 1; k <= 20; ++k) grid[(k - 1) * 90] = k;
  const std::vector<std::uint32_t> list = {21, 0, 22, 17, 23, 99, 24};
  const auto id = makeScan([&](const std::shared_ptr<QVSDScanObject>& scan) {
    scan->setVertexData(vertexBytes(source));
    auto first = QVSDPointCloud::createPointCloudForScanObject(scan);
    first->setReferenceId(5);
    first->setLaserNumber(1);
    first->setCameraOriginX(101.25);
    first->setLaserNormalZ(-0.75);
    first->setCameraWidth(1280);
    first->setCameraHeight(960);
    first->setHeight(480.9);
    QVSDScanSlice::createScanSliceInPointCloud(first, 1.5f);
    QVSDScanSlice::createScanSliceInPointCloud(first, 0.5f);
    first->setVertexIndexData(indexBytes(grid));
    auto second = QVSDPointCloud::createPointCloudForScanObject(scan);
    second->setReferenceId(6);
    second->setLaserNumber(2);
    second->setBedNY(0.125);
    second->setLeadScrewNX(0.1);
    second->setRadiansData(std::make_shared<qv::Data>(Bytes().f32(0.25f).f32(0.5f).f32(0.75f).data()));
    second->setVertexIndexData(indexBytes(list));
  });
  writeFile(path("scan.qvk"), written(id));

  const qv::Date before = qv::dateFromMicroseconds(1000000);
  onPrivate([&] {
    QVSDScanObject::scanObjectWithId(target, false, privateContext())->setLastOpenedDate(before);
    ASSERT_TRUE(privateContext().save());
  });
  qv::Error error;
  ASSERT_TRUE(read(path("scan.qvk"), &error)) << error.text();
  EXPECT_EQ(importer->chooseBodyReader(), QVLQvkFileImporter::BodyReader::PredictableMacV2);

  withScan(target, [&](QVSDScanObject& scan) {
    EXPECT_GT(*scan.lastOpenedDate(), before);
    EXPECT_FALSE(scan.unsavedVertexData());
    EXPECT_EQ(scan.radiusCutoff(), static_cast<double>(FLT_MAX));
    EXPECT_EQ(scan.yCutoff(), static_cast<double>(FLT_MIN));
    const auto back = verticesOf(scan.vertexData());
    ASSERT_EQ(back.size(), source.size());
    double sx = 0, sy = 0, sz = 0;
    int counted = 0;
    for (std::size_t i = 0; i < source.size(); ++i) {
      SCOPED_TRACE(i);
      const auto& s = source[i];
      const auto& b = back[i];
      // Only vertices some cloud lists are written; 17 lies at the origin.
      if (i == 0 || i == 17 || i > 24) {
        EXPECT_TRUE(isZero(b));
        continue;
      }
      EXPECT_EQ(std::memcmp(&b.point3DX, &s.point3DX, 24), 0) << "position and normal bit for bit";
      EXPECT_NEAR(b.colourRed, s.colourRed, 1.0 / 255);
      EXPECT_NEAR(b.colourGreen, s.colourGreen, 1.0 / 255);
      EXPECT_NEAR(b.colourBlue, s.colourBlue, 1.0 / 255);
      EXPECT_EQ(b.lookupId, i <= 20 ? 5 : 6) << "the listing cloud's reference";
      EXPECT_EQ(b.point2DY, i <= 20 ? ((i - 1) * 90) % 960 : 0) << "rows only for a grid of whole slices";
      sx += b.point3DX;
      sy += b.point3DY;
      sz += b.point3DZ;
      ++counted;
    }
    const auto centre = scan.objectCenterPoint();
    EXPECT_EQ(centre.x, static_cast<float>(sx / counted)) << std::hexfloat << centre.x;
    EXPECT_EQ(centre.y, static_cast<float>(sy / counted));
    EXPECT_EQ(centre.z, static_cast<float>(sz / counted));

    auto clouds = QVSDPointCloud::sortedPointCloudsForScanObject(std::dynamic_pointer_cast<QVSDScanObject>(scan.shared_from_this()));
    ASSERT_EQ(clouds.size(), 2u);
    const auto& first = clouds[0]->laserNumber() == 1 ? clouds[0] : clouds[1];
    const auto& second = clouds[0]->laserNumber() == 1 ? clouds[1] : clouds[0];
    EXPECT_EQ(first->cameraOriginX(), 101.25);
    EXPECT_EQ(first->laserNormalZ(), -0.75);
    EXPECT_EQ(first->cameraWidth(), 1280);
    EXPECT_EQ(first->cameraHeight(), 960);
    EXPECT_EQ(first->height(), 480.0);
    EXPECT_EQ(floatsOf(first->radiansData()), (std::vector<float>{0.5f, 1.5f}));
    auto writtenGrid = grid;
    std::replace(writtenGrid.begin(), writtenGrid.end(), 17u, 0u);  // names a vertex at the origin
    EXPECT_EQ(entriesOf(first->vertexIndexData()), writtenGrid);
    EXPECT_EQ(first->scanSliceCount(), 0u) << "no slices are made from a qvk file";
    EXPECT_EQ(second->bedNY(), 0.125);
    EXPECT_EQ(second->leadScrewNX(), static_cast<double>(0.1f));
    EXPECT_EQ(floatsOf(second->radiansData()), (std::vector<float>{0.25f, 0.5f, 0.75f}));
    EXPECT_EQ(entriesOf(second->vertexIndexData()), (std::vector<std::uint32_t>{21, 0, 22, 0, 23, 0, 24}));
  });
  EXPECT_GT(importer->percentLoaded(), 0.9f);
}

TEST_F(QvkReaderTest, TheOlderLayoutPicksTheNormalOfItsLaser) {
  Bytes b;
  b.text(olderHeader(3, 2));
  b.zeros(27);
  b.f32(1).f32(2).f32(3).f32(0).f32(0).f32(1).hex({255, 0, 51});
  b.f32(4).f32(5).f32(6).f32(0).f32(1).f32(0).hex({0, 128, 0});
  olderCloud(b, 11, 0, {1});
  olderCloud(b, 12, 3, {2, 7});  // 7 is not below N: skipped
  ASSERT_TRUE(readBytes(b.str()));
  EXPECT_EQ(importer->chooseBodyReader(), QVLQvkFileImporter::BodyReader::PredictableMacV1);
  withScan(target, [&](QVSDScanObject& scan) {
    const auto v = verticesOf(scan.vertexData());
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[1].colourRed, 1.0f) << "255 reads back as 1";
    EXPECT_EQ(v[1].colourBlue, static_cast<float>(51 / 255.0));
    EXPECT_EQ(v[1].lookupId, 11);
    EXPECT_EQ(v[2].lookupId, 12);
    EXPECT_EQ(scan.objectCenterPoint(), (qv::Double3{2.5f, 3.5f, 4.5f}));
    auto clouds = scan.pointClouds();
    ASSERT_EQ(clouds.size(), 2u);
    for (const auto& cloud : clouds) {
      const bool firstLaser = cloud->laserNumber() == 0;
      EXPECT_EQ(cloud->laserNormalX(), static_cast<double>(firstLaser ? 0.1f : -0.1f));
      EXPECT_EQ(cloud->laserNormalZ(), static_cast<double>(firstLaser ? 0.3f : -0.3f));
      EXPECT_EQ(cloud->headHeight(), std::nullopt) << "head height, id and slices are not kept";
    }
  });

  // Files of this layout were also written without any cloud records.
  Bytes bare;
  bare.text(olderHeader(2, 4)).zeros(27).f32(1).f32(1).f32(1).zeros(15);
  target = makeScan();
  ASSERT_TRUE(readBytes(bare.str()));
  withScan(target, [&](QVSDScanObject& scan) {
    EXPECT_EQ(scan.numberOfVertices(), 2u);
    EXPECT_TRUE(scan.pointClouds().empty());
  });
}

TEST_F(QvkReaderTest, TheStructuralReaderDecodesAnyLayoutByItsDeclaredTypes) {
  const std::string header =
      "qvk\n"
      "property float32 orphan\n"  // before any element: dropped
      "format binary_little_endian 1.7\n"
      "comment not the writer's layout\n"
      "element vertex 3\n"
      "property float32 x\nproperty float32 y\nproperty float32 z\n"
      "property byte red\n"
      "property uint32 flags\n"
      "property float32 extra\n"
      "element faces 2\n"  // unknown: its properties join the vertex block
      "property double weight\n"
      "element clouds 1\n"
      "property byte laser\n"
      "property float32 L1NX\nproperty float32 L2NX\n"
      "property uint16 slices\nproperty uint16 ID\nproperty float32 headHeight\n"
      "property list uint8 float32 skipped\n"  // a count type lists do not have: nothing consumed
      "property list uint16 byte tags\n"        // stepped over a byte per item
      "property list uint16 float32 radians\n"
      "property list uint32 uint32 vertexIndicies\n"
      "property list uint16 uint32 other\n"
      "end_header\n";
  Bytes b;
  b.text(header);
  b.f32(1).f32(-1).f32(0).u8(255).u32(0xDEADBEEF).f32(9).f32(0).f32(0);  // kept
  b.f32(0).f32(0).f32(0).u8(9).u32(0).f32(9).f32(0).f32(0);              // at the origin: dropped
  b.f32(2).f32(3).f32(4).u8(0).u32(1).f32(9).f32(0).f32(0);              // moves up into its place
  b.u8(7).f32(0.25f).f32(-0.5f).u16(4).u16(9).f32(3.5f);
  b.u16(3).u8(1).u8(0).u8(0);  // taken for no bytes, these would be read as the rotation count 1
  b.u16(2).f32(10).f32(20);
  b.u32(1).u32(1);
  b.u16(2).u32(5).u32(6);
  ASSERT_TRUE(readBytes(b.str()));
  EXPECT_EQ(importer->chooseBodyReader(), QVLQvkFileImporter::BodyReader::Structural);
  EXPECT_EQ(importer->unhandledValues(), (std::vector<std::string>{"flags", "extra", "weight", "tags", "other"}))
      << "each once, however many items carry it; laser and slices are known";
  EXPECT_EQ(importer->percentLoaded(), 1.0f);
  withScan(target, [&](QVSDScanObject& scan) {
    const auto v = verticesOf(scan.vertexData());
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].point3DY, -1.0f);
    EXPECT_EQ(v[0].colourRed, 0.99609375f) << "bytes scale by 1/256 here";
    EXPECT_EQ(v[1].point3DX, 2.0f);
    EXPECT_EQ(v[1].colourRed, 0.0f);
    EXPECT_TRUE(isZero(v[2])) << "the dropped point leaves nothing behind";
    EXPECT_EQ(v[0].lookupId, 0) << "the structural reader stamps no clouds";
    EXPECT_EQ(scan.objectCenterPoint(), (qv::Double3{1.5, 1.0, 2.0}));
    auto clouds = scan.pointClouds();
    ASSERT_EQ(clouds.size(), 1u);
    EXPECT_EQ(clouds[0]->laserNormalX(), -0.5) << "the later normal wins";
    EXPECT_EQ(clouds[0]->referenceId(), 9);
    EXPECT_EQ(clouds[0]->headHeight(), 3.5);
    EXPECT_EQ(clouds[0]->laserNumber(), std::nullopt);
    EXPECT_EQ(floatsOf(clouds[0]->radiansData()), (std::vector<float>{10, 20}));
    EXPECT_EQ(entriesOf(clouds[0]->vertexIndexData()), (std::vector<std::uint32_t>{1}));
  });
}

TEST_F(QvkReaderTest, HeaderLinesAreMatchedExactlyAfterLowerCasing) {
  Bytes one;
  one.text("QVK\nformat binary_little_endian 1.3\nelement vertex 1\nproperty float32 x\nend_header\n").f32(1);
  const std::string good = one.str();

  qv::Error error;
  std::string crlf;
  for (char c : good.substr(0, good.find("end_header") + 11)) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_FALSE(readBytes(crlf + good.substr(good.size() - 4), &error));
  expectInvalidAt(error, 0);

  for (const char* format : {"format binary_little_endian 2.0", "format ascii 1.0", "FORMAT Binary_Big_Endian 1.3"}) {
    std::string bad = good;
    bad.replace(bad.find("format binary_little_endian 1.3"), 31, format);
    EXPECT_FALSE(readBytes(bad, &error)) << format;
    EXPECT_EQ(error.code, qv::kInvalidFileError);
    EXPECT_EQ(error.userInfo.at(qv::kDescriptionKey), qv::Value(qv::kQvkUnsupportedDescription)) << format;
    EXPECT_EQ(keysOf(error), (std::set<std::string>{qv::kFileKey, qv::kDescriptionKey})) << format;
  }
  std::string minor = good;
  minor.replace(minor.find("1.3"), 3, "1.7");
  EXPECT_TRUE(readBytes(minor, &error)) << error.text();

  // A count with no number in it reads as none, and one with a tail as its number, as such files
  // have always been read: the file opens with its points, and the warning names the count. A
  // count read as 0 leaves the cloud record after the points unread, and the warning says so.
  for (const auto& [count, said] : std::vector<std::pair<std::string, std::string>>{
           {"element Clouds  1", "\"\", holds no number and is read as 0"},
           {"element Clouds abc", "\"abc\", holds no number and is read as 0"},
           {"element clouds ", "\"\", holds no number and is read as 0"},
           {"element Clouds inf", "\"inf\", holds no number and is read as 0"},
           {"element Clouds 1x\x01", "\"1x\\x01\", is read as 1, its tail \"x\\x01\" dropped"}}) {
    std::string odd = good;
    odd.insert(odd.find("end_header"), count + "\nproperty byte laser\n");
    odd += '\0';  // the laser byte of the one cloud "1x" counts
    error = {};
    ASSERT_TRUE(readBytes(odd, &error)) << count << ": " << error.text();
    const bool readAsOne = count.back() == '\x01';
    EXPECT_EQ(error.userInfo.at(qv::kFileOffsetKey).toInt64(), static_cast<std::int64_t>(odd.find(count) + count.find(' ', 8) + 1));
    EXPECT_EQ(error.userInfo.at(qv::kDescriptionKey), qv::Value(readAsOne ? qv::kQvkReadWholeDescription : qv::kQvkInvalidDescription));
    EXPECT_NE(error.description.find(said + " at byte "), std::string::npos) << error.description;
    EXPECT_EQ(error.description.find("nothing was left out") != std::string::npos, readAsOne) << error.description;
    EXPECT_EQ(error.description.find("the 1 byte after the records the counts declare is left unread at byte " +
                                     std::to_string(odd.size() - 1)) != std::string::npos,
              !readAsOne)
        << error.description;
    withScan(target, [](QVSDScanObject& scan) { EXPECT_EQ(verticesOf(scan.vertexData()).size(), 1u); });
  }

  for (const std::string count : {"element vertex  1", "element vertex one"}) {
    std::string odd = good;
    odd.replace(odd.find("element vertex 1"), 16, count);
    target = makeScan();
    EXPECT_FALSE(readBytes(odd, &error)) << count << ": a numberless vertex count leaves no point to show";
    expectInvalidAt(error, static_cast<std::int64_t>(odd.find(count) + count.find(' ', 8) + 1));
    EXPECT_NE(error.description.find("holds no point to show"), std::string::npos) << error.description;
    expectTargetUntouched();
  }

  EXPECT_FALSE(readBytes("qvk\nelement vertex 1\nproperty float32 x\n", &error)) << "no end_header";
  EXPECT_EQ(error.code, qv::kInvalidFileError);
  EXPECT_FALSE(readBytes("ply\nend_header\n", &error));
  expectInvalidAt(error, 0);
}

TEST_F(QvkReaderTest, MissingOrEmptyFilesAreReportedWithTheirCodes) {
  qv::Error error;
  EXPECT_FALSE(read("", &error));
  EXPECT_EQ(error.code, qv::kInvalidParameterError);
  EXPECT_EQ(error.userInfo.at(qv::kParameterKey), qv::Value("localFileUrl"));
  EXPECT_FALSE(read(path("absent.qvk"), &error));
  EXPECT_EQ(error.code, qv::kMissingFileError);
  EXPECT_TRUE(error.userInfo.empty());
  EXPECT_FALSE(readBytes("", &error));
  EXPECT_EQ(error.code, qv::kInvalidFileError);
  EXPECT_TRUE(error.userInfo.empty());
  std::filesystem::create_directory(path("folder.qvk"));
  EXPECT_FALSE(read(path("folder.qvk"), &error));
  EXPECT_EQ(error.code, qv::kInvalidFileError);
  EXPECT_TRUE(error.userInfo.empty());
  expectTargetUntouched();
}

TEST_F(QvkReaderTest, FilesCutShortKeepWhatIsWholeAndSayWhereTheyEnd) {
  const auto id = makeScan([](const std::shared_ptr<QVSDScanObject>& scan) {
    scan->setVertexData(vertexBytes({vertex(0, 0, 0), vertex(1, 2, 3), vertex(4, 5, 6)}));
    auto first = QVSDPointCloud::createPointCloudForScanObject(scan);
    first->setHeadHeight(1.0);  // written first
    first->setVertexIndexData(indexBytes({1, 2}));
    auto second = QVSDPointCloud::createPointCloudForScanObject(scan);
    second->setHeadHeight(2.0);
    second->setVertexIndexData(indexBytes({1, 2, 1, 2}));
  });
  const std::string file = written(id);
  const std::size_t body = file.find("end_header\n") + 11;
  const std::size_t secondCloud = body + 3 * 27 + 87 + 2 + 4 + 2 * 4;
  qv::Error error;

  // In the second cloud's record: the points and the first cloud are whole and kept, the read
  // succeeds, and the error says where the file ends.
  EXPECT_TRUE(readBytes(file.substr(0, secondCloud + 50), &error));
  expectInvalidAt(error, static_cast<std::int64_t>(secondCloud));
  withScan(target, [&](QVSDScanObject& scan) {
    EXPECT_EQ(verticesOf(scan.vertexData()).size(), 3u);
    ASSERT_EQ(scan.pointClouds().size(), 1u);
    EXPECT_FALSE(privateContext().hasChanges());
  });

  // In a structural item: the items before it are read, the one it ends in is not.
  const std::string structural = "qvk\nelement vertex 2\nproperty float32 x\nproperty list uint16 double w\nend_header\n";
  Bytes b;
  b.text(structural).f32(1).u16(1).zeros(8).f32(2).u16(3).zeros(16);
  target = makeScan();
  error = {};
  EXPECT_TRUE(readBytes(b.str(), &error));
  expectInvalidAt(error, static_cast<std::int64_t>(structural.size() + 14 + 4));
  withScan(target, [&](QVSDScanObject& scan) {
    const auto vertices = verticesOf(scan.vertexData());
    ASSERT_EQ(vertices.size(), 2u);
    EXPECT_EQ(vertices[0].point3DX, 1.0f);
    EXPECT_TRUE(isZero(vertices[1]));
  });
  // A count the bytes left cannot hold allocates no more than the bytes can.
  Bytes many;
  many.text("qvk\nelement vertex 3000\nproperty double w\nend_header\n").zeros(20);
  target = makeScan();
  error = {};
  EXPECT_TRUE(readBytes(many.str(), &error));
  expectInvalidAt(error, static_cast<std::int64_t>(many.size() - 4));
  withScan(target, [&](QVSDScanObject& scan) { EXPECT_LE(verticesOf(scan.vertexData()).size(), 3u); });
}

TEST_F(QvkReaderTest, AFileCutInsideTheVertexBlockKeepsItsWholeRecords) {
  const auto id = makeScan([](const std::shared_ptr<QVSDScanObject>& scan) {
    scan->setVertexData(vertexBytes({vertex(0, 0, 0), vertex(1, 2, 3), vertex(4, 5, 6)}));
    QVSDPointCloud::createPointCloudForScanObject(scan)->setVertexIndexData(indexBytes({1, 2}));
  });
  const std::string file = written(id);
  const std::size_t body = file.find("end_header\n") + 11;

  // Cut 10 bytes into the third record: the two before it are read, the clouds are gone with the rest.
  qv::Error error;
  EXPECT_TRUE(readBytes(file.substr(0, body + 2 * 27 + 10), &error));
  expectInvalidAt(error, static_cast<std::int64_t>(body + 2 * 27));
  withScan(target, [&](QVSDScanObject& scan) {
    const auto vertices = verticesOf(scan.vertexData());
    ASSERT_EQ(vertices.size(), 2u) << "no record is made up for the part that is missing";
    EXPECT_TRUE(isZero(vertices[0]));
    EXPECT_EQ(vertices[1].point3DZ, 3.0f);
    EXPECT_EQ(scan.objectCenterPoint(), (qv::Double3{1, 2, 3}));
    EXPECT_TRUE(scan.pointClouds().empty());
    EXPECT_FALSE(privateContext().hasChanges());
  });

  // Cut inside the first record: nothing is whole, so nothing is stored.
  target = makeScan();
  EXPECT_FALSE(readBytes(file.substr(0, body + 10), &error));
  expectInvalidAt(error, static_cast<std::int64_t>(body));
  expectTargetUntouched();
}

TEST_F(QvkReaderTest, AFileCutInsideAVertexIndexListKeepsItsWholeEntries) {
  const auto id = makeScan([](const std::shared_ptr<QVSDScanObject>& scan) {
    scan->setVertexData(vertexBytes({vertex(0, 0, 0), vertex(1, 2, 3), vertex(4, 5, 6)}));
    auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
    cloud->setReferenceId(7);
    cloud->setVertexIndexData(indexBytes({1, 2}));
  });
  const std::string file = written(id);
  qv::Error error;
  EXPECT_TRUE(readBytes(file.substr(0, file.size() - 2), &error));
  expectInvalidAt(error, static_cast<std::int64_t>(file.size() - 4));
  withScan(target, [&](QVSDScanObject& scan) {
    const auto clouds = scan.pointClouds();
    ASSERT_EQ(clouds.size(), 1u);
    EXPECT_EQ(entriesOf(clouds[0]->vertexIndexData()), (std::vector<std::uint32_t>{1}));
    const auto vertices = verticesOf(scan.vertexData());
    ASSERT_EQ(vertices.size(), 3u);
    EXPECT_EQ(vertices[1].lookupId, 7) << "the whole entry still names its cloud";
    EXPECT_EQ(vertices[2].lookupId, 0) << "the cut entry names nothing";
    EXPECT_FALSE(privateContext().hasChanges());
  });

  // The same cut in a list the structural reader keeps.
  const std::string header = "qvk\nelement clouds 1\nproperty uint16 id\nproperty list uint32 uint32 vertexIndicies\nend_header\n";
  Bytes b;
  b.text(header).u16(7).u32(3).u32(5).u32(6).u16(0);
  target = makeScan();
  EXPECT_TRUE(readBytes(b.str(), &error));
  expectInvalidAt(error, static_cast<std::int64_t>(header.size() + 2 + 4 + 8));
  withScan(target, [&](QVSDScanObject& scan) {
    const auto clouds = scan.pointClouds();
    ASSERT_EQ(clouds.size(), 1u);
    EXPECT_EQ(clouds[0]->referenceId(), 7);
    EXPECT_EQ(entriesOf(clouds[0]->vertexIndexData()), (std::vector<std::uint32_t>{5, 6}));
    EXPECT_FALSE(privateContext().hasChanges());
  });
}

TEST_F(QvkReaderTest, HeadersThatWouldOverrunTheReaderAreRefused) {
  qv::Error error;
  const char* headers[] = {
      // more items than the bytes left could hold, in either reader
      "qvk\nelement vertex 99999999999999\nproperty float32 x\nend_header\n",
      "qvk\nelement vertex -1\nproperty float32 x\nproperty float32 y\nproperty float32 z\nproperty float32 nx\n"
      "property float32 ny\nproperty float32 nz\nproperty byte red\nproperty byte green\nproperty byte blue\n"
      "element clouds 0\nproperty float32 x\nend_header\n",
      // items that occupy no bytes at all
      "qvk\nelement clouds 4000000000\nproperty float64 nothing\nend_header\n",
      "qvk\nelement vertex 5\nend_header\n",
      // two vertex blocks: the second would outgrow the first's buffer
      "qvk\nelement vertex 1\nproperty float32 x\nelement vertex 2\nproperty float32 x\nend_header\n",
  };
  for (const char* header : headers) {
    Bytes b;
    b.text(header).f32(1).f32(2).f32(3);
    EXPECT_FALSE(readBytes(b.str(), &error)) << header;
    EXPECT_EQ(error.code, qv::kInvalidFileError) << header;
    EXPECT_TRUE(error.userInfo.count(qv::kFileOffsetKey)) << header;
  }
  expectTargetUntouched();
}

// A small file declaring many tiny records would otherwise make the reader allocate far more than
// the file could hold: each one-byte cloud record becomes a whole stored object.
TEST_F(QvkReaderTest, WhatAReadMayAllocateIsBoundedByTheFilesSize) {
  const std::string header = "qvk\nelement clouds 200000\nproperty byte laser\nend_header\n";
  Bytes many;
  many.text(header).zeros(200000);
  qv::Error error;
  EXPECT_FALSE(readBytes(many.str(), &error)) << "a valid file, but one that would take over 2 GB to read";
  expectInvalidAt(error, static_cast<std::int64_t>(header.size()));  // refused before the body is read
  expectTargetUntouched();

  // Even a small file of such records takes no more than the clouds a real scan has: 256 read,
  // a thousand do not.
  Bytes thousand;
  thousand.text("qvk\nelement clouds 1000\nproperty byte laser\nend_header\n").zeros(1000);
  EXPECT_FALSE(readBytes(thousand.str(), &error));
  expectTargetUntouched();
  Bytes some;
  some.text("qvk\nelement clouds 256\nproperty byte laser\nend_header\n").zeros(256);
  ASSERT_TRUE(readBytes(some.str(), &error)) << error.text();
  withScan(target, [&](QVSDScanObject& scan) { EXPECT_EQ(scan.pointClouds().size(), 256u); });
}

TEST_F(QvkReaderTest, CancellingTheStructuralReadStoresNothing) {
  Bytes b;
  b.text("qvk\nelement vertex 2\nproperty float32 x\nproperty float32 odd\nend_header\n").f32(1).f32(0).f32(2).f32(0);
  writeFile(path("slow.qvk"), b.str());

  auto early = importerFor(path("slow.qvk"));
  early->setShouldCancelImport(true);
  qv::Error error;
  EXPECT_FALSE(early->parseFile(&error));
  EXPECT_TRUE(error.is(qv::kScanErrorDomain, qv::kImportCancelledError));
  EXPECT_TRUE(error.userInfo.empty());
  expectTargetUntouched();

  // The cancel comes while the first item is read, as a user's click would between two values.
  struct CancellingImporter : QVLQvkFileImporter {
    using QVLQvkFileImporter::QVLQvkFileImporter;
    void treatUnhandledValue(const std::string& name) override {
      QVLQvkFileImporter::treatUnhandledValue(name);
      setShouldCancelImport(true);
    }
  };
  CancellingImporter late(path("slow.qvk"), target);
  late.setPrivateQueueContext(store->privateContext());
  EXPECT_FALSE(late.parseFile(&error));
  EXPECT_TRUE(error.is(qv::kScanErrorDomain, qv::kImportCancelledError));
  EXPECT_GT(late.percentLoaded(), 0.0f);
  EXPECT_LT(late.percentLoaded(), 1.0f);
  expectTargetUntouched();

  // The fast readers run to their end whatever the flag says.
  const auto id = makeScan([](const std::shared_ptr<QVSDScanObject>& scan) { scan->setVertexData(vertexBytes({vertex(0, 0, 0), vertex(1, 1, 1)})); });
  writeFile(path("fast.qvk"), written(id));
  auto fast = importerFor(path("fast.qvk"));
  fast->setShouldCancelImport(true);
  EXPECT_TRUE(fast->parseFile(&error)) << error.text();
}

TEST_F(QvkReaderTest, AFailedSaveLeavesNoHalfReadScanInTheContext) {
  const auto id = makeScan([](const std::shared_ptr<QVSDScanObject>& scan) {
    scan->setVertexData(vertexBytes({vertex(0, 0, 0), vertex(1, 1, 1)}));
    QVSDPointCloud::createPointCloudForScanObject(scan);
  });
  writeFile(path("scan.qvk"), written(id));
  const auto storeFile = store->persistentStoreURL();

  {
    SaveBreaker breaker(storeFile, store->privateContext().get(), target.number());
    qv::Error error;
    EXPECT_FALSE(read(path("scan.qvk"), &error));
    EXPECT_FALSE(error.domain.empty()) << "the store's own error comes through";
  }
  onPrivate([&] {
    EXPECT_FALSE(privateContext().hasChanges());
    EXPECT_EQ(privateContext().fetch<QVSDPointCloud>(qv::FetchRequest("QVSDPointCloud")).size(), 1u) << "only the source's";
  });

  // With other unsaved work in the context, only what the read did is undone.
  target = makeScan();
  qv::ObjectID other;
  onPrivate([&] {
    auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(privateContext()));
    scan->setSourceFilePath(std::string("/unsaved/work"));
    other = scan->objectID();
  });
  {
    SaveBreaker breaker(storeFile, store->privateContext().get(), target.number());
    EXPECT_FALSE(read(path("scan.qvk")));
  }
  onPrivate([&] {
    auto pending = privateContext().objectWithIDAs<QVSDScanObject>(other);
    ASSERT_TRUE(pending);
    EXPECT_TRUE(pending->isInserted());
    auto scan = QVSDScanObject::scanObjectWithId(target, false, privateContext());
    ASSERT_TRUE(scan);
    EXPECT_FALSE(scan->vertexData());
    EXPECT_FALSE(scan->radiusCutoff());
    EXPECT_TRUE(scan->pointClouds().empty());
    EXPECT_EQ(privateContext().fetch<QVSDPointCloud>(qv::FetchRequest("QVSDPointCloud")).size(), 1u);
    privateContext().rollback();
  });
}

TEST_F(QvkReaderTest, AMissingScanObjectIsAnErrorNotASilentSuccess) {
  const auto id = makeScan([](const std::shared_ptr<QVSDScanObject>& scan) { scan->setVertexData(vertexBytes({vertex(0, 0, 0), vertex(1, 1, 1)})); });
  writeFile(path("scan.qvk"), written(id));
  onPrivate([&] {
    privateContext().deleteObject(privateContext().objectWithID(target));
    ASSERT_TRUE(privateContext().save());
  });
  qv::Error error;
  EXPECT_FALSE(read(path("scan.qvk"), &error));
  EXPECT_EQ(error.code, qv::kInvalidParameterError);
  EXPECT_EQ(error.userInfo.at(qv::kParameterKey), qv::Value("scanObjectId"));
}

TEST(QvkTypes, DataTypesHaveTheirWordsNamesAndSizes) {
  EXPECT_EQ(QVLQvkFileImporter::convertDataType("float32"), QVLQvkFileImporterDataTypeFloat32);
  EXPECT_EQ(QVLQvkFileImporter::convertDataType("list"), QVLQvkFileImporterDataTypeArray);
  EXPECT_EQ(QVLQvkFileImporter::convertDataType("float"), QVLQvkFileImporterDataTypeUnknown);
  EXPECT_EQ(QVLQvkFileImporter::dataSizeForElementWithDataType(QVLQvkFileImporterDataTypeByte), 0u);
  EXPECT_EQ(QVLQvkFileImporter::dataSizeForElementWithDataType(QVLQvkFileImporterDataTypeDouble), 8u);
  EXPECT_EQ(QVLQvkFileImporter::stringForDataType(QVLQvkFileImporterDataTypeUInt16), "UInt16");
  EXPECT_EQ(QVLQvkFileImporter::stringForDataType(static_cast<QVLQvkFileImporterDataType>(9)), "");
}
