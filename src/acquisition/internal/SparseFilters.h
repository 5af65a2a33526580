// The filter kernels of the sparse laser-line detector: each reproduces, bit for bit, one step of
// the whole-frame OpenCV chain (the 3 x 3 median, the bilateral filter, the grey conversion) for
// the pixels the sparse path computes. Tested against OpenCV in the detector's tests; the
// bilateral filter and the grey conversion are also checked once per process before use.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/core/hal/intrin.hpp>

#include "acquisition/LaserLineDetector.h"

namespace qv::sparse {

// The grey of a blue, green, red pixel as OpenCV's 8-bit conversion computes it (15-bit fixed point).
inline int greyOf(int blue, int green, int red) {
  return (blue * 3735 + green * 19235 + red * 9798 + (1 << 14)) >> 15;
}

struct BilateralWeights {
  std::array<float, 256> colour{};
  std::array<float, 5> space{};
};

// The 3 x 3 bilateral filter with colour and space sigmas of 1: the taps within one pixel of the
// centre (above, left, centre, right, below), weights as single-precision exponentials.
inline const BilateralWeights& bilateralWeights() {
  static const BilateralWeights weights = [] {
    BilateralWeights w;
    const double colourCoefficient = -0.5;
    const double spaceCoefficient = -0.5;
    for (int i = 0; i < 256; ++i) w.colour[i] = static_cast<float>(std::exp(i * i * colourCoefficient));
    int k = 0;
    for (int i = -1; i <= 1; ++i) {
      for (int j = -1; j <= 1; ++j) {
        const double r = std::sqrt(static_cast<double>(i) * i + static_cast<double>(j) * j);
        if (r > 1.0) continue;
        w.space[k++] = static_cast<float>(std::exp(r * r * spaceCoefficient));
      }
    }
    return w;
  }();
  return weights;
}

// One output pixel of that filter over a single-channel image, borders replicated.
inline std::uint8_t bilateralAt(const std::uint8_t* image, int rows, int columns, std::size_t step, int r, int c) {
  const BilateralWeights& w = bilateralWeights();
  const std::uint8_t* row = image + r * step;
  const std::uint8_t* above = image + (r > 0 ? r - 1 : 0) * step;
  const std::uint8_t* below = image + (r + 1 < rows ? r + 1 : rows - 1) * step;
  const int centre = row[c];
  const int taps[5] = {above[c], row[c > 0 ? c - 1 : 0], centre, row[c + 1 < columns ? c + 1 : columns - 1], below[c]};
  float sum = 0.0f;
  float weightSum = 0.0f;
  for (int k = 0; k < 5; ++k) {
    const float weight = w.space[k] * w.colour[std::abs(centre - taps[k])];
    weightSum += weight;
    sum += static_cast<float>(taps[k]) * weight;
  }
  return static_cast<std::uint8_t>(std::lrint(sum / weightSum));
}

inline void sort2(std::uint8_t& a, std::uint8_t& b) {
  const std::uint8_t lo = std::min(a, b);
  b = std::max(a, b);
  a = lo;
}

inline std::uint8_t median3(std::uint8_t a, std::uint8_t b, std::uint8_t c) {
  return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

// The 3 x 3 median (borders replicated) of channel `channel` of a frame at row `r`, columns
// [c0, c1): each column's three values are sorted once, and the median of nine is the median of
// the largest low, the middle middle and the smallest high of three neighbouring columns.
inline void medianRun(const std::uint8_t* frame, int channel, int r, int c0, int c1, std::uint8_t* out) {
  const std::uint8_t* rows[3] = {frame + static_cast<std::size_t>(r > 0 ? r - 1 : 0) * kFrameBytesPerRow,
                                 frame + static_cast<std::size_t>(r) * kFrameBytesPerRow,
                                 frame + static_cast<std::size_t>(r + 1 < kFrameHeight ? r + 1 : kFrameHeight - 1) * kFrameBytesPerRow};
  std::uint8_t lo[kFrameWidth + 2];
  std::uint8_t mid[kFrameWidth + 2];
  std::uint8_t hi[kFrameWidth + 2];
  const int n = c1 - c0 + 2;
  for (int k = 0; k < n; ++k) {
    const int c = std::clamp(c0 - 1 + k, 0, kFrameWidth - 1) * 4 + channel;
    std::uint8_t a = rows[0][c];
    std::uint8_t b = rows[1][c];
    std::uint8_t d = rows[2][c];
    sort2(a, b);
    sort2(b, d);
    sort2(a, b);
    lo[k] = a;
    mid[k] = b;
    hi[k] = d;
  }
  for (int c = c0; c < c1; ++c) {
    const int k = c - c0 + 1;
    const std::uint8_t maxLow = std::max(std::max(lo[k - 1], lo[k]), lo[k + 1]);
    const std::uint8_t midMid = median3(mid[k - 1], mid[k], mid[k + 1]);
    const std::uint8_t minHigh = std::min(std::min(hi[k - 1], hi[k]), hi[k + 1]);
    out[c - c0] = median3(maxLow, midMid, minHigh);
  }
}

// The 3 x 3 median (borders replicated) of every channel of row `r` of a frame, into `out`
// (5120 bytes, the row's layout). `scratch` holds 3 x 5128 bytes. Bytes are filtered as they lie:
// a pixel's neighbours are 4 bytes away, so one vector handles four pixels of all channels.
inline void medianRow(const std::uint8_t* frame, int r, std::uint8_t* scratch, std::uint8_t* out) {
  constexpr int kBytes = kFrameBytesPerRow;
  constexpr int kPadded = kBytes + 8;  // one replicated pixel either side
  const std::uint8_t* a = frame + static_cast<std::size_t>(r > 0 ? r - 1 : 0) * kBytes;
  const std::uint8_t* b = frame + static_cast<std::size_t>(r) * kBytes;
  const std::uint8_t* c = frame + static_cast<std::size_t>(r + 1 < kFrameHeight ? r + 1 : kFrameHeight - 1) * kBytes;
  std::uint8_t* lo = scratch;
  std::uint8_t* mid = scratch + kPadded;
  std::uint8_t* hi = scratch + 2 * kPadded;
  int i = 0;
#if CV_SIMD128
  for (; i + 16 <= kBytes; i += 16) {
    const cv::v_uint8x16 va = cv::v_load(a + i);
    const cv::v_uint8x16 vb = cv::v_load(b + i);
    const cv::v_uint8x16 vc = cv::v_load(c + i);
    const cv::v_uint8x16 low = cv::v_min(va, vb);
    const cv::v_uint8x16 high = cv::v_max(va, vb);
    cv::v_store(lo + 4 + i, cv::v_min(low, vc));
    cv::v_store(hi + 4 + i, cv::v_max(high, vc));
    cv::v_store(mid + 4 + i, cv::v_max(low, cv::v_min(high, vc)));
  }
#endif
  for (; i < kBytes; ++i) {
    const std::uint8_t low = std::min(a[i], b[i]);
    const std::uint8_t high = std::max(a[i], b[i]);
    lo[4 + i] = std::min(low, c[i]);
    hi[4 + i] = std::max(high, c[i]);
    mid[4 + i] = std::max(low, std::min(high, c[i]));
  }
  for (std::uint8_t* p : {lo, mid, hi}) {
    std::memcpy(p, p + 4, 4);
    std::memcpy(p + kBytes + 4, p + kBytes, 4);
  }
  i = 0;
#if CV_SIMD128
  for (; i + 16 <= kBytes; i += 16) {
    const cv::v_uint8x16 maxLow = cv::v_max(cv::v_max(cv::v_load(lo + i), cv::v_load(lo + 4 + i)), cv::v_load(lo + 8 + i));
    const cv::v_uint8x16 m0 = cv::v_load(mid + i);
    const cv::v_uint8x16 m1 = cv::v_load(mid + 4 + i);
    const cv::v_uint8x16 m2 = cv::v_load(mid + 8 + i);
    const cv::v_uint8x16 midMid = cv::v_max(cv::v_min(m0, m1), cv::v_min(cv::v_max(m0, m1), m2));
    const cv::v_uint8x16 minHigh = cv::v_min(cv::v_min(cv::v_load(hi + i), cv::v_load(hi + 4 + i)), cv::v_load(hi + 8 + i));
    cv::v_store(out + i, cv::v_max(cv::v_min(maxLow, midMid), cv::v_min(cv::v_max(maxLow, midMid), minHigh)));
  }
#endif
  for (; i < kBytes; ++i) {
    const std::uint8_t maxLow = std::max(std::max(lo[i], lo[4 + i]), lo[8 + i]);
    const std::uint8_t midMid = median3(mid[i], mid[4 + i], mid[8 + i]);
    const std::uint8_t minHigh = std::min(std::min(hi[i], hi[4 + i]), hi[8 + i]);
    out[i] = median3(maxLow, midMid, minHigh);
  }
}

}  // namespace qv::sparse
