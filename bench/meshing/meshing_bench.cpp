// Times the Poisson reconstruction of 100,000 oriented points at depth 8 on every core and on
// one thread, measures the surface's error on a sphere, and times the texture atlas of a
// 100,000-triangle mesh.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include <opencv2/core.hpp>

#include "platform/Value.h"
#include "store/QVLScanVertex.h"
#include "viewer/model/QVLImageProjection.h"
#include "viewer/model/QVLMesh.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 3;
constexpr double kRadius = 50.0;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Points evenly spread on a sphere with their outward normals.
qv::Data sphere(int count) {
  qv::Data blob(static_cast<std::size_t>(count) * sizeof(QVLScanVertex));
  const double golden = M_PI * (3.0 - std::sqrt(5.0));
  for (int i = 0; i < count; ++i) {
    const double y = 1.0 - 2.0 * (i + 0.5) / count, r = std::sqrt(1.0 - y * y), a = golden * i;
    QVLScanVertex v;
    v.normalX = static_cast<float>(r * std::cos(a));
    v.normalY = static_cast<float>(y);
    v.normalZ = static_cast<float>(r * std::sin(a));
    v.point3DX = static_cast<float>(kRadius * v.normalX);
    v.point3DY = static_cast<float>(kRadius * v.normalY);
    v.point3DZ = static_cast<float>(kRadius * v.normalZ);
    std::memcpy(blob.data() + i * sizeof v, &v, sizeof v);
  }
  return blob;
}

double meanError(const std::vector<qv::mesh::StlFacet>& facets) {
  double sum = 0;
  for (const auto& f : facets)
    for (const auto& c : f.corners) sum += std::abs(std::hypot(c[0], c[1], c[2]) - kRadius);
  return facets.empty() ? NAN : sum / (3.0 * facets.size());
}

// A flat sheet of 100,000 small triangles in front of four cameras side by side.
void atlas(std::vector<double>& ms) {
  qv::Data mesh(100000 * 3 * sizeof(QVLScanVertex));
  int k = 0;
  for (int i = 0; i < 250 && k < 100000; ++i)
    for (int j = 0; j < 200 && k < 100000; ++j)
      for (int half = 0; half < 2; ++half, ++k) {
        const float x = -50.0f + 0.4f * i, y = -40.0f + 0.4f * j;
        const float corners[2][3][2] = {{{x, y}, {x + 0.4f, y}, {x + 0.4f, y + 0.4f}},
                                        {{x, y}, {x + 0.4f, y + 0.4f}, {x, y + 0.4f}}};
        for (int c = 0; c < 3; ++c) {
          QVLScanVertex v;
          v.point3DX = corners[half][c][0];
          v.point3DY = corners[half][c][1];
          std::memcpy(mesh.data() + (3 * k + c) * sizeof v, &v, sizeof v);
        }
      }
  std::vector<std::shared_ptr<QVLTexture>> photos;
  for (int c = 0; c < 4; ++c) {
    auto t = std::make_shared<QVLTexture>();
    t->setCameraPosition({-37.5 + 25.0 * c, 0, -300});
    t->setCameraNormal({0, 0, 1});
    t->setCameraUp({0, 1, 0});
    t->setDistanceToCenter(300);
    t->setCameraWidth(1280);
    t->setCameraHeight(960);
    t->setCenterX(640);
    t->setCenterY(480);
    t->setMillimetersPerPoint(0.1);
    t->setMatrixOffset(Eigen::Matrix3d::Identity());
    cv::Mat image(960, 1280, CV_8UC3);
    cv::randu(image, 0, 255);
    t->setTextureImage(image);
    photos.push_back(t);
  }
  const auto folder = std::filesystem::temp_directory_path() / "bench_meshing_atlas";
  for (int run = 0; run < kRuns; ++run) {
    std::filesystem::create_directories(folder);
    const auto start = Clock::now();
    const auto record = QVLImageProjection::mapTextures(photos, mesh, folder);
    ms.push_back(secondsSince(start) * 1000.0);
    if (!record) std::fprintf(stderr, "no atlas was made\n");
    std::filesystem::remove_all(folder);
  }
}

}  // namespace

int main() {
  const qv::Data points = sphere(100000);
  std::vector<double> all, one, error;
  for (int run = 0; run < kRuns; ++run) {
    auto start = Clock::now();
    const auto facets = QVLMesh::reconstruct(points, 8, 1);
    all.push_back(secondsSince(start));
    error.push_back(meanError(facets));
    start = Clock::now();
    QVLMesh::reconstruct(points, 8, 1, 1);
    one.push_back(secondsSince(start));
  }
  std::vector<double> ms;
  atlas(ms);
  std::printf("RESULT poisson_100k_d8_s %.3f s\n", median(all));
  std::printf("RESULT peer_pcl_poisson_1t_s %.3f s\n", median(one));
  std::printf("RESULT poisson_error_mm %.4f mm\n", median(error));
  std::printf("RESULT atlas_ms %.1f ms\n", median(ms));
  return 0;
}
