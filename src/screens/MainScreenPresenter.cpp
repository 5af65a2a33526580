// The main screen's rules.
#include "screens/MainScreenPresenter.h"

#include <algorithm>

#include "core/QVLRegisteredDefaults.h"
#include "platform/Log.h"
#include "platform/Queue.h"
#include "screens/ScreenTiming.h"
#include "store/ContextSave.h"
#include "store/QVSDScanObject.h"
#include "store/TBCoreDataStoreS1.h"

namespace qv::screens {
namespace {

constexpr const char* kHasShownFirstRunKey = "HasShownFirstRunSetupView";

bool isScanObject(const qv::ManagedObjectPtr& object) {
  return object && object->objectID().entityName() == QVSDScanObject::kEntityName;
}

// The registered value of a key, not the user's.
double registeredDouble(const char* key, double fallback) {
  const auto defaults = QVLRegisteredDefaults::defaults();
  auto it = defaults.find(key);
  return it == defaults.end() ? fallback : it->second.toDouble();
}

}  // namespace

std::shared_ptr<MainScreenPresenter> MainScreenPresenter::create(TBCoreDataStoreS1& store, qv::Settings& settings) {
  return std::shared_ptr<MainScreenPresenter>(new MainScreenPresenter(store, settings));
}

MainScreenPresenter::MainScreenPresenter(TBCoreDataStoreS1& store, qv::Settings& settings)
    : store_(store), settings_(settings) {}

MainScreenPresenter::~MainScreenPresenter() {
  if (delegate_) delegate_->removeStateListener(delegateToken_);
}

void MainScreenPresenter::attachView(MainScreenView* view) {
  view_ = view;
  view_->setBottomLabelAlpha(0.0);
  observeStore();
  showStartView();
  updateScanButtons();
}

void MainScreenPresenter::detachView() {
  view_ = nullptr;
  storeObservers_.clear();
}

void MainScreenPresenter::observeStore() {
  auto& center = qv::NotificationCenter::defaultCenter();
  storeObservers_.clear();
  for (const auto& context : {store_.privateContext(), store_.mainContext()}) {
    std::weak_ptr<qv::ObjectContext> weakContext = context;
    auto weak = weakSelf();
    // Before the save: note whether it touches what the tiles show.
    storeObservers_.emplace_back(center, center.addObserver(qv::ObjectContext::kWillSaveNotification, context.get(),
        [weak](const qv::Notification& n) {
          auto self = weak.lock();
          auto save = qv::ContextSave::from(n);
          if (!self || !save) return;
          for (const auto& object : save->updatedObjects) {
            if (!isScanObject(object)) continue;
            const auto keys = save->changedKeys(object->objectID());
            if (std::find(keys.begin(), keys.end(), "snapshotFilePath") != keys.end() ||
                std::find(keys.begin(), keys.end(), "lastOpenedDate") != keys.end()) {
              self->shouldUpdateScanList_ = true;
              break;
            }
          }
        }));
    // After it: a new or removed scan counts too; rebuild on the saving context's queue.
    storeObservers_.emplace_back(center, center.addObserver(qv::ObjectContext::kDidSaveNotification, context.get(),
        [weak, weakContext](const qv::Notification& n) {
          auto self = weak.lock();
          auto save = qv::ContextSave::from(n);
          auto ctx = weakContext.lock();
          if (!self || !save || !ctx) return;
          if (std::any_of(save->insertedObjects.begin(), save->insertedObjects.end(), isScanObject) ||
              std::any_of(save->deletedObjects.begin(), save->deletedObjects.end(), isScanObject))
            self->shouldUpdateScanList_ = true;
          if (!self->shouldUpdateScanList_) return;
          ctx->perform([weak, weakContext] {
            auto self = weak.lock();
            auto ctx = weakContext.lock();
            if (!self || !ctx) return;
            self->updateMruListUsingContext(ctx);
            self->shouldUpdateScanList_ = false;
          });
        }));
  }
}

void MainScreenPresenter::setDelegate(MainScreenDelegate* delegate) {
  if (delegate_) delegate_->removeStateListener(delegateToken_);
  delegate_ = delegate;
  delegateToken_ = 0;
  if (delegate_) {
    auto weak = weakSelf();
    delegateToken_ = delegate_->addStateListener([weak] {
      qv::mainQueue()->async([weak] {
        if (auto self = weak.lock()) self->delegateChanged();
      });
    });
  }
  updateScanButtons();
}

void MainScreenPresenter::delegateChanged() {
  dismissStartView();
  updateScanButtons();
  updateBottomInfoPanel();
}

bool MainScreenPresenter::hasShownFirstRunSetupView() const { return settings_.boolForKey(kHasShownFirstRunKey); }

void MainScreenPresenter::setHasShownFirstRunSetupView(bool shown) {
  if (auto error = settings_.setValue(kHasShownFirstRunKey, shown))
    QVLogWarn("Could not store %s: %s", kHasShownFirstRunKey, error->description.c_str());
}

void MainScreenPresenter::updateScanButtons() {
  if (!view_) return;
  view_->setScanButtonsEnabled(true);
  view_->setScannerAttached(delegate_ && delegate_->hasDeviceInterpreter());
  view_->setScannerConnecting(delegate_ && delegate_->isConnecting());
}

void MainScreenPresenter::leaveScreen() {
  setVisibleItems(std::nullopt);
  if (view_) view_->setScanButtonsEnabled(false);
}

void MainScreenPresenter::startNewAutoScan() {
  if (!delegate_ || !delegate_->hasDeviceInterpreter()) return;
  leaveScreen();
  if (!delegate_->isCalibrated()) {
    delegate_->showCalibrationScreenForMainController();
    return;
  }
  // An automatic scan is always a colour, adaptive, auto-tuned scan with the default rotation
  // bounds, whatever the manual screen or the preferences left behind.
  const float minRotation = static_cast<float>(registeredDouble("AdaptiveScanMinRotation", 0.125));
  const float maxRotation = static_cast<float>(registeredDouble("AdaptiveScanMaxRotation", 3.0));
  settings_.setValue("EnableColourScans", true);
  settings_.setValue("EnableHighContrastScanning", false);
  settings_.setValue("OverrideScanRotationAndHeight", false);
  settings_.setValue("EnableAdaptiveScanning", true);
  settings_.setValue("OverrideAutoTuning", false);
  settings_.setValue("DisableCombinedLaserExposures", false);
  settings_.setValue("AdaptiveScanMaxRotation", maxRotation);
  settings_.setValue("AdaptiveScanMinRotation", minRotation);
  delegate_->showScanScreenForMainController();
}

void MainScreenPresenter::startNewManualScan() {
  if (!delegate_ || !delegate_->hasDeviceInterpreter()) return;
  leaveScreen();
  if (delegate_->isCalibrated())
    delegate_->showManualScanScreenForMainController();
  else
    delegate_->showCalibrationScreenForMainController();
}

void MainScreenPresenter::showCalibrationScreen() {
  if (!delegate_ || !delegate_->hasDeviceInterpreter()) return;
  leaveScreen();
  delegate_->showCalibrationScreenForMainController();
}

void MainScreenPresenter::openScanButtonPressed() {
  if (!canOpenNewScans_ || !delegate_) return;
  leaveScreen();
  delegate_->openExistingScanForMainController();
}

void MainScreenPresenter::openMruPressedForItem(const qv::ObjectID& scan) {
  if (view_) view_->hideTileLabels();
  setVisibleItems(std::nullopt);
  if (delegate_) delegate_->openScanForMainController(scan);
}

bool MainScreenPresenter::validateMenuItem(int tag) const {
  const bool attached = delegate_ && delegate_->hasDeviceInterpreter();
  switch (tag) {
    case kCalibrateMenuTag: return attached;
    case kScanMenuTag: return attached && delegate_->isCalibrated();
    case kOpenMenuTag: return canOpenNewScans_;
    default: return true;
  }
}

void MainScreenPresenter::updateMruListUsingContext(const qv::ObjectContextPtr& context) {
  auto items = buildMruItems(*context, imageValidator_);
  auto weak = weakSelf();
  qv::mainQueue()->async([weak, items = std::move(items)]() mutable {
    auto self = weak.lock();
    if (!self) return;
    self->mruItems_ = std::move(items);
    self->canOpenNewScans_ = true;
    self->applyVisibleTileRule();
  });
}

void MainScreenPresenter::setVisibleItems(std::optional<std::vector<MruItem>> items) {
  visibleMruItems_ = std::move(items);
  if (view_) view_->setTiles(visibleMruItems_ ? *visibleMruItems_ : std::vector<MruItem>{});
}

void MainScreenPresenter::applyVisibleTileRule() {
  const double width = view_ ? view_->tileRowWidth() : 0.0;
  auto fit = visibleTileCount(width, mruItems_.size());
  if (!fit) return;
  setVisibleItems(std::vector<MruItem>(mruItems_.begin(), mruItems_.begin() + static_cast<std::ptrdiff_t>(*fit)));
}

void MainScreenPresenter::adjustLayout(bool rebuildList) {
  updateScanButtons();
  if (rebuildList && !(view_ && view_->isFirstRunViewShown())) {
    auto context = store_.mainContext();
    auto weak = weakSelf();
    context->perform([weak, context] {
      if (auto self = weak.lock()) self->updateMruListUsingContext(context);
    });
    return;
  }
  applyVisibleTileRule();
}

bool MainScreenPresenter::showStartView() {
  if (!view_ || hasShownFirstRunSetupView() || (delegate_ && delegate_->hasDeviceInterpreter())) return false;
  firstRunSetupViewStartTime_ = qv::now();
  view_->showFirstRunView();
  return true;
}

void MainScreenPresenter::dismissStartView() {
  if (!view_ || firstRunFading_ || !delegate_ || !delegate_->hasDeviceInterpreter() || !view_->isFirstRunViewShown())
    return;
  firstRunFading_ = true;
  view_->restoreAfterFirstRun();
  setHasShownFirstRunSetupView(true);
  // The view stays up at least four seconds in all, so it is read rather than flashed.
  const double shownFor = qv::toSeconds(qv::now() - firstRunSetupViewStartTime_);
  const double wait = std::max(0.0, kFirstRunMinimumSeconds - shownFor);
  auto weak = weakSelf();
  qv::after(qv::seconds(wait), qv::mainQueue(), [weak] {
    auto self = weak.lock();
    if (!self || !self->view_) return;
    QVLogInfo("Dismissing FirstRunSetupView");
    self->view_->fadeOutFirstRunView(animationSeconds(0.5), [weak] {
      auto self = weak.lock();
      if (!self) return;
      self->firstRunFading_ = false;
      if (!self->visibleMruItems_ || self->visibleMruItems_->empty()) self->adjustLayout(true);
    });
  });
}

void MainScreenPresenter::updateBottomInfoPanel() {
  if (!view_ || panelSliding_) return;
  const std::string message = delegate_ && delegate_->isConnecting() ? kConnectingText : "";
  const bool wantShown = !message.empty();
  auto weak = weakSelf();
  if (wantShown != panelShown_) {
    panelSliding_ = true;
    if (wantShown) {
      view_->setBottomLabelText(message);
      view_->setHideBottomPanelButtonHidden(true);
      view_->setBottomLabelAlpha(0.0);
      view_->animateBottomPanelHeight(kBottomPanelHeight, animationSeconds(0.5), [weak] {
        auto self = weak.lock();
        if (!self || !self->view_) return;
        self->view_->animateBottomLabelAlpha(1.0, animationSeconds(0.5), [weak] {
          auto self = weak.lock();
          if (!self || !self->view_) return;
          self->view_->setHideBottomPanelButtonHidden(true);
          self->panelSlideEnded(true);
        });
      });
    } else {
      view_->animateBottomLabelAlpha(0.0, animationSeconds(0.5), [weak] {
        auto self = weak.lock();
        if (!self || !self->view_) return;
        self->view_->animateBottomPanelHeight(0.0, animationSeconds(0.5), [weak] {
          if (auto self = weak.lock()) self->panelSlideEnded(false);
        });
      });
    }
    return;
  }
  if (wantShown && message != view_->bottomLabelText()) {
    view_->setBottomLabelText(message);
    view_->setHideBottomPanelButtonHidden(true);
  }
}

void MainScreenPresenter::panelSlideEnded(bool shown) {
  panelShown_ = shown;
  panelSliding_ = false;
  // A change that came during the slide was not acted on; catch up with the state as it is now,
  // so "Connecting..." never sticks after the connection has ended.
  updateBottomInfoPanel();
}

}  // namespace qv::screens
