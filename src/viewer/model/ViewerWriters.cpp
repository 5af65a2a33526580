// The file writers the viewer saves and exports points with, chosen by extension.
#include "viewer/model/ViewerWriters.h"

// The file formats choose their writer by extension; until that choice exists only the scan
// file's own writer is at hand.
#if __has_include("formats/FileFormats.h")
#include "formats/FileFormats.h"
#define QV_HAVE_WRITER_CHOICE 1
#else
#include "formats/QVLQvkFileExporter.h"
#endif

namespace qv::viewer {

std::unique_ptr<QVLFileExporter> makePointWriter(const std::string& extension, const ObjectID& id) {
  // Mesh writers are reached through the meshing sheet, never as a point format.
  if (extension == "obj" || extension == "stl") return nullptr;
#ifdef QV_HAVE_WRITER_CHOICE
  return qv::exporterForExtension(extension, id);
#else
  if (extension == "qvk") return std::make_unique<QVLQvkFileExporter>(id);
  return nullptr;
#endif
}

}  // namespace qv::viewer
