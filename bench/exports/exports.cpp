// Writes a 1,000,000-point scan as PLY, PCD, XYZ and qvkx, and its mesh of 333,333 triangles as
// OBJ, and reads the qvkx back, each beside a plain sequential write or read of the same number of
// bytes in the same run; prints medians of five. Every writer flushes its file to the disk before
// renaming it into place, so the plain write flushes too (write + fsync), right after the writer
// it is compared with; each "_vs_raw" figure is the median of those per-run ratios. Reads, ours
// and the plain one, come from the page cache (the file was just written).
//
// Each text and mesh writer is timed three times, each time from a context of its own as the export
// menu runs it: with nothing of the scan in memory, so that its points are read out of the store
// first ("_write_"); with the scan open in another context, as the viewer holds it while the user
// exports, whose points the store shares ("_writer_"), which leaves the encoding and writing; and
// on the menu's own path ("_menu_"): the viewer's context holding the scan saves the viewer's state
// and the scan's opened date first, as the menu does before the writer runs ("menu_saves_ms").
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/PointExports.h"
#include "formats/QVLObjFileExporter.h"
#include "formats/QVLPcdFileExporter.h"
#include "formats/QVLPlyFileExporter.h"
#include "formats/QVLQvkxFileExporter.h"
#include "formats/QVLQvkxFileImporter.h"
#include "formats/QVLXyzFileExporter.h"
#include "formats/SSZipArchive.h"
#include "formats/internal/PieceWriter.h"
#include "platform/Queue.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanSlice.h"
#include "store/TBCoreDataStoreS1.h"
#include "support/BenchScans.h"
#include "support/RawFileIo.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kVertices = 1000000;
constexpr std::size_t kMeshVertices = 999999;  // whole triangles
constexpr std::size_t kRows = 960;
constexpr int kRuns = 5;

using qv::bench::median;
using qv::bench::rawRead;
using qv::bench::rawWrite;
using qv::bench::secondsFor;

// Two clouds (one per laser) of whole 960-row slices; together they name every vertex once, the
// last slice of each padded with empty rows.
std::size_t slicesPerCloud() { return (kVertices / 2 + kRows - 1) / kRows; }
qv::SharedData makeIndex(std::uint32_t first) {
  std::vector<std::uint32_t> entries(slicesPerCloud() * kRows, 0);
  for (std::size_t i = 0; i < kVertices / 2; ++i) entries[i] = first + static_cast<std::uint32_t>(i);
  return qv::bench::bytesOf(entries);
}

// The bytes of an archive's members as written, before compression.
std::uintmax_t unpackedSize(const fs::path& archive, const fs::path& into) {
  fs::remove_all(into);
  if (!SSZipArchive::unzipFileAtPath(archive.string(), into.string())) std::abort();
  std::uintmax_t total = 0;
  for (const auto& e : fs::directory_iterator(into)) total += fs::file_size(e.path());
  return total;
}

// The writers leave their working folders for the application's next start; the runs clean up.
void removeWorkingFolders(const fs::path& library) {
  for (const auto& e : fs::directory_iterator(library)) {
    const auto extension = e.path().extension();
    if (extension == ".QvkxExport" || extension == ".QvkxImport") fs::remove_all(e.path());
  }
}

}  // namespace

int main() {
  qv::bench::quietLogs();
  const qv::bench::TempFolder temp("bench-exports");
  const fs::path& folder = temp.path();
  {
    TBCoreDataStoreS1::Options options;
    options.folder = folder / "Library";
    TBCoreDataStoreS1 store(std::move(options));
    auto context = store.privateContext();

    qv::ObjectID source;
    context->performAndWait([&] {
      auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(*context));
      scan->setVertexData(qv::bench::randomScanVertices(kVertices + 1));  // record 0 means no point
      scan->setMeshedVertexData(qv::bench::randomScanVertices(kMeshVertices));
      for (std::uint32_t laser = 0; laser < 2; ++laser) {
        auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
        cloud->setLaserNumber(laser);
        cloud->setHeadHeight(10.0);
        cloud->setCameraHeight(static_cast<std::int64_t>(kRows));
        for (std::size_t s = 0; s < slicesPerCloud(); ++s) QVSDScanSlice::createScanSliceInPointCloud(cloud, 0.5f * s);
        cloud->setVertexIndexData(makeIndex(1 + laser * static_cast<std::uint32_t>(kVertices / 2)));
      }
      if (!context->save()) std::abort();
      source = scan->objectID();
    });

    struct Figure {
      const char* name;
      std::vector<double> rates;
    };
    // A writer's rate, the rate of a plain write of as many bytes right after it, and their ratio.
    struct WriterFigures {
      Figure rate, raw, ratio;
      std::uintmax_t bytes = 0;
    };
    auto writerFigures = [](const char* name) {
      return WriterFigures{{name, {}}, {nullptr, {}}, {nullptr, {}}};
    };
    WriterFigures ply = writerFigures("ply"), pcd = writerFigures("pcd"), xyz = writerFigures("xyz"), obj = writerFigures("obj");
    WriterFigures plyLoaded = writerFigures("ply"), pcdLoaded = writerFigures("pcd"), xyzLoaded = writerFigures("xyz"),
                  objLoaded = writerFigures("obj");
    WriterFigures plyMenu = writerFigures("ply"), pcdMenu = writerFigures("pcd"), xyzMenu = writerFigures("xyz"),
                  objMenu = writerFigures("obj");
    Figure menuSaves{"menu_saves_ms", {}};
    Figure qvkxWrite{"qvkx_write_mb_per_s", {}}, qvkxRead{"qvkx_read_mb_per_s", {}};
    Figure rawWriteRate{"raw_write_mb_per_s", {}}, rawReadRate{"raw_read_mb_per_s", {}};
    // Where a PLY export's time goes: copying the points out of the store, then encoding and
    // writing the file, which the writer does together, a piece at a time.
    Figure sourceTime{"point_source_ms", {}}, plyEncodeWriteTime{"ply_encode_and_write_ms", {}};
    // And a qvkx save's and read's share spent in the zip library alone: the members stored as
    // the exporter stores them (deflate level 0), and unpacked.
    Figure zipTime{"qvkx_zip_ms", {}}, unzipTime{"qvkx_unzip_ms", {}};
    std::uintmax_t plyBytes = 0, qvkxFile = 0, qvkxMembers = 0;
    for (int run = 0; run < kRuns; ++run) {
      auto exportOnce = [&](auto&& exporter, const fs::path& file, WriterFigures& figures) {
        exporter.setPrivateQueueContext(context);
        const double seconds = secondsFor([&] {
          if (!exporter.exportScanToFilePath(file.string())) std::abort();
        });
        figures.bytes = fs::file_size(file);
        const double megabytes = static_cast<double>(figures.bytes) / 1e6;
        figures.rate.rates.push_back(megabytes / seconds);
        const qv::Data block(static_cast<std::size_t>(figures.bytes), static_cast<std::uint8_t>(run));
        figures.raw.rates.push_back(megabytes / secondsFor([&] { rawWrite(folder / "raw.bin", block); }));
        figures.ratio.rates.push_back(figures.rate.rates.back() / figures.raw.rates.back());
        fs::remove(file);
      };
      exportOnce(QVLPlyFileExporter(source), folder / "scan.ply", ply);
      plyBytes = ply.bytes;
      qv::points::PointSource points;
      sourceTime.rates.push_back(1e3 * secondsFor([&] { points = qv::points::readPointSource(*context, source); }));
      plyEncodeWriteTime.rates.push_back(1e3 * secondsFor([&] {
        const std::string header = qv::points::plyHeader(qv::points::plyRecordCount(*points.vertexData, points.indexLists));
        const bool written = qv::writeFileInPieces(
            folder / "parts.ply",
            [&](qv::PieceWriter& out) {
              out.text(header);
              qv::points::writePlyBody(out, *points.vertexData, points.indexLists);
            },
            nullptr);
        if (!written) std::abort();
      }));
      exportOnce(QVLPcdFileExporter(source), folder / "scan.pcd", pcd);
      exportOnce(QVLXyzFileExporter(source), folder / "scan.xyz", xyz);
      exportOnce(QVLObjFileExporter(source), folder / "scan.obj", obj);
      {
        // The scan open in the viewer's context with its points and mesh read.
        const auto& viewer = store.mainContext();
        std::shared_ptr<QVSDScanObject> open;
        viewer->performAndWait([&] {
          open = QVSDScanObject::scanObjectWithId(source, false, *viewer);
          if (!open || !open->vertexData() || !open->meshedVertexData()) std::abort();
          for (const auto& cloud : open->pointClouds())
            if (!cloud->vertexIndexData()) std::abort();
        });
        exportOnce(QVLPlyFileExporter(source), folder / "scan.ply", plyLoaded);
        exportOnce(QVLPcdFileExporter(source), folder / "scan.pcd", pcdLoaded);
        exportOnce(QVLXyzFileExporter(source), folder / "scan.xyz", xyzLoaded);
        exportOnce(QVLObjFileExporter(source), folder / "scan.obj", objLoaded);
        auto fromMenu = [&](auto&& exporter, const fs::path& file, WriterFigures& figures) {
          menuSaves.rates.push_back(1e3 * qv::bench::saveAsTheExportMenuDoes(*viewer, source, run));
          exportOnce(exporter, file, figures);
        };
        fromMenu(QVLPlyFileExporter(source), folder / "scan.ply", plyMenu);
        fromMenu(QVLPcdFileExporter(source), folder / "scan.pcd", pcdMenu);
        fromMenu(QVLXyzFileExporter(source), folder / "scan.xyz", xyzMenu);
        fromMenu(QVLObjFileExporter(source), folder / "scan.obj", objMenu);
        viewer->performAndWait([&] { open.reset(); });
      }

      // The qvkx figures count the members' bytes (what was encoded and decoded), not the zip's.
      const fs::path qvkx = folder / "scan.qvkx";
      QVLQvkxFileExporter writer(source);
      writer.setPrivateQueueContext(context);
      const double writeSeconds = secondsFor([&] {
        if (!writer.exportScanToFilePath(qvkx.string())) std::abort();
      });
      qvkxFile = fs::file_size(qvkx);
      qvkxMembers = unpackedSize(qvkx, folder / "unpacked");
      const double members = static_cast<double>(qvkxMembers) / 1e6;
      zipTime.rates.push_back(1e3 * secondsFor([&] {
        if (!SSZipArchive::createZipFileAtPathWithContentsOfDirectory((folder / "rezipped.zip").string(),
                                                                      (folder / "unpacked").string(), 0))
          std::abort();
      }));
      unzipTime.rates.push_back(1e3 * secondsFor([&] { unpackedSize(qvkx, folder / "unpacked"); }));
      qvkxWrite.rates.push_back(members / writeSeconds);
      QVLQvkxFileImporter reader(qvkx.string(), qv::bench::emptyScan(*context));
      reader.setPrivateQueueContext(context);
      qvkxRead.rates.push_back(members / secondsFor([&] {
                                 if (!reader.parseFile(nullptr)) std::abort();
                               }));
      removeWorkingFolders(folder / "Library");

      const qv::Data block(static_cast<std::size_t>(plyBytes), static_cast<std::uint8_t>(run));
      const double megabytes = static_cast<double>(plyBytes) / 1e6;
      rawWriteRate.rates.push_back(megabytes / secondsFor([&] { rawWrite(folder / "raw.bin", block); }));
      rawReadRate.rates.push_back(megabytes / secondsFor([&] {
                                    if (rawRead(folder / "raw.bin").size() != block.size()) std::abort();
                                  }));
    }
    std::printf("RESULT qvkx_file_mb %.3f MB\n", static_cast<double>(qvkxFile) / 1e6);
    std::printf("RESULT qvkx_members_mb %.3f MB\n", static_cast<double>(qvkxMembers) / 1e6);
    for (const WriterFigures* w : {&ply, &pcd, &xyz, &obj}) {
      const char* name = w->rate.name;
      std::printf("RESULT %s_file_mb %.3f MB\n", name, static_cast<double>(w->bytes) / 1e6);
      std::printf("RESULT %s_write_mb_per_s %.1f MB/s\n", name, median(w->rate.rates));
      std::printf("RESULT %s_raw_write_mb_per_s %.1f MB/s\n", name, median(w->raw.rates));
      std::printf("RESULT %s_write_vs_raw %.2f x\n", name, median(w->ratio.rates));
    }
    for (const WriterFigures* w : {&plyLoaded, &pcdLoaded, &xyzLoaded, &objLoaded}) {
      const char* name = w->rate.name;
      std::printf("RESULT %s_writer_mb_per_s %.1f MB/s\n", name, median(w->rate.rates));
      std::printf("RESULT %s_writer_raw_write_mb_per_s %.1f MB/s\n", name, median(w->raw.rates));
      std::printf("RESULT %s_writer_vs_raw %.2f x\n", name, median(w->ratio.rates));
    }
    for (const WriterFigures* w : {&plyMenu, &pcdMenu, &xyzMenu, &objMenu}) {
      const char* name = w->rate.name;
      std::printf("RESULT %s_menu_mb_per_s %.1f MB/s\n", name, median(w->rate.rates));
      std::printf("RESULT %s_menu_vs_raw %.2f x\n", name, median(w->ratio.rates));
    }
    for (const Figure* f : {&qvkxWrite, &qvkxRead, &rawWriteRate, &rawReadRate})
      std::printf("RESULT %s %.1f MB/s\n", f->name, median(f->rates));
    for (const Figure* f : {&sourceTime, &plyEncodeWriteTime, &zipTime, &unzipTime, &menuSaves})
      std::printf("RESULT %s %.1f ms\n", f->name, median(f->rates));
  }
  qv::drainMainQueue();
  return 0;
}
