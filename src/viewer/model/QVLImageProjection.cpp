// The photo choice per triangle, the atlas packing, the atlas image and its UV data.
#include "viewer/model/QVLImageProjection.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "formats/FormatErrors.h"
#include "formats/internal/AtomicFile.h"
#include "platform/Log.h"
#include "platform/UUID.h"
#include "store/QVLScanVertex.h"
#include "store/TBCoreDataStoreS1.h"

namespace {

constexpr double kNoScore = 2.0 * M_PI;  // above every score, which lies in [-2, 2]
constexpr std::size_t kUVBytesPerTriangle = 6 * sizeof(double);

bool insideBand(const QVLPoint& p) {
  return p.x > QVLImageProjection::kLowUV && p.x < QVLImageProjection::kHighUV && p.y > QVLImageProjection::kLowUV &&
         p.y < QVLImageProjection::kHighUV;
}

int regionWidth(const QVLTriangle& t) { return static_cast<int>(t.textureBoundingRect.width); }
int regionHeight(const QVLTriangle& t) { return static_cast<int>(t.textureBoundingRect.height); }

}  // namespace

std::shared_ptr<QVLTexture> QVLImageProjection::mapTextures(const std::vector<std::shared_ptr<QVLTexture>>& textures,
                                                            std::span<const std::uint8_t> meshed,
                                                            const std::filesystem::path& folder, qv::Error* error) {
  if (error) *error = qv::Error();
  if (textures.empty() || meshed.size() < 3 * sizeof(QVLScanVertex)) return nullptr;
  const bool anyImage =
      std::any_of(textures.begin(), textures.end(), [](const auto& t) { return t && !t->textureImage().empty(); });
  if (!anyImage) return nullptr;
  QVLImageProjection projection;
  projection.buildTrianglesByProjectingTextures(textures, meshed);
  return projection.buildAtlas(folder.empty() ? TBCoreDataStoreS1::appLibraryDirectory() : folder, error);
}

void QVLImageProjection::buildTrianglesByProjectingTextures(const std::vector<std::shared_ptr<QVLTexture>>& textures,
                                                            std::span<const std::uint8_t> meshed) {
  std::vector<std::shared_ptr<QVLTexture>> readable;
  for (const auto& t : textures)
    if (t && !t->textureImage().empty()) readable.push_back(t);

  const std::size_t count = meshed.size() / (3 * sizeof(QVLScanVertex));
  mappedTriangles.clear();
  mappedTriangles.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    QVLTriangle triangle = *QVLTriangle::initWithDataPointer(meshed, 3 * k);
    if (!triangle.isDegenerate()) {
      std::shared_ptr<QVLTexture> best;
      QVLPoint uv[3];
      double bestScore = kNoScore;
      for (const auto& photo : readable) {
        const Eigen::Vector3d d = (photo->cameraPosition() - triangle.center).normalized();
        const double score = photo->cameraNormal().dot(d) - triangle.normal.dot(d);
        if (!(score < bestScore)) continue;
        const auto a = QVLTriangle::getUVcoordinateFor(triangle.vertexA, *photo);
        const auto b = QVLTriangle::getUVcoordinateFor(triangle.vertexB, *photo);
        const auto c = QVLTriangle::getUVcoordinateFor(triangle.vertexC, *photo);
        if (!a || !b || !c || !insideBand(*a) || !insideBand(*b) || !insideBand(*c)) continue;
        best = photo;
        bestScore = score;
        uv[0] = *a;
        uv[1] = *b;
        uv[2] = *c;
      }
      if (best) {
        triangle.texture = best;
        triangle.texturePointA = uv[0];
        triangle.texturePointB = uv[1];
        triangle.texturePointC = uv[2];
        triangle.updateTextureBoundingBox();
      }
    }
    mappedTriangles.push_back(std::move(triangle));
  }
}

QVLImageProjection::Size QVLImageProjection::packAtlas() {
  const std::size_t n = mappedTriangles.size();
  if (n == 0) return {};
  std::vector<std::size_t> byHeight(n), byWidth(n);
  std::iota(byHeight.begin(), byHeight.end(), 0);
  std::iota(byWidth.begin(), byWidth.end(), 0);
  auto& tri = mappedTriangles;
  std::stable_sort(byHeight.begin(), byHeight.end(), [&](std::size_t l, std::size_t r) {
    return std::pair(regionHeight(tri[l]), regionWidth(tri[l])) > std::pair(regionHeight(tri[r]), regionWidth(tri[r]));
  });
  std::stable_sort(byWidth.begin(), byWidth.end(), [&](std::size_t l, std::size_t r) {
    return std::pair(regionWidth(tri[l]), regionHeight(tri[l])) > std::pair(regionWidth(tri[r]), regionHeight(tri[r]));
  });
  for (QVLTriangle& t : tri) t.hasBeenConsumed = false;
  auto place = [&](std::size_t i, int x, int y) {
    tri[i].updateFinalBoxUVWithOrigin({static_cast<double>(x), static_cast<double>(y)});
    tri[i].hasBeenConsumed = true;
  };

  const std::size_t first = byHeight.front();
  place(first, 0, 0);
  tri[first].showDebugInfo = true;
  int W = regionWidth(tri[first]), H = regionHeight(tri[first]);
  std::size_t a = 0, b = 0;
  bool column = true;
  int x = W, y = 0, rowY = 0;
  for (;;) {
    if (column) {
      while (b < n && tri[byWidth[b]].hasBeenConsumed) ++b;
      if (b == n) break;
      const std::size_t p = byWidth[b];
      if (y + regionHeight(tri[p]) <= H) {
        place(p, x, y);
        y += regionHeight(tri[p]);
        W = std::max(W, x + regionWidth(tri[p]));
        ++b;
      } else {
        column = false;
        rowY = H;
        x = 0;
      }
    } else {
      while (a < n && tri[byHeight[a]].hasBeenConsumed) ++a;
      const bool fits = a < n && x + regionWidth(tri[byHeight[a]]) <= W;
      if (!fits) {
        column = true;
        x = W;
        y = 0;
        continue;
      }
      const std::size_t r = byHeight[a];
      place(r, x, rowY);
      x += regionWidth(tri[r]);
      H = std::max(H, rowY + regionHeight(tri[r]));
      ++a;
    }
  }
  return {W, H};
}

std::shared_ptr<QVLTexture> QVLImageProjection::buildAtlas(const std::filesystem::path& folder, qv::Error* error) {
  if (error) *error = qv::Error();
  // Without a single textured triangle the atlas would be 0 x 0 and every UV a division by zero.
  if (std::none_of(mappedTriangles.begin(), mappedTriangles.end(), [](const QVLTriangle& t) { return t.texture != nullptr; }))
    return nullptr;
  const Size packed = packAtlas();
  if (packed.width <= 0 || packed.height <= 0) return nullptr;
  const double scale = std::min(1.0, static_cast<double>(kMaxAtlasSide) / std::max(packed.width, packed.height));
  const Size image{std::clamp(static_cast<int>(std::lround(packed.width * scale)), 1, kMaxAtlasSide),
                   std::clamp(static_cast<int>(std::lround(packed.height * scale)), 1, kMaxAtlasSide)};

  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  const std::filesystem::path path = folder / (qv::makeUUIDString() + ".png");
  if (!drawTrianglesToImageWithSize(packed, image, path, error)) return nullptr;

  // UVs are fractions of the packed size, which a uniform scale-down keeps.
  qv::Data uvs(mappedTriangles.size() * kUVBytesPerTriangle);
  std::uint8_t* out = uvs.data();
  for (QVLTriangle& t : mappedTriangles) {
    t.updateFinalUVForFinalImageSize(packed.width, packed.height);
    const double values[6] = {t.projectedPointA.x, t.projectedPointA.y, t.projectedPointB.x,
                              t.projectedPointB.y, t.projectedPointC.x, t.projectedPointC.y};
    std::memcpy(out, values, sizeof values);
    out += sizeof values;
  }
  auto atlas = std::make_shared<QVLTexture>();
  atlas->setTextureFileName(path.string());
  atlas->setTextureCoordinatesData(std::move(uvs));
  return atlas;
}

bool QVLImageProjection::drawTrianglesToImageWithSize(Size packed, Size image, const std::filesystem::path& path,
                                                      qv::Error* error) {
  if (packed.width <= 0 || packed.height <= 0 || image.width <= 0 || image.height <= 0) {
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kInvalidParameterError, "The texture atlas has no size");
    return false;
  }
  const double sx = static_cast<double>(image.width) / packed.width;
  const double sy = static_cast<double>(image.height) / packed.height;
  cv::Mat atlas(image.height, image.width, CV_8UC3, cv::Scalar(128, 128, 128));
  const cv::Rect atlasBounds(0, 0, image.width, image.height);
  for (QVLTriangle& t : mappedTriangles) {
    if (!t.texture || t.projectedBoundingRect.width <= 0 || t.projectedBoundingRect.height <= 0) continue;
    const cv::Mat photo = t.texture->textureImage();
    if (photo.empty()) continue;
    const QVLRect region = t.photoRegion();
    const cv::Rect source(static_cast<int>(region.x), static_cast<int>(region.y), static_cast<int>(region.width),
                          static_cast<int>(region.height));
    const cv::Rect clip = source & cv::Rect(0, 0, photo.cols, photo.rows);
    if (clip.empty()) continue;
    // The clipped part keeps its place within the region; the UVs are not moved.
    const double dx = t.projectedBoundingRect.x + (clip.x - source.x);
    const double dy = t.projectedBoundingRect.y + (clip.y - source.y);
    if (sx == 1.0 && sy == 1.0) {
      const cv::Rect dest = cv::Rect(static_cast<int>(dx), static_cast<int>(dy), clip.width, clip.height) & atlasBounds;
      if (dest.size() == clip.size()) photo(clip).copyTo(atlas(dest));
      continue;
    }
    const int x0 = static_cast<int>(std::floor(dx * sx)), y0 = static_cast<int>(std::floor(dy * sy));
    const int x1 = static_cast<int>(std::ceil((dx + clip.width) * sx)), y1 = static_cast<int>(std::ceil((dy + clip.height) * sy));
    const cv::Rect dest = cv::Rect(x0, y0, std::max(1, x1 - x0), std::max(1, y1 - y0)) & atlasBounds;
    if (dest.empty()) continue;
    cv::Mat scaled;
    cv::resize(photo(clip), scaled, dest.size(), 0, 0, cv::INTER_AREA);
    scaled.copyTo(atlas(dest));
  }

  cv::Mat bgr;
  cv::cvtColor(atlas, bgr, cv::COLOR_RGB2BGR);
  std::vector<std::uint8_t> png;
  if (!cv::imencode(".png", bgr, png)) {
    if (error) *error = qv::fileError(qv::kFileWriteError, path.string(), 0, "The texture atlas could not be encoded");
    return false;
  }
  return qv::writeFileAtomically(path, {std::span<const std::uint8_t>(png)}, error);
}
