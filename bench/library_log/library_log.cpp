// The scan library's write-ahead log over a session: its largest size while a 74 MB scan is read
// from a qvkx project and then saved as the viewer saves it (its state and opened date, three
// times), the store file's size once the library is closed and whether a log is left then; and a
// launch after a run that was killed with 600 MB in its log: how long opening the library and
// listing its scans takes with that log beside it and without one, and how long the log then takes
// to be folded into the file in the background. Medians of three runs.
//
// With `--keep-project PATH` the 74 MB project is also copied to PATH, to try the program on it.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "formats/QVLQvkxFileExporter.h"
#include "formats/QVLQvkxFileImporter.h"
#include "platform/Queue.h"
#include "store/FetchRequest.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanSlice.h"
#include "store/TBCoreDataStoreS1.h"
#include "support/BenchScans.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kVertices = 74000000 / 44;  // a 74 MB cloud
constexpr std::size_t kLeftOverLogBytes = 600000000;
constexpr int kRuns = 3;

using qv::bench::median;
using qv::bench::secondsFor;

std::uintmax_t sizeOf(const fs::path& file) {
  std::error_code ec;
  const auto size = fs::file_size(file, ec);
  return ec ? 0 : size;
}

fs::path logOf(const fs::path& library) { return library / (std::string(TBCoreDataStoreS1::kStoreFileName) + "-wal"); }

TBCoreDataStoreS1::Options optionsFor(const fs::path& library) {
  TBCoreDataStoreS1::Options options;
  options.folder = library;
  return options;
}

// The largest size a file reaches while `work` runs, looked at every millisecond.
template <typename F>
std::uintmax_t peakSizeDuring(const fs::path& file, F&& work) {
  std::atomic<bool> done{false};
  std::atomic<std::uintmax_t> peak{0};
  std::thread watcher([&] {
    while (!done) {
      peak = std::max<std::uintmax_t>(peak, sizeOf(file));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  work();
  done = true;
  watcher.join();
  return std::max<std::uintmax_t>(peak, sizeOf(file));
}

// Writes the 74 MB project from a library of its own.
void writeProject(const fs::path& folder, const fs::path& project) {
  TBCoreDataStoreS1 store(optionsFor(folder / "Source"));
  auto context = store.privateContext();
  qv::ObjectID id;
  context->performAndWait([&] {
    auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(*context));
    scan->setVertexData(qv::bench::randomScanVertices(kVertices + 1, 2));
    for (std::uint32_t laser = 1; laser <= 2; ++laser) {
      auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
      cloud->setLaserNumber(laser);
      cloud->setCameraHeight(960);
      std::vector<std::uint32_t> entries;
      for (std::uint32_t k = laser; k <= kVertices; k += 2) entries.push_back(k);
      entries.resize((entries.size() + 959) / 960 * 960, 0);
      for (std::size_t s = 0; s < entries.size() / 960; ++s)
        QVSDScanSlice::createScanSliceInPointCloud(cloud, 0.1f * static_cast<float>(s));
      cloud->setVertexIndexData(qv::bench::bytesOf(entries));
    }
    if (!context->save()) std::abort();
    id = scan->objectID();
  });
  QVLQvkxFileExporter exporter(id);
  exporter.setPrivateQueueContext(context);
  if (!exporter.exportScanToFilePath(project.string())) std::abort();
}

// A run that saves and is killed before it closes the library: its saves stay in the log.
void leaveLogOfKilledRun(const fs::path& library) {
  const fs::path file = library / TBCoreDataStoreS1::kStoreFileName;
  const pid_t child = fork();
  if (child < 0) std::abort();
  if (child == 0) {
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) _exit(1);
    sqlite3_wal_autocheckpoint(db, 0);
    const std::size_t step = kLeftOverLogBytes / 6;
    for (int i = 0; i < 6; ++i) {
      const std::string sql = "UPDATE QVSDScanObject SET unsavedVertexData = zeroblob(" + std::to_string(step + i) + ")";
      if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) _exit(1);
    }
    _exit(0);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) std::abort();
}

// Opening the library and listing its scans, as a launch shows its main screen.
double openAndList(const fs::path& library, std::unique_ptr<TBCoreDataStoreS1>& store) {
  return secondsFor([&] {
    store = std::make_unique<TBCoreDataStoreS1>(optionsFor(library));
    auto context = store->privateContext();
    context->performAndWait([&] {
      if (context->fetch<QVSDScanObject>(qv::FetchRequest("QVSDScanObject")).empty()) std::abort();
    });
  });
}

}  // namespace

int main(int argc, char** argv) {
  qv::bench::quietLogs();
  const qv::bench::TempFolder temp("bench-library-log");
  const fs::path& folder = temp.path();
  const fs::path project = folder / "scan.qvkx";
  writeProject(folder, project);
  if (argc == 3 && std::strcmp(argv[1], "--keep-project") == 0) fs::copy_file(project, argv[2], fs::copy_options::overwrite_existing);

  std::vector<double> peakMB, storeMB, leftMB, openLeftOverMs, openNormalMs, foldSeconds;
  for (int run = 0; run < kRuns; ++run) {
    const fs::path library = folder / ("Library" + std::to_string(run));
    {
      TBCoreDataStoreS1 store(optionsFor(library));
      const auto& viewer = store.mainContext();
      const qv::ObjectID id = qv::bench::emptyScan(*store.privateContext());
      peakMB.push_back(static_cast<double>(peakSizeDuring(logOf(library), [&] {
                         QVLQvkxFileImporter importer(project.string(), id);
                         importer.setPrivateQueueContext(store.privateContext());
                         if (!importer.parseFile(nullptr)) std::abort();
                         // The viewer opens the scan, holds its points, and saves its state now and then.
                         std::shared_ptr<QVSDScanObject> open;
                         viewer->performAndWait([&] {
                           open = QVSDScanObject::scanObjectWithId(id, true, *viewer);
                           if (!open || !open->vertexData()) std::abort();
                         });
                         for (int save = 0; save < 3; ++save) qv::bench::saveAsTheExportMenuDoes(*viewer, id, save);
                         viewer->performAndWait([&] { open.reset(); });
                       })) /
                       1e6);
    }
    qv::drainMainQueue();
    leftMB.push_back(static_cast<double>(sizeOf(logOf(library))) / 1e6);
    storeMB.push_back(static_cast<double>(sizeOf(library / TBCoreDataStoreS1::kStoreFileName)) / 1e6);

    // The next launch after a killed run, then one after a clean quit.
    leaveLogOfKilledRun(library);
    if (sizeOf(logOf(library)) < kLeftOverLogBytes) std::abort();
    std::unique_ptr<TBCoreDataStoreS1> store;
    openLeftOverMs.push_back(1e3 * openAndList(library, store));
    foldSeconds.push_back(secondsFor([&] {
      while (sizeOf(logOf(library)) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }));
    store.reset();
    qv::drainMainQueue();
    openNormalMs.push_back(1e3 * openAndList(library, store));
    store.reset();
    qv::drainMainQueue();
  }
  std::printf("RESULT project_points %zu points\n", kVertices);
  std::printf("RESULT log_peak_while_reading_and_saving_mb %.1f MB\n", median(peakMB));
  std::printf("RESULT log_left_after_close_mb %.1f MB\n", median(leftMB));
  std::printf("RESULT store_file_after_close_mb %.1f MB\n", median(storeMB));
  std::printf("RESULT open_and_list_with_600mb_log_ms %.1f ms\n", median(openLeftOverMs));
  std::printf("RESULT open_and_list_without_log_ms %.1f ms\n", median(openNormalMs));
  std::printf("RESULT fold_600mb_log_in_background_s %.2f s\n", median(foldSeconds));
  return 0;
}
