// Vertex records: their byte layouts, slice blocks and the rows they refuse, the point cloud's
// file of blocks, and building a scan's vertex file and index tables from its clouds.
#include <cmath>
#include <cstring>
#include <limits>

#include "StoreTestSupport.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/StoreErrors.h"
#include "store/VertexRecords.h"

namespace fs = std::filesystem;

namespace {

QVLPoint3D pointAt(float row, float x, float y = 0, float z = 0) {
  QVLPoint3D p;
  p.point2DX = 640.25f;
  p.point2DY = row;
  p.point3DX = x;
  p.point3DY = y;
  p.point3DZ = z;
  p.colourRed = 0.5f;
  p.unwrappedPointZ = -1.0f;
  return p;
}

template <class T>
T read(const std::uint8_t* bytes) {
  T v;
  std::memcpy(&v, bytes, sizeof v);
  return v;
}

}  // namespace

TEST(VertexRecords, ScanVerticesLieWhereStoredFilesExpectThem) {
  QVLScanVertex v;
  v.lookupId = -2;
  v.point2DX = 12.5f;
  v.point2DY = 959;
  v.point3DY = 3.0f;
  v.normalZ = -1.0f;
  v.colourBlue = 0.25f;
  std::uint8_t bytes[44];
  std::memcpy(bytes, &v, 44);
  EXPECT_EQ(bytes[0], 0xFE);
  EXPECT_EQ(bytes[1], 0xFF);
  EXPECT_EQ(read<float>(bytes + 2), 12.5f);
  EXPECT_EQ(read<std::uint16_t>(bytes + 6), 959);
  EXPECT_EQ(read<float>(bytes + 12), 3.0f);
  EXPECT_EQ(read<float>(bytes + 28), -1.0f);
  EXPECT_EQ(read<float>(bytes + 40), 0.25f);

  EXPECT_EQ(qv::scanVertexCount(88), 2u);
  EXPECT_EQ(qv::scanVertexCount(100), 2u);
  EXPECT_EQ(qv::scanVertexCount(43), 0u);
  auto data = qv::dataFromScanVertices(std::vector<QVLScanVertex>{v, QVLScanVertex{}});
  ASSERT_EQ(data->size(), 88u);
  auto back = qv::scanVerticesFromData(*data);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].point2DY, 959);
  EXPECT_EQ(back[0].lookupId, -2);
}

TEST(VertexRecords, ABlockHoldsEachPointAtItsRowAndRefusesRowsOutsideTheImage) {
  const std::vector<QVLPoint3D> points{pointAt(0.0f, 1), pointAt(959.9f, 2), pointAt(10.2f, 3), pointAt(10.7f, 4),
                                       pointAt(960.0f, 5), pointAt(-0.5f, 6),
                                       pointAt(std::numeric_limits<float>::quiet_NaN(), 7), pointAt(1e9f, 8)};
  auto build = qv::makeSliceBlock(points);
  EXPECT_EQ(build.placed, 4u);
  EXPECT_EQ(build.refused, 4u);
  EXPECT_EQ(build.block[0].point3DX, 1.0f);
  EXPECT_EQ(build.block[959].point3DX, 2.0f);
  EXPECT_EQ(build.block[10].point3DX, 4.0f);  // the later point of a row wins
  EXPECT_EQ(build.block[10].point2DX, 640.25f);
  EXPECT_EQ(build.block[10].unwrappedPointZ, -1.0f);
  const auto* raw = reinterpret_cast<const std::uint8_t*>(build.block.data());
  EXPECT_EQ(read<float>(raw + 959 * 44 + 4), 2.0f);
  int filled = 0;
  for (const auto& row : build.block) filled += row.hasPoint();
  EXPECT_EQ(filled, 3);
}

TEST(VertexRecords, BuildingScanVerticesDropsEmptyRowsAndPointsAtTheOrigin) {
  std::vector<QVLSliceVertex> grid(2 * qv::kSliceBlockRows);
  grid[5] = QVLSliceVertex::fromPoint(pointAt(5, 1, 2, 3));
  grid[7] = QVLSliceVertex::fromPoint(pointAt(7, 0, 0, 0));  // exactly the origin: "no point"
  grid[7].colourRed = 1.0f;
  grid[qv::kSliceBlockRows + 959] = QVLSliceVertex::fromPoint(pointAt(959, 0, 0, -4));
  grid[qv::kSliceBlockRows + 959].normalY = 0.75f;
  std::vector<QVLScanVertex> out(3);  // records already there stay
  auto index = qv::appendScanVertices(grid, 7, 10, out);
  ASSERT_EQ(out.size(), 5u);
  ASSERT_EQ(index.size(), 2 * qv::kSliceBlockRows);
  EXPECT_EQ(index[5], 10);
  EXPECT_EQ(index[7], 0);
  EXPECT_EQ(index[qv::kSliceBlockRows + 959], 11);
  EXPECT_EQ(std::count(index.begin(), index.end(), 0), static_cast<long>(index.size() - 2));
  EXPECT_EQ(out[3].lookupId, 7);
  EXPECT_EQ(out[3].point2DY, 5);
  const float column = out[3].point2DX;  // unaligned in the packed record: read it by value
  EXPECT_EQ(column, 640.25f);
  EXPECT_EQ(out[3].point3DZ, 3.0f);
  EXPECT_EQ(out[3].colourRed, 0.5f);
  EXPECT_EQ(out[4].point2DY, 959);
  EXPECT_EQ(out[4].normalY, 0.75f);
}

TEST_F(StoreTest, SliceBlocksAppendToTheCloudsFileAtWholeBlockOffsets) {
  onMain([&] {
    auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(mainContext()));
    auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
    auto first = QVSDScanSlice::createScanSliceInPointCloud(cloud, 0.0f);
    const QVLPoint3D p = pointAt(3, 9);
    ASSERT_TRUE(cloud->appendSliceBlock(*first, qv::makeSliceBlock(std::span(&p, 1)).block, nullptr));
    ASSERT_TRUE(cloud->vertexDataFilePath());
    const fs::path file(*cloud->vertexDataFilePath());
    EXPECT_EQ(file.parent_path(), store->filesFolder());
    EXPECT_EQ(file.extension(), ".PointCloudVertices");
    EXPECT_EQ(fs::file_size(file), 42240u);
    EXPECT_EQ(first->dataOffset(), 0);

    // A slice where no row found a point still takes a whole block of zeros.
    auto second = QVSDScanSlice::createScanSliceInPointCloud(cloud, 2.0f);
    ASSERT_TRUE(cloud->appendSliceBlock(*second, qv::SliceBlock{}, nullptr));
    EXPECT_EQ(second->dataOffset(), 42240);
    EXPECT_EQ(fs::file_size(file), 84480u);
    const std::string contents = readFile(file);
    EXPECT_EQ(contents.find_first_not_of('\0', 42240), std::string::npos);
    EXPECT_EQ(read<float>(reinterpret_cast<const std::uint8_t*>(contents.data()) + 3 * 44 + 4), 9.0f);

    // Slices made out of rotation order come back in rotation order.
    auto between = QVSDScanSlice::createScanSliceInPointCloud(cloud, 1.0f);
    const QVLPoint3D q = pointAt(0, 5);
    ASSERT_TRUE(cloud->appendSliceBlock(*between, qv::makeSliceBlock(std::span(&q, 1)).block, nullptr));
    auto grid = cloud->readSliceGrid(nullptr);
    ASSERT_TRUE(grid);
    ASSERT_EQ(grid->size(), 3 * qv::kSliceBlockRows);
    EXPECT_EQ((*grid)[3].point3DX, 9.0f);
    EXPECT_EQ((*grid)[qv::kSliceBlockRows].point3DX, 5.0f);
    EXPECT_FALSE((*grid)[2 * qv::kSliceBlockRows + 3].hasPoint());
  });
}

TEST_F(StoreTest, AMissingCloudFileIsReportedInsteadOfStartingOverAtOffsetZero) {
  onMain([&] {
    auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(mainContext()));
    auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
    for (float r : {0.0f, 1.0f}) {
      auto slice = QVSDScanSlice::createScanSliceInPointCloud(cloud, r);
      ASSERT_TRUE(cloud->appendSliceBlock(*slice, qv::SliceBlock{}, nullptr));
    }
    const std::string path = *cloud->vertexDataFilePath();
    fs::remove(path);
    const auto filesBefore = std::distance(fs::directory_iterator(libraryFolder()), fs::directory_iterator());

    auto third = QVSDScanSlice::createScanSliceInPointCloud(cloud, 2.0f);
    qv::Error error;
    EXPECT_FALSE(cloud->appendSliceBlock(*third, qv::SliceBlock{}, &error));
    EXPECT_TRUE(error.is(qv::kScanErrorDomain, qv::kVertexFileError));
    EXPECT_EQ(qv::find(error.userInfo, qv::Error::kFilePathKey)->toString(), path);
    EXPECT_FALSE(third->dataOffset());
    EXPECT_EQ(cloud->vertexDataFilePath(), path);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(std::distance(fs::directory_iterator(libraryFolder()), fs::directory_iterator()), filesBefore);

    qv::Error readError;
    EXPECT_FALSE(cloud->readSliceGrid(&readError));
    EXPECT_TRUE(readError.is(qv::kScanErrorDomain, qv::kVertexFileError));
  });
}

TEST_F(StoreTest, ASliceWhoseBlockLiesBeyondTheFileMakesTheGridUnreadable) {
  onMain([&] {
    auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(mainContext()));
    auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
    auto slice = QVSDScanSlice::createScanSliceInPointCloud(cloud, 0.0f);
    ASSERT_TRUE(cloud->appendSliceBlock(*slice, qv::SliceBlock{}, nullptr));
    slice->setDataOffset(4);
    qv::Error error;
    EXPECT_FALSE(cloud->readSliceGrid(&error));
    EXPECT_EQ(qv::find(error.userInfo, qv::Error::kOffsetKey)->toInt64(), 4);
  });
}

TEST_F(StoreTest, AScansVertexFileStartsWithAnEmptyRecordAndEachCloudGetsItsIndexTable) {
  qv::ObjectID scanID;
  onPrivate([&] {
    auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(privateContext()));
    scanID = scan->objectID();
    auto low = QVSDPointCloud::createPointCloudForScanObject(scan);
    low->setHeadHeight(0.0);
    auto high = QVSDPointCloud::createPointCloudForScanObject(scan);
    high->setHeadHeight(10.0);
    auto broken = QVSDPointCloud::createPointCloudForScanObject(scan);
    broken->setHeadHeight(20.0);
    broken->setVertexIndexData(qv::dataFromIndexTable(std::vector<std::int32_t>{42}));
    for (auto& [cloud, rows] : {std::pair{low, std::vector<float>{1, 2}}, {high, std::vector<float>{0}},
                                 {broken, std::vector<float>{4}}}) {
      std::vector<QVLPoint3D> points;
      for (float r : rows) points.push_back(pointAt(r, r + 1));
      auto slice = QVSDScanSlice::createScanSliceInPointCloud(cloud, 0.0f);
      ASSERT_TRUE(cloud->appendSliceBlock(*slice, qv::makeSliceBlock(points).block, nullptr));
    }
    fs::remove(*broken->vertexDataFilePath());

    std::vector<std::int64_t> prepared;
    auto recomputeNormals = [&](QVSDPointCloud& cloud, std::vector<QVLSliceVertex>& grid, std::size_t slices) {
      prepared.push_back(*cloud.lookupId());
      EXPECT_EQ(slices, 1u);
      for (auto& v : grid) v.normalZ = 1.0f;
    };
    qv::Error error;
    EXPECT_FALSE(scan->buildVertexDataFromPointClouds(recomputeNormals, &error));  // one cloud was skipped
    EXPECT_TRUE(error.is(qv::kScanErrorDomain, qv::kVertexFileError));
    EXPECT_EQ(prepared, (std::vector<std::int64_t>{1, 2}));

    ASSERT_TRUE(scan->vertexDataFilePath());
    const fs::path file(*scan->vertexDataFilePath());
    EXPECT_EQ(file.extension(), ".VertexData");
    auto vertices = qv::scanVerticesFromData(*qv::readWholeFile(file, nullptr));
    ASSERT_EQ(vertices.size(), 4u);
    const QVLScanVertex zero{};
    EXPECT_EQ(std::memcmp(&vertices[0], &zero, 44), 0);
    EXPECT_EQ(vertices[1].lookupId, 1);
    EXPECT_EQ(vertices[1].point2DY, 1);
    EXPECT_EQ(vertices[1].normalZ, 1.0f);
    EXPECT_EQ(vertices[3].lookupId, 2);
    EXPECT_EQ(vertices[3].point3DX, 1.0f);

    auto lowTable = qv::indexTableFromData(*low->vertexIndexData());
    ASSERT_EQ(lowTable.size(), qv::kSliceBlockRows);
    EXPECT_EQ(lowTable[1], 1);
    EXPECT_EQ(lowTable[2], 2);
    EXPECT_EQ(lowTable[0], 0);
    EXPECT_EQ(qv::indexTableFromData(*high->vertexIndexData())[0], 3);
    EXPECT_EQ(qv::indexTableFromData(*broken->vertexIndexData()), std::vector<std::int32_t>{42});  // left alone

    // A second build rebuilds the same file rather than adding a second copy of every point. A
    // cloud that cannot be read now keeps its records from the last build, renumbered; a table
    // entry that named no record names none. Asked for the skipped clouds, it names them and
    // succeeds with the others.
    fs::remove(*high->vertexDataFilePath());
    const QVLScanVertex highRecord = vertices[3];
    std::vector<qv::Error> skipped;
    EXPECT_TRUE(scan->buildVertexDataFromPointClouds(nullptr, nullptr, &skipped));
    ASSERT_EQ(skipped.size(), 2u);
    EXPECT_TRUE(skipped[0].is(qv::kScanErrorDomain, qv::kVertexFileError));
    EXPECT_NE(skipped[1].description.find("point cloud 3"), std::string::npos) << skipped[1].description;
    EXPECT_EQ(*scan->vertexDataFilePath(), file.string());
    vertices = qv::scanVerticesFromData(*qv::readWholeFile(file, nullptr));
    ASSERT_EQ(vertices.size(), 4u);
    EXPECT_EQ(vertices[1].point2DY, 1);
    EXPECT_EQ(vertices[1].normalZ, 0.0f);  // no normals this time: the records are new
    EXPECT_EQ(qv::indexTableFromData(*low->vertexIndexData())[1], 1);
    EXPECT_EQ(qv::indexTableFromData(*low->vertexIndexData())[2], 2);
    EXPECT_EQ(qv::indexTableFromData(*high->vertexIndexData())[0], 3);
    EXPECT_EQ(std::memcmp(&vertices[3], &highRecord, 44), 0);
    EXPECT_EQ(qv::indexTableFromData(*broken->vertexIndexData()), std::vector<std::int32_t>{0});
    for (const auto& entry : fs::directory_iterator(file.parent_path()))
      EXPECT_NE(entry.path().extension(), ".new") << "a replacement left behind";
    ASSERT_TRUE(privateContext().save());
  });
}

TEST_F(StoreTest, AScanVertexFileWithATornRecordIsNotAppendedTo) {
  onMain([&] {
    auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(mainContext()));
    const fs::path torn = libraryFolder() / "torn.VertexData";
    writeFile(torn, std::string(50, '\0'));
    scan->setVertexDataFilePath(torn.string());
    qv::Error error;
    EXPECT_FALSE(scan->buildVertexDataFromPointClouds(nullptr, &error));
    EXPECT_TRUE(error.is(qv::kScanErrorDomain, qv::kVertexFileError));
    EXPECT_EQ(fs::file_size(torn), 50u);
  });
}
