// Texturing a mesh from the scan's photos: the best photo per triangle, the regions packed into
// one atlas, the atlas written as PNG, and 48 bytes of atlas UVs per triangle.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>

#include "platform/Error.h"
#include "records/QVLTexture.h"
#include "viewer/model/QVLTriangle.h"

class QVLImageProjection {
public:
  // No side of the atlas is larger: beyond it GPUs refuse the texture. A larger packing is
  // scaled down to fit, which keeps every UV (they are fractions of the atlas).
  static constexpr int kMaxAtlasSide = 16384;
  // Only a photo on which all three corners fall strictly inside this band in u and v is used:
  // towards the image edges the lens distorts most.
  static constexpr double kLowUV = 0.1, kHighUV = 0.9;

  // The atlas record (its textureFileName the PNG's path "<folder>/<UUID>.png", its
  // textureCoordinatesData the UVs of every whole triangle in mesh order), or nothing when no
  // photo is readable, the mesh is empty, no triangle is seen well enough by any photo, or the
  // atlas could not be written (the error says why). The folder is the application library
  // folder unless given. The photos are expected sorted by textureFileName; ties go to the
  // earlier one.
  static std::shared_ptr<QVLTexture> mapTextures(const std::vector<std::shared_ptr<QVLTexture>>& textures,
                                                 std::span<const std::uint8_t> meshed,
                                                 const std::filesystem::path& folder = {}, qv::Error* error = nullptr);

  // Fills mappedTriangles with every whole triangle, each with its best photo or none.
  // Degenerate triangles and corners whose ray never meets a photo's plane take no photo.
  void buildTrianglesByProjectingTextures(const std::vector<std::shared_ptr<QVLTexture>>& textures,
                                          std::span<const std::uint8_t> meshed);

  struct Size {
    int width = 0, height = 0;
  };
  // Places every triangle's region in the atlas (tallest first, then columns of the widest and
  // rows of the tallest that fit) and answers the atlas size; 0 x 0 when nothing is textured.
  Size packAtlas();
  // Packs, draws and writes the atlas, and makes the UV data; nothing when nothing is textured.
  std::shared_ptr<QVLTexture> buildAtlas(const std::filesystem::path& folder, qv::Error* error);
  // Grey, then every textured region copied from its photo (clipped at the photo's edges) and
  // scaled by the same factor as the atlas, written atomically as PNG.
  bool drawTrianglesToImageWithSize(Size packed, Size image, const std::filesystem::path& path, qv::Error* error);

  std::vector<QVLTriangle> mappedTriangles;
};
