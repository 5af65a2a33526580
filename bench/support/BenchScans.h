// What the format and store benchmarks build on: quiet logs, a clock around one call, scans of
// random points and empty scans to read into. Any failure aborts the benchmark.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "formats/internal/SystemLog.h"
#include "platform/Log.h"
#include "store/QVLScanVertex.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDScanObject.h"
#include "support/BenchSupport.h"

namespace qv::bench {

// Nothing on the console or in the system log: the figures are the only output.
inline void quietLogs() {
  qv::log::Setup quiet;
  quiet.console = false;
  quiet.systemLog = false;
  qv::log::setup(quiet);
  qv::setSystemLogEnabled(false);
}

template <typename F>
double secondsFor(F&& f) {
  const auto start = Clock::now();
  f();
  return secondsSince(start);
}

template <typename T>
qv::SharedData bytesOf(const std::vector<T>& values) {
  auto data = std::make_shared<qv::Data>(values.size() * sizeof(T));
  std::memcpy(data->data(), values.data(), data->size());
  return data;
}

// `records` vertex records, record 0 left empty as the scanner leaves it, the others at random
// in a 200 mm cube with random colours and normals; with `lasers` > 0 record i carries the lookup
// id 1 + i % lasers.
inline qv::SharedData randomScanVertices(std::size_t records, int lasers = 0) {
  std::mt19937 random(1);
  std::uniform_real_distribution<float> position(-100.0f, 100.0f), unit(0.0f, 1.0f);
  std::vector<QVLScanVertex> v(records);
  for (std::size_t i = 1; i < records; ++i) {
    if (lasers > 0) v[i].lookupId = static_cast<std::int16_t>(1 + i % lasers);
    v[i].point3DX = position(random);
    v[i].point3DY = position(random);
    v[i].point3DZ = position(random);
    v[i].normalX = unit(random);
    v[i].normalY = unit(random);
    v[i].normalZ = 0.5f + unit(random);
    v[i].colourRed = unit(random);
    v[i].colourGreen = unit(random);
    v[i].colourBlue = unit(random);
  }
  return bytesOf(v);
}

// A new scan with nothing in it, saved, as opening a file starts from.
inline qv::ObjectID emptyScan(qv::ObjectContext& context) {
  qv::ObjectID id;
  context.performAndWait([&] {
    auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(context));
    if (!context.save()) std::abort();
    id = scan->objectID();
  });
  return id;
}

// What the viewer's export menu saves before it hands the scan to a writer, on the context that
// holds the scan open: the viewer's state (its snapshot, angles, camera and background), then the
// scan's last-opened date. Returns the seconds both saves took.
inline double saveAsTheExportMenuDoes(qv::ObjectContext& viewer, const qv::ObjectID& id, int run) {
  return secondsFor([&] {
    viewer.performAndWait([&] {
      auto scan = QVSDScanObject::scanObjectWithId(id, false, viewer);
      if (!scan) std::abort();
      scan->setSnapshotFilePath("/snapshots/" + std::to_string(run) + ".tiff");
      scan->setPitchAngle(0.25 * run);
      scan->setYawAngle(0.5 * run);
      scan->setCameraPosition({0.0, 100.0 + run, 400.0});
      scan->setBackgroundColour(qv::Array{0.2, 0.2, 0.2, 1.0});
      if (!viewer.save()) std::abort();
    });
    viewer.performAndWait([&] {
      if (!QVSDScanObject::scanObjectWithId(id, true, viewer) || !viewer.save()) std::abort();
    });
  });
}

}  // namespace qv::bench
