// The extension table of the readers and writers.
#include "formats/FileFormats.h"

#include "formats/QVLObjFileExporter.h"
#include "formats/QVLPcdFileExporter.h"
#include "formats/QVLPlyFileExporter.h"
#include "formats/QVLQvkFileExporter.h"
#include "formats/QVLQvkFileImporter.h"
#include "formats/QVLQvkxFileExporter.h"
#include "formats/QVLQvkxFileImporter.h"
#include "formats/QVLStlFileExporter.h"
#include "formats/QVLStlFileImporter.h"
#include "formats/QVLXyzFileExporter.h"
#include "formats/internal/ReaderSupport.h"

namespace qv {

std::string fileExtension(std::string_view path) {
  const auto slash = path.find_last_of('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return asciiLowerCased(std::string(name.substr(dot + 1)));
}

std::unique_ptr<QVLFileExporter> exporterForExtension(std::string_view extension, ObjectID id) {
  const std::string e = asciiLowerCased(std::string(extension));
  if (e == "qvkx") return std::make_unique<QVLQvkxFileExporter>(std::move(id));
  if (e == "qvk") return std::make_unique<QVLQvkFileExporter>(std::move(id));
  if (e == "xyz") return std::make_unique<QVLXyzFileExporter>(std::move(id));
  if (e == "ply") return std::make_unique<QVLPlyFileExporter>(std::move(id));
  if (e == "pcd") return std::make_unique<QVLPcdFileExporter>(std::move(id));
  if (e == "obj") return std::make_unique<QVLObjFileExporter>(std::move(id));
  if (e == "stl") return std::make_unique<QVLStlFileExporter>(std::move(id));
  return nullptr;
}

std::unique_ptr<QVLFileExporter> exporterForPath(std::string_view path, ObjectID id) {
  return exporterForExtension(fileExtension(path), std::move(id));
}

std::unique_ptr<QVLFileImporter> importerForPath(const std::string& path, ObjectID id) {
  const std::string e = fileExtension(path);
  if (e == "qvk") return std::make_unique<QVLQvkFileImporter>(path, std::move(id));
  if (e == "qvkx") return std::make_unique<QVLQvkxFileImporter>(path, std::move(id));
  if (e == "stl") return std::make_unique<QVLStlFileImporter>(path, std::move(id));
  return nullptr;
}

}  // namespace qv
