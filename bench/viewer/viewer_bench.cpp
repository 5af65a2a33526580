// Times the viewer: the load road of 1 and 2 million point scans, one crop pass over 2 million
// records and, under a display, one frame of the renderer with 2 million points.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Queue.h"
#include "platform/Settings.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/TBCoreDataStoreS1.h"
#include "support/ManualClockScope.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"
#include "viewer/model/DisplayRecords.h"
#include "viewer/model/QVLObjectSceneViewController.h"

#ifdef QUORVEL_BENCH_RENDERER
#include "viewer/ui/RendererBench.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// A scanned-looking object: rings of points up a vase, in four clouds.
std::vector<QVLScanVertex> vaseVertices(std::size_t n) {
  std::vector<QVLScanVertex> v(n);
  const std::size_t perRing = 2000;
  for (std::size_t i = 1; i < n; ++i) {
    const float ring = static_cast<float>(i / perRing), a = static_cast<float>(i % perRing) * 6.2831853f / perRing;
    const float y = ring * 0.1f, r = 40 + 10 * std::sin(y * 0.05f);
    QVLScanVertex& p = v[i];
    p.lookupId = static_cast<std::int16_t>(1 + (i * 4) / n);
    p.point3DX = r * std::cos(a);
    p.point3DY = y;
    p.point3DZ = r * std::sin(a);
    p.normalX = std::cos(a);
    p.normalZ = std::sin(a);
    p.colourRed = 0.8f;
    p.colourGreen = 0.5f;
    p.colourBlue = 0.3f;
  }
  return v;
}

double timeLoad(std::size_t n) {
  std::vector<double> runs;
  for (int run = 0; run < 3; ++run) {
    qv::test::TempFolder temp;
    qv::test::ManualClockScope clock;
    TBCoreDataStoreS1::Options options;
    options.folder = temp.path() / "Quorvel";
    TBCoreDataStoreS1 store(std::move(options));
    qv::Settings settings(temp.path() / "Settings.json");
    const auto vertices = vaseVertices(n);
    qv::ObjectID id;
    store.privateContext()->performAndWait([&] {
      auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(*store.privateContext()));
      for (int c = 1; c <= 4; ++c) {
        auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
        cloud->setLookupId(c);
        cloud->setHeadHeight(c * 10.0);
        std::vector<std::uint32_t> list;
        for (std::size_t i = 1; i < n; ++i)
          if (vertices[i].lookupId == c) list.push_back(static_cast<std::uint32_t>(i));
        cloud->setVertexIndexData(qv::viewer::toData(list));
      }
      auto bytes = std::make_shared<qv::Data>(n * sizeof(QVLScanVertex));
      std::memcpy(bytes->data(), vertices.data(), bytes->size());
      scan->setVertexData(bytes);
      store.privateContext()->save();
      id = scan->objectID();
    });
    QVLObjectSceneViewController::Options o;
    o.store = &store;
    o.settings = &settings;
    auto viewer = QVLObjectSceneViewController::create(o);
    viewer->loadScan(id);
    clock.clock()->advanceSeconds(0.3);  // the busy view's delay is the screen's, not work
    const auto start = Clock::now();
    qv::drainMainQueue();
    qv::test::waitFor([&] { return viewer->isDoneLoading(); });
    runs.push_back(msSince(start));
    viewer.reset();
    qv::drainMainQueue();
  }
  return median(runs);
}

double timeCropPass() {
  const std::size_t n = 2'000'000;
  const auto vertices = vaseVertices(n);
  auto records = qv::viewer::buildSortableIndexEntries(vertices, {});
  const auto orders = qv::viewer::computeSortOrders(records);
  const auto visibility = std::make_unique<qv::viewer::LayerVisibility>();
  std::vector<double> runs;
  for (int run = 0; run < 7; ++run) {
    const float top = 150.0f - static_cast<float>(run);
    const auto start = Clock::now();
    const auto list = qv::viewer::cropAndCollect(vertices, records, orders.byNeighbour, top, 5.0f, 45.0f,
                                                 *visibility, true, false);
    runs.push_back(msSince(start));
    if (list.drawnCount == 0) std::printf("# nothing drawn\n");
  }
  return median(runs);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef QUORVEL_BENCH_RENDERER
  if (qv::bench::reexecUnderDisplay(argc, argv)) return 0;
#else
  (void)argc;
  (void)argv;
#endif
  std::printf("RESULT crop_pass_ms %.1f ms\n", timeCropPass());
  std::printf("RESULT viewer_load_1m_ms %.0f ms\n", timeLoad(1'000'000));
  std::printf("RESULT viewer_load_2m_ms %.0f ms\n", timeLoad(2'000'000));
#ifdef QUORVEL_BENCH_RENDERER
  const double frame = qv::bench::renderFrameMs(argc, argv, vaseVertices(2'000'000));
  if (frame >= 0) std::printf("RESULT render_frame_ms %.1f ms\n", frame);
#endif
  std::fflush(stdout);
  return 0;
}
