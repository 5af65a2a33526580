// The file writers the viewer saves and exports with, chosen by extension.
#include "viewer/model/ViewerWriters.h"

#include "formats/FileFormats.h"
#include "formats/QVLObjFileExporter.h"

namespace qv::viewer {

std::unique_ptr<QVLFileExporter> makePointWriter(const std::string& extension, const ObjectID& id) {
  // Mesh writers are reached through the meshing sheet, never as a point format.
  if (extension == "obj" || extension == "stl") return nullptr;
  return qv::exporterForExtension(extension, id);
}

std::unique_ptr<QVLFileExporter> makeMeshWriter(const std::string& extension, const ObjectID& id, bool textured) {
  if (extension == "obj") {
    auto writer = std::make_unique<QVLObjFileExporter>(id);
    writer->setShouldExportTextures(textured);
    return writer;
  }
  if (extension == "stl") return qv::exporterForExtension(extension, id);
  return nullptr;
}

}  // namespace qv::viewer
