// The live preview of a running scan: six level-of-detail point sets (100, 75, 50, 25, 10 and 4 %
// of the points, thinned as they arrive), one of them shown, and the latest save's points
// flashed in red. Every save of the store hands its points in on the store's thread; the sets
// and their nodes are guarded by one lock, so the main thread may read counts and fade at any time.
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <vector>

#include "screens/QVLScanViewPointSet.h"
#include "screens/ScanPreviewScene.h"

namespace qv::screens {

class ScanPreview {
public:
  static constexpr int kLevels = 6;
  // The share of each arriving batch that each level removes, finest first.
  static constexpr std::array<float, kLevels> kFractions{0.0f, 0.25f, 0.5f, 0.75f, 0.9f, 0.96f};

  explicit ScanPreview(ScanPreviewScene& scene);

  // Empties every set and shows the finest again (a scan start).
  void reset();

  // One save's points, split by laser (first laser A, second B), in the store's order. Feeds
  // the sets coarser than the shown one and then the shown one; when the shown one is full the
  // display steps to the next coarser set, drawn whole. The save's points become the red
  // highlight; new nodes of the shown set wait for fadeIn.
  void intake(const std::vector<QVLPreviewVertex>& batchA, const std::vector<QVLPreviewVertex>& batchB);
  // On the main thread after an intake: the shown set's new nodes appear.
  void fadeIn();
  // On the main thread: the red highlight fades towards the background (0 red .. 1 gone).
  void fadeHighlight(float fade);

  // 1 for the 100 % set .. 6 for the 4 % set.
  int setToDisplay() const;
  std::size_t numberOfPoints(int set) const;
  std::size_t lastSliceCount() const;
  // The set of a display number, for filling it directly (tests and measurements).
  QVLScanViewPointSet& pointSet(int set) { return *sets_[static_cast<std::size_t>(set - 1)]; }
  // The nodes of the shown set and of the highlight, attached or not yet.
  std::size_t shownNodeCount() const;
  std::size_t highlightNodeCount() const;

private:
  bool feed(const std::vector<QVLPreviewVertex>& batch, int shown, QVLScanViewPointSet::Produced& produced);

  ScanPreviewScene& scene_;
  mutable std::mutex mutex_;
  std::array<std::unique_ptr<QVLScanViewPointSet>, kLevels> sets_;
  QVLScanViewPointSet lastSlice_{QVLScanViewPointSet::kLastSliceType};
  int setToDisplay_ = 1;
};

}  // namespace qv::screens
