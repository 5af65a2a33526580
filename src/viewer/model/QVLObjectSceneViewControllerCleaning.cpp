// The viewer's cleaning tools: the Clean panel and its sub-panels, the brush's projection pass and
// strokes, auto-clean, deletion, reset, one level of undo, and Apply.
#include "viewer/model/QVLObjectSceneViewController.h"

#include <algorithm>

#include "platform/Log.h"
#include "store/QVSDScanObject.h"
#include "store/TBCoreDataStoreS1.h"
#include "viewer/model/AutoClean.h"
#include "viewer/model/BrushSelection.h"

using qv::viewer::CleaningPanels;
using qv::viewer::RightPanel;

namespace {
void onMain(std::function<void()> task) { qv::mainQueue()->async(std::move(task)); }
}  // namespace

// ---------------------------------------------------------------------------------------------
// Panels

void QVLObjectSceneViewController::setCleaningPanels(CleaningPanels panels) {
  cleaningPanels_ = panels;
  if (display_) display_->showCleaningPanels(panels);
}

void QVLObjectSceneViewController::showCleaningState() {
  if (!display_) return;
  display_->setCleaningButtons(cleaningButtons_);
  display_->cropValuesChanged();
}

void QVLObjectSceneViewController::cleanButtonPressed() {
  if (isApplyingChanges_ || headerActionsBlocked()) return;
  auto weak = weak_from_this();
  if (rightPanel_ == RightPanel::Cleaning) {
    closeAllCleaningPanels([weak] {
      auto self = weak.lock();
      if (!self) return;
      self->closeRightPanel({});
      if (self->display_) self->display_->setHeaderBlocked(false);
    });
    return;
  }
  cleaningButtons_ = {false, true, true};
  if (display_) display_->setHeaderBlocked(true);
  setCleaningPanels({});
  closeRightPanel({});
  rightPanel_ = RightPanel::Cleaning;
  if (display_) {
    display_->reloadLayerTable();
    display_->showRightPanel(RightPanel::Cleaning);
  }
  cleaningButtons_.clean = true;
  showCleaningState();
  brushCleaningState_ = 1;
  updateBrushCursor();
  numberOfFilteredVerticesBeforeClean_ = numberOfFilteredVertices_.load();
  projectUntilDone(true, true);
}

void QVLObjectSceneViewController::closeAllCleaningPanels(std::function<void()> completion) {
  if (!cleaningPanels_.anyOpen()) {
    if (completion) completion();
    return;
  }
  setCleaningPanels({});
  brushCleaningState_ = 0;
  updateBrushCursor();
  clearBrushStroke();
  auto self = shared_from_this();
  pointManagementQueue_->async([self, completion = std::move(completion)]() mutable {
    self->clearManuallySelectedPoints();
    onMain([self, completion = std::move(completion)] {
      self->renderCroppedNodes();
      if (completion) completion();
    });
  });
}

namespace {
enum class SubPanel { Cropping, AutoClean, Brush };
}

static void toggleSubPanel(QVLObjectSceneViewController& viewer, const CleaningPanels& now, SubPanel which,
                           const std::function<void(CleaningPanels)>& open) {
  const bool wasOpen = which == SubPanel::Cropping ? now.cropping : which == SubPanel::AutoClean ? now.autoClean : now.brush;
  viewer.closeAllCleaningPanels([open, which, wasOpen] {
    if (wasOpen) return;
    CleaningPanels panels;
    (which == SubPanel::Cropping ? panels.cropping : which == SubPanel::AutoClean ? panels.autoClean : panels.brush) = true;
    open(panels);
  });
}

void QVLObjectSceneViewController::croppingButtonPressed() {
  toggleSubPanel(*this, cleaningPanels_, SubPanel::Cropping, [weak = weak_from_this()](CleaningPanels p) {
    if (auto self = weak.lock()) self->setCleaningPanels(p);
  });
}

void QVLObjectSceneViewController::autoCleanButtonPressed() {
  toggleSubPanel(*this, cleaningPanels_, SubPanel::AutoClean, [weak = weak_from_this()](CleaningPanels p) {
    if (auto self = weak.lock()) self->setCleaningPanels(p);
  });
}

void QVLObjectSceneViewController::brushCleaningButtonPressed() {
  toggleSubPanel(*this, cleaningPanels_, SubPanel::Brush, [weak = weak_from_this()](CleaningPanels p) {
    auto self = weak.lock();
    if (!self) return;
    self->setCleaningPanels(p);
    self->brushCleaningState_ = 3;
    self->updateBrushCursor();
  });
}

void QVLObjectSceneViewController::cancelChangesButtonPressed() {
  if (isApplyingChanges_) return;
  closeAllCleaningPanels([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->closeRightPanel({});
    if (self->display_) self->display_->setHeaderBlocked(false);
  });
}

void QVLObjectSceneViewController::resetChangesButtonPressed() {
  closeAllCleaningPanels([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->resetCleaningState();
    self->brushCleaningState_ = 1;
    self->updateBrushCursor();
  });
}

void QVLObjectSceneViewController::resetCleaningState() {
  croppingIsDisabled_ = true;
  // The exact bounds, not the setters' values rounded to 0.1: those would crop the topmost and
  // outermost points, and Reset must bring every point back.
  yCutOff_ = minYValue_.load();
  topYCutOff_ = maxYValue_.load();
  radiusCutOff_ = maxRadiusValue_.load();
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    for (QVLLayerState& layer : layerStates_) layer.isEnabled = true;
  }
  if (display_) {
    display_->reloadLayerTable();
    display_->cropValuesChanged();
  }
  auto self = shared_from_this();
  pointManagementQueue_->async([self] {
    qv::viewer::clearRemovedAndHiddenFlags(self->sortableIndexData_);
    qv::viewer::clearSelectedPoints(qv::viewer::verticesOf(self->vertexData_), self->sortableIndexData_);
    self->cleaningHistory_.clear();
    self->publishUndoState();
    onMain([self] {
      self->croppingIsDisabled_ = false;
      self->renderCroppedNodes();
    });
  });
}

// ---------------------------------------------------------------------------------------------
// Crop texts

std::string QVLObjectSceneViewController::yCutOffText() const { return qv::viewer::cropValueText(yCutOff_); }
std::string QVLObjectSceneViewController::topYCutOffText() const { return qv::viewer::cropValueText(topYCutOff_); }
std::string QVLObjectSceneViewController::radiusCutOffText() const { return qv::viewer::cropValueText(radiusCutOff_); }

void QVLObjectSceneViewController::setYCutOffText(const std::string& text) {
  setYCutOff(qv::viewer::cropValueFromText(text));
  if (display_) display_->cropValuesChanged();
}
void QVLObjectSceneViewController::setTopYCutOffText(const std::string& text) {
  setTopYCutOff(qv::viewer::cropValueFromText(text));
  if (display_) display_->cropValuesChanged();
}
void QVLObjectSceneViewController::setRadiusCutOffText(const std::string& text) {
  setRadiusCutOff(qv::viewer::cropValueFromText(text));
  if (display_) display_->cropValuesChanged();
}

// ---------------------------------------------------------------------------------------------
// Projection and brush

void QVLObjectSceneViewController::clearStaleScreenPositions() {
  // Records come back from the store with the screen positions of an earlier session, whose
  // projection numbers this session would reuse: forget them once per vertex buffer.
  const auto held = screenPositionsFor_.lock();
  if (held && held == vertexData_) return;
  for (QVLSortableIndexEntry& r : sortableIndexData_) {
    r.screenX = r.screenY = 0;
    r.projectionId = 0;
  }
  screenPositionsFor_ = vertexData_;
}

void QVLObjectSceneViewController::projectPointsByForce(bool force, bool* succeeded, bool* removedPoints) {
  bool ok = false, removed = false;
  const qv::viewer::ViewSnapshot view = viewSnapshot();
  if (!force && projectionIsComplete_ && qv::viewer::sameView(view, projectedView_)) {
    ok = true;
  } else {
    projectionIsComplete_ = false;
    ++currentProjectionId_;
    clearStaleScreenPositions();
    projectedView_ = view;
    const qv::TimePoint start = qv::now();
    std::size_t nodes = 0;
    // The view is compared as a whole snapshot (taken under the scene lock) every few nodes:
    // cheap enough, and a pass for an old pose is never kept.
    const auto viewChanged = [&] { return (++nodes & 255) == 0 && !qv::viewer::sameView(viewSnapshot(), view); };
    ok = qv::viewer::projectOctreeNodes(searchCloud_, qv::viewer::ViewProjector(view), viewChanged) &&
         qv::viewer::sameView(viewSnapshot(), view);
    if (ok) {
      QVLogInfo("Projection updated in %.2f sec", qv::toSeconds(qv::now() - start));
      projectionIsComplete_ = true;
      // A stroke that ended before this pass (state 2), or points a stroke left while the brush
      // is ready (state 3), are resolved here, claiming the state found once the points are
      // marked. A stroke begun meanwhile (state 4) is left to its own mouse-up: resolving its
      // first dab here would cut it in two (two undo steps, the first dab replaced by the rest)
      // and leave it in a state its mouse-up does not resolve.
      const int state = brushCleaningState_;
      if (state == 2 || state == 3) {
        const bool brushed = removeAllBrushPoints();
        int claimed = state;
        if (brushed && brushCleaningState_.compare_exchange_strong(claimed, 6)) {
          removed = true;
          resolveSelectedPoints();
        } else if (!brushed && state == 2 && brushCleaningState_.compare_exchange_strong(claimed, 3)) {
          {
            std::lock_guard<std::mutex> lock(brushLock_);
            brushPointsToClean_.clear();
            brushPointsCleaned_.clear();
          }
          markStrokesDrawn(strokesEnded_);  // nothing new to select: the stroke is over
        }
      }
    }
  }
  if (succeeded) *succeeded = ok;
  if (removedPoints) *removedPoints = removed;
}

bool QVLObjectSceneViewController::projectPoints() {
  bool ok = false;
  projectPointsByForce(false, &ok, nullptr);
  return ok;
}

void QVLObjectSceneViewController::projectUntilDone(bool force, bool renderWhenRemoved) {
  projectionIsComplete_ = false;
  // One attempt per queued job, so a view that keeps moving never holds the queue.
  pointManagementQueue_->async([weak = weak_from_this(), force, renderWhenRemoved] {
    auto self = weak.lock();
    if (!self) return;
    bool ok = false, removed = false;
    self->projectPointsByForce(force, &ok, &removed);
    if (!ok) return self->projectUntilDone(force, renderWhenRemoved);
    if (removed && renderWhenRemoved) self->drawResolvedStrokes();
  });
}

void QVLObjectSceneViewController::drawResolvedStrokes() {
  const std::uint64_t ended = strokesEnded_;
  onMain([self = shared_from_this(), ended] {
    self->renderCroppedNodes();
    // Queued behind the crop pass just asked for, or behind the one already asked for, which
    // starts after the resolution: either way the selection it draws is the stroke's.
    self->pointManagementQueue_->async([self, ended] { self->markStrokesDrawn(ended); });
  });
}

void QVLObjectSceneViewController::markStrokesDrawn(std::uint64_t ended) {
  std::uint64_t drawn = strokesDrawn_;
  while (drawn < ended && !strokesDrawn_.compare_exchange_weak(drawn, ended)) {
  }
}

void QVLObjectSceneViewController::paintBrushPoint(float x, float y) {
  std::vector<qv::viewer::BrushPoint> stroke;
  {
    std::lock_guard<std::mutex> lock(brushLock_);
    const qv::viewer::BrushPoint p{x, y};
    if (std::find(brushPointsToClean_.begin(), brushPointsToClean_.end(), p) != brushPointsToClean_.end()) return;
    brushPointsToClean_.push_back(p);
    stroke = brushPointsToClean_;
  }
  if (display_) display_->setBrushStroke(stroke, static_cast<float>(cleaningBrushSize_));
  if (!projectionIsComplete_) return;
  pointManagementQueue_->async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->removeAllBrushPoints();
  });
}

bool QVLObjectSceneViewController::removeAllBrushPoints() {
  // The rectangles and positions belong to the pass's view. When the view has moved or been
  // resized since (a panel opening narrows it), the stroke's points wait for a new pass.
  if (!projectionMatchesView()) {
    projectUntilDone(false, true);
    return false;
  }
  std::vector<qv::viewer::BrushPoint> fresh;
  {
    std::lock_guard<std::mutex> lock(brushLock_);
    if (brushPointsToClean_.size() <= brushPointsCleaned_.size()) return false;
    fresh.assign(brushPointsToClean_.begin() + static_cast<std::ptrdiff_t>(brushPointsCleaned_.size()),
                 brushPointsToClean_.end());
    brushPointsCleaned_.insert(brushPointsCleaned_.end(), fresh.begin(), fresh.end());
  }
  return qv::viewer::markBrushedPoints(searchCloud_, sortableIndexData_, fresh, static_cast<float>(cleaningBrushSize_),
                                       currentProjectionId_, qv::viewer::ViewProjector(projectedView_)) > 0;
}

bool QVLObjectSceneViewController::projectionMatchesView() {
  return projectionIsComplete_ && qv::viewer::sameView(viewSnapshot(), projectedView_);
}

void QVLObjectSceneViewController::resolveStroke() {
  if (!projectionMatchesView()) {
    // The pass resolves the stroke once it has caught up with the view.
    brushCleaningState_ = 2;
    projectUntilDone(false, true);
    return;
  }
  removeAllBrushPoints();
  resolveSelectedPoints();
  drawResolvedStrokes();
}

void QVLObjectSceneViewController::resolveSelectedPoints() {
  recordCleaningStep(qv::viewer::resolveSelectedPoints(sortableIndexData_, brushCleaningAction_));
  std::lock_guard<std::mutex> lock(brushLock_);
  brushPointsToClean_.clear();
  brushPointsCleaned_.clear();
}

void QVLObjectSceneViewController::clearManuallySelectedPoints() {
  qv::viewer::clearSelectedPoints(qv::viewer::verticesOf(vertexData_), sortableIndexData_);
}

void QVLObjectSceneViewController::clearBrushStroke() {
  // A stroke still waiting for its frame when the brush goes away would stay painted: the frame
  // that clears it only does so while the brush is up.
  {
    std::lock_guard<std::mutex> lock(brushLock_);
    brushPointsToClean_.clear();
    brushPointsCleaned_.clear();
  }
  // A stroke waiting to be resolved goes with the brush: nothing is being selected any more.
  markStrokesDrawn(strokesEnded_);
  if (display_) display_->setBrushStroke({}, 0);
}

void QVLObjectSceneViewController::updateBrushCursor() {
  brushCursor_ = qv::viewer::brushCursorFor(brushCleaningState_, brushCleaningAction_, cleaningBrushSize_);
  if (display_) display_->setBrushCursor(brushCursor_);
}

// ---------------------------------------------------------------------------------------------
// Undo

void QVLObjectSceneViewController::recordCleaningStep(qv::viewer::CleaningStep step) {
  if (step.empty()) return;
  cleaningHistory_.record(std::move(step), vertexData_);
  publishUndoState();
}

void QVLObjectSceneViewController::publishUndoState() {
  const bool undoable = cleaningHistory_.canUndo(vertexData_), redoable = cleaningHistory_.canRedo(vertexData_);
  std::string name = cleaningHistory_.name();
  // The menu reads these on the main queue: the step is registered there, never from this queue.
  onMain([weak = weak_from_this(), name = std::move(name), undoable, redoable] {
    auto self = weak.lock();
    if (!self) return;
    self->undoActionName_ = name;
    self->canUndo_ = undoable;
    self->canRedo_ = redoable;
  });
}

std::string QVLObjectSceneViewController::undoActionName() const { return undoActionName_; }

void QVLObjectSceneViewController::undo() {
  QVLogInfo("Undo!");
  auto self = shared_from_this();
  pointManagementQueue_->async([self] {
    QVLogInfo("Undoing points");
    if (!self->cleaningHistory_.undo(self->sortableIndexData_, self->vertexData_)) return;
    self->publishUndoState();
    onMain([self] { self->renderCroppedNodes(); });
  });
}

void QVLObjectSceneViewController::redo() {
  QVLogInfo("Redo!");
  auto self = shared_from_this();
  pointManagementQueue_->async([self] {
    if (!self->cleaningHistory_.redo(self->sortableIndexData_, self->vertexData_)) return;
    self->publishUndoState();
    onMain([self] { self->renderCroppedNodes(); });
  });
}

// ---------------------------------------------------------------------------------------------
// Delete, clear, auto-clean

void QVLObjectSceneViewController::deletePointsButtonPressed() {
  auto self = shared_from_this();
  pointManagementQueue_->async([self] {
    self->recordCleaningStep(
        qv::viewer::deleteSelectedPoints(qv::viewer::verticesOf(self->vertexData_), self->sortableIndexData_));
    onMain([self] { self->renderCroppedNodes(); });
  });
}

void QVLObjectSceneViewController::clearSelectionButtonPressed() {
  auto self = shared_from_this();
  pointManagementQueue_->async([self] {
    self->recordCleaningStep(
        qv::viewer::clearSelectedPoints(qv::viewer::verticesOf(self->vertexData_), self->sortableIndexData_));
    onMain([self] { self->renderCroppedNodes(); });
  });
}

void QVLObjectSceneViewController::autoCleanModelButtonPressed(const std::string& identifier) {
  qv::viewer::AutoCleanStrength strength;
  if (qv::viewer::autoCleanStrengthFor(identifier, &strength)) autoCleanWithMean(strength.meanK, strength.multiplier);
}

void QVLObjectSceneViewController::autoCleanWithMean(int meanK, double multiplier, std::function<void()> done) {
  cleaningButtons_.autoClean = false;
  showCleaningState();
  auto self = shared_from_this();
  auto run = [self, meanK, multiplier, done = std::move(done)] {
    qv::globalQueue(qv::QueuePriority::Background)->async([self, meanK, multiplier, done] {
      // The candidates are gathered on the point queue; the search runs here, off it.
      std::vector<qv::scene::Vec3> points;
      std::vector<std::uint32_t> recordOf;
      qv::SharedData owner;
      self->pointManagementQueue_->sync([&] {
        owner = self->vertexData_;
        const auto vertices = qv::viewer::verticesOf(owner);
        const std::size_t n = std::min(vertices.size(), self->sortableIndexData_.size());
        for (std::size_t i = 0; i < n; ++i) {
          if (!qv::viewer::isAutoCleanCandidate(vertices[i], self->sortableIndexData_[i])) continue;
          points.push_back({vertices[i].point3DX, vertices[i].point3DY, vertices[i].point3DZ});
          recordOf.push_back(static_cast<std::uint32_t>(i));
        }
      });
      std::vector<std::uint32_t> outliers;
      for (std::size_t p : qv::viewer::statisticalOutliers(points, meanK, multiplier)) outliers.push_back(recordOf[p]);
      QVLogInfo("Removed %lu points", static_cast<unsigned long>(outliers.size()));
      self->pointManagementQueue_->sync([&] {
        // A scan loaded meanwhile has other records: the outliers were found in the old one.
        if (self->vertexData_ != owner) return;
        self->recordCleaningStep(qv::viewer::markRemoved(self->sortableIndexData_, outliers, "Auto Clean"));
      });
      onMain([self, done] {
        self->renderCroppedNodes();
        self->cleaningButtons_.autoClean = true;
        self->showCleaningState();
        if (self->display_) self->display_->dismissBusyView({});
        if (done) done();
      });
    });
  };
  if (display_) display_->showBusyView("Cleaning...", run);
  else run();
}

// ---------------------------------------------------------------------------------------------
// Apply

void QVLObjectSceneViewController::applyChangesPressed() {
  if (croppingIsDisabled_ || isApplyingChanges_ || headerActionsBlocked()) return;
  isApplyingChanges_ = true;
  cleaningButtons_.apply = false;
  showCleaningState();
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    pcdFilePath_.clear();
  }
  auto self = shared_from_this();
  qv::globalQueue(qv::QueuePriority::Background)->async([self] { self->applyOnBackgroundQueue(); });
}

void QVLObjectSceneViewController::applyOnBackgroundQueue() {
  auto self = shared_from_this();
  // Every way out leaves Apply usable again.
  const auto stopEarly = [self] {
    self->isApplyingChanges_ = false;
    onMain([self] {
      self->cleaningButtons_.apply = true;
      self->showCleaningState();
    });
  };
  const auto id = scanObjectId();
  if (!id) return stopEarly();
  qv::SharedData stored;
  auto context = store().privateContext();
  context->performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(*id, false, *context);
    if (!scan) return;
    stored = scan->unsavedVertexData();
    if (!stored || stored->empty()) stored = scan->vertexData();
  });
  if (!stored || stored->empty()) return stopEarly();
  const auto vertices = qv::viewer::verticesOf(stored);
  QVLogInfo("There are %lu elements before cleaning", static_cast<unsigned long>(vertices.size()));

  qv::viewer::AppliedChanges applied;
  qv::SharedData records;
  pointManagementQueue_->sync([&] {
    clearManuallySelectedPoints();  // a selection does not survive an apply
    applied = qv::viewer::applyCleaning(vertices, sortableIndexData_);
    vertexData_ = applied.vertexData;
    vertexBuffer_.reset();
    vertexIndexData_.clear();
    cleaningHistory_.clear();
    publishUndoState();
    // The brush must not find the zeroed vertices any more.
    searchCloud_.rebuild(qv::viewer::verticesOf(vertexData_));
    projectionIsComplete_ = false;
  });
  QVLogInfo("There are %u elements after cleaning", static_cast<unsigned>(applied.keptCount));
  renderScanObject();
  // Minus the mean of every kept point, capped ones too; with nothing kept the object stays put.
  homePositionOrPrevious(applied.homePosition);

  qv::viewer::SortOrders orders;
  pointManagementQueue_->sync([&] {
    records = qv::viewer::toData(sortableIndexData_);
    orders = orders_;
  });
  const double bottom = yCutOff_, radius = radiusCutOff_;
  context->perform([context, id = *id, data = applied.vertexData, records, orders, bottom, radius] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, *context);
    if (!scan) return;
    scan->setUnsavedVertexData(data);
    scan->setSortableIndexData(records);
    scan->setSortableIndexReferenceForNeighbourData(orders.byNeighbour.bytes());
    scan->setSortableIndexReferenceForRadiusData(orders.byRadius.bytes());
    scan->setSortableIndexReferenceForYPositionData(orders.byY.bytes());
    scan->setYCutoff(bottom);
    scan->setRadiusCutoff(radius);
    qv::Error error;
    // The viewer shows the result already; a failed save only means it is not kept yet.
    if (!context->save(&error)) QVLogWarn("Could not keep the applied changes: %s", error.description.c_str());
  });

  onMain([self] {
    self->maxRadiusValue_ = self->radiusCutOff_.load();
    self->minYValue_ = self->yCutOff_.load();
    self->maxYValue_ = self->topYCutOff_.load();
    self->replaceSelectedNode(nullptr);
    self->closeAllCleaningPanels([self] {
      self->closeRightPanel({});
      self->isApplyingChanges_ = false;
      self->cleaningButtons_.apply = true;
      self->showCleaningState();
      if (self->display_) self->display_->setHeaderBlocked(false);
    });
  });
}
