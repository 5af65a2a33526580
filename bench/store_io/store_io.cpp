// Object store throughput: saving and reloading a scan of 500,000 vertices, and appending 3,600
// slices to one point cloud, beside the raw sequential write speed of the same bytes on the same disk.
//
// Like is compared with like. The store commits into its write-ahead log with synchronous=NORMAL,
// which does not sync the commit: "store_save" and "raw_write" are page-cache figures (written,
// not yet on the disk). "store_save_durable" adds the sync of the log that makes the save
// survive a power cut, beside "raw_write_durable", a write followed by fsync. The load reads a
// file just written, so it too is a page-cache figure.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/Queue.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/TBCoreDataStoreS1.h"
#include "store/VertexRecords.h"
#include "support/BenchSupport.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kVertices = 500'000;
constexpr int kSliceAppends = 3600;
constexpr int kRuns = 5;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

using qv::bench::median;

qv::SharedData makeVertexData() {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> d(-100.0f, 100.0f);
  std::vector<QVLScanVertex> vertices(kVertices);
  for (std::size_t i = 0; i < kVertices; ++i) {
    auto& v = vertices[i];
    v.lookupId = static_cast<std::int16_t>(1 + i % 8);
    v.point2DX = d(rng);
    v.point2DY = static_cast<std::uint16_t>(i % 960);
    v.point3DX = d(rng);
    v.point3DY = d(rng);
    v.point3DZ = d(rng);
    v.normalZ = 1.0f;
    v.colourRed = 0.5f;
  }
  return qv::dataFromScanVertices(vertices);
}

// write() the bytes into a new file; with `durable`, fsync() it as well.
double rawWriteSeconds(const fs::path& file, const qv::Data& bytes, bool durable) {
  const auto start = Clock::now();
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, std::min<std::size_t>(bytes.size() - done, 1 << 20));
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
  if (durable) ::fsync(fd);
  ::close(fd);
  const double s = seconds(start, Clock::now());
  fs::remove(file);
  return s;
}

std::unique_ptr<TBCoreDataStoreS1> openStore(const fs::path& folder) {
  TBCoreDataStoreS1::Options options;
  options.folder = folder;
  options.presentError = [](const qv::Error& e) { std::fprintf(stderr, "store error: %s\n", e.text().c_str()); };
  return std::make_unique<TBCoreDataStoreS1>(std::move(options));
}

}  // namespace

int main() {
  const char* base = std::getenv("QUORVEL_BENCH_DIR");
  const qv::bench::TempFolder temp("store-io", (base && *base) ? fs::path(base) : fs::path());
  const fs::path& root = temp.path();

  const auto vertexData = makeVertexData();
  const double megabytes = static_cast<double>(vertexData->size()) / 1e6;

  std::vector<double> saveRates, durableSaveRates, loadRates, rawRates, durableRawRates;
  for (int run = 0; run < kRuns; ++run) {
    const fs::path folder = root / ("save-" + std::to_string(run));
    qv::ObjectID id;
    {
      auto store = openStore(folder);
      auto& context = *store->privateContext();
      context.performAndWait([&] {  // made outside the timing: the save is what is measured
        auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(context));
        scan->setSourceFilePath(std::string("/bench/scan.qvk"));
        id = scan->objectID();
        scan->setVertexData(vertexData);
      });
      double s = 0, synced = 0;
      context.performAndWait([&] {
        const auto start = Clock::now();
        if (!context.save()) std::abort();
        s = seconds(start, Clock::now());
        // What synchronous=FULL would add to the commit: the log on the disk.
        const int log = ::open((folder / (std::string(TBCoreDataStoreS1::kStoreFileName) + "-wal")).c_str(), O_RDONLY | O_CLOEXEC);
        if (log < 0 || ::fsync(log) != 0) std::abort();
        ::close(log);
        synced = seconds(start, Clock::now());
      });
      saveRates.push_back(megabytes / s);
      durableSaveRates.push_back(megabytes / synced);
    }
    qv::drainMainQueue();
    {
      auto store = openStore(folder);  // a new run of the application
      auto& context = *store->privateContext();
      double s = 0;
      context.performAndWait([&] {
        const auto start = Clock::now();
        auto scan = QVSDScanObject::scanObjectWithId(id, false, context);
        auto data = scan ? scan->vertexData() : nullptr;
        s = seconds(start, Clock::now());
        if (!data || data->size() != vertexData->size()) std::abort();
      });
      loadRates.push_back(megabytes / s);
    }
    qv::drainMainQueue();
    rawRates.push_back(megabytes / rawWriteSeconds(root / "raw.bin", *vertexData, false));
    durableRawRates.push_back(megabytes / rawWriteSeconds(root / "raw.bin", *vertexData, true));
  }

  // The scan driver's step: a slice record, its block appended to the cloud's file, and a save.
  std::vector<QVLPoint3D> points(700);
  for (std::size_t i = 0; i < points.size(); ++i) {
    points[i].point2DY = static_cast<float>(100 + i);
    points[i].point3DX = 1.0f + static_cast<float>(i);
  }
  std::vector<double> appendMicros, blockMicros;
  for (int run = 0; run < 3; ++run) {
    auto store = openStore(root / ("slices-" + std::to_string(run)));
    auto& context = *store->privateContext();
    context.performAndWait([&] {
      auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(context));
      auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
      if (!context.save()) std::abort();
      double blockSeconds = 0;
      const auto start = Clock::now();
      for (int i = 0; i < kSliceAppends; ++i) {
        auto slice = QVSDScanSlice::createScanSliceInPointCloud(cloud, 0.1f * static_cast<float>(i));
        const auto build = qv::makeSliceBlock(points);
        const auto blockStart = Clock::now();
        if (!cloud->appendSliceBlock(*slice, build.block, nullptr)) std::abort();
        blockSeconds += seconds(blockStart, Clock::now());
        if (!context.save()) std::abort();
      }
      appendMicros.push_back(seconds(start, Clock::now()) * 1e6 / kSliceAppends);
      blockMicros.push_back(blockSeconds * 1e6 / kSliceAppends);
    });
    qv::drainMainQueue();
  }

  std::printf("RESULT store_save_mb_per_s %.1f MB/s\n", median(saveRates));
  std::printf("RESULT raw_write_mb_per_s %.1f MB/s\n", median(rawRates));
  std::printf("RESULT store_save_durable_mb_per_s %.1f MB/s\n", median(durableSaveRates));
  std::printf("RESULT raw_write_durable_mb_per_s %.1f MB/s\n", median(durableRawRates));
  std::printf("RESULT store_load_mb_per_s %.1f MB/s\n", median(loadRates));
  std::printf("RESULT slice_append_us %.1f us\n", median(appendMicros));
  std::printf("RESULT slice_block_write_us %.1f us\n", median(blockMicros));
  return 0;
}
