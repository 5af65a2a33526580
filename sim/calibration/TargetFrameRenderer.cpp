// The area-averaging colour renderer of the calibration scene.
#include "sim/calibration/TargetFrameRenderer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

namespace qv::sim {

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 960;

// Runs body(first, last) over bands of rows on every core.
template <typename Body>
void forEachRowBand(int rows, Body body) {
  const int workers = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> threads;
  const int band = (rows + workers - 1) / workers;
  for (int first = 0; first < rows; first += band) threads.emplace_back(body, first, std::min(rows, first + band));
  for (auto& t : threads) t.join();
}

// A splitmix64 step mapped to [0, 1): repeatable jitter without shared state.
double uniform(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-53;
}

}  // namespace

TargetFrameRenderer::TargetFrameRenderer(const ScannerModel& model, const Scene& scene, int subsamples, double blur_px)
    : model_(model), scene_(scene), subsamples_(std::max(1, subsamples)), blur_(std::max(0.0, blur_px)) {}

qv::Data TargetFrameRenderer::render(const FrameState& state) const {
  const Eigen::Matrix3d turntable_from_world = ScannerModel::world_from_turntable(state.bedAngle_deg).transpose();
  const Eigen::Vector3d camera = turntable_from_world * model_.cameraCentre_world(state.headHeight_mm);
  // The light one point of the image receives, before the exposure: what the optics' renderer gives a pixel centre.
  auto light = [&](double u, double v) -> Eigen::Vector3d {
    const Ray ray{camera, turntable_from_world * model_.pixelDirection_world(u, v)};
    if (const auto hit = scene_.intersect(ray)) {
      const double cosView = std::max(0.0, -hit->surface.normal.dot(ray.direction));
      return 255.0 * state.ambient * (0.35 + 0.65 * cosView) * hit->surface.reflectance;
    }
    return 255.0 * state.ambient * scene_.background;
  };

  std::vector<Eigen::Vector3f> centre(static_cast<std::size_t>(kWidth) * kHeight);
  forEachRowBand(kHeight, [&](int first, int last) {
    for (int v = first; v < last; ++v)
      for (int u = 0; u < kWidth; ++u) centre[static_cast<std::size_t>(v) * kWidth + u] = light(u, v).cast<float>();
  });

  std::vector<Eigen::Vector3f> area(centre.size());
  const int n = subsamples_;
  forEachRowBand(kHeight, [&](int first, int last) {
    for (int v = first; v < last; ++v) {
      for (int u = 0; u < kWidth; ++u) {
        const Eigen::Vector3f& c = centre[static_cast<std::size_t>(v) * kWidth + u];
        // A pixel all of whose neighbours look the same is taken to be uniform across its area.
        bool edge = false;
        for (int dv = -1; dv <= 1 && !edge; ++dv) {
          for (int du = -1; du <= 1 && !edge; ++du) {
            const int x = u + du;
            const int y = v + dv;
            if (x < 0 || y < 0 || x >= kWidth || y >= kHeight) continue;
            if ((centre[static_cast<std::size_t>(y) * kWidth + x] - c).cwiseAbs().maxCoeff() > 0.5f) edge = true;
          }
        }
        Eigen::Vector3d value = c.cast<double>();
        if (edge) {
          value.setZero();
          // One point at random within each cell of an n x n grid: a regular grid would measure every
          // edge's coverage in the same steps of 1/n and move the edges coherently.
          std::uint64_t state = (static_cast<std::uint64_t>(v) << 32) ^ static_cast<std::uint64_t>(u) ^ 0x9e3779b97f4a7c15ULL;
          for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
              const double jx = uniform(state);
              const double jy = uniform(state);
              value += light(u - 0.5 + (j + jx) / n, v - 0.5 + (i + jy) / n);
            }
          value /= n * n;
        }
        area[static_cast<std::size_t>(v) * kWidth + u] = value.cast<float>();
      }
    }
  });

  if (blur_ > 0.0) {
    const int radius = static_cast<int>(std::ceil(3.0 * blur_));
    std::vector<float> kernel(2 * radius + 1);
    float total = 0.0f;
    for (int i = -radius; i <= radius; ++i) total += kernel[i + radius] = static_cast<float>(std::exp(-0.5 * i * i / (blur_ * blur_)));
    for (float& k : kernel) k /= total;
    // Separable: along the rows, then down the columns; the edges repeat their last pixel.
    std::vector<Eigen::Vector3f> pass(area.size());
    forEachRowBand(kHeight, [&](int first, int last) {
      for (int v = first; v < last; ++v)
        for (int u = 0; u < kWidth; ++u) {
          Eigen::Vector3f sum = Eigen::Vector3f::Zero();
          for (int i = -radius; i <= radius; ++i)
            sum += kernel[i + radius] * area[static_cast<std::size_t>(v) * kWidth + std::clamp(u + i, 0, kWidth - 1)];
          pass[static_cast<std::size_t>(v) * kWidth + u] = sum;
        }
    });
    forEachRowBand(kHeight, [&](int first, int last) {
      for (int v = first; v < last; ++v)
        for (int u = 0; u < kWidth; ++u) {
          Eigen::Vector3f sum = Eigen::Vector3f::Zero();
          for (int i = -radius; i <= radius; ++i)
            sum += kernel[i + radius] * pass[static_cast<std::size_t>(std::clamp(v + i, 0, kHeight - 1)) * kWidth + u];
          area[static_cast<std::size_t>(v) * kWidth + u] = sum;
        }
    });
  }

  qv::Data frame(static_cast<std::size_t>(kWidth) * kHeight * 4);
  forEachRowBand(kHeight, [&](int first, int last) {
    for (int v = first; v < last; ++v) {
      for (int u = 0; u < kWidth; ++u) {
        const Eigen::Vector3d value = area[static_cast<std::size_t>(v) * kWidth + u].cast<double>() * state.exposure;
        std::uint8_t* out = frame.data() + 4 * (static_cast<std::size_t>(v) * kWidth + u);
        for (int k = 0; k < 3; ++k)
          out[2 - k] = static_cast<std::uint8_t>(std::lround(std::clamp(value[k], 0.0, 255.0)));
        out[3] = 255;
      }
    }
  });
  return frame;
}

}  // namespace qv::sim
