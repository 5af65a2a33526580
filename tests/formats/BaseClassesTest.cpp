// The importer and exporter bases.
#include "FormatsTestSupport.h"
#include "formats/QVLFileExporter.h"
#include "formats/QVLFileImporter.h"

TEST_F(FormatsTest, TheBaseReaderSucceedsWithoutReadingAndClearsTheError) {
  const auto id = makeScan();
  QVLFileImporter importer(path("nothing.qvk"), id);
  importer.setPrivateQueueContext(store->privateContext());
  qv::Error error(qv::kScanErrorDomain, 99, "stale");
  EXPECT_TRUE(importer.parseFile(&error));
  EXPECT_EQ(error.code, 0);
  EXPECT_TRUE(error.domain.empty());
  EXPECT_EQ(importer.percentLoaded(), 0.0f);
  EXPECT_FALSE(importer.shouldCancelImport());
  EXPECT_TRUE(importer.parseFile(nullptr));
}

TEST_F(FormatsTest, TheBaseWriterSucceedsAndCreatesNoFile) {
  QVLFileExporter exporter(makeScan());
  EXPECT_TRUE(exporter.exportScanToFilePath(path("out.qvk")));
  EXPECT_FALSE(std::filesystem::exists(path("out.qvk")));
}
