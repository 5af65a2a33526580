// The OBJ writer: vertex and face lines, and the material file and texture image it names.
#include "formats/QVLObjFileExporter.h"

#include <filesystem>
#include <fstream>

#include "formats/FileFormats.h"
#include "formats/FormatErrors.h"
#include "formats/MeshFormats.h"
#include "formats/internal/AtomicFile.h"
#include "formats/internal/PieceWriter.h"
#include "formats/internal/ImageFiles.h"
#include "platform/Log.h"
#include "store/QVSDScanObject.h"

namespace fs = std::filesystem;

namespace {

qv::Data dataOf(std::string text) { return qv::Data(text.begin(), text.end()); }

// Whether the mesh can be written; a mesh that is there but cannot be written is worth a warning,
// an empty one only the caller's "no mesh".
bool writable(const std::optional<std::string>& problem) {
  if (problem && *problem != "There is no meshed data") QVLogWarn("%s", problem->c_str());
  return !problem;
}

// Whether the OBJ file `obj` begins by naming `materialName` as its material library, as ours do.
bool namesMaterial(const fs::path& obj, const std::string& materialName) {
  std::ifstream in(obj, std::ios::binary);
  std::string first;
  return std::getline(in, first) && first == "mtllib " + materialName;
}

// Whether the companions beside `target` are its own alone: the OBJ there names its material
// file, and no other OBJ in the folder takes the same companion names or names that material.
bool ownsCompanionsAlone(const fs::path& target, const std::string& base) {
  const std::string material = base + ".mtl";
  if (!namesMaterial(target, material)) return false;
  std::error_code ec;
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path other = it->path();
    if (other.filename() == target.filename() || qv::fileExtension(other.string()) != "obj") continue;
    if (qv::mesh::companionBaseName(other.stem().string()) == base || namesMaterial(other, material)) return false;
  }
  return !ec;
}

}  // namespace

std::vector<std::string> QVLObjFileExporter::companionsToAskAbout(const std::string& path) {
  std::vector<std::string> existing;
  for (const auto& companion : companionPaths(path))
    if (std::error_code ec; fs::exists(companion, ec)) existing.push_back(companion);
  const fs::path target(path);
  if (!existing.empty() && ownsCompanionsAlone(target, qv::mesh::companionBaseName(target.stem().string())))
    existing.clear();
  return existing;
}

bool QVLObjFileExporter::exportScanToFilePath(const std::string& path, qv::Error* error) {
  QVLFileExporter::exportScanToFilePath(path, error);
  return saveObjToFilePath(path, error);
}

std::optional<qv::Data> QVLObjFileExporter::createObjWithMeshedData(const qv::Data& meshedData) const {
  if (!writable(qv::mesh::objProblem(meshedData))) return std::nullopt;
  return dataOf(*qv::mesh::objText(meshedData, nullptr));
}

std::optional<qv::Data> QVLObjFileExporter::createObjWithMtlName(const std::string& mtlName, const qv::Data& meshedData,
                                                                 const qv::Data& textureCoordinatesData) const {
  if (!writable(qv::mesh::objProblem(meshedData, textureCoordinatesData))) return std::nullopt;
  return dataOf(*qv::mesh::objTextWithMaterial(mtlName, meshedData, textureCoordinatesData, nullptr));
}

std::vector<std::string> QVLObjFileExporter::companionPaths(const std::string& path) {
  const fs::path target(path);
  const fs::path base = target.parent_path() / qv::mesh::companionBaseName(target.stem().string());
  return {fs::path(base).concat(".mtl").string(), fs::path(base).concat(".png").string()};
}

bool QVLObjFileExporter::saveObjToFilePath(const std::string& path, qv::Error* error) {
  qv::SharedData meshed, coordinates;
  std::string atlas;
  bool found = false;
  storeReadError_.reset();
  if (auto context = privateQueueContext(); context && scanObjectId()) {
    readForExport(*context, [&] {
      auto scan = QVSDScanObject::scanObjectWithId(scanObjectId(), false, *context);
      if (!scan) return;
      found = true;
      meshed = scan->meshedVertexData();
      coordinates = scan->objTextureCoordinatesData();
      atlas = scan->objTextureFileName().value_or("");
    });
  }
  if (storeReadFailed(error)) return false;
  auto noMesh = [&] {
    QVLogError("There is no meshed data!");
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kInvalidParameterError,
                                  found ? "The scan has no mesh to write" : "There is no scan to write",
                                  {{qv::kParameterKey, found ? "meshedVertexData" : "scanObjectId"}});
    return false;
  };
  const qv::Data none;
  const qv::Data& meshedData = meshed ? *meshed : none;

  const fs::path target(path);
  if (shouldExportTextures_ && !atlas.empty()) {
    const auto companions = companionPaths(path);
    const fs::path materialPath = companions[0];
    const fs::path imagePath = companions[1];
    const std::string materialName = materialPath.filename().string();
    const qv::Data& coordinateData = coordinates ? *coordinates : none;
    if (!writable(qv::mesh::objProblem(meshedData, coordinateData))) return noMesh();

    std::string problem;
    const auto png = qv::pngFromImageFile(atlas, &problem);
    if (!png || !qv::writeFileAtomically(imagePath, {*png}, error)) {
      QVLogError("Copying OBJ texture image file %s failed", imagePath.c_str());
      if (!png && error) *error = qv::fileError(qv::kFileWriteError, imagePath.string(), 0, "The texture cannot be copied: " + problem);
      return false;
    }
    QVLogInfo("OBJ texture image file successfully copied to %s", imagePath.c_str());
    const std::string material = qv::mesh::materialText(imagePath.filename().string());
    if (!qv::writeFileAtomically(materialPath, {qv::bytesOf(material)}, error)) {
      QVLogError("Writing data into the file %s failed", materialPath.c_str());
      return false;
    }
    QVLogInfo("MTL file was written successfully at %s", materialPath.c_str());
    const bool written = qv::writeFileInPieces(
        target, [&](qv::PieceWriter& out) { qv::mesh::writeObjTextWithMaterial(out, materialName, meshedData, coordinateData); },
        error);
    if (!written) {
      QVLogError("Writing data into the file %s failed", path.c_str());
      return false;
    }
    QVLogInfo("OBJ file was written successfully at %s", path.c_str());
    return true;
  }

  if (!writable(qv::mesh::objProblem(meshedData))) return noMesh();
  if (!qv::writeFileInPieces(target, [&](qv::PieceWriter& out) { qv::mesh::writeObjText(out, meshedData); }, error)) {
    QVLogError("Writing data into the file %s failed", path.c_str());
    return false;
  }
  QVLogInfo("OBJ file was written successfully at %s", path.c_str());
  return true;
}
