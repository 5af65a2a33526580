// Writes a scan's mesh as a Wavefront OBJ file, with a material file and a PNG texture beside it
// on request.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "formats/QVLFileExporter.h"
#include "platform/Value.h"

class QVLObjFileExporter : public QVLFileExporter {
public:
  using QVLFileExporter::QVLFileExporter;

  bool exportScanToFilePath(const std::string& path, qv::Error* error = nullptr) override;
  // Writes the OBJ file at the path. With shouldExportTextures and a texture atlas, also writes
  // "<base>.mtl" and "<base>.png" in the same folder, where base is the OBJ's file name without
  // its extension and without anything but letters and digits ("Scan" when nothing is left).
  // The texts are made before any file is written, and each file is written beside its target
  // and renamed over it once complete, so a refused mesh leaves no file behind.
  bool saveObjToFilePath(const std::string& path, qv::Error* error = nullptr);
  // The material file and the texture image a textured save to `path` writes beside it, in that
  // order: a save that is to replace one of them may want to ask first, as another mesh's OBJ
  // may name it (a-b.obj and ab.obj share ab.mtl and ab.png).
  static std::vector<std::string> companionPaths(const std::string& path);
  // Those of the companions that are there and that another mesh may use, to be asked about
  // before they are replaced: none when the OBJ being replaced at `path` is the one OBJ in its
  // folder that names them (saving over it replaces them with it).
  static std::vector<std::string> companionsToAskAbout(const std::string& path);

  std::optional<qv::Data> createObjWithMeshedData(const qv::Data& meshedData) const;
  std::optional<qv::Data> createObjWithMtlName(const std::string& mtlName, const qv::Data& meshedData,
                                               const qv::Data& textureCoordinatesData) const;

  bool shouldExportTextures() const { return shouldExportTextures_; }
  void setShouldExportTextures(bool value) { shouldExportTextures_ = value; }

private:
  bool shouldExportTextures_ = false;
};
