// Writes and reads a qvk scan file of 1,000,000 points, beside a plain sequential write and read
// of the same number of bytes, and prints the medians of five runs (the write's ratio to the plain
// write is the median of the ratios of each run). The read is also split into
// its two parts, so that its cost is seen where it lies: decoding the file's bytes (already in
// memory) into scan contents, and the store's save of the decoded scan. The writes are synced to the
// disk (the exporter syncs its file before it replaces the target, and so does the raw write); the
// reads are page-cache figures (the file was just written), and so is the store's save, whose
// write-ahead log commits with synchronous=NORMAL. The write is timed twice, from a context of its
// own as the export menu runs it: with nothing of the scan in memory, so that its points are read
// out of the store first, and with the scan open in another context, as the viewer holds it while
// the user exports, whose points the store shares ("qvk_writer_"), which leaves the encoding and
// writing; and once more on the export menu's own path ("qvk_menu_"), where the viewer's context
// saves the viewer's state and the scan's opened date before the writer runs.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>
#include <vector>

#include "formats/QVLQvkFileExporter.h"
#include "formats/QVLQvkFileImporter.h"
#include "platform/Queue.h"
#include "store/QVSDPointCloud.h"
#include "store/TBCoreDataStoreS1.h"
#include "support/BenchScans.h"
#include "support/RawFileIo.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kVertices = 1000000;
constexpr int kRuns = 5;

using qv::bench::median;
using qv::bench::rawRead;
using qv::bench::rawWrite;
using qv::bench::secondsFor;

// Each of two clouds (one per laser) names every other vertex.
qv::SharedData makeIndex(std::uint32_t first) {
  std::vector<std::uint32_t> entries;
  for (std::uint32_t k = first; k < kVertices; k += 2) entries.push_back(k);
  return qv::bench::bytesOf(entries);
}

}  // namespace

int main() {
  qv::bench::quietLogs();

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
      scan->setVertexData(qv::bench::randomScanVertices(kVertices, 2));
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
    std::vector<double> qvkWrite, qvkWriteVsRaw, qvkRead, qvkDecode, qvkStoreSave, rawWriteRate, rawReadRate;
    std::vector<double> qvkWriter, qvkWriterVsRaw, qvkMenu, qvkMenuVsRaw, menuSaves;
    std::uintmax_t bytes = 0;
    for (int run = 0; run < kRuns; ++run) {
      QVLQvkFileExporter exporter(source);
      exporter.setPrivateQueueContext(context);
      const double writeSeconds = secondsFor([&] {
        if (!exporter.exportScanToFilePath(qvk.string())) std::abort();
      });
      bytes = fs::file_size(qvk);
      const double megabytes = static_cast<double>(bytes) / 1e6;
      qvkWrite.push_back(megabytes / writeSeconds);
      // The plain write of as many bytes right after it, under the same load.
      {
        const qv::Data block(static_cast<std::size_t>(bytes), static_cast<std::uint8_t>(run));
        rawWriteRate.push_back(megabytes / secondsFor([&] { rawWrite(raw, block); }));
        qvkWriteVsRaw.push_back(qvkWrite.back() / rawWriteRate.back());
      }

      {
        const auto& viewer = store.mainContext();
        std::shared_ptr<QVSDScanObject> open;
        viewer->performAndWait([&] {
          open = QVSDScanObject::scanObjectWithId(source, false, *viewer);
          if (!open || !open->vertexData()) std::abort();
          for (const auto& cloud : open->pointClouds())
            if (!cloud->vertexIndexData()) std::abort();
        });
        // The writer's rate over a plain write of as many bytes right after it.
        auto writeVsRaw = [&] {
          QVLQvkFileExporter writer(source);
          writer.setPrivateQueueContext(context);
          const double seconds = secondsFor([&] {
            if (!writer.exportScanToFilePath(qvk.string())) std::abort();
          });
          const double megabytes = static_cast<double>(fs::file_size(qvk)) / 1e6;
          const qv::Data block(static_cast<std::size_t>(fs::file_size(qvk)), static_cast<std::uint8_t>(run));
          return std::pair{megabytes / seconds, (megabytes / seconds) / (megabytes / secondsFor([&] { rawWrite(raw, block); }))};
        };
        const auto [rate, ratio] = writeVsRaw();
        qvkWriter.push_back(rate);
        qvkWriterVsRaw.push_back(ratio);
        menuSaves.push_back(1e3 * qv::bench::saveAsTheExportMenuDoes(*viewer, source, run));
        const auto [menuRate, menuRatio] = writeVsRaw();
        qvkMenu.push_back(menuRate);
        qvkMenuVsRaw.push_back(menuRatio);
        viewer->performAndWait([&] { open.reset(); });
      }

      // Each read fills a new, empty scan, as opening a file does.
      QVLQvkFileImporter importer(qvk.string(), qv::bench::emptyScan(*context));
      importer.setPrivateQueueContext(context);
      const double readSeconds = secondsFor([&] {
        if (!importer.parseFile(nullptr)) std::abort();
      });
      qvkRead.push_back(megabytes / readSeconds);

      // The two parts of a read on their own: the decode of bytes in memory, then the save.
      const qv::Data fileBytes = rawRead(qvk);
      QVLQvkFileImporter parts(qvk.string(), qv::bench::emptyScan(*context));
      parts.setPrivateQueueContext(context);
      qv::QvkScanContents contents;
      qvkDecode.push_back(megabytes / secondsFor([&] {
                            if (!parts.decodeFile(fileBytes, contents, nullptr)) std::abort();
                          }));
      qvkStoreSave.push_back(megabytes / secondsFor([&] {
                               if (!parts.storeContents(std::move(contents), nullptr)) std::abort();
                             }));

      rawReadRate.push_back(megabytes / secondsFor([&] {
                              if (rawRead(raw).size() != bytes) std::abort();
                            }));
    }
    std::printf("RESULT qvk_file_mb %.3f MB\n", static_cast<double>(bytes) / 1e6);
    std::printf("RESULT qvk_write_mb_per_s %.1f MB/s\n", median(qvkWrite));
    std::printf("RESULT qvk_read_mb_per_s %.1f MB/s\n", median(qvkRead));
    std::printf("RESULT qvk_decode_mb_per_s %.1f MB/s\n", median(qvkDecode));
    std::printf("RESULT qvk_store_save_mb_per_s %.1f MB/s\n", median(qvkStoreSave));
    std::printf("RESULT raw_write_mb_per_s %.1f MB/s\n", median(rawWriteRate));
    std::printf("RESULT raw_read_mb_per_s %.1f MB/s\n", median(rawReadRate));
    std::printf("RESULT qvk_write_vs_raw %.2f x\n", median(qvkWriteVsRaw));
    std::printf("RESULT qvk_writer_mb_per_s %.1f MB/s\n", median(qvkWriter));
    std::printf("RESULT qvk_writer_vs_raw %.2f x\n", median(qvkWriterVsRaw));
    std::printf("RESULT qvk_menu_mb_per_s %.1f MB/s\n", median(qvkMenu));
    std::printf("RESULT qvk_menu_vs_raw %.2f x\n", median(qvkMenuVsRaw));
    std::printf("RESULT qvk_menu_saves_ms %.1f ms\n", median(menuSaves));
  }
  qv::drainMainQueue();
  return 0;
}
