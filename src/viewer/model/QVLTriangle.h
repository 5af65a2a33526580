// One triangle of a meshed scan as the texture projection sees it: corners, normal and centre,
// the photo it takes its colours from, its corners' places in that photo, its boxes in the photo
// and in the atlas, and its final coordinates in the atlas.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include <Eigen/Core>

#include "platform/Value.h"
#include "records/QVLTexture.h"

struct QVLPoint {
  double x = 0, y = 0;
};
struct QVLRect {
  double x = 0, y = 0, width = 0, height = 0;
};

class QVLTriangle {
public:
  // The margin, in pixels, around a triangle's photo box: the atlas keeps the neighbouring
  // photo pixels so that filtering at the triangle's edges samples the right colours.
  static constexpr double kMargin = 4.0;

  QVLTriangle() = default;
  // The triangle of records index .. index+2 of a blob of 44-byte scan vertex records; nothing
  // when the blob holds no such whole records.
  static std::optional<QVLTriangle> initWithDataPointer(std::span<const std::uint8_t> blob, std::size_t index);
  // A record from the 35-key form; normal and centre are recomputed from the corners.
  static QVLTriangle triangleWithJsonDictionary(const qv::Dictionary& dictionary);

  // The unit normal of (C - A) x (B - A); zero for a degenerate triangle, which is never textured.
  void calculateNormal();
  void calculateCenter();
  bool isDegenerate() const { return normal.isZero(); }

  // The point's (u, v) in the photo, as fractions of its size, through the camera's ray and the
  // reference plane. Nothing when the ray runs parallel to the plane and never meets it.
  static std::optional<QVLPoint> getUVcoordinateFor(const Eigen::Vector3d& point, const QVLTexture& texture);

  // The photo box: the corners' pixel box (minX..maxX, minY..maxY, rows counted from the photo's
  // top as v is) widened by the margin: (minX - 4, ch - minY - 4, width + 8, height + 8). Its y is
  // the stored form's and names the box's first row only through ch - y - 8 (photoRegion).
  void updateTextureBoundingBox();
  // The photo pixels the box covers, in the photo's top-down rows, before any clipping.
  QVLRect photoRegion() const;
  // The atlas box at the origin, as large as the photo box.
  void updateFinalBoxUVWithOrigin(QVLPoint origin);
  // The corners' atlas coordinates, as fractions of an atlas of width x height pixels: the atlas
  // box's corner plus the margin plus the corner's offset from (minX, minY), so that the atlas
  // pixel under each UV is the photo pixel under its photo UV.
  void updateFinalUVForFinalImageSize(double width, double height);

  qv::Dictionary jsonDictionary() const;

  bool hasBeenConsumed = false;
  bool showDebugInfo = false;
  std::shared_ptr<QVLTexture> texture;
  QVLPoint projectedPointA, projectedPointB, projectedPointC;
  QVLPoint texturePointA, texturePointB, texturePointC;
  Eigen::Vector3d center = Eigen::Vector3d::Zero();
  Eigen::Vector3d normal = Eigen::Vector3d::Zero();
  Eigen::Vector3d vertexA = Eigen::Vector3d::Zero();
  Eigen::Vector3d vertexB = Eigen::Vector3d::Zero();
  Eigen::Vector3d vertexC = Eigen::Vector3d::Zero();
  QVLRect projectedBoundingRect;
  QVLRect textureBoundingRect;
};
