// The corpus of odd but readable files (tests/formats/corpus, made by make_corpus.py): each rule a
// reader follows in one small file, and what each gives today. A change that makes one of them
// refuse, or lose a point, a cloud or a texture, fails here; one that means to must change the
// table and say why.
#include <filesystem>
#include <string>
#include <vector>

#include "FormatsTestSupport.h"
#include "formats/QVLQvkFileImporter.h"
#include "formats/QVLQvkxFileImporter.h"
#include "store/QVSDPointCloud.h"

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
