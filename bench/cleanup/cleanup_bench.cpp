// The launch clean-up of a library of 1,200 and of 12,000 texture images (12 to a scan, each scan
// with its thumbnail), every one named by its row, and a dozen stray files that go: the time from
// queueing the clean-up to its end, medians of several runs on a library whose files are in the
// page cache. Its cost should grow with the library, not with the square of it.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Log.h"
#include "screens/IntermediateFileCleanup.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDTexture.h"
#include "store/TBCoreDataStoreS1.h"
#include "support/BenchSupport.h"

namespace fs = std::filesystem;

namespace {

constexpr int kTexturesPerScan = 12;
constexpr int kStrays = 12;

void touch(const fs::path& path) { std::ofstream(path) << "x"; }

// Milliseconds of one clean-up each run, after the stray files are put back.
std::vector<double> cleanupTimes(int textures, int runs) {
  qv::bench::TempFolder temp("cleanup");
  TBCoreDataStoreS1::Options options;
  options.folder = temp.path() / "Quorvel";
  options.presentError = [](const qv::Error& error) { std::fprintf(stderr, "%s\n", error.text().c_str()); };
  TBCoreDataStoreS1 store(options);
  const fs::path files = store.filesFolder();
  const fs::path source = temp.path() / "scan.qvk";
  touch(source);
  auto context = store.privateContext();
  context->performAndWait([&] {
    auto library = QVSDLibrary::defaultLibraryInContext(*context);
    int made = 0;
    for (int s = 0; made < textures; ++s) {
      auto scan = QVSDScanObject::createScanObjectInLibrary(library);
      scan->setSourceFilePath(source.string());
      scan->setVertexData(std::make_shared<const qv::Data>(44, 1));
      const fs::path thumbnail = files / ("thumbnail-" + std::to_string(s) + ".tiff");
      touch(thumbnail);
      scan->setSnapshotFilePath(thumbnail.string());
      for (int t = 0; t < kTexturesPerScan && made < textures; ++t, ++made) {
        const fs::path image = files / ("texture-" + std::to_string(made) + ".png");
        touch(image);
        QVSDTexture::createTextureInScanObject(scan)->setTextureFileName(image.string());
      }
    }
    qv::Error error;
    if (!context->save(&error)) {
      std::fprintf(stderr, "Cannot save the library: %s\n", error.text().c_str());
      std::exit(1);
    }
  });
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    for (int i = 0; i < kStrays; ++i) touch(files / ("stray-" + std::to_string(i) + ".png"));
    const auto start = qv::bench::Clock::now();
    qv::screens::removeIntermediateFiles(store);
    context->performAndWait([] {});
    times.push_back(1000.0 * qv::bench::secondsSince(start));
    if (fs::exists(files / "stray-0.png") || !fs::exists(files / "texture-0.png")) {
      std::fprintf(stderr, "The clean-up did not do its work\n");
      std::exit(1);
    }
  }
  return times;
}

}  // namespace

int main() {
  qv::log::setThreshold(qv::log::Level::Warning);  // a line per stray file is not the measure
  const double small = qv::bench::median(cleanupTimes(1200, 7));
  const double large = qv::bench::median(cleanupTimes(12000, 5));
  std::printf("RESULT cleanup_1200 %.1f ms\n", small);
  std::printf("RESULT cleanup_12000 %.1f ms\n", large);
  return 0;
}
