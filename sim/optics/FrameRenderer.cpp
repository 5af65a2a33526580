// The ray caster: ambient shading averaged over pixels where the image changes, laser sheets with a
// Gaussian cross-section, shadows, the lens's blur and sensor noise.
#include "sim/optics/FrameRenderer.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/optics/ParallelRows.h"
#include "sim/optics/PixelAreaLight.h"
#include "sim/optics/RandomStream.h"

namespace qv::sim {

namespace {

// What a red laser's light gives in each camera channel (red, green, blue).
const Eigen::Vector3d kLaserResponse(1.0, 0.18, 0.10);
// The laser term is cut off this many sheet deviations from the plane.
constexpr double kSheetCutoff = 6.0;
// How much (in sheet deviations) a pixel's distance from the plane may bend from a straight line
// across the pixel for the sheet's light to be interpolated through the pixel centres.
constexpr double kSmoothBend = 0.05;

// Rows rendered together by one thread; small enough that the last blocks even out the threads.
constexpr int kRowsPerBlock = 8;

// Standard normal deviates as the quantiles of 65536 equal slices, picked by 16 random bits.
const std::array<float, 65536>& normalQuantiles() {
  static const std::array<float, 65536> table = [] {
    std::array<float, 65536> t{};
    for (int i = 0; i < 65536; ++i) {
      const double p = (i + 0.5) / 65536.0;
      // Acklam's rational approximation, then one Newton step on the error function.
      static const double a[] = {-3.969683028665376e+01, 2.209460984245205e+02, -2.759285104469687e+02,
                                 1.383577518672690e+02, -3.066479806614716e+01, 2.506628277459239e+00};
      static const double b[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                                 6.680131188771972e+01, -1.328068155288572e+01};
      static const double c[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                                 -2.549732539343734e+00, 4.374664141464968e+00, 2.938163982698783e+00};
      static const double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                                 3.754408661907416e+00};
      double x;
      if (p < 0.02425) {
        const double q = std::sqrt(-2.0 * std::log(p));
        x = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
            ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
      } else if (p > 1.0 - 0.02425) {
        const double q = std::sqrt(-2.0 * std::log(1.0 - p));
        x = -(((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
            ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
      } else {
        const double q = p - 0.5;
        const double r = q * q;
        x = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
            (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
      }
      const double e = 0.5 * std::erfc(-x / std::sqrt(2.0)) - p;
      const double u = e * std::sqrt(2.0 * M_PI) * std::exp(x * x / 2.0);
      x = x - u / (1.0 + x * u / 2.0);
      t[i] = static_cast<float>(x);
    }
    return t;
  }();
  return table;
}

// Three channels a pixel, four 16-bit deviates per draw: every row takes whole draws.
static_assert(FrameRenderer::kWidth * 3 % 4 == 0);
constexpr std::uint64_t kDrawsPerNoisyRow = FrameRenderer::kWidth * 3 / 4;

using DirectionKey = std::array<double, 17>;

DirectionKey directionKey(const ScannerModel& model) {
  const ScannerDesign& d = model.design();
  DirectionKey key{d.fx, d.fy, d.cx, d.cy, d.k1, d.k2, d.p1, d.p2};
  for (int i = 0; i < 9; ++i) key[8 + i] = model.world_from_camera()(i % 3, i / 3);
  return key;
}

// Undoing the distortion is a Newton solve per pixel, the same for every frame of a camera: it is
// done once for the whole image and shared by the renderers of that camera. The last few
// cameras' tables are kept, since tests make a renderer per frame. Never destroyed, like the
// light buffers below: a render may still start on a worker while the program exits.
std::shared_ptr<const std::vector<Eigen::Vector3d>> sharedDirections(const ScannerModel& model, int threads) {
  static auto* keptMutex = new std::mutex;
  static auto* keptTables = new std::vector<std::pair<DirectionKey, std::shared_ptr<const std::vector<Eigen::Vector3d>>>>;
  std::mutex& mutex = *keptMutex;
  auto& kept = *keptTables;
  const DirectionKey key = directionKey(model);
  std::lock_guard lock(mutex);
  for (auto it = kept.begin(); it != kept.end(); ++it) {
    if (it->first != key) continue;
    auto table = it->second;
    std::rotate(kept.begin(), it, it + 1);
    return table;
  }
  auto table = std::make_shared<std::vector<Eigen::Vector3d>>(static_cast<std::size_t>(FrameRenderer::kWidth) *
                                                              FrameRenderer::kHeight);
  forEachRowBlock(FrameRenderer::kHeight, kRowsPerBlock * 4, threads, [&](int begin, int end) {
    for (int v = begin; v < end; ++v)
      for (int u = 0; u < FrameRenderer::kWidth; ++u)
        (*table)[static_cast<std::size_t>(v) * FrameRenderer::kWidth + u] = model.pixelDirection_world(u, v);
  });
  kept.insert(kept.begin(), {key, table});
  if (kept.size() > 3) kept.pop_back();
  return table;
}

}  // namespace

struct FrameRenderer::Lazy {
  std::once_flag once;
  std::shared_ptr<const Directions> directions;
};

const FrameRenderer::Directions& FrameRenderer::directions() const {
  std::call_once(lazy_->once, [&] { lazy_->directions = sharedDirections(model_, threads_); });
  return *lazy_->directions;
}

// Everything about one frame that does not change from pixel to pixel, in turntable coordinates.
struct FrameRenderer::Setup {
  Eigen::Matrix3d turntable_from_world;
  Eigen::Vector3d camera;                      // the camera centre
  std::array<Eigen::Vector3d, 2> emitter;      // laser emitters
  std::array<Eigen::Vector3d, 2> sheetNormal;  // laser plane normals
  double exposure = 1.0;
};

FrameRenderer::FrameRenderer(const ScannerModel& model, const Scene& scene, int threads)
    : model_(model), scene_(scene), threads_(threads > 0 ? threads : defaultRenderThreads()),
      lazy_(std::make_shared<Lazy>()) {}

FrameRenderer::Setup FrameRenderer::setup(const FrameState& state) const {
  Setup s;
  s.turntable_from_world = ScannerModel::world_from_turntable(state.bedAngle_deg).transpose();
  s.camera = s.turntable_from_world * model_.cameraCentre_world(state.headHeight_mm);
  for (int i = 0; i < 2; ++i) {
    const ScannerModel::LaserPlane plane = model_.laserPlane_world(i, state.headHeight_mm);
    s.emitter[i] = s.turntable_from_world * plane.emitter;
    s.sheetNormal[i] = s.turntable_from_world * plane.normal;
  }
  s.exposure = state.exposure;
  return s;
}

std::optional<FrameRenderer::PixelHit> FrameRenderer::castPixel(double u, double v, const FrameState& state) const {
  const Setup s = setup(state);
  const Ray ray{s.camera, s.turntable_from_world * model_.pixelDirection_world(u, v)};
  const auto hit = scene_.intersect(ray);
  if (!hit) return std::nullopt;
  return PixelHit{*hit, ray.origin + hit->surface.t * ray.direction};
}

namespace {

struct Sample {
  bool hit = false;
  int objectId = -1;
  int face = 0;
  Eigen::Vector3d point = Eigen::Vector3d::Zero();
  Eigen::Vector3d normal = Eigen::Vector3d::UnitY();
  Eigen::Vector3d reflectance = Eigen::Vector3d::Zero();
  double cosView = 0.0;              // cosine between the normal and the way back to the camera
  std::array<double, 2> offset{};    // signed distance from each laser plane (mm)
};

// A row's samples, kept by each thread: a row is too large for the small-block heap, and mapping
// and unmapping it for every block makes the threads queue for the process's address space.
std::vector<Sample>& rowOfSamples() {
  thread_local std::vector<Sample> row(FrameRenderer::kWidth);
  return row;
}

// The same smooth piece of one object's surface.
bool sameSurface(const Sample& a, const Sample& b) { return a.objectId == b.objectId && a.face == b.face; }

}  // namespace

std::vector<FrameRenderer::LineCrossing> FrameRenderer::laserLine(const FrameState& state, int laserIndex) const {
  const Setup s = setup(state);
  const int laser = laserIndex == 0 ? 0 : 1;
  auto sampleAlong = [&](const Eigen::Vector3d& direction_world) {
    Sample sample;
    const Ray ray{s.camera, s.turntable_from_world * direction_world};
    if (const auto hit = scene_.intersect(ray)) {
      sample.hit = true;
      sample.objectId = hit->objectId;
      sample.face = hit->surface.face;
      sample.point = ray.origin + hit->surface.t * ray.direction;
      sample.normal = hit->surface.normal;
      sample.offset[laser] = s.sheetNormal[laser].dot(sample.point - s.emitter[laser]);
    }
    return sample;
  };
  auto sampleAt = [&](double u, double v) { return sampleAlong(model_.pixelDirection_world(u, v)); };
  auto lit = [&](const Sample& sample) {
    const Eigen::Vector3d toLaser = s.emitter[laser] - sample.point;
    const double distance = toLaser.norm();
    if (sample.normal.dot(toLaser) <= 0.0) return false;
    const Ray shadow{s.emitter[laser], -toLaser / distance};
    return !scene_.intersect(shadow, 1e-9, distance * (1.0 - 1e-9) - 1e-6);
  };
  // The point of the laser plane seen at a pixel: what triangulation reconstructs from it.
  const ScannerModel::LaserPlane plane = model_.laserPlane_world(laser, state.headHeight_mm);
  const Eigen::Vector3d camera_world = model_.cameraCentre_world(state.headHeight_mm);
  auto planePoint = [&](double u, double v) {
    const Eigen::Vector3d d = model_.pixelDirection_world(u, v);
    const double t = plane.normal.dot(plane.emitter - camera_world) / plane.normal.dot(d);
    return Eigen::Vector3d(camera_world + t * d);
  };

  // Each row finds its own crossings; joined in row order they run down the image.
  const Directions& pixelRays = directions();
  std::vector<std::vector<LineCrossing>> byRow(kHeight);
  forEachRowBlock(kHeight, kRowsPerBlock, threads_, [&](int begin, int end) {
    std::vector<Sample>& row = rowOfSamples();
    for (int v = begin; v < end; ++v) {
      std::vector<LineCrossing>& crossings = byRow[v];
      const Eigen::Vector3d* rays = pixelRays.data() + static_cast<std::size_t>(v) * kWidth;
      for (int u = 0; u < kWidth; ++u) row[u] = sampleAlong(rays[u]);
      for (int u = 0; u + 1 < kWidth; ++u) {
        const Sample& a = row[u];
        const Sample& b = row[u + 1];
        if (!a.hit || !b.hit || !sameSurface(a, b)) continue;
        const double da = a.offset[laser];
        const double db = b.offset[laser];
        if (!((da <= 0.0 && db > 0.0) || (da >= 0.0 && db < 0.0))) continue;
        if (!lit(a) || !lit(b)) continue;
        // Bisection along the row on the continuous surface.
        double lo = u;
        double hi = u + 1.0;
        bool continuous = true;
        for (int i = 0; i < 60 && continuous; ++i) {
          const double mid = 0.5 * (lo + hi);
          const Sample m = sampleAt(mid, v);
          if (!m.hit || !sameSurface(m, a)) {
            continuous = false;
            break;
          }
          if ((m.offset[laser] <= 0.0) == (da <= 0.0)) lo = mid;
          else hi = mid;
        }
        if (!continuous) continue;
        LineCrossing crossing;
        crossing.row = v;
        crossing.x_px = 0.5 * (lo + hi);
        const Sample centre = sampleAt(crossing.x_px, v);
        crossing.point_turntable = centre.point;
        crossing.point_world = s.turntable_from_world.transpose() * centre.point;
        crossing.objectId = a.objectId;
        bool clean = true;
        for (int k = u - 8; k <= u + 9 && clean; ++k) {
          if (k < 0 || k >= kWidth || !row[k].hit || !sameSurface(row[k], a) || !lit(row[k])) clean = false;
        }
        crossing.clean = clean;
        const double h = 0.01;
        crossing.mmPerPixel = (planePoint(crossing.x_px + h, v) - planePoint(crossing.x_px - h, v)).norm() / (2.0 * h);
        crossings.push_back(crossing);
      }
      if (crossings.size() > 1)
        for (LineCrossing& crossing : crossings) crossing.clean = false;
    }
  });
  std::vector<LineCrossing> crossings;
  for (const auto& line : byRow) crossings.insert(crossings.end(), line.begin(), line.end());
  return crossings;
}

namespace {

// Lights are kept as rows of plain floats, red, green and blue a pixel, so that the blurs run along
// them in long straight loops.
constexpr int kChannels = 3;
constexpr int kRowFloats = FrameRenderer::kWidth * kChannels;

// What a point sees: which smooth piece of which surface, of what colour (quantised far below a
// grey level). Shading varies smoothly within a piece, so a pixel whose neighbours all see the
// same is uniform across its area; where a neighbour sees another, the image changes inside it.
std::uint64_t surfaceKey(const Sample& sample) {
  if (!sample.hit) return 0;
  // Reflectances lie in [0, 1]; the clamp keeps a stray value from spilling into the next field.
  auto level = [](double r) { return static_cast<std::uint64_t>(std::clamp(r, 0.0, 1.0) * 8191.0 + 0.5); };
  return static_cast<std::uint64_t>(sample.objectId + 1) << 47 | static_cast<std::uint64_t>(sample.face & 0xff) << 39 |
         level(sample.reflectance.x()) << 26 | level(sample.reflectance.y()) << 13 | level(sample.reflectance.z());
}

// The direction through any point of the image from the whole pixels' rays around it. The rays
// turn so smoothly that a bilinear blend between pixel centres is exact to far below a thousandth
// of a pixel, and it spares a distortion solve for every sample within a pixel.
Eigen::Vector3d directionAt(const std::vector<Eigen::Vector3d>& rays, double x, double y) {
  constexpr int w = FrameRenderer::kWidth;
  const int u0 = std::clamp(static_cast<int>(std::floor(x)), 0, w - 2);
  const int v0 = std::clamp(static_cast<int>(std::floor(y)), 0, FrameRenderer::kHeight - 2);
  const double fx = x - u0;
  const double fy = y - v0;
  const Eigen::Vector3d* r = rays.data() + static_cast<std::size_t>(v0) * w + u0;
  return ((1.0 - fy) * ((1.0 - fx) * r[0] + fx * r[1]) + fy * ((1.0 - fx) * r[w] + fx * r[w + 1])).normalized();
}

// The whole frame's light between the passes of a render. Frames are large enough that fresh
// buffers for each would be mapped and faulted in anew every time: a few are kept for reuse.
struct FrameLight {
  static constexpr std::size_t kPixels = static_cast<std::size_t>(FrameRenderer::kWidth) * FrameRenderer::kHeight;
  std::vector<float> centre = std::vector<float>(kPixels * kChannels);   // seen at each pixel's centre, no laser
  std::vector<std::uint64_t> key = std::vector<std::uint64_t>(kPixels);  // surfaceKey() of the centre
  // The lasers' light, then each pixel's light over its area blurred along its row.
  std::vector<float> light = std::vector<float>(kPixels * kChannels);
};

class FrameLightLease {
public:
  FrameLightLease() {
    std::lock_guard lock(mutex());
    if (!kept().empty()) {
      light_ = std::move(kept().back());
      kept().pop_back();
    }
    if (!light_) light_ = std::make_unique<FrameLight>();
  }
  ~FrameLightLease() {
    std::lock_guard lock(mutex());
    if (kept().size() < 4) kept().push_back(std::move(light_));
  }
  FrameLightLease(const FrameLightLease&) = delete;
  FrameLightLease& operator=(const FrameLightLease&) = delete;
  FrameLight& operator*() const { return *light_; }

private:
  // Never destroyed: a camera's render may still be running on a worker thread while the program
  // exits, and it hands its buffers back here.
  static std::mutex& mutex() {
    static auto* m = new std::mutex;
    return *m;
  }
  static std::vector<std::unique_ptr<FrameLight>>& kept() {
    static auto* k = new std::vector<std::unique_ptr<FrameLight>>;
    return *k;
  }
  std::unique_ptr<FrameLight> light_;
};

// The normalised taps of a Gaussian of `sigma` px out to three deviations (one tap of 1 when sharp).
std::vector<float> blurKernel(double sigma) {
  if (sigma <= 0.0) return {1.0f};
  const int radius = static_cast<int>(std::ceil(3.0 * sigma));
  std::vector<double> taps(2 * radius + 1);
  double total = 0.0;
  for (int i = -radius; i <= radius; ++i) total += taps[i + radius] = std::exp(-0.5 * i * i / (sigma * sigma));
  std::vector<float> kernel;
  for (double t : taps) kernel.push_back(static_cast<float>(t / total));
  return kernel;
}

// out[j] = scale x the sum over the taps of weight[t] source[t][j], for j below `count`, each sum
// taken in the order of the taps. It runs in short chunks so that the sums stay in registers
// while every tap's row streams past once.
void weightedSum(const float* const* source, const float* weight, int taps, float scale, float* out, int count) {
  constexpr int kChunk = 16;
  int j = 0;
  for (; j + kChunk <= count; j += kChunk) {
    float sum[kChunk] = {};
    for (int t = 0; t < taps; ++t)
      for (int c = 0; c < kChunk; ++c) sum[c] += weight[t] * source[t][j + c];
    for (int c = 0; c < kChunk; ++c) out[j + c] = sum[c] * scale;
  }
  for (; j < count; ++j) {
    float sum = 0.0f;
    for (int t = 0; t < taps; ++t) sum += weight[t] * source[t][j];
    out[j] = sum * scale;
  }
}

// One row's light blurred along the row; the frame's edges repeat their last pixel.
void blurAlongRow(const float* in, float* out, const std::vector<float>& kernel) {
  constexpr int w = FrameRenderer::kWidth;
  const int radius = static_cast<int>(kernel.size() / 2);
  if (w > 2 * radius) {
    thread_local std::vector<const float*> shifted;
    shifted.clear();
    for (int i = -radius; i <= radius; ++i) shifted.push_back(in + kChannels * (radius + i));
    weightedSum(shifted.data(), kernel.data(), static_cast<int>(kernel.size()), 1.0f, out + kChannels * radius,
                kChannels * (w - 2 * radius));
  }
  auto nearTheEdge = [&](int u) {
    for (int c = 0; c < kChannels; ++c) {
      float sum = 0.0f;
      for (int i = -radius; i <= radius; ++i) sum += kernel[i + radius] * in[kChannels * std::clamp(u + i, 0, w - 1) + c];
      out[kChannels * u + c] = sum;
    }
  };
  for (int u = 0; u < std::min(radius, w); ++u) nearTheEdge(u);
  for (int u = std::max(w - radius, radius); u < w; ++u) nearTheEdge(u);
}

}  // namespace

qv::Data FrameRenderer::render(const FrameState& state) const {
  const Setup s = setup(state);
  const Directions& pixelRays = directions();
  const double sigma = state.laserSigma_mm;
  const int subsamples = std::max(1, state.subsamples);
  const int areaSamples = std::max(1, state.areaSamples);

  auto sampleAlong = [&](const Eigen::Vector3d& direction_world) {
    Sample sample;
    const Ray ray{s.camera, s.turntable_from_world * direction_world};
    if (const auto hit = scene_.intersect(ray)) {
      sample.hit = true;
      sample.objectId = hit->objectId;
      sample.face = hit->surface.face;
      sample.point = ray.origin + hit->surface.t * ray.direction;
      sample.normal = hit->surface.normal;
      sample.reflectance = hit->surface.reflectance;
      sample.cosView = std::max(0.0, -sample.normal.dot(ray.direction));
      for (int i = 0; i < 2; ++i) sample.offset[i] = s.sheetNormal[i].dot(sample.point - s.emitter[i]);
    }
    return sample;
  };
  auto sampleAt = [&](double u, double v) { return sampleAlong(directionAt(pixelRays, u, v)); };
  // The light the scene's own lighting sends back from a sample, per channel, before the exposure.
  auto ambientLight = [&](const Sample& sample) -> Eigen::Vector3f {
    if (sample.hit) return (255.0 * state.ambient * (0.35 + 0.65 * sample.cosView) * sample.reflectance).cast<float>();
    return (255.0 * state.ambient * scene_.background).cast<float>();
  };
  auto seeAt = [&](double u, double v) {
    const Sample sample = sampleAt(u, v);
    return SeenPoint{surfaceKey(sample), ambientLight(sample)};
  };
  // The grey levels laser i adds in red where a sample lies in the middle of its sheet: 0 where
  // the surface faces away from the laser or something stands between them.
  auto laserReach = [&](const Sample& sample, int i) {
    if (!sample.hit) return 0.0;
    const Eigen::Vector3d toLaser = s.emitter[i] - sample.point;
    const double distance = toLaser.norm();
    const double cosIncidence = sample.normal.dot(toLaser) / distance;
    if (cosIncidence <= 0.0) return 0.0;
    const Ray shadow{s.emitter[i], -toLaser / distance};
    if (scene_.intersect(shadow, 1e-9, distance * (1.0 - 1e-9) - 1e-6)) return 0.0;
    return state.laserPeak * sample.reflectance.x() * cosIncidence;
  };
  // The sheet's Gaussian cross-section at a signed distance from its plane.
  auto sheet = [&](double offset) {
    return std::fabs(offset) > kSheetCutoff * sigma ? 0.0 : std::exp(-offset * offset / (2.0 * sigma * sigma));
  };

  const FrameLightLease lease;
  FrameLight& f = *lease;
  auto at = [](int u, int v) { return static_cast<std::size_t>(v) * kWidth + u; };

  // First every pixel's centre: what it sees and its ambient light, and the lasers' light.
  forEachRowBlock(kHeight, kRowsPerBlock, threads_, [&](int begin, int end) {
    std::vector<Sample>& row = rowOfSamples();
    for (int v = begin; v < end; ++v) {
      const Eigen::Vector3d* rays = pixelRays.data() + static_cast<std::size_t>(v) * kWidth;
      for (int u = 0; u < kWidth; ++u) row[u] = sampleAlong(rays[u]);
      float* centre = f.centre.data() + at(0, v) * kChannels;
      float* lasers = f.light.data() + at(0, v) * kChannels;
      std::fill(lasers, lasers + kRowFloats, 0.0f);
      for (int u = 0; u < kWidth; ++u) {
        Eigen::Map<Eigen::Vector3f>(centre + kChannels * u) = ambientLight(row[u]);
        f.key[at(u, v)] = surfaceKey(row[u]);
      }
      for (int i = 0; i < 2; ++i) {
        if (!state.laserOn[i]) continue;
        // What the laser reaches at each pixel's centre, found when first wanted (NaN: not yet).
        thread_local std::vector<double> reach(kWidth);
        std::fill(reach.begin(), reach.end(), std::nan(""));
        auto reachAt = [&](int u) {
          if (std::isnan(reach[u])) reach[u] = laserReach(row[u], i);
          return reach[u];
        };
        for (int u = 0; u < kWidth; ++u) {
          // The sheet is thin next to a pixel's footprint: integrate it across the pixel wherever
          // the plane passes within reach of this pixel or its neighbours.
          bool near = false;
          int sign = 0;
          for (int k = std::max(u - 1, 0); k <= std::min(u + 1, kWidth - 1); ++k) {
            if (!row[k].hit) continue;
            const double offset = row[k].offset[i];
            if (std::fabs(offset) < kSheetCutoff * sigma) near = true;
            const int sk = offset > 0.0 ? 1 : -1;
            if (sign != 0 && sk != sign) near = true;
            sign = sk;
          }
          if (!near) continue;
          double red = 0.0;  // summed over the subsamples
          // On one smooth piece of surface, lit alike at the three centres, the distance from the
          // plane and the light reaching the surface vary smoothly across the pixel: they are
          // interpolated through the centres, which spares two rays a subsample. The distance must
          // bend little within the pixel against the sheet's width.
          bool smooth = u > 0 && u < kWidth - 1 && row[u].hit && f.key[at(u - 1, v)] == f.key[at(u, v)] &&
                        f.key[at(u + 1, v)] == f.key[at(u, v)];
          const double before = smooth ? row[u - 1].offset[i] : 0.0;
          const double here = smooth ? row[u].offset[i] : 0.0;
          const double after = smooth ? row[u + 1].offset[i] : 0.0;
          smooth = smooth && std::fabs(after - 2.0 * here + before) < kSmoothBend * sigma;
          if (smooth) {
            const double lit[3] = {reachAt(u - 1), reachAt(u), reachAt(u + 1)};
            smooth = (lit[0] > 0.0) == (lit[1] > 0.0) && (lit[2] > 0.0) == (lit[1] > 0.0);
            if (smooth && lit[1] > 0.0) {
              for (int k = 0; k < subsamples; ++k) {
                const double x = (k + 0.5) / subsamples - 0.5;
                const double offset = here + 0.5 * x * (after - before) + 0.5 * x * x * (after - 2.0 * here + before);
                red += (x < 0.0 ? lit[1] + x * (lit[1] - lit[0]) : lit[1] + x * (lit[2] - lit[1])) * sheet(offset);
              }
            }
          }
          if (!smooth) {
            for (int k = 0; k < subsamples; ++k) {
              const Sample sample = sampleAt(u - 0.5 + (k + 0.5) / subsamples, v);
              if (!sample.hit) continue;
              const double across = sheet(sample.offset[i]);
              if (across > 0.0) red += laserReach(sample, i) * across;
            }
          }
          if (red == 0.0) continue;
          Eigen::Map<Eigen::Vector3f>(lasers + kChannels * u) += (red / subsamples * kLaserResponse).cast<float>();
        }
      }
    }
  });

  // Then each pixel's light over its area, and the lens's blur along the rows.
  const std::vector<float> kernel = blurKernel(state.lensBlur_px);
  const int radius = static_cast<int>(kernel.size() / 2);
  forEachRowBlock(kHeight, kRowsPerBlock, threads_, [&](int begin, int end) {
    thread_local std::vector<float> row(kRowFloats);
    thread_local PixelAreaLight area(kWidth);
    if (areaSamples > 1) area.start(seeAt, areaSamples);
    for (int v = begin; v < end; ++v) {
      const int above = std::max(v - 1, 0);
      const int below = std::min(v + 1, kHeight - 1);
      const float* centre = f.centre.data() + at(0, v) * kChannels;
      float* light = f.light.data() + at(0, v) * kChannels;
      for (int u = 0; u < kWidth; ++u) {
        Eigen::Map<Eigen::Vector3f> value(row.data() + kChannels * u);
        value = Eigen::Map<const Eigen::Vector3f>(centre + kChannels * u);
        if (areaSamples > 1) {
          // The eight neighbours in order round the pixel (the frame's edges repeat themselves).
          const int left = std::max(u - 1, 0);
          const int right = std::min(u + 1, kWidth - 1);
          const std::uint64_t key = f.key[at(u, v)];
          const std::uint64_t ring[8] = {f.key[at(left, above)],  f.key[at(u, above)], f.key[at(right, above)],
                                         f.key[at(right, v)],     f.key[at(right, below)], f.key[at(u, below)],
                                         f.key[at(left, below)], f.key[at(left, v)]};
          std::uint64_t differs = 0;
          for (std::uint64_t k : ring) differs |= k ^ key;
          if (differs != 0) {
            int changes = 0;
            for (int k = 0; k < 8; ++k) changes += ring[k] != ring[(k + 1) % 8];
            value = area.light(u, v, SeenPoint{key, value}, changes <= 2);
          }
        }
        value += Eigen::Map<const Eigen::Vector3f>(light + kChannels * u);
      }
      blurAlongRow(row.data(), light, kernel);
    }
  });

  qv::Data frame(static_cast<std::size_t>(kWidth) * kHeight * 4);
  const auto& quantiles = normalQuantiles();
  const std::uint64_t seed = state.noiseSeed * 0x2545F4914F6CDD1DULL + 0x1234567ULL;
  const float exposure = static_cast<float>(s.exposure);
  const float noiseSigma = static_cast<float>(state.noiseSigma);

  // Last the blur down the columns, the exposure and the sensor. Each block of rows runs its own
  // copy of the noise stream, started where a single pass over the frame would be at its first
  // row, so the frame does not depend on the blocks.
  forEachRowBlock(kHeight, kRowsPerBlock, threads_, [&](int begin, int end) {
    thread_local std::vector<float> column(kRowFloats);
    RandomStream random(seed);
    if (state.noiseSigma > 0.0) random.skip(static_cast<std::uint64_t>(begin) * kDrawsPerNoisyRow);
    thread_local std::vector<const float*> rows;
    for (int v = begin; v < end; ++v) {
      rows.clear();
      for (int i = -radius; i <= radius; ++i) rows.push_back(f.light.data() + at(0, std::clamp(v + i, 0, kHeight - 1)) * kChannels);
      weightedSum(rows.data(), kernel.data(), static_cast<int>(kernel.size()), exposure, column.data(), kRowFloats);
      if (state.noiseSigma > 0.0) {
        // Four 16-bit deviates a draw, taken in the order of the channels along the row.
        for (int j = 0; j < kRowFloats; j += 4) {
          std::uint64_t bits = random.next();
          for (int b = 0; b < 4; ++b, bits >>= 16) column[j + b] += quantiles[bits & 0xffff] * noiseSigma;
        }
      }
      std::uint8_t* out = frame.data() + static_cast<std::size_t>(v) * kWidth * 4;
      for (int u = 0; u < kWidth; ++u) {
        // Blue, green, red in memory; rounded to the nearest grey level.
        for (int c = 0; c < kChannels; ++c)
          out[4 * u + (2 - c)] = static_cast<std::uint8_t>(std::clamp(column[kChannels * u + c], 0.0f, 255.0f) + 0.5f);
        out[4 * u + 3] = 255;
      }
    }
  });
  return frame;
}

}  // namespace qv::sim
