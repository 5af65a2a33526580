// The laser-line detector: the whole-frame reference chain and the sparse path that reproduces it.
#include "acquisition/LaserLineDetector.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>

#include "acquisition/SubpixelPeak.h"
#include "acquisition/internal/SparseFilters.h"
#include "platform/Log.h"

namespace qv {

namespace {

using namespace sparse;

constexpr int kW = kFrameWidth;
constexpr int kH = kFrameHeight;

float brightness(int value) { return static_cast<float>(value) / 255.0f; }

Colour colourAt(const LaserLineOptions& options, int row, int column) {
  if (!options.colourFrame) return Colour::lightGrey();
  const std::uint8_t* p = options.colourFrame + static_cast<std::size_t>(row) * kFrameBytesPerRow + column * 4;
  return {p[options.redOffset] / 255.0, p[options.greenOffset] / 255.0, p[options.blueOffset] / 255.0, 1.0};
}

// A saturated stretch around the green peak xg: an over-exposed point when it is long enough.
template <typename GreyAt>
bool addOverExposedPoint(int row, int xg, GreyAt greyAt, LaserLineDetection& out) {
  int right = xg;
  while (right < kW && greyAt(right) >= kSaturatedGrey) ++right;
  int left = xg;
  while (left >= 0 && greyAt(left) >= kSaturatedGrey) --left;
  const int run = right - left;
  if (run < kOverExposedRun) return false;
  QVSImageLaserPoint point(static_cast<float>(left), row, Colour::black(), brightness(greyAt(std::max(left, 0))));
  point.setWidth(static_cast<float>(run));
  out.overExposed.push_back(point);
  return true;
}

// The brightest red of a frame: where the camera clips, wherever that lies.
int maximumRed(const std::uint8_t* frame) {
  std::uint8_t maximum = 0;
  for (std::size_t i = 2; i < kFrameBytes; i += 4) maximum = std::max(maximum, frame[i]);
  return maximum;
}

// The laser frame's clipped columns in a row.
ClippedColumns clippedColumnsOf(const std::uint8_t* laserOn, int row, int clipLevel) {
  return {laserOn + static_cast<std::size_t>(row) * kFrameBytesPerRow + 2, 4, clipLevel};
}

// The filtered row's peak m at column xp (m > 0): a noisy, wide or accepted point, or nothing.
void classifyPeak(const std::uint8_t* filteredRow, int row, int m, int xp, const LaserLineOptions& options,
                  const ClippedColumns& clipped, LaserLineDetection& out) {
  if (m < kLitLevel) {
    QVSImageLaserPoint point(static_cast<float>(xp), row, Colour::white(), brightness(filteredRow[xp]));
    point.setWidth(1.0f);
    out.noisy.push_back(point);
    return;
  }
  int right = xp;
  while (right < kW && filteredRow[right] >= kLitLevel) ++right;
  int left = xp;
  while (left >= 0 && filteredRow[left] >= kLitLevel) --left;
  const int width = right - left;
  // Read at the run's left end on purpose: the peak itself is often clipped by the filter.
  const float leftBrightness = brightness(filteredRow[std::max(left, 0)]);
  if (width >= kWideRun) {
    out.wide.emplace_back(static_cast<float>(xp), row, Colour::white(), leftBrightness);
    return;
  }
  const Colour colour = colourAt(options, row, xp);
  const float delta = subpixelDelta(filteredRow, kW, xp);
  if (std::fabs(delta) > kMaximumSubpixelOffset) return;
  const float x = refineSubpixelColumn(filteredRow, kW, xp, delta, clipped);
  QVSImageLaserPoint point(x, row, colour, leftBrightness);
  point.setWidth(static_cast<float>(width));
  point.setLeftPixelX(left);
  out.points.push_back(point);
}

void writeDiagnosticImage(const std::filesystem::path& folder, const char* name, const cv::Mat& image) {
  if (folder.empty()) return;
  const std::string path = (folder / name).string();
  try {
    if (!cv::imwrite(path, image)) QVLogWarn("Could not write diagnostic image %s", path.c_str());
  } catch (const cv::Exception& e) {
    QVLogWarn("Could not write diagnostic image %s: %s", path.c_str(), e.what());
  }
}

// ---- Bit planes: one bit a pixel, marking where the sparse path has work ----

constexpr int kWords = kW / 64;
static_assert(kW % 64 == 0);

struct BitPlane {
  std::vector<std::uint64_t> words = std::vector<std::uint64_t>(static_cast<std::size_t>(kH) * kWords, 0);
  std::uint64_t* row(int r) { return words.data() + static_cast<std::size_t>(r) * kWords; }
  const std::uint64_t* row(int r) const { return words.data() + static_cast<std::size_t>(r) * kWords; }
  void clear() { std::fill(words.begin(), words.end(), 0); }
};

int nextSet(const std::uint64_t* bits, int pos) {
  if (pos >= kW) return kW;
  int w = pos >> 6;
  std::uint64_t word = bits[w] & (~std::uint64_t{0} << (pos & 63));
  for (;;) {
    if (word) return (w << 6) + std::countr_zero(word);
    if (++w == kWords) return kW;
    word = bits[w];
  }
}

int nextClear(const std::uint64_t* bits, int pos) {
  if (pos >= kW) return kW;
  int w = pos >> 6;
  std::uint64_t word = ~bits[w] & (~std::uint64_t{0} << (pos & 63));
  for (;;) {
    if (word) return (w << 6) + std::countr_zero(word);
    if (++w == kWords) return kW;
    word = ~bits[w];
  }
}

// Calls f(begin, end) for each run of set bits of a row, left to right.
template <typename F>
void forEachSpan(const std::uint64_t* bits, F f) {
  int c = nextSet(bits, 0);
  while (c < kW) {
    const int end = nextClear(bits, c);
    f(c, end);
    c = nextSet(bits, end);
  }
}

// out = in grown by one pixel in every direction (3 x 3).
void dilate(const BitPlane& in, BitPlane& horizontal, BitPlane& out) {
  for (int r = 0; r < kH; ++r) {
    const std::uint64_t* a = in.row(r);
    std::uint64_t* h = horizontal.row(r);
    for (int w = 0; w < kWords; ++w) {
      std::uint64_t v = a[w] | (a[w] << 1) | (a[w] >> 1);
      if (w > 0) v |= a[w - 1] >> 63;
      if (w + 1 < kWords) v |= a[w + 1] << 63;
      h[w] = v;
    }
  }
  for (int r = 0; r < kH; ++r) {
    const std::uint64_t* up = horizontal.row(r > 0 ? r - 1 : r);
    const std::uint64_t* mid = horizontal.row(r);
    const std::uint64_t* down = horizontal.row(r + 1 < kH ? r + 1 : r);
    std::uint64_t* o = out.row(r);
    for (int w = 0; w < kWords; ++w) o[w] = up[w] | mid[w] | down[w];
  }
}

struct SparseWorkspace {
  std::vector<std::uint8_t> thresholded = std::vector<std::uint8_t>(static_cast<std::size_t>(kW) * kH, 0);
  std::vector<std::uint8_t> filtered = std::vector<std::uint8_t>(static_cast<std::size_t>(kW) * kH, 0);
  BitPlane raw;           // raw red difference above the threshold
  BitPlane needRed;       // where the median-filtered difference can pass the threshold
  BitPlane lit;           // where it does
  BitPlane needFiltered;  // where the bilateral filter can be non-zero
  BitPlane scratch;
  std::array<std::array<std::uint8_t, 3>, kH> rowMaximum{};  // blue, green, red maxima of the laser-on rows
  std::vector<std::uint8_t> smoothOnRow = std::vector<std::uint8_t>(kFrameBytesPerRow);
  std::vector<std::uint8_t> smoothOffRow = std::vector<std::uint8_t>(kFrameBytesPerRow);
  std::vector<std::uint8_t> medianScratch = std::vector<std::uint8_t>(3 * (kFrameBytesPerRow + 8));
  bool dirty = false;

  // The two work images are zero wherever no bit of the planes says otherwise. A call that ended
  // early (an exception) leaves its planes behind, so cleaning happens at the start of the next.
  void clean() {
    if (!dirty) return;
    for (int r = 0; r < kH; ++r) {
      std::uint8_t* t = thresholded.data() + static_cast<std::size_t>(r) * kW;
      forEachSpan(needRed.row(r), [&](int b, int e) { std::memset(t + b, 0, e - b); });
      std::uint8_t* f = filtered.data() + static_cast<std::size_t>(r) * kW;
      forEachSpan(needFiltered.row(r), [&](int b, int e) { std::memset(f + b, 0, e - b); });
    }
    raw.clear();
    needRed.clear();
    lit.clear();
    needFiltered.clear();
    dirty = false;
  }
};

// Marks pixels whose raw red difference exceeds `threshold` and records each laser-on row's
// channel maxima; answers the number of marked pixels.
long findRawCandidates(const std::uint8_t* off, const std::uint8_t* on, int threshold, SparseWorkspace& ws) {
  long count = 0;
  for (int r = 0; r < kH; ++r) {
    const std::uint8_t* a = on + static_cast<std::size_t>(r) * kFrameBytesPerRow;
    const std::uint8_t* b = off + static_cast<std::size_t>(r) * kFrameBytesPerRow;
    std::uint64_t* bits = ws.raw.row(r);
    std::uint8_t lanes[16];
#if CV_SIMD128
    const cv::v_uint8x16 limit = cv::v_setall_u8(static_cast<uchar>(threshold));
    const cv::v_uint8x16 redLanes(0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 0);
    cv::v_uint8x16 maximum = cv::v_setzero_u8();
    for (int chunk = 0; chunk < kW / 4; ++chunk) {
      const cv::v_uint8x16 va = cv::v_load(a + 16 * chunk);
      const cv::v_uint8x16 vb = cv::v_load(b + 16 * chunk);
      maximum = cv::v_max(maximum, va);
      const cv::v_uint8x16 above = ((va - vb) > limit) & redLanes;  // saturating difference
      if (cv::v_check_any(above)) {
        const unsigned m = static_cast<unsigned>(cv::v_signmask(above));
        const unsigned pixels = ((m >> 2) & 1u) | ((m >> 5) & 2u) | ((m >> 8) & 4u) | ((m >> 11) & 8u);
        const int column = 4 * chunk;
        bits[column >> 6] |= static_cast<std::uint64_t>(pixels) << (column & 63);
        count += std::popcount(pixels);
      }
    }
    cv::v_store(lanes, maximum);
#else
    std::fill(std::begin(lanes), std::end(lanes), 0);
    for (int c = 0; c < kW; ++c) {
      for (int ch = 0; ch < 3; ++ch) lanes[ch] = std::max(lanes[ch], a[4 * c + ch]);
      if (a[4 * c + 2] > b[4 * c + 2] && a[4 * c + 2] - b[4 * c + 2] > threshold) {
        bits[c >> 6] |= std::uint64_t{1} << (c & 63);
        ++count;
      }
    }
#endif
    for (int ch = 0; ch < 3; ++ch)
      ws.rowMaximum[r][ch] = std::max(std::max(lanes[ch], lanes[ch + 4]), std::max(lanes[ch + 8], lanes[ch + 12]));
  }
  return count;
}

bool checkFiltersAgainstOpenCV() {
  std::mt19937 random(0x51a7e);
  // Thresholded red differences: zero, or runs of neighbouring values above 60 whose steps are
  // small enough for the colour weight to matter.
  cv::Mat probe(64, kW, CV_8U, cv::Scalar(0));
  for (int r = 0; r < probe.rows; ++r) {
    int value = 0;
    for (int c = 0; c < kW; ++c) {
      const unsigned pick = random() % 16;
      if (pick < 3) value = 0;
      else if (pick < 5) value = 61 + static_cast<int>(random() % 195);
      else if (value > 0) value = std::clamp(value + static_cast<int>(random() % 17) - 8, 61, 255);
      probe.at<std::uint8_t>(r, c) = static_cast<std::uint8_t>(value);
    }
  }
  cv::Mat expected;
  cv::bilateralFilter(probe, expected, 3, 0, 0, cv::BORDER_REPLICATE);
  for (int r = 0; r < probe.rows; ++r)
    for (int c = 0; c < kW; ++c)
      if (bilateralAt(probe.data, probe.rows, probe.cols, probe.step, r, c) != expected.at<std::uint8_t>(r, c))
        return false;
  cv::Mat colour(64, kW, CV_8UC4);
  cv::randu(colour, 0, 256);
  cv::Mat grey;
  cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
  for (int r = 0; r < colour.rows; ++r) {
    for (int c = 0; c < kW; ++c) {
      const cv::Vec4b p = colour.at<cv::Vec4b>(r, c);
      if (greyOf(p[0], p[1], p[2]) != grey.at<std::uint8_t>(r, c)) return false;
    }
  }
  return true;
}

}  // namespace

LaserLineDetection detectLaserLineReference(const std::uint8_t* laserOff, const std::uint8_t* laserOn,
                                            const LaserLineOptions& options,
                                            const std::filesystem::path& diagnosticsFolder) {
  const auto& folder = diagnosticsFolder;
  // Wrapped, not copied: the frames must not change during the call.
  const cv::Mat off(kH, kW, CV_8UC4, const_cast<std::uint8_t*>(laserOff), kFrameBytesPerRow);
  const cv::Mat on(kH, kW, CV_8UC4, const_cast<std::uint8_t*>(laserOn), kFrameBytesPerRow);
  writeDiagnosticImage(folder, "LineDetectionLaserOff.png", off);
  writeDiagnosticImage(folder, "LineDetectionLaserOn.png", on);

  cv::Mat smoothOn;
  cv::medianBlur(on, smoothOn, 3);
  writeDiagnosticImage(folder, "LineDetectionSmoothOn.png", smoothOn);
  cv::Mat smoothOff;
  cv::medianBlur(off, smoothOff, 3);
  writeDiagnosticImage(folder, "LineDetectionSmoothOff.png", smoothOff);
  cv::Mat difference;
  cv::subtract(smoothOn, smoothOff, difference);
  writeDiagnosticImage(folder, "LineDetectionLaserDiff.png", difference);
  std::vector<cv::Mat> channels;
  cv::split(difference, channels);
  const cv::Mat& green = channels[1];
  const cv::Mat& red = channels[2];
  writeDiagnosticImage(folder, "LineDetectionChannelGreen.png", green);
  writeDiagnosticImage(folder, "LineDetectionChannelRed.png", red);
  cv::Mat redThreshold;
  cv::threshold(red, redThreshold, options.threshold, 0, cv::THRESH_TOZERO);
  writeDiagnosticImage(folder, "LineDetectionRedThreshold.png", redThreshold);
  cv::Mat filtered;
  cv::bilateralFilter(redThreshold, filtered, 3, 0, 0, cv::BORDER_REPLICATE);
  writeDiagnosticImage(folder, "LineDetectionRedThresholdBlurred.png", filtered);
  cv::Mat grey;
  cv::cvtColor(smoothOn, grey, cv::COLOR_BGR2GRAY);
  writeDiagnosticImage(folder, "GreyscaleLaserImage.png", grey);

  LaserLineDetection out;
  const int clipLevel = maximumRed(laserOn);
  int maximumGrey = 0;
  for (int r = 0; r < kH; ++r) {
    const std::uint8_t* greenRow = green.ptr<std::uint8_t>(r);
    int xg = 0;
    for (int c = 1; c < kW; ++c)
      if (greenRow[c] > greenRow[xg]) xg = c;
    const std::uint8_t* greyRow = grey.ptr<std::uint8_t>(r);
    const int g = greyRow[xg];
    maximumGrey = std::max(maximumGrey, g);
    if (g >= kSaturatedGrey && addOverExposedPoint(r, xg, [&](int c) { return int{greyRow[c]}; }, out)) continue;

    const std::uint8_t* filteredRow = filtered.ptr<std::uint8_t>(r);
    int xp = 0;
    for (int c = 1; c < kW; ++c)
      if (filteredRow[c] > filteredRow[xp]) xp = c;
    const int m = filteredRow[xp];
    if (m == 0) continue;
    classifyPeak(filteredRow, r, m, xp, options, clippedColumnsOf(laserOn, r, clipLevel), out);
  }
  if (options.wantMaximumGrey) out.maximumGrey = maximumGrey;
  return out;
}

LaserLineDetection detectLaserLineSparse(const std::uint8_t* laserOff, const std::uint8_t* laserOn,
                                         const LaserLineOptions& options) {
  // The 8-bit threshold keeps values above its floor; outside 0..254 nothing or everything passes.
  if (!(options.threshold >= 0.0 && options.threshold < 255.0))
    return detectLaserLineReference(laserOff, laserOn, options);
  const int threshold = static_cast<int>(std::floor(options.threshold));

  thread_local SparseWorkspace ws;
  ws.clean();
  ws.dirty = true;

  const long candidates = findRawCandidates(laserOff, laserOn, threshold, ws);
  if (candidates > static_cast<long>(kW) * kH / 8) {
    LaserLineDetection chain = detectLaserLineReference(laserOff, laserOn, options);
    chain.candidates = candidates;
    return chain;
  }

  // The median-filtered red difference, thresholded, wherever it can pass the threshold.
  dilate(ws.raw, ws.scratch, ws.needRed);
  std::uint8_t medianOn[kW];
  std::uint8_t medianOff[kW];
  for (int r = 0; r < kH; ++r) {
    std::uint8_t* t = ws.thresholded.data() + static_cast<std::size_t>(r) * kW;
    std::uint64_t* litRow = ws.lit.row(r);
    forEachSpan(ws.needRed.row(r), [&](int begin, int end) {
      medianRun(laserOn, 2, r, begin, end, medianOn);
      medianRun(laserOff, 2, r, begin, end, medianOff);
      for (int c = begin; c < end; ++c) {
        const int difference = medianOn[c - begin] - medianOff[c - begin];
        if (difference > threshold) {
          t[c] = static_cast<std::uint8_t>(difference);
          litRow[c >> 6] |= std::uint64_t{1} << (c & 63);
        }
      }
    });
  }

  // The bilateral filter wherever a thresholded value lies within reach.
  dilate(ws.lit, ws.scratch, ws.needFiltered);
  for (int r = 0; r < kH; ++r) {
    std::uint8_t* f = ws.filtered.data() + static_cast<std::size_t>(r) * kW;
    forEachSpan(ws.needFiltered.row(r), [&](int begin, int end) {
      for (int c = begin; c < end; ++c) f[c] = bilateralAt(ws.thresholded.data(), kH, kW, kW, r, c);
    });
  }

  LaserLineDetection out;
  out.path = LaserLineDetectionPath::Sparse;
  out.candidates = candidates;
  int clipLevel = 0;
  for (const auto& maxima : ws.rowMaximum) clipLevel = std::max<int>(clipLevel, maxima[2]);
  int maximumGrey = 0;
  for (int r = 0; r < kH; ++r) {
    // The grey at the green peak can only reach saturation where the brightest laser-on pixels
    // within one row could; elsewhere the green search is skipped.
    std::array<int, 3> bound{};
    for (int rr = std::max(r - 1, 0); rr <= std::min(r + 1, kH - 1); ++rr)
      for (int ch = 0; ch < 3; ++ch) bound[ch] = std::max<int>(bound[ch], ws.rowMaximum[rr][ch]);
    if (options.wantMaximumGrey || greyOf(bound[0], bound[1], bound[2]) >= kSaturatedGrey) {
      const std::uint8_t* smoothOn = ws.smoothOnRow.data();
      const std::uint8_t* smoothOff = ws.smoothOffRow.data();
      medianRow(laserOn, r, ws.medianScratch.data(), ws.smoothOnRow.data());
      medianRow(laserOff, r, ws.medianScratch.data(), ws.smoothOffRow.data());
      int xg = 0;
      int best = -1;
      for (int c = 0; c < kW; ++c) {
        const int difference = std::max(smoothOn[4 * c + 1] - smoothOff[4 * c + 1], 0);
        if (difference > best) {
          best = difference;
          xg = c;
        }
      }
      auto greyAt = [&](int c) { return greyOf(smoothOn[4 * c], smoothOn[4 * c + 1], smoothOn[4 * c + 2]); };
      const int g = greyAt(xg);
      maximumGrey = std::max(maximumGrey, g);
      if (g >= kSaturatedGrey && addOverExposedPoint(r, xg, greyAt, out)) continue;
    }

    const std::uint8_t* filteredRow = ws.filtered.data() + static_cast<std::size_t>(r) * kW;
    int m = 0;
    int xp = 0;
    forEachSpan(ws.needFiltered.row(r), [&](int begin, int end) {
      for (int c = begin; c < end; ++c) {
        if (filteredRow[c] > m) {
          m = filteredRow[c];
          xp = c;
        }
      }
    });
    if (m == 0) continue;
    classifyPeak(filteredRow, r, m, xp, options, clippedColumnsOf(laserOn, r, clipLevel), out);
  }
  if (options.wantMaximumGrey) out.maximumGrey = maximumGrey;
  return out;
}

bool sparseLaserLineDetectorIsExact() {
  static std::once_flag once;
  static bool exact = false;
  std::call_once(once, [] {
    exact = checkFiltersAgainstOpenCV();
    if (!exact) QVLogWarn("The sparse laser-line detector does not match this OpenCV build; using the full chain");
  });
  return exact;
}

LaserLineDetection detectLaserLine(const std::uint8_t* laserOff, const std::uint8_t* laserOn,
                                   const LaserLineOptions& options) {
  if (sparseLaserLineDetectorIsExact()) return detectLaserLineSparse(laserOff, laserOn, options);
  return detectLaserLineReference(laserOff, laserOn, options);
}

}  // namespace qv
