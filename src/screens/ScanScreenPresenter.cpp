// The scan screen's rules: starting, watching, pausing, cancelling and saving a scan.
#include "screens/ScanScreenPresenter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "formats/QVLQvkFileExporter.h"
#include "formats/QVLQvkxFileExporter.h"
#include "platform/Log.h"
#include "platform/Queue.h"
#include "screens/ScreenTiming.h"
#include "store/ContextSave.h"
#include "store/LibraryFiles.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPoint3D.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/TBCoreDataStoreS1.h"
#include "store/VertexRecords.h"
#include "viewer/model/PanelFolder.h"

namespace qv::screens {

namespace fs = std::filesystem;

namespace {

constexpr const char* kAdaptiveKey = "EnableAdaptiveScanning";
constexpr const char* kOverrideKey = "OverrideScanRotationAndHeight";
constexpr const char* kRotationKey = "ScanRotationInDegrees";
constexpr const char* kHidePanelKey = "ScanViewShouldHideAdvancedPanel";
constexpr double kHighlightFadeSeconds = 0.25;

bool isScanDomain(const qv::Error& e) { return e.domain == qv::kScanErrorDomain; }

std::string lowercased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

QVLPreviewVertex previewVertexOf(const QVSDPoint3D& p) {
  QVLPreviewVertex v;
  v.x = static_cast<float>(p.point3DX().value_or(0));
  v.y = static_cast<float>(p.point3DY().value_or(0));
  v.z = static_cast<float>(p.point3DZ().value_or(0));
  v.normalX = static_cast<float>(p.normalX().value_or(0));
  v.normalY = static_cast<float>(p.normalY().value_or(0));
  v.normalZ = static_cast<float>(p.normalZ().value_or(0));
  v.red = static_cast<float>(p.colourRed().value_or(0));
  v.green = static_cast<float>(p.colourGreen().value_or(0));
  v.blue = static_cast<float>(p.colourBlue().value_or(0));
  return v;
}

}  // namespace

std::shared_ptr<ScanScreenPresenter> ScanScreenPresenter::create(TBCoreDataStoreS1& store, qv::Settings& settings,
                                                                 DialogService& dialogs) {
  std::shared_ptr<ScanScreenPresenter> presenter(new ScanScreenPresenter(store, settings, dialogs));
  presenter->observeStore();
  return presenter;
}

ScanScreenPresenter::ScanScreenPresenter(TBCoreDataStoreS1& store, qv::Settings& settings, DialogService& dialogs)
    : store_(store), settings_(settings), dialogs_(dialogs), scene_(settings), preview_(scene_) {}

ScanScreenPresenter::~ScanScreenPresenter() = default;

void ScanScreenPresenter::setView(ScanScreenView* view) {
  view_ = view;
  show();
}

void ScanScreenPresenter::show() {
  if (view_) view_->showControls(controls_);
}

std::optional<qv::ObjectID> ScanScreenPresenter::scanObjectID() const {
  std::lock_guard lock(idMutex_);
  return scanObjectID_;
}

// ---- starting ----

bool ScanScreenPresenter::stepDividesTurn(float degrees) {
  if (!(degrees > 0.0f)) return false;
  const double step = degrees;
  const double steps = std::round(360.0 / step);
  return steps >= 1.0 && std::fabs(steps * step - 360.0) < 1e-3;
}

bool ScanScreenPresenter::shouldStartScanImmediately() const {
  if (settings_.boolForKey(kAdaptiveKey)) return true;
  return settings_.boolForKey(kOverrideKey) && stepDividesTurn(settings_.floatForKey(kRotationKey));
}

void ScanScreenPresenter::resetView() {
  if (shouldStartScanImmediately())
    showScanView();
  else
    showStartView();
}

void ScanScreenPresenter::startScan() {
  if (settings_.boolForKey(kAdaptiveKey)) {
    scanWithSliceDegrees(0.0f, kHeadIntervalMM);
    return;
  }
  const float step = settings_.floatForKey(kRotationKey);
  if (settings_.boolForKey(kOverrideKey) && stepDividesTurn(step)) scanWithSliceDegrees(step, kHeadIntervalMM);
}

void ScanScreenPresenter::qualityChosen(float degrees) {
  scanWithSliceDegrees(degrees, kHeadIntervalMM);
  settings_.setValue(kRotationKey, qv::Value(static_cast<double>(degrees)));
}

void ScanScreenPresenter::showStartView() {
  controls_.startView = true;
  controls_.pause = controls_.finish = controls_.progressLabel = controls_.progressBar = false;
  controls_.play = controls_.details = controls_.saveOverlay = false;
  controls_.cancel = true;
  show();
}

void ScanScreenPresenter::showScanView() {
  controls_.startView = false;
  controls_.pause = controls_.finish = controls_.progressLabel = controls_.progressBar = controls_.details = false;
  controls_.progress = 0;
  if (view_) {
    view_->clearMonitorImages();
    view_->setRightPanelOpen(false);
  }
  rightPanelWidth_ = 0;
  show();
}

void ScanScreenPresenter::scanWithSliceDegrees(float sliceDegrees, float heightInterval) {
  // A second start while one runs would build two scans on one scanner at once.
  if (!controls_.startView && controls_.pause) {
    QVLogWarn("A scan is already running; the new start is ignored");
    return;
  }
  preview_.reset();
  scene_.resetScene();
  if (view_) view_->sceneReset();
  controls_.saveOverlay = false;
  showScanView();
  controls_.play = controls_.cancel = false;
  controls_.pause = controls_.progressLabel = controls_.progressBar = true;
  controls_.status = "Starting scan";
  show();
  cancelRequested_ = false;

  auto context = store_.mainContext();
  std::optional<qv::ObjectID> id;
  context->performAndWait([&] {
    auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(*context));
    qv::Error error;
    if (!context->save(&error)) QVLogWarn("Could not save the new scan object: %s", error.text().c_str());
    if (scan) id = scan->objectID();
  });
  {
    std::lock_guard lock(idMutex_);
    scanObjectID_ = id;
  }
  // A step of 0 is adaptive; any other must make whole turns.
  if (sliceDegrees != 0.0f && !stepDividesTurn(sliceDegrees)) {
    QVLogWarn("A step of %f degrees does not divide a turn", static_cast<double>(sliceDegrees));
    deleteScanObject();
    returnToMainScreen();
    return;
  }
  auto weak = weakSelf();
  qv::after(qv::seconds(1.0), qv::mainQueue(), [weak, sliceDegrees, heightInterval] {
    auto self = weak.lock();
    if (!self || !self->delegate_) return;
    const auto scan = self->scanObjectID();
    if (!scan) return;
    self->delegate_->buildScanForScanViewController(*scan, sliceDegrees, heightInterval, self->completionHandler(),
                                                    self->updateHandler(), self->errorHandler());
  });
}

// ---- the running scan ----

qv::Completion ScanScreenPresenter::completionHandler() {
  return [weak = weakSelf()] {
    qv::mainQueue()->async([weak] {
      if (auto self = weak.lock()) self->scanCompleted();
    });
  };
}

ScanRelays::Update ScanScreenPresenter::updateHandler() {
  return [weak = weakSelf()](std::shared_ptr<QVLStatus> status) {
    if (!status) return;
    qv::mainQueue()->async([weak, status] {
      if (auto self = weak.lock()) self->scanUpdated(status);
    });
  };
}

qv::ErrorCallback ScanScreenPresenter::errorHandler() {
  return [weak = weakSelf()](const qv::Error& error) {
    qv::mainQueue()->async([weak, error] {
      if (auto self = weak.lock()) self->scanFailed(error);
    });
  };
}

void ScanScreenPresenter::scanCompleted() {
  controls_.pause = false;
  controls_.finish = controls_.cancel = true;
  controls_.progress = 1.0f;
  show();
}

void ScanScreenPresenter::scanUpdated(const std::shared_ptr<QVLStatus>& status) {
  if (status->hasProgress()) controls_.progress = status->percentageComplete();
  const std::string message = status->message();
  if (!message.empty()) controls_.status = message;
  qv::SharedData laserImage, monitorImage;
  for (const auto& child : status->children()) {
    if (!child) continue;
    if (child->type() == QVLStatusTypeLaserImage && child->image()) laserImage = child->image();
    if (child->type() == QVLStatusTypeMonitorImage && child->image()) monitorImage = child->image();
  }
  if (laserImage || monitorImage) {
    if (view_) view_->showMonitorImages(laserImage, monitorImage);
    controls_.details = true;
    if (rightPanelWidth_ == 0 && !settings_.boolForKey(kHidePanelKey)) toggleAdvanced();
  }
  show();
}

void ScanScreenPresenter::scanFailed(const qv::Error& error) {
  // A cancel also raises the pause flag, so the step in flight may end with either code.
  if (cancelRequested_ && isScanDomain(error) && (error.code == 11 || error.code == 12)) {
    endCancelledScan();
    return;
  }
  if (isScanDomain(error) && error.code == 12) {
    handlePausedScan();
    return;
  }
  if ((isScanDomain(error) && (error.code == 7 || error.code == 8)) || error.domain == qv::kControlErrorDomain ||
      error.domain == qv::kInterpreterErrorDomain) {
    handleCameraError();
    return;
  }
  QVLogInfo("The scan ended: %s", error.text().c_str());
  if (isScanDomain(error) && error.code == 11) {
    endCancelledScan();
    return;
  }
  // A scan that failed before it stored anything leaves nothing behind.
  if (const auto id = scanObjectID()) {
    auto context = store_.privateContext();
    context->perform([context, id = *id] {
      auto scan = QVSDScanObject::scanObjectWithId(id, false, *context);
      if (!scan || !scan->scanSlices().empty() || scan->numberOfVertices() > 0) return;
      context->deleteObject(scan);
      qv::Error e;
      if (!context->save(&e)) QVLogWarn("Could not delete the empty scan: %s", e.text().c_str());
    });
  }
  returnToMainScreen();
}

void ScanScreenPresenter::handlePausedScan() {
  bool offerFinish = false;
  if (const auto id = scanObjectID()) {
    auto context = store_.mainContext();
    context->performAndWait([&] {
      auto scan = QVSDScanObject::scanObjectWithId(*id, false, *context);
      offerFinish = scan && (scan->pointClouds().size() >= 3 || scan->scanSlices().size() >= 7);
    });
  }
  controls_.pause = false;
  controls_.play = controls_.cancel = true;
  controls_.finish = offerFinish;
  controls_.status = "Scan paused";
  show();
}

void ScanScreenPresenter::handleCameraError() {
  Alert alert{AlertStyle::Critical, "Camera Error", "The camera is not responding. Please check the connection and try again.",
              {"OK"}};
  dialogs_.showAlert(alert, [weak = weakSelf()](int) {
    auto self = weak.lock();
    if (!self) return;
    self->controls_.cancel = self->controls_.finish = self->controls_.play = true;
    self->controls_.pause = false;
    self->show();
  });
}

void ScanScreenPresenter::pauseButtonPressed() {
  if (!controls_.pause) {
    playButtonPressed();
    return;
  }
  controls_.pause = controls_.finish = false;
  controls_.status = "Pausing scan";
  show();
  if (delegate_) delegate_->pauseScanForScanViewController();
}

void ScanScreenPresenter::playButtonPressed() {
  controls_.play = controls_.cancel = controls_.finish = false;
  show();
  qv::after(qv::seconds(0.1), qv::mainQueue(), [weak = weakSelf()] {
    auto self = weak.lock();
    if (!self) return;
    self->controls_.pause = self->controls_.progressLabel = self->controls_.progressBar = true;
    self->controls_.status = "Resuming scan";
    self->show();
    if (self->delegate_)
      self->delegate_->resumeCurrentScanForScanViewController(self->completionHandler(), self->updateHandler(),
                                                              self->errorHandler());
  });
}

// ---- cancelling ----

void ScanScreenPresenter::cancelButtonPressed() {
  auto cancel = [weak = weakSelf()] {
    auto self = weak.lock();
    if (!self || !self->delegate_) return;
    if (!self->scanObjectID()) {
      // Nothing was started: only the way back.
      self->delegate_->showHudScreenForScanViewController();
      return;
    }
    self->cancelRequested_ = true;
    const bool running = self->controls_.pause;
    self->delegate_->cancelScanForScanViewController();
    // A paused, failed or finished scan sends no more answers: it ends here.
    if (!running) self->endCancelledScan();
  };
  if (preview_.numberOfPoints(1) == 0) {
    cancel();
    return;
  }
  Alert alert{AlertStyle::Warning, "Cancel Scan", "Are you sure you want to delete the current scan?",
              {"Continue Scanning", "Delete Scan"}};
  dialogs_.showAlert(alert, [cancel](int button) {
    if (button == 1) cancel();
  });
}

void ScanScreenPresenter::endCancelledScan() {
  cancelRequested_ = false;
  deleteScanObject();
  returnToMainScreen();
}

void ScanScreenPresenter::returnToMainScreen() {
  // Nothing runs any more: the next start is free to go.
  controls_.pause = false;
  show();
  if (delegate_) delegate_->showHudScreenForScanViewController();
}

void ScanScreenPresenter::deleteScanObject() {
  std::optional<qv::ObjectID> id;
  {
    std::lock_guard lock(idMutex_);
    id = std::exchange(scanObjectID_, std::nullopt);
  }
  if (!id) return;
  // On the scan driver's context, after whatever it still has to write.
  auto context = store_.privateContext();
  context->perform([context, id = *id] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, *context);
    if (!scan) return;
    context->deleteObject(scan);
    qv::Error error;
    if (!context->save(&error)) QVLogWarn("Could not delete the cancelled scan: %s", error.text().c_str());
  });
}

// ---- finishing and saving ----

void ScanScreenPresenter::finishButtonPressed() {
  controls_.saveOverlay = true;
  controls_.saving = false;
  controls_.savePrompt = true;
  show();
}

void ScanScreenPresenter::cancelFinishButtonPressed() {
  controls_.saveOverlay = controls_.saving = false;
  controls_.savePrompt = true;
  show();
}

std::string ScanScreenPresenter::defaultScanFileName(const std::optional<std::string>& sourceFilePath,
                                                     const fs::path& folder) {
  if (sourceFilePath) {
    const fs::path source(*sourceFilePath);
    const std::string extension = source.extension().string();
    if (extension == ".qvk" || extension == ".qvkx") return source.stem().string();
  }
  auto nameFor = [](int n) { return n == 0 ? std::string("Scan") : "Scan(" + std::to_string(n) + ")"; };
  std::error_code ec;
  for (int n = 0; n < 999; ++n) {
    const std::string name = nameFor(n);
    if (!fs::exists(folder / (name + ".qvkx"), ec) && !fs::exists(folder / (name + ".qvk"), ec)) return name;
  }
  return nameFor(999);
}

fs::path ScanScreenPresenter::lastSaveFolder() const {
  return qv::viewer::lastPanelFolder(settings_);
}

void ScanScreenPresenter::saveScanButtonPressed() {
  const auto id = scanObjectID();
  if (!id) {
    if (delegate_) delegate_->showHudScreenForScanViewController();
    return;
  }
  std::optional<std::string> source;
  auto context = store_.mainContext();
  context->performAndWait([&] {
    if (auto scan = QVSDScanObject::scanObjectWithId(*id, false, *context)) source = scan->sourceFilePath();
  });
  const fs::path folder = lastSaveFolder();
  const std::string name = defaultScanFileName(source, folder);
  if (!view_) return;
  view_->chooseSaveLocation(name, folder, [weak = weakSelf()](std::optional<std::string> chosen) {
    auto self = weak.lock();
    if (!self || !chosen) return;
    std::string path = *chosen;
    const std::string extension = lowercased(fs::path(path).extension().string());
    if (extension != ".qvkx" && extension != ".qvk") path += ".qvkx";
    qv::viewer::rememberPanelFolder(self->settings_, path);
    self->controls_.saving = true;
    self->controls_.savePrompt = false;
    self->show();
    self->saveTo(path);
  });
}

void ScanScreenPresenter::saveTo(const std::string& path) {
  const auto id = scanObjectID();
  if (!id) return;
  auto context = store_.privateContext();
  auto weak = weakSelf();
  // A save that throws is a failed save, shown as any other.
  auto failed = [weak](const qv::Error& error) {
    qv::mainQueue()->async([weak, error] {
      if (auto self = weak.lock()) self->saveFailed(error);
    });
  };
  qv::globalQueue(qv::QueuePriority::Background)->async("save the scan to " + path, [weak, context, id = *id, path] {
    if (auto self = weak.lock()) {
      if (self->delegate_) self->delegate_->tidyScanForScanViewController();
    }
    context->performAndWait([&] {
      auto scan = QVSDScanObject::scanObjectWithId(id, true, *context);
      if (!scan) return;
      const std::string file = scan->vertexDataFilePath().value_or("");
      std::error_code ec;
      bool unread = false;
      if (!file.empty() && fs::exists(file, ec)) {
        qv::Error error;
        if (auto bytes = qv::readWholeFile(file, &error)) {
          scan->setVertexData(std::make_shared<const qv::Data>(std::move(*bytes)));
          qv::removeLibraryFile(*context, file, "scan's vertex file");
        } else {
          // The file and its name stay: its records are not in the store yet.
          QVLogWarn("Could not read the scan's vertex data: %s", error.text().c_str());
          unread = true;
        }
      }
      if (!unread) scan->setVertexDataFilePath(std::nullopt);
      qv::Error error;
      if (!context->save(&error)) QVLogWarn("Could not save the scan's vertex data: %s", error.text().c_str());
    });
    const bool project = lowercased(fs::path(path).extension().string()) == ".qvkx";
    std::unique_ptr<QVLFileExporter> writer;
    if (project)
      writer = std::make_unique<QVLQvkxFileExporter>(id);
    else
      writer = std::make_unique<QVLQvkFileExporter>(id);
    writer->setPrivateQueueContext(context);
    qv::Error error;
    if (!writer->exportScanToFilePath(path, &error)) {
      if (error.description.empty()) error.description = "The scan could not be written to " + path + ".";
      qv::mainQueue()->async([weak, error] {
        if (auto self = weak.lock()) self->saveFailed(error);
      });
      return;
    }
    context->performAndWait([&] {
      auto scan = QVSDScanObject::scanObjectWithId(id, true, *context);
      if (!scan) return;
      scan->setSourceFilePath(path);
      qv::Error saveError;
      if (!context->save(&saveError)) QVLogWarn("Could not note where the scan was saved: %s", saveError.text().c_str());
    });
    qv::mainQueue()->async([weak, id] {
      auto self = weak.lock();
      if (self && self->delegate_) self->delegate_->openScan(id);
    });
  }, failed);
}

void ScanScreenPresenter::saveFailed(const qv::Error& error) {
  // Back to the question, so the user can choose another place or discard the scan.
  controls_.saving = false;
  controls_.savePrompt = true;
  show();
  dialogs_.showAlert({AlertStyle::Warning, "The scan could not be saved", error.description, {"OK"}}, [](int) {});
}

void ScanScreenPresenter::discardScanButtonPressed() {
  controls_.saveOverlay = false;
  show();
  auto weak = weakSelf();
  qv::globalQueue(qv::QueuePriority::Background)->async([weak] {
    auto self = weak.lock();
    if (!self) return;
    if (self->delegate_) self->delegate_->tidyScanForScanViewController();
    qv::mainQueue()->async([weak] {
      if (auto self = weak.lock()) self->endCancelledScan();
    });
  });
}

// ---- the right panel and the menu ----

void ScanScreenPresenter::toggleAdvanced() {
  const float width = rightPanelWidth_;
  if (width != 0 && width != kRightPanelWidth) return;  // still moving
  const bool open = width == 0;
  settings_.setValue(kHidePanelKey, qv::Value(!open));
  if (!view_) {
    rightPanelWidth_ = open ? kRightPanelWidth : 0;
    return;
  }
  rightPanelWidth_ = kRightPanelWidth / 2;
  view_->animateRightPanel(open, animationSeconds(0.5), [weak = weakSelf(), open] {
    if (auto self = weak.lock()) self->rightPanelWidth_ = open ? kRightPanelWidth : 0;
  });
}

ScanScreenMenu::ItemState ScanScreenPresenter::validateMenuItem(int tag) const {
  // Each item follows its own button, so the menu never offers what the screen does not.
  bool shown = true;
  switch (tag) {
    case kPauseMenuTag: shown = controls_.pause; break;
    case kFinishMenuTag: shown = controls_.finish; break;
    case kCancelMenuTag: shown = controls_.cancel; break;
    case kPlayMenuTag: shown = controls_.play; break;
    case kDetailsMenuTag: shown = controls_.details; break;
    default: return {};
  }
  return {shown, shown};
}

void ScanScreenPresenter::performMenuItem(int tag) {
  if (!validateMenuItem(tag).enabled) return;
  switch (tag) {
    case kPauseMenuTag: pauseButtonPressed(); break;
    case kFinishMenuTag: finishButtonPressed(); break;
    case kCancelMenuTag: cancelButtonPressed(); break;
    case kPlayMenuTag: playButtonPressed(); break;
    case kDetailsMenuTag: toggleAdvanced(); break;
    default: break;
  }
}

// ---- the preview's intake ----

void ScanScreenPresenter::observeStore() {
  auto& center = qv::NotificationCenter::defaultCenter();
  storeSaves_ = qv::ObserverRegistration(
      center, center.addObserver(qv::ObjectContext::kDidSaveNotification, store_.privateContext().get(),
                                 [weak = weakSelf()](const qv::Notification& n) {
                                   if (auto self = weak.lock()) self->contextDidSavePrivateQueueContext(n);
                                 }));
}

void ScanScreenPresenter::contextDidSavePrivateQueueContext(const qv::Notification& notification) {
  const auto save = qv::ContextSave::from(notification);
  const auto id = scanObjectID();
  if (!save || !id) return;
  std::vector<QVLPreviewVertex> batchA, batchB;
  // Points of one save mostly share a cloud: its laser is looked up once per cloud.
  std::shared_ptr<QVSDPointCloud> lastCloud;
  std::int64_t laser = -1;
  for (const auto& object : save->insertedObjects) {
    const auto point = std::dynamic_pointer_cast<QVSDPoint3D>(object);
    if (!point) continue;
    const auto scan = point->scanObject();
    if (!scan || !(scan->objectID() == *id)) continue;
    const auto cloud = point->pointCloud();
    if (cloud != lastCloud) {
      lastCloud = cloud;
      laser = cloud ? cloud->laserNumber().value_or(-1) : -1;
    }
    if (laser == 0)
      batchA.push_back(previewVertexOf(*point));
    else if (laser == 1)
      batchB.push_back(previewVertexOf(*point));
    else
      QVLogWarn("Unexpected laser number: %ld", static_cast<long>(laser));
  }
  for (const auto& object : save->updatedObjects) {
    const auto scan = std::dynamic_pointer_cast<QVSDScanObject>(object);
    if (!scan || !(scan->objectID() == *id)) continue;
    const Double3 centre = scan->objectCenterPoint();
    scene_.setObjectsNodeHomePosition({-centre.x, -centre.y, -centre.z});
  }
  preview_.intake(batchA, batchB);
  // The scene model locks itself; only the fade and the point size belong to the main thread.
  qv::mainQueue()->async([weak = weakSelf()] {
    auto self = weak.lock();
    if (!self) return;
    self->preview_.fadeIn();
    if (self->view_) self->view_->previewChanged(animationSeconds(kHighlightFadeSeconds));
  });
}

}  // namespace qv::screens
