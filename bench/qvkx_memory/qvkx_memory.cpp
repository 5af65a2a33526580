// The peak memory of reading and saving a tiny project whose one cloud claims a huge grid: 65535
// rows by 23040 rotations around a single point, some 400 bytes zipped. Each step runs in a child
// process of its own, so that its peak resident size (from wait4) is its own; the figures are the
// medians of five runs, beside children that only open the store and make an empty scan, only
// store the scan that is then saved, or only read the project that is then saved: the 23040
// slices a cloud of that many rotations has in the store take most of what the steps use.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "formats/FormatErrors.h"
#include "formats/QVLQvkxFileExporter.h"
#include "formats/QVLQvkxFileImporter.h"
#include "formats/SSZipArchive.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanSlice.h"
#include "store/TBCoreDataStoreS1.h"
#include "support/BenchScans.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRuns = 5;
constexpr int kRotations = 23040;

// A project of one cloud file: the rows, every rotation 0 and one point in the first slot.
std::uintmax_t writeProject(const fs::path& file, int rows) {
  std::string cloud = "QVK\nformat binary_little_endian 2.0\nproperty cameraHeight " + std::to_string(rows) + "\nproperty radians 0";
  for (int i = 1; i < kRotations; ++i) cloud += " 0";
  cloud += "\nend_header\n";
  const float fields[6] = {1, 2, 3, 0, 0, 1};
  cloud.append(reinterpret_cast<const char*>(fields), sizeof fields);
  cloud += "\x01\x02\x03";
  SSZipArchive zip(file.string());
  const qv::Data bytes(cloud.begin(), cloud.end());
  if (!zip.open() || !zip.writeData(&bytes, "CloudData.qvk") || !zip.close()) std::abort();
  return fs::file_size(file);
}

// Runs the step in a child and answers its peak resident size in MB; aborts when the step fails.
double peakMegabytesOf(const std::function<bool()>& step) {
  const pid_t child = ::fork();
  if (child < 0) std::abort();
  if (child == 0) {
    qv::bench::quietLogs();
    ::_exit(step() ? 0 : 1);
  }
  int status = 0;
  struct rusage usage {};
  if (::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "a step failed\n");
    std::exit(1);
  }
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

struct Store {
  explicit Store(const fs::path& folder) {
    TBCoreDataStoreS1::Options options;
    options.folder = folder;
    store = std::make_unique<TBCoreDataStoreS1>(std::move(options));
    context = store->privateContext();
    scan = qv::bench::emptyScan(*context);
  }
  std::unique_ptr<TBCoreDataStoreS1> store;
  qv::ObjectContextPtr context;
  qv::ObjectID scan;
};

bool read(Store& s, const fs::path& file, qv::Error* error) {
  QVLQvkxFileImporter importer(file.string(), s.scan);
  importer.setPrivateQueueContext(s.context);
  return importer.parseFile(error);
}

bool save(Store& s, const fs::path& file, qv::Error* error) {
  QVLQvkxFileExporter exporter(s.scan);
  exporter.setPrivateQueueContext(s.context);
  return exporter.exportScanToFilePath(file.string(), error);
}

}  // namespace

int main() {
  const qv::bench::TempFolder temp("bench-qvkx-memory");
  const fs::path tall = temp.path() / "tall.qvkx", camera = temp.path() / "camera.qvkx";
  const std::uintmax_t tallBytes = writeProject(tall, 65535);
  writeProject(camera, 960);
  int run = 0;
  auto library = [&] { return temp.path() / ("Library-" + std::to_string(run++)); };

  std::vector<double> baseline, readTall, storeTallOnly, saveTall, readCamera, readSaveCamera;
  for (int i = 0; i < kRuns; ++i) {
    baseline.push_back(peakMegabytesOf([&] {
      Store s(library());
      return true;
    }));
    // The project as it is: more rows than the camera has, refused.
    readTall.push_back(peakMegabytesOf([&] {
      Store s(library());
      qv::Error error;
      return !read(s, tall, &error) && error.code == qv::kInvalidFileError;
    }));
    // The scan as an earlier reader stored that project: its save is refused as well.
    auto storeTall = [&](Store& s) {
      s.context->performAndWait([&] {
        auto scan = QVSDScanObject::scanObjectWithId(s.scan, false, *s.context);
        std::vector<QVLScanVertex> vertices(2);
        vertices[1].point3DX = 1;
        scan->setVertexData(qv::bench::bytesOf(vertices));
        auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
        cloud->setCameraHeight(65535);
        for (int r = 0; r < kRotations; ++r) QVSDScanSlice::createScanSliceInPointCloud(cloud, 0.0f);
        cloud->setVertexIndexData(qv::bench::bytesOf(std::vector<std::uint32_t>{1}));
        if (!s.context->save()) std::abort();
      });
    };
    storeTallOnly.push_back(peakMegabytesOf([&] {
      Store s(library());
      storeTall(s);
      return true;
    }));
    saveTall.push_back(peakMegabytesOf([&] {
      Store s(library());
      storeTall(s);
      qv::Error error;
      return !save(s, temp.path() / ("tall-saved-" + std::to_string(run) + ".qvkx"), &error) && error.code == qv::kFormatLimitError;
    }));
    // The same project at the camera's 960 rows: read with its cut named, then saved.
    readCamera.push_back(peakMegabytesOf([&] {
      Store s(library());
      qv::Error error;
      return read(s, camera, &error);
    }));
    readSaveCamera.push_back(peakMegabytesOf([&] {
      Store s(library());
      qv::Error error;
      return read(s, camera, &error) && save(s, temp.path() / ("camera-saved-" + std::to_string(run) + ".qvkx"), nullptr);
    }));
  }
  std::printf("RESULT qvkx_tall_project_bytes %ju bytes\n", tallBytes);
  std::printf("RESULT qvkx_store_only_peak_mb %.1f MB\n", qv::bench::median(baseline));
  std::printf("RESULT qvkx_tall_read_peak_mb %.1f MB\n", qv::bench::median(readTall));
  std::printf("RESULT qvkx_tall_stored_peak_mb %.1f MB\n", qv::bench::median(storeTallOnly));
  std::printf("RESULT qvkx_tall_stored_save_peak_mb %.1f MB\n", qv::bench::median(saveTall));
  std::printf("RESULT qvkx_camera_rows_read_peak_mb %.1f MB\n", qv::bench::median(readCamera));
  std::printf("RESULT qvkx_camera_rows_read_and_save_peak_mb %.1f MB\n", qv::bench::median(readSaveCamera));
  return 0;
}
