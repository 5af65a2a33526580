// The ASCII STL importer: the records it stores (negated normals, the cut-off, corner groups),
// lenient lines (upper case, trailing blanks, no final line feed), the files it refuses without
// touching the scan, and the project's own ASCII writer read back.
#include <cmath>
#include <fstream>
#include <iterator>

#include "FormatsTestSupport.h"
#include "formats/FormatErrors.h"
#include "formats/MeshFormats.h"
#include "formats/QVLStlFileImporter.h"

namespace {

std::string facet(const char* normal, std::initializer_list<const char*> corners) {
  std::string out = std::string("  facet normal ") + normal + "\n    outer loop\n";
  for (const char* c : corners) out += std::string("      vertex ") + c + "\n";
  return out + "    endloop\n  endfacet\n";
}

}  // namespace

class StlImportTest : public FormatsTest {
protected:
  qv::ObjectID scanWithCutoff(double yCutoff) {
    return makeScan([&](const std::shared_ptr<QVSDScanObject>& scan) {
      scan->setYCutoff(yCutoff);
      scan->setMeshedVertexData(vertexBytes({vertex(5, 5, 5)}));  // an earlier mesh that a failed read keeps
    });
  }
  bool import(const qv::ObjectID& id, const std::string& text, qv::Error* error = nullptr) {
    writeFile(path("mesh.stl"), text);
    return importFile<QVLStlFileImporter>(path("mesh.stl"), id, error);
  }
  std::vector<QVLScanVertex> meshOf(const qv::ObjectID& id) {
    std::vector<QVLScanVertex> out;
    withScan(id, [&](QVSDScanObject& scan) { out = verticesOf(scan.meshedVertexData()); });
    return out;
  }
};

TEST_F(StlImportTest, RecordsTakeNegatedNormalsTheCutoffAndGreyInFileOrder) {
  const auto id = scanWithCutoff(2.0);
  // Upper case, a trailing blank, a CR LF line and no line feed after "endsolid".
  ASSERT_TRUE(import(id, "SOLID ASCII\r\n" + facet("0 0 1 ", {"1 3 0", "2 1.5 0 ", "3 4 0\r"}) + "ENDSOLID ascii"));
  const auto mesh = meshOf(id);
  ASSERT_EQ(mesh.size(), 3u);
  EXPECT_EQ(mesh[0].point3DX, 1.0f);
  EXPECT_EQ(mesh[0].point3DY, 3.0f);
  EXPECT_EQ(mesh[0].normalZ, -1.0f);
  EXPECT_EQ(mesh[1].point3DY, 2.0f);  // below the cut-off: raised to it, facing down
  EXPECT_EQ(mesh[1].normalY, -1.0f);
  EXPECT_EQ(mesh[1].normalZ, 0.0f);
  EXPECT_EQ(mesh[2].point3DX, 3.0f);
  EXPECT_EQ(mesh[2].colourGreen, 155.0f / 255.0f);
  EXPECT_EQ(mesh[2].lookupId, 0);
}

TEST_F(StlImportTest, CornersAtOnePlaceAreAveragedInGroupsOfThree) {
  // Six facets share the corner (0,0,0); a seventh corner sits at -0.0001, which keeps its minus sign
  // at three decimals and so stays out of the groups.
  std::string text = "solid ascii\n";
  const char* normals[] = {"1 0 0", "0 1 0", "0 0 1", "-1 0 0", "0 -1 0", "0 0 -1"};
  for (const char* n : normals) text += facet(n, {"0 0 0", "9 9 9", "8 8 8"});
  text += facet("1 1 1", {"-0.0001 0 0", "7 7 7", "6 6 6"}) + "endsolid\n";
  const auto id = scanWithCutoff(-100.0);
  ASSERT_TRUE(import(id, text));
  const auto mesh = meshOf(id);
  ASSERT_EQ(mesh.size(), 21u);
  for (int corner : {0, 3, 6}) {
    EXPECT_FLOAT_EQ(mesh[corner].normalX, -1.0f / 3);
    EXPECT_FLOAT_EQ(mesh[corner].normalY, -1.0f / 3);
    EXPECT_FLOAT_EQ(mesh[corner].normalZ, -1.0f / 3);
  }
  for (int corner : {9, 12, 15}) EXPECT_FLOAT_EQ(mesh[corner].normalX + mesh[corner].normalY + mesh[corner].normalZ, 1.0f);
  // The corners at (9,9,9): groups of three, the same two means.
  EXPECT_FLOAT_EQ(mesh[1].normalX, -1.0f / 3);
  EXPECT_FLOAT_EQ(mesh[10].normalY, 1.0f / 3);
  EXPECT_EQ(mesh[18].normalX, -1.0f);  // alone: its own normal
}

TEST_F(StlImportTest, RefusedFilesLeaveTheEarlierMesh) {
  struct Case {
    const char* name;
    std::string text;
    const char* description;
    std::uint64_t offset;
  };
  const std::string one = facet("0 0 1", {"1 0 0", "0 1 0", "0 0 0"});
  const std::vector<Case> cases = {
      {"named solid", "solid mesh\n" + one + "endsolid\n", QVLStlFileImporter::kInvalidDescription, 0},
      {"no endsolid", "solid ascii\n" + one, QVLStlFileImporter::kInvalidDescription, 12 + one.size()},
      {"no vertex", "solid ascii\nendsolid\n", QVLStlFileImporter::kInvalidDescription, 21},
      {"word for a number", "solid ascii\n  facet normal 0 zero 1\n  vertex 1 2 3\nendsolid\n", QVLStlFileImporter::kInvalidDescription, 12},
      {"two numbers", "solid ascii\n  vertex 1 2\nendsolid\n", QVLStlFileImporter::kInvalidDescription, 12},
      // A corner or normal that is not a finite number would poison every later step.
      {"nan corner", "solid ascii\n" + one + "  vertex 1 nan 3\nendsolid\n", QVLStlFileImporter::kInvalidDescription, 12 + one.size()},
      {"overflowing normal", "solid ascii\n  facet normal 0 1e39 0\nendsolid\n", QVLStlFileImporter::kInvalidDescription, 12},
      {"bare vertices", "solid ascii\n" + one + [] { std::string t; for (int i = 0; i < 1000; ++i) t += "vertex\n"; return t; }() + "endsolid\n",
       QVLStlFileImporter::kInvalidDescription, 12 + one.size()},
      {"not a number", "solid ascii\n" + one + facet("0 0 1", {"1 0 0", "nan 1 0", "0 0 0"}) + "endsolid\n",
       QVLStlFileImporter::kInvalidDescription, 12 + one.size() + 55},
      {"infinite", "solid ascii\n" + one + facet("0 0 1", {"1 0 0", "0 inf 0", "0 0 0"}) + "endsolid\n",
       QVLStlFileImporter::kInvalidDescription, 12 + one.size() + 55},
      {"beyond a float", "solid ascii\n" + facet("0 0 1e999", {"1 0 0", "0 1 0", "0 0 0"}) + "endsolid\n",
       QVLStlFileImporter::kInvalidDescription, 12},
      {"exponent at the end of 64 bits", "solid ascii\n" + facet("0 0 1", {"100e9223372036854775807 0 0", "0 1 0", "0 0 0"}) + "endsolid\n",
       QVLStlFileImporter::kInvalidDescription, 12 + 36},
      // A mesh is whole triangles: a facet of any other count is named at its first byte.
      {"facet cut after a corner", "solid ascii\n" + one + "  facet normal 0 0 1\n    outer loop\n      vertex 1 0 0\nendsolid\n",
       QVLStlFileImporter::kInvalidDescription, 12 + one.size()},
      {"corner after its facet's end", "solid ascii\n" + one + "      vertex 1 0 0\nendsolid\n", QVLStlFileImporter::kInvalidDescription,
       12 + one.size()},
      {"facet of four corners", "solid ascii\n" + facet("0 0 1", {"1 0 0", "0 1 0", "0 0 0", "1 1 0"}) + one + "endsolid\n",
       QVLStlFileImporter::kInvalidDescription, 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto id = scanWithCutoff(0.0);
    qv::Error error;
    EXPECT_FALSE(import(id, c.text, &error));
    EXPECT_EQ(error.code, qv::kInvalidFileError);
    EXPECT_EQ(error.userInfo["Description"].toString(), c.description);
    EXPECT_EQ(error.userInfo["DataOffset"].toInt64(), static_cast<std::int64_t>(c.offset));
    EXPECT_EQ(error.userInfo["File"].toString(), path("mesh.stl"));
    EXPECT_EQ(error.userInfo.size(), 3u);  // "File", "DataOffset" and "Description" alone
    const auto mesh = meshOf(id);
    ASSERT_EQ(mesh.size(), 1u);
    EXPECT_EQ(mesh[0].point3DX, 5.0f);
  }
}

TEST_F(StlImportTest, TheProjectsOwnAsciiStlReadsBackExactly) {
  std::vector<qv::mesh::StlFacet> facets(2);
  facets[0] = {{0, 0, 1}, {{{0.1f, 1e-7f, -3.0e6f}, {1.0f / 3, 2, 0}, {0, 1, 123.456f}}}};
  facets[1] = {{0, 1, 0}, {{{5, 6, 7}, {-0.0f, 8, 9}, {10, 11, 12}}}};
  const std::string text = qv::mesh::asciiStlText(facets);
  EXPECT_EQ(text.substr(0, 12), "solid ascii\n");
  EXPECT_EQ(text.substr(text.size() - 15), "endsolid ascii\n");
  const auto id = scanWithCutoff(-1e9);
  ASSERT_TRUE(import(id, text));
  const auto mesh = meshOf(id);
  ASSERT_EQ(mesh.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) {
    const auto& c = facets[i / 3].corners[i % 3];
    EXPECT_EQ(mesh[i].point3DX, c[0]);
    EXPECT_EQ(mesh[i].point3DY, c[1]);
    EXPECT_EQ(mesh[i].point3DZ, c[2]);
  }
  EXPECT_EQ(mesh[0].normalZ, -1.0f);
  EXPECT_TRUE(std::signbit(mesh[4].point3DX));

  // The file goes out a piece at a time: a mesh of megabytes must still be the one whole text.
  std::vector<qv::mesh::StlFacet> many(20000);
  for (std::size_t i = 0; i < many.size(); ++i) {
    const float x = static_cast<float>(i) / 7;
    many[i] = {{0, 0, 1}, {{{x, 0.5f, 1}, {x + 0.25f, 1, 1}, {x, 1, 1.125f}}}};
  }
  qv::Error error;
  ASSERT_TRUE(qv::mesh::writeAsciiStlFile(path("many.stl"), many, &error)) << error.text();
  std::ifstream in(path("many.stl"), std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, qv::mesh::asciiStlText(many));
}

TEST_F(StlImportTest, AnyRunOfBlanksSeparatesTheWordsOfALine) {
  // A tab, or two spaces, between "facet" and "normal", in a CR LF file with tabs before each word.
  const auto id = scanWithCutoff(-10.0);
  const std::string corners = "\touter loop\r\n\tvertex 1 0 0\r\n\tvertex 0 1 0\r\n\tvertex 0 0 1\r\n\tendloop\r\n\tendfacet\r\n";
  ASSERT_TRUE(import(id, "solid\tascii\r\n\tfacet\tnormal 0 0 1\r\n" + corners + "  facet  normal\t1\t0\t0\r\n" + corners +
                             "endsolid\r\n"));
  const auto mesh = meshOf(id);
  ASSERT_EQ(mesh.size(), 6u);
  EXPECT_EQ(mesh[0].normalZ, -1.0f);
  EXPECT_EQ(mesh[3].normalX, -1.0f);
  EXPECT_EQ(mesh[3].normalZ, 0.0f);
}
