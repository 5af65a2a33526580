// A scanned object written as a qvk file, reopened and written again: every vertex stays linked to
// the point cloud that lists it.
#include <gtest/gtest.h>

#include "acquisition/ScanHarness.h"
#include "formats/QVLQvkFileExporter.h"
#include "formats/QVLQvkFileImporter.h"
#include "sim/optics/CylinderObject.h"
#include "store/QVSDPointCloud.h"
#include "store/VertexRecords.h"

namespace {

// For each cloud of the scan: how many of its listed vertices carry another cloud's number.
std::size_t misplacedVertices(qv::ObjectContext& context, const qv::ObjectID& id, std::size_t& listed) {
  std::size_t wrong = 0;
  listed = 0;
  context.performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, context);
    auto data = scan->unsavedVertexData();
    if (!data) data = scan->vertexData();
    std::vector<QVLScanVertex> vertices;
    if (data && !data->empty()) vertices = qv::scanVerticesFromData(*data);
    else if (auto path = scan->vertexDataFilePath()) vertices = qv::scanVerticesFromData(*qv::readWholeFile(*path, nullptr));
    for (const auto& cloud : scan->pointClouds()) {
      const auto table = cloud->vertexIndexData();
      if (!table) continue;
      for (const std::int32_t k : qv::indexTableFromData(*table)) {
        if (k <= 0 || static_cast<std::size_t>(k) >= vertices.size()) continue;
        ++listed;
        if (vertices[static_cast<std::size_t>(k)].lookupId != cloud->lookupId().value_or(-1)) ++wrong;
      }
    }
  });
  return wrong;
}

}  // namespace

TEST(ScanFileRoundTrip, AScanWrittenReopenedAndWrittenAgainKeepsItsCloudLinks) {
  qv::sim::Scene scene;
  scene.add(std::make_shared<qv::sim::CylinderObject>(20.0, 10.0, 18.0, 50.0, Eigen::Vector3d(0.8, 0.8, 0.8)));
  qv::test::ScanHarness h(std::move(scene));
  const auto outcome = h.build(30.0f, 0.0f, 100, {100}, {100});
  ASSERT_TRUE(outcome.completed) << (outcome.error ? outcome.error->text() : "");
  std::size_t listed = 0;
  EXPECT_EQ(misplacedVertices(h.context(), h.scanId(), listed), 0u);
  ASSERT_GT(listed, 500u);

  const auto first = h.folder() / "first.qvk";
  QVLQvkFileExporter exporter(h.scanId());
  exporter.setPrivateQueueContext(h.store().privateContext());
  qv::Error error;
  ASSERT_TRUE(exporter.exportScanToFilePath(first.string(), &error)) << error.text();

  qv::ObjectID reopened;
  h.context().performAndWait([&] {
    auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(h.context()));
    h.context().save();
    reopened = scan->objectID();
  });
  QVLQvkFileImporter importer(first.string(), reopened);
  importer.setPrivateQueueContext(h.store().privateContext());
  ASSERT_TRUE(importer.parseFile(&error)) << error.text();
  std::size_t reopenedListed = 0;
  EXPECT_EQ(misplacedVertices(h.context(), reopened, reopenedListed), 0u) << "vertices lost their clouds on reopening";
  EXPECT_EQ(reopenedListed, listed);

  const auto second = h.folder() / "second.qvk";
  QVLQvkFileExporter again(reopened);
  again.setPrivateQueueContext(h.store().privateContext());
  ASSERT_TRUE(again.exportScanToFilePath(second.string(), &error)) << error.text();
  EXPECT_EQ(std::filesystem::file_size(second), std::filesystem::file_size(first));
}
