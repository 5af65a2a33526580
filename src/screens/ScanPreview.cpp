// The live preview's level-of-detail sets and the intake of each store save.
#include "screens/ScanPreview.h"

#include "platform/Log.h"

namespace qv::screens {

namespace {

std::vector<std::uint32_t> identityIndices(std::size_t n) {
  std::vector<std::uint32_t> indices(n);
  for (std::size_t i = 0; i < n; ++i) indices[i] = static_cast<std::uint32_t>(i);
  return indices;
}

void detachAll(std::vector<scene::NodePtr>& nodes) {
  for (const auto& node : nodes) node->removeFromParent();
  nodes.clear();
}

}  // namespace

ScanPreview::ScanPreview(ScanPreviewScene& scene) : scene_(scene) {
  for (auto& set : sets_) set = std::make_unique<QVLScanViewPointSet>(QVLScanViewPointSet::kLevelOfDetailType);
}

void ScanPreview::reset() {
  std::lock_guard lock(mutex_);
  // The scene the nodes hung in is replaced at a start, so they go with it.
  for (auto& set : sets_) {
    set->reset();
    set->sceneKitNodes().clear();
  }
  lastSlice_.reset();
  lastSlice_.sceneKitNodes().clear();
  setToDisplay_ = 1;
}

bool ScanPreview::feed(const std::vector<QVLPreviewVertex>& batch, int shown, QVLScanViewPointSet::Produced& produced) {
  // Every set fed takes a prefix of the coarsest set's removals: the batch is thinned once.
  const auto order = QVLScanViewPointSet::removalOrder(batch.data(), batch.size(), kFractions.back());
  auto removals = [&](int level) {
    return QVLScanViewPointSet::removalsFor(batch.size(), order.size(), kFractions[static_cast<std::size_t>(level - 1)]);
  };
  // Coarsest first, so a refusal of the shown set leaves the coarser ones already holding the batch.
  for (int level = kLevels; level > shown; --level) pointSet(level).addThinnedVertices(batch, order, removals(level));
  return pointSet(shown).addThinnedVertices(batch, order, removals(shown), &produced);
}

void ScanPreview::intake(const std::vector<QVLPreviewVertex>& batchA, const std::vector<QVLPreviewVertex>& batchB) {
  std::lock_guard lock(mutex_);
  const auto objects = scene_.objectsNode();
  if (!batchA.empty() || !batchB.empty()) {
    const int shown = setToDisplay_;
    QVLScanViewPointSet::Produced producedA, producedB;
    const bool fitA = batchA.empty() || feed(batchA, shown, producedA);
    const bool fitB = batchB.empty() || feed(batchB, shown, producedB);
    if (!(fitA && fitB) && shown < kLevels) {
      // The shown set is full: the next coarser one already holds every point so far.
      detachAll(pointSet(shown).sceneKitNodes());
      setToDisplay_ = shown + 1;
      QVLScanViewPointSet& next = pointSet(setToDisplay_);
      const std::size_t n = next.numberOfPoints();
      auto node = ScanPreviewScene::renderVertices({next.vertices(), n}, identityIndices(n), n,
                                                   ScanPreviewScene::PointMaterial::Internal);
      objects->addChild(node);
      next.sceneKitNodes().push_back(std::move(node));
    } else {
      // New nodes stay out of the scene until the main thread fades them in.
      for (auto* produced : {&producedA, &producedB}) {
        if (produced->data.empty()) continue;
        const std::size_t n = produced->data.size();
        pointSet(shown).sceneKitNodes().push_back(ScanPreviewScene::renderVertices(
            produced->data, std::move(produced->index), n, ScanPreviewScene::PointMaterial::Internal));
      }
    }
    QVLogVerbose("100 percent: %lu", static_cast<unsigned long>(pointSet(1).numberOfPoints()));
    QVLogVerbose(" 75 percent: %lu", static_cast<unsigned long>(pointSet(2).numberOfPoints()));
    QVLogVerbose(" 50 percent: %lu", static_cast<unsigned long>(pointSet(3).numberOfPoints()));
    QVLogVerbose(" 25 percent: %lu", static_cast<unsigned long>(pointSet(4).numberOfPoints()));
    QVLogVerbose(" 10 percent: %lu", static_cast<unsigned long>(pointSet(5).numberOfPoints()));
    QVLogVerbose("  4 percent: %lu", static_cast<unsigned long>(pointSet(6).numberOfPoints()));
  }

  detachAll(lastSlice_.sceneKitNodes());
  lastSlice_.reset();
  for (const auto* batch : {&batchA, &batchB}) {
    if (batch->empty()) continue;
    QVLScanViewPointSet::Produced produced;
    if (!lastSlice_.addVertices(*batch, 0.0f, &produced) || produced.data.empty()) continue;
    const std::size_t n = produced.data.size();
    auto node = ScanPreviewScene::renderVertices(produced.data, std::move(produced.index), n,
                                                 ScanPreviewScene::PointMaterial::Highlight);
    objects->addChild(node);
    lastSlice_.sceneKitNodes().push_back(std::move(node));
  }
}

void ScanPreview::fadeIn() {
  std::lock_guard lock(mutex_);
  const auto objects = scene_.objectsNode();
  for (const auto& node : pointSet(setToDisplay_).sceneKitNodes())
    if (!node->parent()) objects->addChild(node);
}

void ScanPreview::fadeHighlight(float fade) {
  std::lock_guard lock(mutex_);
  const scene::Colour background = scene_.backgroundColour();
  for (const auto& node : lastSlice_.sceneKitNodes()) {
    if (fade >= 1.0f) {
      node->removeFromParent();
    } else if (const auto geometry = node->geometry()) {
      node->setGeometry(ScanPreviewScene::fadedHighlight(*geometry, background, fade));
    }
  }
}

int ScanPreview::setToDisplay() const {
  std::lock_guard lock(mutex_);
  return setToDisplay_;
}

std::size_t ScanPreview::numberOfPoints(int set) const {
  std::lock_guard lock(mutex_);
  return sets_[static_cast<std::size_t>(set - 1)]->numberOfPoints();
}

std::size_t ScanPreview::lastSliceCount() const {
  std::lock_guard lock(mutex_);
  return lastSlice_.numberOfPoints();
}

std::size_t ScanPreview::shownNodeCount() const {
  std::lock_guard lock(mutex_);
  return sets_[static_cast<std::size_t>(setToDisplay_ - 1)]->sceneKitNodes().size();
}

std::size_t ScanPreview::highlightNodeCount() const {
  std::lock_guard lock(mutex_);
  std::size_t attached = 0;
  for (const auto& node : lastSlice_.sceneKitNodes()) attached += node->parent() ? 1 : 0;
  return attached;
}

}  // namespace qv::screens
