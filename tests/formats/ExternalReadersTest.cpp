// The exports read by other people's readers: PCL's own PLY and PCD readers, Open3D, and assimp
// for the OBJ and STL files, each comparing point and face counts and a few coordinates.
#include <pcl/io/pcd_io.h>
#include <pcl/io/ply_io.h>
#include <pcl/point_types.h>

#include <opencv2/imgcodecs.hpp>

#include <unistd.h>

#include <regex>

#include "FormatsTestSupport.h"
#include "RunCommand.h"
#include "formats/MeshFormats.h"
#include "formats/QVLObjFileExporter.h"
#include "formats/QVLPcdFileExporter.h"
#include "formats/QVLPlyFileExporter.h"
#include "formats/QVLStlFileExporter.h"

namespace {

using qv::test::runCommand;

std::string quoted(const std::string& path) { return "'" + path + "'"; }

// Debian's own interpreter, which python3-open3d installs into, rather than whatever python3 comes
// first on the path.
std::string debianPython() { return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3"; }

// A number after a label in assimp's summary ("Vertices:           3").
long assimpCount(const std::string& info, const std::string& label) {
  std::smatch m;
  if (!std::regex_search(info, m, std::regex(label + ":\\s+(\\d+)"))) return -1;
  return std::stol(m[1]);
}

std::vector<QVLScanVertex> somePoints() {
  std::vector<QVLScanVertex> v = {vertex(0, 0, 0)};
  for (int i = 1; i <= 50; ++i)
    v.push_back(vertex(0.5f * i, -1.25f * i, 100.0f + i, 0, 0.6f, 0.8f, i / 50.0f, 0.5f, 1.0f - i / 50.0f));
  return v;
}

}  // namespace

class ExternalReadersTest : public FormatsTest {
protected:
  template <typename Exporter>
  std::string save(const qv::ObjectID& id, const std::string& name, bool textures = false) {
    EXPECT_TRUE(exportScan<Exporter>(id, path(name), nullptr, [&](Exporter& exporter) {
      if constexpr (std::is_same_v<Exporter, QVLObjFileExporter>) exporter.setShouldExportTextures(textures);
    }));
    return path(name);
  }
  qv::ObjectID pointScan() {
    return makeScan([](const std::shared_ptr<QVSDScanObject>& scan) {
      scan->setVertexData(vertexBytes(somePoints()));
      std::vector<std::uint32_t> index;
      for (std::uint32_t k = 50; k >= 1; --k) index.push_back(k);  // written in the list's order
      QVSDPointCloud::createPointCloudForScanObject(scan)->setVertexIndexData(indexBytes(index));
    });
  }
  qv::ObjectID meshScan() {
    return makeScan([&](const std::shared_ptr<QVSDScanObject>& scan) {
      // A closed tetrahedron, 4 facets of 3 records.
      const float p[4][3] = {{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {0, 0, 10}};
      const int faces[4][3] = {{0, 1, 2}, {0, 3, 1}, {0, 2, 3}, {1, 3, 2}};
      std::vector<QVLScanVertex> mesh;
      for (const auto& f : faces)
        for (int c : f) mesh.push_back(vertex(p[c][0], p[c][1], p[c][2], 0, 0, 1));
      scan->setMeshedVertexData(vertexBytes(mesh));
      cv::imwrite(path("atlas.png"), cv::Mat(4, 4, CV_8UC3, cv::Scalar(0, 128, 255)));
      scan->setObjTextureFileName(path("atlas.png"));
      scan->setObjTextureCoordinatesData(std::make_shared<qv::Data>(12 * 16, 0));
    });
  }
};

TEST_F(ExternalReadersTest, PclReadsThePlyAndPcdExports) {
  const auto id = pointScan();
  pcl::PointCloud<pcl::PointXYZRGBNormal> ply;
  ASSERT_EQ(pcl::io::loadPLYFile(save<QVLPlyFileExporter>(id, "scan.ply"), ply), 0);
  ASSERT_EQ(ply.size(), 50u);
  EXPECT_EQ(ply[0].x, 25.0f);  // vertex 50 comes first
  EXPECT_EQ(ply[0].y, -62.5f);
  EXPECT_EQ(ply[0].z, 150.0f);
  EXPECT_FLOAT_EQ(ply[0].normal_z, 0.8f);
  EXPECT_EQ(ply[0].r, 255);
  EXPECT_EQ(ply[0].b, 0);
  EXPECT_EQ(ply[49].x, 0.5f);

  pcl::PointCloud<pcl::PointNormal> pcd;
  ASSERT_EQ(pcl::io::loadPCDFile(save<QVLPcdFileExporter>(id, "scan.pcd"), pcd), 0);
  ASSERT_EQ(pcd.size(), 50u);
  EXPECT_EQ(pcd.width, 50u);
  EXPECT_EQ(pcd.height, 1u);
  EXPECT_FLOAT_EQ(pcd[0].z, 150.0f);
  EXPECT_FLOAT_EQ(pcd[49].y, -1.25f);
  EXPECT_FLOAT_EQ(pcd[49].normal_y, 0.6f);
}

TEST_F(ExternalReadersTest, Open3dReadsThePlyAndPcdExports) {
  const std::string python = debianPython();
  if (!runCommand(python + " -c 'import open3d'").first) GTEST_SKIP() << "python3-open3d is not installed";
  const auto id = pointScan();
  // Open3D takes PLY normals only under the names nx, ny, nz; the PLY's normal_x, as PCL names
  // them, it passes over, so the PLY is checked for points and colours, the PCD for normals.
  struct Case {
    std::string file;
    std::string script;
    std::string expected;
  };
  const std::string read = "import open3d as o3d, sys; c = o3d.io.read_point_cloud(sys.argv[1]); p = c.points; ";
  for (const auto& c : {Case{save<QVLPlyFileExporter>(id, "o3d.ply"),
                             read + "k = c.colors; print(len(p), '%.4f %.4f %.4f' % tuple(p[0]), '%.4f %.4f' % (k[0][0], k[0][2]))",
                             "50 25.0000 -62.5000 150.0000 1.0000 0.0000\n"},
                        Case{save<QVLPcdFileExporter>(id, "o3d.pcd"),
                             read + "n = c.normals; print(len(p), '%.4f %.4f %.4f' % tuple(p[49]), '%.4f' % n[49][2])",
                             "50 0.5000 -1.2500 101.0000 0.8000\n"}}) {
    SCOPED_TRACE(c.file);
    const auto [ok, out] = runCommand(python + " -c \"" + c.script + "\" " + quoted(c.file));
    ASSERT_TRUE(ok) << out;
    EXPECT_NE(out.find(c.expected), std::string::npos) << out;
  }
}

TEST_F(ExternalReadersTest, AssimpReadsTheObjAndBothStlForms) {
  if (!runCommand("command -v assimp").first) GTEST_SKIP() << "assimp-utils is not installed";
  const auto id = meshScan();
  std::vector<qv::mesh::StlFacet> facets(2);
  facets[0] = {{0, 0, 1}, {{{0, 0, 0}, {4, 0, 0}, {0, 5, 0}}}};
  facets[1] = {{0, 0, -1}, {{{0, 0, -2}, {0, 5, -2}, {4, 0, -2}}}};
  qv::Error error;
  ASSERT_TRUE(qv::mesh::writeAsciiStlFile(path("ascii.stl"), facets, &error)) << error.description;

  struct Case {
    std::string file;
    long faces;
    const char* maximum;
  };
  for (const auto& c : {Case{save<QVLObjFileExporter>(id, "mesh.obj", true), 4, "(10.000000 10.000000 10.000000)"},
                        Case{save<QVLStlFileExporter>(id, "mesh.stl"), 4, "(10.000000 10.000000 10.000000)"},
                        Case{path("ascii.stl"), 2, "(4.000000 5.000000 0.000000)"}}) {
    SCOPED_TRACE(c.file);
    const auto [ok, info] = runCommand("assimp info " + quoted(c.file) + " -r");
    ASSERT_TRUE(ok) << info;
    EXPECT_EQ(assimpCount(info, "Faces"), c.faces);
    EXPECT_EQ(assimpCount(info, "Vertices"), 3 * c.faces);
    EXPECT_NE(info.find(std::string("Maximum point      ") + c.maximum), std::string::npos) << info;
  }
  const auto [ok, info] = runCommand("assimp info " + quoted(path("mesh.obj")) + " -r");
  EXPECT_NE(info.find("'Material'"), std::string::npos) << info;  // the MTL beside it was found
}
