// The launch clean-up of the application library folder.
#include "screens/IntermediateFileCleanup.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <system_error>
#include <unordered_set>

#include "platform/Log.h"
#include "store/FetchRequest.h"
#include "store/LibraryFiles.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDScanObject.h"
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

// The file names the library's rows hold, each kind read once: judging a file is then a look-up
// in a set, so the clean-up grows with the library, not with the square of it. A kind whose rows
// could not be read cannot tell: every file of that kind counts as named, and stays.
class NamedFiles {
public:
  // The names `key` holds in the rows of `entity`: all of them, or only those of the library's
  // scans (thumbnails: another library's are none of this one's).
  NamedFiles(qv::ObjectContext& context, const char* entity, const char* key,
             const std::shared_ptr<QVSDLibrary>& library = nullptr) {
    qv::FetchRequest request(entity);
    request.where(key, qv::Comparison::NotEqual, qv::AttributeValue());
    if (library) request.whereRelated("library", library->objectID());
    for (const auto& object : context.executeFetchRequest(request))
      if (auto name = object->stringValue(key)) names_.insert(std::move(*name));
    if (const auto error = context.takeReadError()) {
      QVLogWarn("Keeping every file named by %s.%s: the library could not be asked about them (%s)", entity, key,
                error->text().c_str());
      known_ = false;
    }
  }
  bool contains(const std::string& path) const { return !known_ || names_.count(path) != 0; }

private:
  std::unordered_set<std::string> names_;
  bool known_ = true;
};

struct LibraryNames {
  NamedFiles thumbnails, laserVertexIndexes, vertexIndexes, vertexData, textures;
  LibraryNames(qv::ObjectContext& context, const std::shared_ptr<QVSDLibrary>& library)
      : thumbnails(context, "QVSDScanObject", "snapshotFilePath", library),
        laserVertexIndexes(context, "QVSDPointCloud", "vertexIndexDataFilePath"),
        vertexIndexes(context, "QVSDScanObject", "vertexIndexDataFilePath"),
        vertexData(context, "QVSDScanObject", "vertexDataFilePath"),
        textures(context, "QVSDTexture", "textureFileName") {}
};

void removeStaleScans(qv::ObjectContext& context, const std::shared_ptr<QVSDLibrary>& library) {
  for (const auto& scan : QVSDScanObject::scanObjectsSortedByLastOpenedDateInLibrary(library)) {
    const std::string source = scan->sourceFilePath().value_or("");
    std::error_code ec;
    const auto dataLength = scan->dataLength("vertexData");
    if (const auto error = context.takeReadError()) {
      // Points that could not be measured are not missing points.
      QVLogWarn("Keeping a scan whose data could not be read: %s", error->text().c_str());
      continue;
    }
    if (source.empty()) {
      QVLogInfo("Removing reference to blank scan");
      context.deleteObject(scan);
    } else if (dataLength.value_or(0) == 0) {
      QVLogInfo("Removing reference to scan object with no data");
      context.deleteObject(scan);
    } else if (!fs::exists(source, ec)) {
      QVLogInfo("Removing reference to scan object who's data file has been deleted (%s)", source.c_str());
      context.deleteObject(scan);
    }
  }
}

// The rule for one entry that is not a folder: whether it goes. Only the files directly in the
// library folder or in the library's own files folder are judged: another library's files folder
// (one moved aside keeps its own) is none of this library's business.
bool shouldDelete(const fs::path& path, const fs::path& folder, const fs::path& filesFolder,
                  const LibraryNames& named) {
  const std::string name = path.filename().string();
  const std::string ext = extensionOf(path);
  const std::string text = path.string();
  if (!name.empty() && name.front() == '.') return false;
  if (ext == "storedata" || ext == "storedata-shm" || ext == "storedata-wal" || ext == "rtf") return false;
  if (path.parent_path() != folder && path.parent_path() != filesFolder) return false;
  if (ext == "tiff") {
    if (named.thumbnails.contains(text)) return false;
    QVLogInfo("Removing thumbnail: %s", text.c_str());
    return true;
  }
  if (ext == "LaserVertexIndexData") {
    if (named.laserVertexIndexes.contains(text)) return false;
    QVLogInfo("Removing point cloud vertex index file: %s", text.c_str());
    return true;
  }
  if (ext == "VertexIndexData") {
    if (named.vertexIndexes.contains(text)) return false;
    QVLogInfo("Removing vertex index file: %s", text.c_str());
    return true;
  }
  if (ext == "VertexData") return !named.vertexData.contains(text);
  if (ext == "stl" || ext == "pcd") return true;
  if (equalsIgnoringCase(ext, "png") || equalsIgnoringCase(ext, "bmp")) {
    if (named.textures.contains(text)) return false;
    QVLogInfo("Removing texture image: %s", text.c_str());
    return true;
  }
  if (equalsIgnoringCase(ext, "PointCloudVertices")) {
    QVLogInfo("Removing point cloud vertices: %s", text.c_str());
    return true;
  }
  return false;
}

void removeFiles(const fs::path& folder, const fs::path& filesFolder, qv::ObjectContext& context,
                 const std::shared_ptr<QVSDLibrary>& library) {
  const LibraryNames named(context, library);
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
    // A link found here that leads out of the library stays, and so does what it leads to.
    if (shouldDelete(path, folder, filesFolder, named)) qv::removeLibraryFile(folder, filesFolder, path, "file");
  }
  if (ec) QVLogWarn("Could not walk %s: %s", folder.c_str(), ec.message().c_str());
}

}  // namespace

void removeIntermediateFiles(TBCoreDataStoreS1& store, std::function<void()> done) {
  auto context = store.privateContext();
  auto normal = [](const fs::path& path) {
    fs::path n = path.lexically_normal();
    return n.filename().empty() ? n.parent_path() : n;  // a trailing separator
  };
  context->perform([context, folder = normal(store.libraryFolder()), filesFolder = normal(store.filesFolder()),
                    done = std::move(done)] {
    // A library that cannot be written could not let go of anything, and one that is closed
    // cannot say what it refers to: either way every file stays.
    if (const auto problem = context->storeWriteProblem()) {
      QVLogWarn("Nothing was cleaned up: %s", problem->text().c_str());
    } else {
      auto library = QVSDLibrary::defaultLibraryInContext(*context);
      removeStaleScans(*context, library);
      // The files of a scan go only once its deletion is saved: a save that fails (a full disk)
      // keeps the scan, which must keep its files too.
      qv::Error error;
      if (context->hasChanges() && !context->save(&error)) {
        QVLogWarn("Could not save the clean-up, so no file was removed: %s", error.text().c_str());
        context->rollback();
      } else {
        removeFiles(folder, filesFolder, *context, library);
      }
    }
    if (done) done();
  });
}

}  // namespace qv::screens
