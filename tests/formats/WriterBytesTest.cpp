// Each writer's whole file on a random scan larger than one write piece, against the same file
// rendered plainly here (snprintf in the C locale, records packed field by field). The scans carry
// the values the number text treats specially: negative zero and tiny negatives ("-0.000000"),
// values on a rounding boundary, values at and beyond 10^12 (formatted in double precision) and
// the largest floats.
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>

#include "FormatsTestSupport.h"
#include "formats/QVLObjFileExporter.h"
#include "formats/QVLPcdFileExporter.h"
#include "formats/QVLPlyFileExporter.h"
#include "formats/QVLQvkFileExporter.h"
#include "formats/QVLXyzFileExporter.h"
#include "formats/QvkFormat.h"

namespace {

// Enough records that every file spans several megabyte pieces.
constexpr std::size_t kRecords = 50000;

const float kEdgeValues[] = {-0.0f, -1e-7f, -4.9e-7f, 5e-7f, 0.0005f, -0.0005f, 0.9999995f, 2.5e-6f, 1e-38f,
                             123456.789f, 999999.9f, 16777217.0f, 1e12f, -1e12f, 3.0e12f, 3.4028235e38f, -3.4028235e38f};

std::string cFixed(double value, int decimals) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return buffer;
}

// Random records with the edge values sprinkled through every field that is written as text.
std::vector<QVLScanVertex> randomVertices(std::size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> position(-150.0f, 150.0f), unit(-1.0f, 1.0f), colour(-0.2f, 1.2f);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(kEdgeValues) - 1);
  std::vector<QVLScanVertex> v(count);
  for (std::size_t i = 0; i < count; ++i) {
    float* fields[6] = {&v[i].point3DX, &v[i].point3DY, &v[i].point3DZ, &v[i].normalX, &v[i].normalY, &v[i].normalZ};
    for (int f = 0; f < 6; ++f) *fields[f] = f < 3 ? position(random) : unit(random);
    if (i % 7 == 3) *fields[i % 6] = kEdgeValues[pick(random)];
    v[i].colourRed = colour(random);
    v[i].colourGreen = colour(random);
    v[i].colourBlue = i % 11 == 0 ? 300.0f : colour(random);
  }
  return v;
}

bool exportable(const QVLScanVertex& v) {
  if (v.point3DX == 0 && v.point3DY == 0 && v.point3DZ == 0) return false;
  if (!std::isfinite(v.point3DX) || !std::isfinite(v.point3DY) || !std::isfinite(v.point3DZ)) return false;
  return std::sqrt(double(v.normalX) * v.normalX + double(v.normalY) * v.normalY + double(v.normalZ) * v.normalZ) > 0;
}

std::uint8_t colourByte(float c) { return static_cast<std::uint8_t>(static_cast<std::int64_t>(double(c) * 255.0) & 0xFF); }

}  // namespace

class WriterBytesTest : public FormatsTest {
protected:
  void SetUp() override {
    FormatsTest::SetUp();
    ASSERT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");  // the reference's snprintf
  }
};

TEST_F(WriterBytesTest, PointWritersWriteWhatTheyAlwaysHaveOnALargeRandomScan) {
  auto vertices = randomVertices(kRecords, 11);
  vertices[5] = vertex(0, 0, 0, 0, 0, 1);           // at the origin: never written
  vertices[6] = vertex(1, 2, 3, 0, 0, 0);           // no normal: never written
  vertices[7] = vertex(1, INFINITY, 3, 0, 0, 1);    // not finite: never written
  // One list naming the vertices in a random order, some twice, with 0 and entries beyond the data.
  std::vector<std::uint32_t> list;
  for (std::uint32_t k = 0; k < kRecords; ++k) list.push_back(k);
  for (std::uint32_t k = 0; k < 500; ++k) list.push_back(k * 31 % kRecords);
  list.push_back(kRecords);
  list.push_back(kRecords + 1000);
  std::shuffle(list.begin(), list.end(), std::mt19937(3));
  const auto id = makeScan([&](const std::shared_ptr<QVSDScanObject>& scan) {
    scan->setVertexData(vertexBytes(vertices));
    QVSDPointCloud::createPointCloudForScanObject(scan)->setVertexIndexData(indexBytes(list));
  });

  std::string lines;
  Bytes records;
  std::size_t count = 0;
  for (std::uint32_t k : list) {
    if (k == 0 || k >= kRecords || !exportable(vertices[k])) continue;
    const QVLScanVertex& v = vertices[k];
    ++count;
    for (float f : {v.point3DX, v.point3DY, v.point3DZ, v.normalX, v.normalY, v.normalZ}) {
      lines += cFixed(f, 6) + ' ';
      records.f32(f);
    }
    lines.back() = '\n';
    records.u8(colourByte(v.colourRed)).u8(colourByte(v.colourGreen)).u8(colourByte(v.colourBlue));
  }
  ASSERT_GT(records.size(), std::size_t{1} << 20);

  ASSERT_TRUE(exportScan<QVLXyzFileExporter>(id, path("scan.xyz")));
  EXPECT_TRUE(readFile(path("scan.xyz")) == lines) << "the XYZ file differs";

  ASSERT_TRUE(exportScan<QVLPcdFileExporter>(id, path("scan.pcd")));
  const std::string n = std::to_string(count);
  EXPECT_TRUE(readFile(path("scan.pcd")) ==
              "# .PCD v.7 - Point Cloud Data file format\nVERSION .7\nFIELDS x y z normal_x normal_y normal_z\n"
              "SIZE 4 4 4 4 4 4\nTYPE F F F F F F\nCOUNT 1 1 1 1 1 1\nWIDTH " + n + "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\n"
              "POINTS " + n + "\nDATA ascii\n" + lines)
      << "the PCD file differs";

  ASSERT_TRUE(exportScan<QVLPlyFileExporter>(id, path("scan.ply")));
  const std::string ply = readFile(path("scan.ply"));
  const std::string header = "ply\nformat binary_little_endian 1.0\ncomment Generated by the Quorvel 3D Scanner\nelement vertex " + n +
                             "\nproperty float x\nproperty float y\nproperty float z\nproperty float normal_x\n"
                             "property float normal_y\nproperty float normal_z\nproperty uchar red\nproperty uchar green\n"
                             "property uchar blue\nend_header\n";
  EXPECT_EQ(ply.substr(0, header.size()), header);
  EXPECT_TRUE(ply.substr(std::min(header.size(), ply.size())) == records.str()) << "the PLY records differ";
}

TEST_F(WriterBytesTest, ObjWritesWhatItAlwaysHasOnALargeRandomMesh) {
  const auto mesh = randomVertices(kRecords / 3 * 3, 12);
  std::vector<std::pair<double, double>> uv(mesh.size());
  std::mt19937_64 random(5);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (auto& [u, v] : uv) u = unit(random), v = unit(random);
  uv[1] = {-0.0, 1.0};  // "-0.000000", and 1 - 1 = "0.000000"
  uv[2] = {0.0000005, 0.9999995};
  uv[3] = {1e15, -2.5e-7};
  auto coordinateData = std::make_shared<qv::Data>(uv.size() * 16);
  std::memcpy(coordinateData->data(), uv.data(), coordinateData->size());
  const std::string atlas = path("atlas.bmp");
  ASSERT_TRUE(cv::imwrite(atlas, cv::Mat(2, 2, CV_8UC3, cv::Scalar(1, 2, 3))));
  const auto id = makeScan([&](const std::shared_ptr<QVSDScanObject>& scan) {
    scan->setMeshedVertexData(vertexBytes(mesh));
    scan->setObjTextureCoordinatesData(coordinateData);
    scan->setObjTextureFileName(atlas);
  });

  std::string vertexLines, textureLines, faces, texturedFaces;
  for (const auto& v : mesh) vertexLines += "v " + cFixed(v.point3DX, 3) + ' ' + cFixed(v.point3DY, 3) + ' ' + cFixed(v.point3DZ, 3) + '\n';
  for (const auto& [u, v] : uv) textureLines += "vt " + cFixed(u, 6) + ' ' + cFixed(1.0 - v, 6) + '\n';
  for (std::size_t t = 1; t <= mesh.size() / 3; ++t) {
    const std::string a = std::to_string(3 * t - 1), b = std::to_string(3 * t - 2), c = std::to_string(3 * t);
    faces += "f " + a + ' ' + b + ' ' + c + '\n';
    texturedFaces += "f " + a + '/' + a + ' ' + b + '/' + b + ' ' + c + '/' + c + '\n';
  }
  ASSERT_GT(vertexLines.size(), std::size_t{1} << 20);

  const auto save = [&](const std::string& file, bool textures) {
    return exportScan<QVLObjFileExporter>(id, path(file), nullptr, [&](auto& e) { e.setShouldExportTextures(textures); });
  };
  ASSERT_TRUE(save("plain.obj", false));
  EXPECT_TRUE(readFile(path("plain.obj")) == vertexLines + faces) << "the OBJ file differs";
  ASSERT_TRUE(save("textured.obj", true));
  EXPECT_TRUE(readFile(path("textured.obj")) == "mtllib textured.mtl\n" + vertexLines + textureLines + "usemtl Material\n" + texturedFaces)
      << "the textured OBJ file differs";
}

TEST_F(WriterBytesTest, QvkWriterWritesWhatItAlwaysHasOnALargeRandomScan) {
  auto vertices = randomVertices(kRecords, 13);
  vertices[0] = vertex(0, 0, 0);
  vertices[9] = vertex(-0.0f, 0, 0, 1, 1, 1);  // empty: its record is zero even where a list names it
  // Two lists in random orders, overlapping, naming about two thirds of the vertices, with 0 and
  // entries beyond the data; the rest of the records are zero.
  std::mt19937 random(4);
  std::vector<std::uint32_t> lists[2];
  for (std::uint32_t k = 0; k < kRecords; ++k) {
    if (k % 3 != 1) lists[0].push_back(k);
    if (k % 3 != 2 && k % 5 != 0) lists[1].push_back(k);
  }
  lists[1].push_back(kRecords + 7);
  for (auto& list : lists) std::shuffle(list.begin(), list.end(), random);
  // The first cloud holds its calibration and sizes; the second holds nothing but its list.
  const char* kCalibration[] = {"cameraOriginX", "cameraOriginY", "cameraOriginZ", "laserOriginX", "laserOriginY", "laserOriginZ",
                                "bedX",          "bedY",          "bedZ",          "bedNX",        "bedNY",        "bedNZ",
                                "leadScrewNX",   "leadScrewNY",   "leadScrewNZ",   "laserNormalX", "laserNormalY", "laserNormalZ"};
  // The edge values but the first, -0: the store keeps a zero without its sign.
  auto calibrationValue = [](int i) { return kEdgeValues[1 + static_cast<std::size_t>(i) % (std::size(kEdgeValues) - 1)]; };
  const auto id = makeScan([&](const std::shared_ptr<QVSDScanObject>& scan) {
    scan->setVertexData(vertexBytes(vertices));
    for (const auto& list : lists) QVSDPointCloud::createPointCloudForScanObject(scan)->setVertexIndexData(indexBytes(list));
    for (const auto& cloud : scan->pointClouds()) {
      if (cloud->vertexIndexData()->size() / 4 != lists[0].size()) continue;
      for (int i = 0; i < 18; ++i) cloud->setValue(kCalibration[i], static_cast<double>(calibrationValue(i)));
      cloud->setHeadHeight(12.7);
      cloud->setReferenceId(70000);
      cloud->setLaserNumber(1);
      cloud->setHeight(480.9);
      cloud->setCameraWidth(1280);
      cloud->setCameraHeight(960);
    }
  });

  std::vector<bool> named(kRecords, false);
  for (const auto& list : lists)
    for (std::uint32_t k : list)
      if (k < kRecords) named[k] = k != 0;
  auto empty = [&](std::uint32_t k) { return vertices[k].point3DX == 0 && vertices[k].point3DY == 0 && vertices[k].point3DZ == 0; };
  Bytes expected;
  expected.text(qv::qvk::headerText(kRecords, 2, "2.5", "37"));
  for (std::uint32_t k = 0; k < kRecords; ++k) {
    const QVLScanVertex& v = vertices[k];
    if (!named[k] || empty(k)) {
      expected.zeros(27);
      continue;
    }
    for (float f : {v.point3DX, v.point3DY, v.point3DZ, v.normalX, v.normalY, v.normalZ}) expected.f32(f);
    expected.u8(colourByte(v.colourRed)).u8(colourByte(v.colourGreen)).u8(colourByte(v.colourBlue));
  }
  // The fixed part of the first as held (the identifier's low 16 bits, the head height and height
  // cut to whole numbers); that of the second with a NaN for each value it does not hold, which
  // reads back unset, and 0 for its whole numbers. No radians; the entries with 0 for those that
  // name no written vertex.
  std::vector<std::uint32_t> cloudOrder;
  withScan(id, [&](QVSDScanObject& scan) {
    for (const auto& cloud : scan.pointClouds()) {
      const auto data = cloud->vertexIndexData();
      cloudOrder.push_back(data->size() / 4 == lists[0].size() ? 0 : 1);
    }
  });
  ASSERT_EQ(cloudOrder.size(), 2u);
  for (std::uint32_t c : cloudOrder) {
    const float unset = std::numeric_limits<float>::quiet_NaN();
    for (int i = 0; i < 6; ++i) expected.f32(c == 0 ? calibrationValue(i) : unset);
    if (c == 0) expected.f32(12.0f).u16(70000 & 0xFFFF).u8(1).u16(480).u16(0).u16(1280).u16(960);
    else expected.f32(0).zeros(11);
    for (int i = 6; i < 18; ++i) expected.f32(c == 0 ? calibrationValue(i) : unset);
    expected.u16(0).u32(static_cast<std::uint32_t>(lists[c].size()));
    for (std::uint32_t k : lists[c]) expected.u32(k >= kRecords || empty(k) ? 0 : k);
  }

  ASSERT_TRUE(exportScan<QVLQvkFileExporter>(id, path("scan.qvk"), nullptr, asVersion25<QVLQvkFileExporter>));
  const std::string file = readFile(path("scan.qvk"));
  ASSERT_EQ(file.size(), expected.size());
  EXPECT_TRUE(file == expected.str()) << "the qvk file differs";
}
