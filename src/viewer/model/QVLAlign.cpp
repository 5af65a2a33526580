// QVLAlign: reference points, the search over radius ratios, and moving vertex data by a matrix.
#include "viewer/model/QVLAlign.h"

#include <cmath>
#include <cstring>

#include <Eigen/Dense>
#include <Eigen/Geometry>

#include "platform/Log.h"
#include "store/QVLScanVertex.h"

namespace {

constexpr std::size_t kRecordBytes = sizeof(QVLScanVertex);
constexpr std::size_t kPositionOffset = offsetof(QVLScanVertex, point3DX);
constexpr std::size_t kNormalOffset = offsetof(QVLScanVertex, normalX);
constexpr std::int32_t kIterations = 1000;
constexpr std::int32_t kLeastMatches = 20;  // a coarse pass must keep more than this
constexpr int kRatios = 6;

bool finite3(const float v[3]) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

// The transpose of the inverse of the rotation part: the rotation part with the scale and shear
// of the matrix split off (Eigen's polar split by SVD), so that normals never change length.
Eigen::Matrix3d normalMatrix(const QVLAlign::Matrix& m) {
  Eigen::Matrix3d a;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) a(r, c) = m[4 * r + c];
  Eigen::Affine3d affine = Eigen::Affine3d::Identity();
  affine.linear() = a;
  const Eigen::Matrix3d rotation = affine.rotation();
  return rotation.transpose().inverse();
}

void movePosition(const QVLAlign::Matrix& m, float v[3]) {
  if (!finite3(v)) return;
  if (v[0] == 0.0f && v[1] == 0.0f && v[2] == 0.0f) return;
  const float x = v[0], y = v[1], z = v[2];
  v[0] = m[0] * x + m[1] * y + m[2] * z + m[3];
  v[1] = m[4] * x + m[5] * y + m[6] * z + m[7];
  v[2] = m[8] * x + m[9] * y + m[10] * z + m[11];
}

// The length test is written so that NaN fails it too.
bool hasLength(const float n[3]) { return std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]) > 0.0f; }

Eigen::Vector3d turned(const Eigen::Matrix3d& normals, const float n[3]) {
  return normals * Eigen::Vector3d(n[0], n[1], n[2]);
}

}  // namespace

QVLAlign::Matrix QVLAlign::identity() {
  return {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
}

bool QVLAlign::buildPointDataFromSourceData(std::span<const std::uint8_t> sourceData, const ReferenceSet& references,
                                            std::int32_t* numberOfPoints, std::vector<QVLAlignmentPoint>* pointData) {
  if (sourceData.size() < kRecordBytes) return false;
  const std::size_t records = sourceData.size() / kRecordBytes;
  std::vector<QVLAlignmentPoint> points(records);
  std::size_t count = 0;
  for (const auto& list : references) {
    if (!list || list->size() < 4) continue;
    const std::size_t entries = list->size() / 4;
    for (std::size_t e = 0; e < entries; ++e) {
      if (count >= records) {
        QVLogWarn("There are more points than vertices! (%lu > %lu)", static_cast<unsigned long>(count),
                  static_cast<unsigned long>(records));
        break;
      }
      std::uint32_t index;
      std::memcpy(&index, list->data() + 4 * e, 4);
      if (index >= records) {
        QVLogWarn("Source reference out of range: %d", static_cast<int>(index));
        continue;
      }
      if (index == 0) continue;  // record 0 means "no vertex"
      float p[3];
      std::memcpy(p, sourceData.data() + index * kRecordBytes + kPositionOffset, sizeof p);
      if (!finite3(p) || (p[0] == 0.0f && p[1] == 0.0f && p[2] == 0.0f)) continue;
      QVLAlignmentPoint& point = points[count++];
      point.x = p[0];
      point.y = p[1];
      point.z = p[2];
    }
  }
  points.resize(count);
  if (numberOfPoints) *numberOfPoints = static_cast<std::int32_t>(count);
  if (pointData) *pointData = std::move(points);
  return true;
}

bool QVLAlign::alignTargetScanObject(std::span<const std::uint8_t> targetVertexData,
                                     const ReferenceSet& targetReferenceData,
                                     std::span<const std::uint8_t> baseVertexData,
                                     const ReferenceSet& baseReferenceData, Matrix* matrix) {
  return alignTargetScanObject(targetVertexData, targetReferenceData, baseVertexData, baseReferenceData, matrix, Steps{});
}

bool QVLAlign::alignTargetScanObject(std::span<const std::uint8_t> targetVertexData,
                                     const ReferenceSet& targetReferenceData,
                                     std::span<const std::uint8_t> baseVertexData,
                                     const ReferenceSet& baseReferenceData, Matrix* matrix, const Steps& steps) {
  // Shorter than one record is as empty as no bytes at all: there is no point to build.
  if (targetVertexData.size() < kRecordBytes || baseVertexData.size() < kRecordBytes || !matrix) return false;
  std::int32_t baseCount = 0, targetCount = 0;
  std::vector<QVLAlignmentPoint> basePoints, targetPoints;
  buildPointDataFromSourceData(baseVertexData, baseReferenceData, &baseCount, &basePoints);
  buildPointDataFromSourceData(targetVertexData, targetReferenceData, &targetCount, &targetPoints);

  for (int step = 1; step <= kRatios; ++step) {
    const auto ratio = static_cast<float>(step);
    Matrix working = identity();
    float bestLeaf = 0;
    std::int32_t bestCount = 0;
    steps.coarse(targetPoints.data(), &targetCount, basePoints.data(), &baseCount, working.data(), kIterations,
                           &bestLeaf, &bestCount, ratio);
    if (bestCount <= kLeastMatches) continue;
    // The coarse matches alone prove nothing: only a refinement that converged with the moved
    // scan lying on the fixed one is an alignment. Otherwise the next ratio gets its chance.
    const QVLIcpOutcome fine = steps.refine(targetPoints.data(), &targetCount, basePoints.data(), &baseCount,
                                            working.data(), kIterations, ratio, bestLeaf);
    if (!fine.converged || fine.fitness < kMinimumFitness || fine.inliers <= kLeastMatches) {
      QVLogInfo("The refinement at ratio %d was refused (converged %d, fitness %.3f)", step, fine.converged ? 1 : 0,
                fine.fitness);
      continue;
    }
    QVLogInfo("Alignment succesful.");
    *matrix = working;
    return true;
  }
  QVLogWarn("Alignment didn't succeeded.");
  *matrix = identity();
  return false;
}

void QVLAlign::applyMatrixToVertex(const Matrix& matrix, float vertex[3]) { movePosition(matrix, vertex); }

void QVLAlign::applyMatrixToNormal(const Matrix& matrix, float normal[3]) {
  if (!hasLength(normal)) return;
  const Eigen::Vector3d n = turned(normalMatrix(matrix), normal);
  for (int i = 0; i < 3; ++i) normal[i] = static_cast<float>(n[i]);
}

std::vector<std::uint8_t> QVLAlign::applyMatrixToVertexData(const Matrix& matrix,
                                                            std::span<const std::uint8_t> vertexData) {
  std::vector<std::uint8_t> out(vertexData.begin(), vertexData.end());
  if (out.size() < kRecordBytes) return out;
  const Eigen::Matrix3d normals = normalMatrix(matrix);
  const std::size_t records = out.size() / kRecordBytes;
  for (std::size_t i = 0; i < records; ++i) {
    std::uint8_t* record = out.data() + i * kRecordBytes;
    float p[3], n[3];
    std::memcpy(p, record + kPositionOffset, sizeof p);
    movePosition(matrix, p);
    std::memcpy(record + kPositionOffset, p, sizeof p);
    std::memcpy(n, record + kNormalOffset, sizeof n);
    if (!hasLength(n)) continue;
    const Eigen::Vector3d t = turned(normals, n).normalized();
    for (int k = 0; k < 3; ++k) n[k] = static_cast<float>(t[k]);
    std::memcpy(record + kNormalOffset, n, sizeof n);
  }
  return out;
}
