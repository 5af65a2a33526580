// The launch clean-up of the application library folder.
#include "screens/IntermediateFileCleanup.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <system_error>

#include "platform/Log.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDTexture.h"
#include "store/TBCoreDataStoreS1.h"

namespace qv::screens {
namespace {

namespace fs = std::filesystem;

std::string extensionOf(const fs::path& path) {
  std::string ext = path.extension().string();
  return ext.empty() ? ext : ext.substr(1);
}

bool equalsIgnoringCase(const std::string& a, const char* b) {
  const std::string bs(b);
  return a.size() == bs.size() &&
         std::equal(a.begin(), a.end(), bs.begin(), [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

void removeFile(const fs::path& path) {
  std::error_code ec;
  fs::remove(path, ec);
  if (ec) QVLogWarn("Could not remove %s: %s", path.c_str(), ec.message().c_str());
}

void removeStaleScans(qv::ObjectContext& context, const std::shared_ptr<QVSDLibrary>& library) {
  for (const auto& scan : QVSDScanObject::scanObjectsSortedByLastOpenedDateInLibrary(library)) {
    const std::string source = scan->sourceFilePath().value_or("");
    std::error_code ec;
    if (source.empty()) {
      QVLogInfo("Removing reference to blank scan");
      context.deleteObject(scan);
    } else if (scan->dataLength("vertexData").value_or(0) == 0) {
      QVLogInfo("Removing reference to scan object with no data");
      context.deleteObject(scan);
    } else if (!fs::exists(source, ec)) {
      QVLogInfo("Removing reference to scan object who's data file has been deleted (%s)", source.c_str());
      context.deleteObject(scan);
    }
  }
}

// The rule for one entry that is not a folder: whether it goes.
bool shouldDelete(const fs::path& path, const fs::path& folder, qv::ObjectContext& context,
                  const std::shared_ptr<QVSDLibrary>& library) {
  const std::string name = path.filename().string();
  const std::string ext = extensionOf(path);
  const std::string text = path.string();
  if (!name.empty() && name.front() == '.') return false;
  if (ext == "storedata" || ext == "storedata-shm" || ext == "storedata-wal" || ext == "rtf") return false;
  if (path.parent_path() != folder) return false;
  if (ext == "tiff") {
    if (QVSDScanObject::scanObjectWithThumbnailFilePath(text, library)) return false;
    QVLogInfo("Removing thumbnail: %s", text.c_str());
    return true;
  }
  if (ext == "LaserVertexIndexData") {
    if (QVSDPointCloud::pointCloudWithLaserVertexIndexFilePath(text, context)) return false;
    QVLogInfo("Removing point cloud vertex index file: %s", text.c_str());
    return true;
  }
  if (ext == "VertexIndexData") {
    if (QVSDScanObject::scanObjectWithVertexIndexDataFilePath(text, context)) return false;
    QVLogInfo("Removing vertex index file: %s", text.c_str());
    return true;
  }
  if (ext == "VertexData") return !QVSDScanObject::scanObjectWithVertexDataFilePath(text, context);
  if (ext == "stl" || ext == "pcd") return true;
  if (equalsIgnoringCase(ext, "png") || equalsIgnoringCase(ext, "bmp")) {
    if (QVSDTexture::textureWithFilePath(text, context)) return false;
    QVLogInfo("Removing texture image: %s", text.c_str());
    return true;
  }
  if (equalsIgnoringCase(ext, "PointCloudVertices")) {
    QVLogInfo("Removing point cloud vertices: %s", text.c_str());
    return true;
  }
  return false;
}

void removeFiles(const fs::path& folder, qv::ObjectContext& context, const std::shared_ptr<QVSDLibrary>& library) {
  std::error_code ec;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const fs::path path = folder / fs::relative(it->path(), folder, ec);
    std::error_code typeError;
    if (it->is_directory(typeError) && !it->is_symlink(typeError)) {
      const std::string ext = extensionOf(path);
      if (path.filename() == "QRZ" || ext == "QvkxImport" || ext == "QvkxExport") {
        QVLogInfo("Deleting temporary folder: %s", path.filename().c_str());
        it.disable_recursion_pending();
        std::error_code removeError;
        fs::remove_all(path, removeError);
      }
      continue;
    }
    if (shouldDelete(path, folder, context, library)) removeFile(path);
  }
  if (ec) QVLogWarn("Could not walk %s: %s", folder.c_str(), ec.message().c_str());
}

}  // namespace

void removeIntermediateFiles(TBCoreDataStoreS1& store, std::function<void()> done) {
  auto context = store.privateContext();
  fs::path folder = store.libraryFolder().lexically_normal();
  if (folder.filename().empty()) folder = folder.parent_path();  // a trailing separator
  context->perform([context, folder, done = std::move(done)] {
    auto library = QVSDLibrary::defaultLibraryInContext(*context);
    removeStaleScans(*context, library);
    removeFiles(folder, *context, library);
    qv::Error error;
    if (context->hasChanges() && !context->save(&error)) {
      QVLogWarn("Could not save the clean-up: %s", error.text().c_str());
      context->rollback();
    }
    if (done) done();
  });
}

}  // namespace qv::screens
