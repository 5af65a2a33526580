// Writes and reads a qvk scan file of 1,000,000 points, beside a plain sequential write and read
// of the same number of bytes, and prints the medians of five runs. The read is also split into
// its two parts, so that its cost is seen where it lies: decoding the file's bytes (already in
// memory) into scan contents, and the store's save of the decoded scan. The writes are synced to the
// disk (the exporter syncs its file before it replaces the target, and so does the raw write); the
// reads are page-cache figures (the file was just written), and so is the store's save, whose
// write-ahead log commits with synchronous=NORMAL.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "formats/QVLQvkFileExporter.h"
#include "formats/QVLQvkFileImporter.h"
#include "formats/internal/SystemLog.h"
#include "platform/Log.h"
#include "platform/Queue.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/TBCoreDataStoreS1.h"
#include "support/BenchSupport.h"
#include "support/RawFileIo.h"

namespace fs = std::filesystem;
using Seconds = std::chrono::duration<double>;

namespace {

constexpr std::size_t kVertices = 1000000;
constexpr int kRuns = 5;

using qv::bench::median;

template <typename F>
double timed(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return Seconds(std::chrono::steady_clock::now() - start).count();
}

qv::SharedData makeVertices() {
  std::mt19937 random(1);
  std::uniform_real_distribution<float> position(-100.0f, 100.0f), unit(0.0f, 1.0f);
  std::vector<QVLScanVertex> v(kVertices);
  for (std::size_t i = 1; i < kVertices; ++i) {
    v[i].lookupId = static_cast<std::int16_t>(1 + i % 2);
    v[i].point3DX = position(random);
    v[i].point3DY = position(random);
    v[i].point3DZ = position(random);
    v[i].normalX = unit(random);
    v[i].normalY = unit(random);
    v[i].normalZ = unit(random);
    v[i].colourRed = unit(random);
    v[i].colourGreen = unit(random);
    v[i].colourBlue = unit(random);
  }
  auto data = std::make_shared<qv::Data>(kVertices * sizeof(QVLScanVertex));
  std::memcpy(data->data(), v.data(), data->size());
  return data;
}

// Each of two clouds (one per laser) names every other vertex.
qv::SharedData makeIndex(std::uint32_t first) {
  std::vector<std::uint32_t> entries;
  for (std::uint32_t k = first; k < kVertices; k += 2) entries.push_back(k);
  auto data = std::make_shared<qv::Data>(entries.size() * 4);
  std::memcpy(data->data(), entries.data(), data->size());
  return data;
}

using qv::bench::rawRead;
using qv::bench::rawWrite;

}  // namespace

int main() {
  qv::log::Setup quiet;
  quiet.console = false;
  quiet.systemLog = false;
  qv::log::setup(quiet);
  qv::setSystemLogEnabled(false);

  const qv::bench::TempFolder temp("bench-qvk");
  const fs::path& folder = temp.path();
  {
    TBCoreDataStoreS1::Options options;
    options.folder = folder / "Library";
    TBCoreDataStoreS1 store(std::move(options));
    auto context = store.privateContext();

    qv::ObjectID source;
    context->performAndWait([&] {
      auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(*context));
      scan->setVertexData(makeVertices());
      for (std::uint32_t laser = 1; laser <= 2; ++laser) {
        auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
        cloud->setLaserNumber(laser);
        cloud->setVertexIndexData(makeIndex(laser));
      }
      if (!context->save()) std::abort();
      source = scan->objectID();
    });

    const fs::path qvk = folder / "scan.qvk";
    const fs::path raw = folder / "raw.bin";
    std::vector<double> qvkWrite, qvkRead, qvkDecode, qvkStoreSave, rawWriteRate, rawReadRate;
    std::uintmax_t bytes = 0;
    for (int run = 0; run < kRuns; ++run) {
      QVLQvkFileExporter exporter(source);
      exporter.setPrivateQueueContext(context);
      const double writeSeconds = timed([&] {
        if (!exporter.exportScanToFilePath(qvk.string())) std::abort();
      });
      bytes = fs::file_size(qvk);
      const double megabytes = static_cast<double>(bytes) / 1e6;
      qvkWrite.push_back(megabytes / writeSeconds);

      // Each read fills a new, empty scan, as opening a file does.
      qv::ObjectID target;
      context->performAndWait([&] {
        auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(*context));
        if (!context->save()) std::abort();
        target = scan->objectID();
      });
      QVLQvkFileImporter importer(qvk.string(), target);
      importer.setPrivateQueueContext(context);
      const double readSeconds = timed([&] {
        if (!importer.parseFile(nullptr)) std::abort();
      });
      qvkRead.push_back(megabytes / readSeconds);

      // The two parts of a read on their own: the decode of bytes in memory, then the save.
      const qv::Data fileBytes = rawRead(qvk);
      context->performAndWait([&] {
        auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(*context));
        if (!context->save()) std::abort();
        target = scan->objectID();
      });
      QVLQvkFileImporter parts(qvk.string(), target);
      parts.setPrivateQueueContext(context);
      qv::QvkScanContents contents;
      qvkDecode.push_back(megabytes / timed([&] {
                            if (!parts.decodeFile(fileBytes, contents, nullptr)) std::abort();
                          }));
      qvkStoreSave.push_back(megabytes / timed([&] {
                               if (!parts.storeContents(std::move(contents), nullptr)) std::abort();
                             }));

      const qv::Data block(static_cast<std::size_t>(bytes), static_cast<std::uint8_t>(run));
      rawWriteRate.push_back(megabytes / timed([&] { rawWrite(raw, block); }));
      rawReadRate.push_back(megabytes / timed([&] {
                              if (rawRead(raw).size() != block.size()) std::abort();
                            }));
    }
    std::printf("RESULT qvk_file_mb %.3f MB\n", static_cast<double>(bytes) / 1e6);
    std::printf("RESULT qvk_write_mb_per_s %.1f MB/s\n", median(qvkWrite));
    std::printf("RESULT qvk_read_mb_per_s %.1f MB/s\n", median(qvkRead));
    std::printf("RESULT qvk_decode_mb_per_s %.1f MB/s\n", median(qvkDecode));
    std::printf("RESULT qvk_store_save_mb_per_s %.1f MB/s\n", median(qvkStoreSave));
    std::printf("RESULT raw_write_mb_per_s %.1f MB/s\n", median(rawWriteRate));
    std::printf("RESULT raw_read_mb_per_s %.1f MB/s\n", median(rawReadRate));
  }
  qv::drainMainQueue();
  return 0;
}
