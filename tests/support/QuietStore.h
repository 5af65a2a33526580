// A real object store in a folder of the caller's choosing that keeps its errors to itself: for
// tests and fuzz targets, where an alert has nobody to show it to and a log line would only be noise.
// Header-only, so that the fuzz targets can use it without the test framework.
#pragma once

#include <filesystem>
#include <memory>

#include "store/TBCoreDataStoreS1.h"

namespace qv::test {

inline std::unique_ptr<TBCoreDataStoreS1> makeQuietStore(const std::filesystem::path& folder) {
  TBCoreDataStoreS1::Options options;
  options.folder = folder;
  options.presentError = [](const qv::Error&) {};
  return std::make_unique<TBCoreDataStoreS1>(std::move(options));
}

}  // namespace qv::test
