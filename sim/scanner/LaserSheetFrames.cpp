// The sheet light: a coarse ambient ray cast, each laser's fan cast from its emitter, and fast frames.
#include "sim/scanner/LaserSheetFrames.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>

#include "sim/scanner/SensorNoise.h"

namespace qv::sim {

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 960;
// What a red laser's light gives in each camera channel (red, green, blue).
const Eigen::Vector3d kLaserResponse(1.0, 0.18, 0.10);

}  // namespace

SheetLight::SheetLight(const ScannerModel& model, const Scene& scene, double bedAngle_deg, double headHeight_mm,
                       const SheetFrameOptions& options)
    : bedAngle_(bedAngle_deg), headHeight_(headHeight_mm), options_(options) {
  const Eigen::Matrix3d turntable_from_world = ScannerModel::world_from_turntable(bedAngle_deg).transpose();
  const Eigen::Vector3d camera = turntable_from_world * model.cameraCentre_world(headHeight_mm);
  castAmbient(model, scene, turntable_from_world, camera);
  for (int laser = 0; laser < 2; ++laser) castSheet(laser, model, scene, turntable_from_world, camera);
}

void SheetLight::castAmbient(const ScannerModel& model, const Scene& scene, const Eigen::Matrix3d& turntable_from_world,
                             const Eigen::Vector3d& camera) {
  const int stride = std::max(1, options_.ambientStride);
  const int gw = kWidth / stride + 2;
  const int gh = kHeight / stride + 2;
  std::vector<Eigen::Vector3f> grid(static_cast<std::size_t>(gw) * gh);
  for (int gy = 0; gy < gh; ++gy) {
    for (int gx = 0; gx < gw; ++gx) {
      const Ray ray{camera, turntable_from_world * model.pixelDirection_world(gx * stride, gy * stride)};
      Eigen::Vector3d value;
      if (const auto hit = scene.intersect(ray)) {
        const double cosView = std::max(0.0, -hit->surface.normal.dot(ray.direction));
        value = 255.0 * options_.ambient * (0.35 + 0.65 * cosView) * hit->surface.reflectance;
      } else {
        value = 255.0 * options_.ambient * scene.background;
      }
      grid[static_cast<std::size_t>(gy) * gw + gx] = value.cast<float>();
    }
  }
  ambient_.assign(static_cast<std::size_t>(kWidth) * kHeight * 3, 0.0f);
  for (int v = 0; v < kHeight; ++v) {
    const int gy = v / stride;
    const float fy = static_cast<float>(v - gy * stride) / stride;
    for (int u = 0; u < kWidth; ++u) {
      const int gx = u / stride;
      const float fx = static_cast<float>(u - gx * stride) / stride;
      const auto& a = grid[static_cast<std::size_t>(gy) * gw + gx];
      const auto& b = grid[static_cast<std::size_t>(gy) * gw + gx + 1];
      const auto& c = grid[static_cast<std::size_t>(gy + 1) * gw + gx];
      const auto& d = grid[static_cast<std::size_t>(gy + 1) * gw + gx + 1];
      const Eigen::Vector3f value = (a * (1 - fx) + b * fx) * (1 - fy) + (c * (1 - fx) + d * fx) * fy;
      float* out = &ambient_[(static_cast<std::size_t>(v) * kWidth + u) * 3];
      out[0] = value.x();
      out[1] = value.y();
      out[2] = value.z();
    }
  }
}

void SheetLight::castSheet(int laser, const ScannerModel& model, const Scene& scene,
                           const Eigen::Matrix3d& turntable_from_world, const Eigen::Vector3d& camera) {
  const ScannerModel::LaserPlane plane_world = model.laserPlane_world(laser, headHeight_);
  const Eigen::Vector3d emitter = turntable_from_world * plane_world.emitter;
  const Eigen::Vector3d normal = (turntable_from_world * plane_world.normal).normalized();
  const Eigen::Matrix3d world_from_turntable = turntable_from_world.transpose();
  // The fan's middle points at the turntable axis, 60 mm up; it spreads within the plane.
  Eigen::Vector3d towards = turntable_from_world * (Eigen::Vector3d(0.0, 60.0, 0.0) - plane_world.emitter);
  towards -= normal * normal.dot(towards);
  const Eigen::Vector3d a = towards.normalized();
  const Eigen::Vector3d b = normal.cross(a);

  struct Sample {
    bool valid = false;
    double u = 0, v = 0;
    Eigen::Vector3d point = Eigen::Vector3d::Zero();
    Eigen::Vector3d colour = Eigen::Vector3d::Zero();
    int object = -1;
    int face = 0;
  };
  const int n = std::max(2, options_.fanRays);
  std::vector<Sample> samples(static_cast<std::size_t>(n));
  const double halfFan = 55.0 / 180.0 * M_PI;
  for (int k = 0; k < n; ++k) {
    const double theta = -halfFan + 2.0 * halfFan * k / (n - 1);
    const Ray ray{emitter, (std::cos(theta) * a + std::sin(theta) * b).normalized()};
    const auto hit = scene.intersect(ray);
    if (!hit) continue;
    Sample& s = samples[static_cast<std::size_t>(k)];
    s.point = ray.origin + hit->surface.t * ray.direction;
    const double cosIncidence = -hit->surface.normal.dot(ray.direction);
    if (cosIncidence <= 0.0) continue;
    // Seen by the camera: nothing nearer along the camera's ray to the point.
    const Eigen::Vector3d toPoint = s.point - camera;
    const double distance = toPoint.norm();
    const auto seen = scene.intersect(Ray{camera, toPoint / distance});
    if (!seen || std::fabs(seen->surface.t - distance) > 1e-3 * distance) continue;
    if (hit->surface.normal.dot(-toPoint) <= 0.0) continue;
    const auto pixel = model.project(world_from_turntable * s.point, headHeight_);
    if (!pixel) continue;
    s.valid = true;
    s.u = pixel->x();
    s.v = pixel->y();
    s.object = hit->objectId;
    s.face = hit->surface.face;
    s.colour = options_.laserPeak * hit->surface.reflectance.x() * cosIncidence * kLaserResponse;
  }

  auto offsetAt = [&](double u, double v, double& offset) {
    const Ray ray{camera, turntable_from_world * model.pixelDirection_world(u, v)};
    const auto hit = scene.intersect(ray);
    if (!hit) return false;
    offset = normal.dot(ray.origin + hit->surface.t * ray.direction - emitter);
    return true;
  };
  auto& out = crossings_[static_cast<std::size_t>(laser)];
  for (int k = 0; k + 1 < n; ++k) {
    const Sample& s0 = samples[static_cast<std::size_t>(k)];
    const Sample& s1 = samples[static_cast<std::size_t>(k + 1)];
    if (!s0.valid || !s1.valid || s0.object != s1.object || s0.face != s1.face) continue;
    if ((s1.point - s0.point).norm() > 2.0) continue;  // not one continuous piece of surface
    const double vLow = std::min(s0.v, s1.v);
    const double vHigh = std::max(s0.v, s1.v);
    if (vHigh == vLow) continue;
    // Half-open in rows, so a row that falls on a joint of two segments counts once.
    for (int row = std::max(0, static_cast<int>(std::ceil(vLow))); row < vHigh && row < kHeight; ++row) {
      const double t = (row - s0.v) / (s1.v - s0.v);
      SheetCrossing c;
      c.row = row;
      c.x_px = s0.u + t * (s1.u - s0.u);
      if (c.x_px < 0.0 || c.x_px >= kWidth) continue;
      c.point_turntable = s0.point + t * (s1.point - s0.point);
      c.colour = s0.colour + t * (s1.colour - s0.colour);
      c.objectId = s0.object;
      double left = 0.0, right = 0.0;
      double slope = 0.0;
      if (offsetAt(c.x_px - 0.5, row, left) && offsetAt(c.x_px + 0.5, row, right)) slope = std::fabs(right - left);
      c.sigma_px = slope > 1e-9 ? std::clamp(options_.laserSigma_mm / slope, 0.3, 30.0) : 30.0;
      out.push_back(c);
    }
  }
  std::sort(out.begin(), out.end(), [](const SheetCrossing& x, const SheetCrossing& y) {
    return x.row != y.row ? x.row < y.row : x.x_px < y.x_px;
  });
}

qv::Data SheetLight::frame(double exposure, std::array<bool, 2> lasers, double noiseSigma, std::uint64_t seed) const {
  qv::Data frame(static_cast<std::size_t>(kWidth) * kHeight * 4);
  SensorNoise noise(seed);
  const float e = static_cast<float>(exposure);
  const float sigma = static_cast<float>(noiseSigma);
  // Each lit laser's crossings, walked row by row alongside the frame.
  std::array<std::size_t, 2> next{0, 0};
  std::vector<float> row(static_cast<std::size_t>(kWidth) * 3);
  for (int v = 0; v < kHeight; ++v) {
    std::copy_n(&ambient_[static_cast<std::size_t>(v) * kWidth * 3], row.size(), row.begin());
    for (int laser = 0; laser < 2; ++laser) {
      const auto& list = crossings_[static_cast<std::size_t>(laser)];
      std::size_t& k = next[static_cast<std::size_t>(laser)];
      while (k < list.size() && list[k].row < v) ++k;
      for (; k < list.size() && list[k].row == v; ++k) {
        if (!lasers[static_cast<std::size_t>(laser)]) continue;
        const SheetCrossing& c = list[k];
        const double reach = 6.0 * c.sigma_px + 1.0;
        const int from = std::max(0, static_cast<int>(std::floor(c.x_px - reach)));
        const int to = std::min(kWidth - 1, static_cast<int>(std::ceil(c.x_px + reach)));
        const double scale = 1.0 / (c.sigma_px * std::sqrt(2.0));
        const double norm = c.sigma_px * std::sqrt(M_PI / 2.0);
        for (int u = from; u <= to; ++u) {
          // The sheet's profile averaged over the pixel's width.
          const double w = norm * (std::erf((u + 0.5 - c.x_px) * scale) - std::erf((u - 0.5 - c.x_px) * scale));
          float* px = &row[static_cast<std::size_t>(u) * 3];
          px[0] += static_cast<float>(c.colour.x() * w);
          px[1] += static_cast<float>(c.colour.y() * w);
          px[2] += static_cast<float>(c.colour.z() * w);
        }
      }
    }
    std::uint8_t* out = frame.data() + static_cast<std::size_t>(v) * kWidth * 4;
    for (int u = 0; u < kWidth; ++u) {
      for (int c = 0; c < 3; ++c) {
        float value = row[static_cast<std::size_t>(u) * 3 + c] * e;
        if (sigma > 0.0f) value += noise.next() * sigma;
        // Rounds half away from zero, as the values are never negative here.
        out[4 * u + (2 - c)] = static_cast<std::uint8_t>(std::clamp(value, 0.0f, 255.0f) + 0.5f);
      }
      out[4 * u + 3] = 255;
    }
  }
  return frame;
}

}  // namespace qv::sim
