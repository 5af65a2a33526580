// The triangle record's geometry, its photo and atlas boxes, and its dictionary form.
#include "viewer/model/QVLTriangle.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include <Eigen/Geometry>

#include "platform/Log.h"
#include "store/QVLScanVertex.h"

namespace {

Eigen::Vector3d positionOf(std::span<const std::uint8_t> blob, std::size_t record) {
  QVLScanVertex v;
  std::memcpy(&v, blob.data() + record * sizeof(QVLScanVertex), sizeof v);
  return {v.point3DX, v.point3DY, v.point3DZ};
}

double number(const qv::Dictionary& d, const char* key) {
  const auto it = d.find(key);
  return it == d.end() ? 0.0 : it->second.toDouble();
}

void warnOutside(double value, double limit, const char* text) {
  if (value < 0 || value >= limit) QVLogWarn("%s", text);
}

}  // namespace

std::optional<QVLTriangle> QVLTriangle::initWithDataPointer(std::span<const std::uint8_t> blob, std::size_t index) {
  if (index > blob.size() / sizeof(QVLScanVertex) || blob.size() / sizeof(QVLScanVertex) - index < 3) return std::nullopt;
  QVLTriangle t;
  t.vertexA = positionOf(blob, index);
  t.vertexB = positionOf(blob, index + 1);
  t.vertexC = positionOf(blob, index + 2);
  t.calculateNormal();
  t.calculateCenter();
  return t;
}

void QVLTriangle::calculateNormal() {
  const Eigen::Vector3d n = (vertexC - vertexA).cross(vertexB - vertexA);
  const double length = n.norm();
  normal = length > 0 && std::isfinite(length) ? Eigen::Vector3d(n / length) : Eigen::Vector3d::Zero();
}

void QVLTriangle::calculateCenter() { center = (vertexA + vertexB + vertexC) / 3.0; }

std::optional<QVLPoint> QVLTriangle::getUVcoordinateFor(const Eigen::Vector3d& point, const QVLTexture& texture) {
  const Eigen::Vector3d r = (point - texture.cameraPosition()).normalized();
  const Eigen::Vector3d n = texture.cameraNormal();
  const double denom = n.dot(r);
  if (!(std::abs(denom) > std::numeric_limits<double>::epsilon())) return std::nullopt;
  const float t = static_cast<float>((texture.cameraPlane() - texture.cameraPosition()).dot(n) / denom);
  const Eigen::Vector3d m = texture.matrixOffset() * (static_cast<double>(t) * r);
  const double w = texture.cameraWidth();
  return QVLPoint{(w - (texture.centerX() + m.x() / texture.millimetersPerPoint())) / w,
                  (texture.centerY() + m.y() / texture.millimetersPerPoint()) / texture.cameraHeight()};
}

void QVLTriangle::updateTextureBoundingBox() {
  const double cw = texture ? texture->cameraWidth() : 0.0;
  const double ch = texture ? texture->cameraHeight() : 0.0;
  const double xs[3] = {texturePointA.x * cw, texturePointB.x * cw, texturePointC.x * cw};
  const double ys[3] = {texturePointA.y * ch, texturePointB.y * ch, texturePointC.y * ch};
  const double minX = std::floor(*std::min_element(xs, xs + 3)), maxX = std::ceil(*std::max_element(xs, xs + 3));
  const double minY = std::floor(*std::min_element(ys, ys + 3)), maxY = std::ceil(*std::max_element(ys, ys + 3));
  textureBoundingRect = {minX - kMargin, ch - minY - kMargin, maxX - minX + 2 * kMargin, maxY - minY + 2 * kMargin};
}

void QVLTriangle::updateFinalBoxUVWithOrigin(QVLPoint origin) {
  projectedBoundingRect = {origin.x, origin.y, textureBoundingRect.width, textureBoundingRect.height};
}

void QVLTriangle::updateFinalUVForFinalImageSize(double width, double height) {
  const double cw = texture ? texture->cameraWidth() : 0.0;
  const double ch = texture ? texture->cameraHeight() : 0.0;
  const QVLRect& T = textureBoundingRect;
  const QVLRect& R = projectedBoundingRect;
  if (!texture) {
    // No photo: every corner on the zero-size atlas box's corner, which lies inside the atlas.
    projectedPointA = projectedPointB = projectedPointC = {R.x / width, R.y / height};
    return;
  }
  struct Corner {
    const QVLPoint& uv;
    QVLPoint& final;
    const char* textX;
    const char* textY;
    const char* projX;
    const char* projY;
  };
  Corner corners[3] = {
      {texturePointA, projectedPointA, "texture out of bounds (Ax)", "texture out of bounds (Ay)",
       "projection out of bounds (Ax)", "projection out of bounds (Ay)"},
      {texturePointB, projectedPointB, "texture out of bounds (Bx)", "texture out of bounds (By)",
       "projection out of bounds (Bx)", "projection out of bounds (By)"},
      {texturePointC, projectedPointC, "texture out of bounds (Cx)", "texture out of bounds (Cy)",
       "projection out of bounds (Cx)", "projection out of bounds (Cy)"},
  };
  for (Corner& c : corners) {
    // Offsets from the unwidened box's corner (minX, minY); T.y + margin is ch - minY.
    const double px = c.uv.x * cw - (T.x + kMargin);
    const double py = (T.y + kMargin) - (ch - c.uv.y * ch);
    warnOutside(px, T.width, c.textX);
    warnOutside(py, T.height, c.textY);
    // The atlas box starts with the margin, so the corner sits the margin further in: this keeps
    // each UV on the photo pixel it was computed for.
    c.final = {(R.x + kMargin + px) / width, (R.y + kMargin + py) / height};
    warnOutside(c.final.x, 1.0, c.projX);
    warnOutside(c.final.y, 1.0, c.projY);
  }
}

qv::Dictionary QVLTriangle::jsonDictionary() const {
  return {
      {"aX", vertexA.x()}, {"aY", vertexA.y()}, {"aZ", vertexA.z()},
      {"bX", vertexB.x()}, {"bY", vertexB.y()}, {"bZ", vertexB.z()},
      {"cX", vertexC.x()}, {"cY", vertexC.y()}, {"cZ", vertexC.z()},
      {"aUVX", texturePointA.x}, {"aUVY", texturePointA.y},
      {"bUVX", texturePointB.x}, {"bUVY", texturePointB.y},
      {"cUVX", texturePointC.x}, {"cUVY", texturePointC.y},
      {"boxUVX", textureBoundingRect.x}, {"boxUVY", textureBoundingRect.y},
      {"boxUVWidth", textureBoundingRect.width}, {"boxUVHeight", textureBoundingRect.height},
      {"aUVFinalX", projectedPointA.x}, {"aUVFinalY", projectedPointA.y},
      {"bUVFinalX", projectedPointB.x}, {"bUVFinalY", projectedPointB.y},
      {"cUVFinalX", projectedPointC.x}, {"cUVFinalY", projectedPointC.y},
      {"boxUVFinalX", projectedBoundingRect.x}, {"boxUVFinalY", projectedBoundingRect.y},
      {"boxUVFinalWidth", projectedBoundingRect.width}, {"boxUVFinalHeight", projectedBoundingRect.height},
      {"normalX", normal.x()}, {"normalY", normal.y()}, {"normalZ", normal.z()},
      {"centerX", center.x()}, {"centerY", center.y()}, {"centerZ", center.z()},
  };
}

QVLTriangle QVLTriangle::triangleWithJsonDictionary(const qv::Dictionary& d) {
  QVLTriangle t;
  t.vertexA = {number(d, "aX"), number(d, "aY"), number(d, "aZ")};
  t.vertexB = {number(d, "bX"), number(d, "bY"), number(d, "bZ")};
  t.vertexC = {number(d, "cX"), number(d, "cY"), number(d, "cZ")};
  t.texturePointA = {number(d, "aUVX"), number(d, "aUVY")};
  t.texturePointB = {number(d, "bUVX"), number(d, "bUVY")};
  t.texturePointC = {number(d, "cUVX"), number(d, "cUVY")};
  t.textureBoundingRect = {number(d, "boxUVX"), number(d, "boxUVY"), number(d, "boxUVWidth"), number(d, "boxUVHeight")};
  t.projectedPointA = {number(d, "aUVFinalX"), number(d, "aUVFinalY")};
  t.projectedPointB = {number(d, "bUVFinalX"), number(d, "bUVFinalY")};
  t.projectedPointC = {number(d, "cUVFinalX"), number(d, "cUVFinalY")};
  t.projectedBoundingRect = {number(d, "boxUVFinalX"), number(d, "boxUVFinalY"), number(d, "boxUVFinalWidth"),
                             number(d, "boxUVFinalHeight")};
  t.calculateNormal();
  t.calculateCenter();
  return t;
}

QVLRect QVLTriangle::photoRegion() const {
  const double ch = texture ? texture->cameraHeight() : 0.0;
  return {textureBoundingRect.x, ch - textureBoundingRect.y - 2 * kMargin, textureBoundingRect.width,
          textureBoundingRect.height};
}
