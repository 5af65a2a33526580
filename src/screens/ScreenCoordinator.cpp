// Screen switching and the opening of files.
#include "screens/ScreenCoordinator.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <filesystem>

#include "formats/FileFormats.h"
#include "formats/FormatErrors.h"
#include "platform/Log.h"
#include "screens/MruList.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDScanObject.h"
#include "store/TBCoreDataStoreS1.h"

namespace qv::screens {
namespace {

// Each file once, in the order first handed over, leaving out the one that was opened.
std::vector<std::string> notOpenedOf(const std::vector<std::string>& asked, const std::string& opened) {
  std::vector<std::string> out;
  for (const auto& path : asked)
    if (path != opened && std::find(out.begin(), out.end(), path) == out.end()) out.push_back(path);
  return out;
}

// Scan and project files only: a mesh file is no scan to open from the desktop.
std::unique_ptr<QVLFileImporter> defaultImporter(const std::string& extension, const std::string& path,
                                                 const qv::ObjectID& scan) {
  if (extension != "qvk" && extension != "qvkx") return nullptr;
  return qv::importerForPath(path, scan);
}

}  // namespace

const char* screenName(ScreenKind kind) {
  switch (kind) {
    case ScreenKind::Main: return "main screen";
    case ScreenKind::Scan: return "scan screen";
    case ScreenKind::ManualScan: return "manual scan screen";
    case ScreenKind::Calibration: return "calibration wizard";
    case ScreenKind::Viewer: return "3D viewer";
    case ScreenKind::Progress: return "progress overlay";
  }
  return "screen";
}

std::shared_ptr<ScreenCoordinator> ScreenCoordinator::create(Options options) {
  return std::shared_ptr<ScreenCoordinator>(new ScreenCoordinator(std::move(options)));
}

ScreenCoordinator::ScreenCoordinator(Options options) : o_(std::move(options)) {
  if (!o_.fileQueue) o_.fileQueue = qv::makeSerialQueue("org.quorvel.FileQueue");
  if (!o_.makeImporter) o_.makeImporter = defaultImporter;
}

double ScreenCoordinator::viewerDelay() const { return o_.host->hasScreen(ScreenKind::Viewer) ? 0.0 : 0.3; }

void ScreenCoordinator::removeAllChildViews() { o_.host->takeDownAll(); }

void ScreenCoordinator::showHudScreen() {
  removeAllChildViews();
  o_.host->putUp(ScreenKind::Main);
  if (shouldCheckForUpdate_) {
    shouldCheckForUpdate_ = false;
    if (o_.settings && o_.settings->boolForKey("CheckForUpdatesOnStartup")) {
      if (o_.application) o_.application->startUpdateCheck();
    } else {
      QVLogInfo("Not checking for updates (installed: %s.%s)", QUORVEL_SHORT_VERSION, QUORVEL_BUILD_VERSION);
    }
  }
  auto weak = weakSelf();
  qv::after(qv::seconds(0.1), qv::mainQueue(), [weak] {
    if (auto self = weak.lock()) self->o_.host->adjustMainLayout(true);
  });
}

void ScreenCoordinator::showScanScreen() {
  removeAllChildViews();
  auto weak = weakSelf();
  qv::after(qv::seconds(0.1), qv::mainQueue(), [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->o_.host->putUp(ScreenKind::Scan);
    if (auto* scan = self->o_.host->scanScreen()) scan->resetView();
    qv::after(qv::seconds(0.1), qv::mainQueue(), [weak] {
      auto self = weak.lock();
      if (!self || !self->o_.settings) return;
      if (self->o_.settings->boolForKey("OverrideScanRotationAndHeight") || self->o_.settings->boolForKey("EnableAdaptiveScanning"))
        if (auto* scan = self->o_.host->scanScreen()) scan->startScan();
    });
  });
}

void ScreenCoordinator::showManualScanScreen() {
  removeAllChildViews();
  if (o_.application) o_.application->setShouldPauseScan(false);
  auto weak = weakSelf();
  qv::after(qv::seconds(0.1), qv::mainQueue(), [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->o_.host->putUp(ScreenKind::ManualScan);
    if (auto* manual = self->o_.host->manualScanScreen()) manual->connectAndMonitorScanner();
  });
}

void ScreenCoordinator::showCalibrationScreen() {
  if (openPanelUp_) return;
  removeAllChildViews();
  o_.host->putUp(ScreenKind::Calibration);
  if (auto* calibration = o_.host->calibrationScreen()) calibration->resetContent();
}

void ScreenCoordinator::openScan(const qv::ObjectID& scan) {
  removeAllChildViews();
  auto weak = weakSelf();
  qv::after(qv::seconds(viewerDelay()), qv::mainQueue(), [weak, scan] {
    auto self = weak.lock();
    if (!self) return;
    auto& host = *self->o_.host;
    if (host.hasScreen(ScreenKind::Viewer) && host.isShown(ScreenKind::Viewer))
      if (auto* viewer = host.viewer()) viewer->resetViewer();
    host.putUp(ScreenKind::Viewer);
    auto context = self->o_.store->privateContext();
    context->perform([context, scan] {
      if (QVSDScanObject::scanObjectWithId(scan, true, *context)) {
        qv::Error error;
        if (!context->save(&error)) QVLogWarn("Could not note the scan as opened: %s", error.text().c_str());
      }
    });
    if (auto* viewer = host.viewer()) viewer->loadScan(scan);
  });
}

void ScreenCoordinator::refuseOpen(const std::string& informativeText) {
  refusalAlertUp_ = true;
  Alert alert{AlertStyle::Warning, kCouldNotOpen, informativeText, {"OK"}};
  auto weak = weakSelf();
  o_.dialogs->showAlert(alert, [weak](int) {
    if (auto self = weak.lock()) self->refusalAlertUp_ = false;
  });
}

void ScreenCoordinator::tellNotOpened(const std::vector<std::string>& notOpened, const std::string& opened,
                                      bool onScreen, bool quitting) {
  const char* because = quitting ? "the program is quitting"
                        : opened.empty() ? "the scan in the viewer stays"
                                         : "another file handed over later is opened";
  for (const auto& path : notOpened) QVLogInfo("Not opening %s: %s", path.c_str(), because);
  if (!onScreen || notOpened.empty()) return;
  std::string text = opened.empty() ? std::string(kKeptScanNotOpened)
                                    : "The viewer shows one scan at a time: " + opened + " is opened. Not opened:";
  for (const auto& path : notOpened) text += "\n" + path;
  Alert alert{AlertStyle::Informational, notOpened.size() == 1 ? kFileNotOpened : kFilesNotOpened, text, {"OK"}};
  ++notOpenedAlertsUp_;
  o_.dialogs->showAlert(alert, [weak = weakSelf()](int) {
    // Taken up once the alert has gone, not from inside its closing.
    qv::mainQueue()->async([weak] {
      auto self = weak.lock();
      if (self && --self->notOpenedAlertsUp_ == 0) self->takeUpFilesHandedOverDuringAlert();
    });
  });
}

void ScreenCoordinator::takeUpFilesHandedOverDuringAlert() {
  if (handedOverDuringAlert_.empty()) return;
  auto waiting = std::exchange(handedOverDuringAlert_, {});
  if (askingAboutViewerEdits_) {
    // A question came up meanwhile: they wait for its answer with the files handed over during it.
    handedOverWhileAsking_.insert(handedOverWhileAsking_.end(), waiting.begin(), waiting.end());
    return;
  }
  // One scan at a time: the last one handed over is taken up once the user has read which of the
  // others are not opened.
  const std::string last = waiting.back();
  if (const auto earlier = notOpenedOf(waiting, last); !earlier.empty()) {
    handedOverDuringAlert_ = {last};
    tellNotOpened(earlier, last, true);
    return;
  }
  if (reading_) {
    // Taken up now it would be dropped beneath the read's overlay without a word.
    QVLogInfo("Not opening %s: the file being opened has not finished loading", last.c_str());
    refuseOpen(kReadUnderWay);
    return;
  }
  QVLogInfo("Taking up %s, handed over while the alert naming files not opened was up", last.c_str());
  takeUp(last, true);
}

bool ScreenCoordinator::applicationOpenFile(const std::string& path) {
  if (refusalAlertUp_) {
    // The alert up names why nothing opens now; the log names each file it turned away.
    QVLogInfo("Not opening %s: the program is telling why it cannot open a file now", path.c_str());
    return true;
  }
  QVLogInfo("Request to open file: %s", path.c_str());
  const std::string ext = qv::fileExtension(path);
  if (ext != "qvk" && ext != "qvkx") return false;
  if (askingAboutViewerEdits_) {
    // Waits for the answer about the viewer's scan: opened in its place after Save or Don't Save
    // (when handed over last), else named to the user as not opened.
    QVLogInfo("%s waits for the answer about the unsaved changes of the scan in the viewer", path.c_str());
    handedOverWhileAsking_.push_back(path);
    return true;
  }
  if (notOpenedAlertsUp_ > 0) {
    // Taken up now it could put the viewer's question, or another alert, over the one naming the
    // files not opened: it waits until the user has closed that one.
    QVLogInfo("%s waits until the alert naming the files not opened is closed", path.c_str());
    handedOverDuringAlert_.push_back(path);
    return true;
  }
  takeUp(path);
  return true;
}

void ScreenCoordinator::takeUp(const std::string& path, bool waited) {
  auto& host = *o_.host;
  const bool progress = host.isShown(ScreenKind::Progress);
  if (host.isShown(ScreenKind::Main)) {
    // One read at a time: the overlay, the reader and the cancel button belong to it.
    if (reading_)
      refuseOpen(kReadUnderWay);
    else
      openScanWithFilePath(path);
  } else if (host.isShown(ScreenKind::Scan)) {
    refuseOpen(kFinishScanFirst);
  } else if (host.isShown(ScreenKind::Viewer) && progress) {
    // a read is already on its way into the viewer
  } else if (host.isShown(ScreenKind::Viewer)) {
    auto* viewer = host.viewer();
    if (viewer && !viewer->canOpenFile())
      refuseOpen(kCompleteViewerOperation);
    else
      openInPlaceOfViewerScan(
          path, [weak = weakSelf(), path] {
            if (auto self = weak.lock()) self->openScanWithFilePath(path);
          },
          waited);
  } else if (host.isShown(ScreenKind::Calibration) || host.isShown(ScreenKind::ManualScan) || progress) {
    refuseOpen(kCompleteOperation);
  } else {
    modelToDisplayOnStartup_ = path;
  }
}

void ScreenCoordinator::openModelToDisplayOnStartup() {
  if (modelToDisplayOnStartup_.empty()) return;
  std::string path = std::exchange(modelToDisplayOnStartup_, std::string());
  openScanWithFilePath(path);
}

void ScreenCoordinator::openExistingScan() {
  if (openPanelUp_ || askingAboutViewerEdits_) return;
  auto& host = *o_.host;
  if (!host.isShown(ScreenKind::Main)) {
    auto* viewer = host.viewer();
    if (!(host.isShown(ScreenKind::Viewer) && viewer && viewer->canOpenFile())) return;
  }
  openPanelUp_ = true;
  auto weak = weakSelf();
  o_.dialogs->chooseFileToOpen("Select", {"qvkx", "qvk"}, [weak](std::optional<std::string> path) {
    auto self = weak.lock();
    if (!self) return;
    self->openPanelUp_ = false;
    if (!path) {
      self->o_.host->adjustMainLayout(false);
      if (auto* viewer = self->o_.host->viewer()) viewer->enableHeaderUI();
      return;
    }
    auto open = [weak, p = *path] {
      auto self = weak.lock();
      if (!self) return;
      self->removeAllChildViews();
      qv::after(qv::seconds(self->viewerDelay()), qv::mainQueue(), [weak, p] {
        if (auto self = weak.lock()) self->openScanWithFilePath(p);
      });
    };
    if (self->o_.host->isShown(ScreenKind::Viewer))
      self->openInPlaceOfViewerScan(*path, std::move(open));
    else
      open();
  });
}

void ScreenCoordinator::openInPlaceOfViewerScan(const std::string& path, std::function<void()> open, bool waited) {
  auto* viewer = o_.host->viewer();
  auto weak = weakSelf();
  auto proceed = [weak, path, open = std::move(open), waited](bool cancelled) {
    auto self = weak.lock();
    if (!self) return;
    self->askingAboutViewerEdits_ = false;
    const auto handedOver = std::exchange(self->handedOverWhileAsking_, {});
    std::vector<std::string> asked{path};
    asked.insert(asked.end(), handedOver.begin(), handedOver.end());
    if (cancelled) {
      // The user chose to keep the scan: asking the same question again for each file handed
      // over meanwhile would look as if the cancel did nothing, so they are named instead. A file
      // that waited for an alert is named too: the question came a while after it was handed over.
      self->tellNotOpened(notOpenedOf(asked, {}), {}, !handedOver.empty() || waited);
      if (auto* viewer = self->o_.host->viewer()) viewer->enableHeaderUI();
      return;
    }
    // One scan at a time: the file asked for last is opened, and the user hears of the others.
    const std::string opened = handedOver.empty() ? path : handedOver.back();
    self->tellNotOpened(notOpenedOf(asked, opened), opened, true);
    if (opened != path) {
      QVLogInfo("Opening %s, handed over last during the question", opened.c_str());
      self->openScanWithFilePath(opened);
      return;
    }
    open();
  };
  if (!viewer) return proceed(false);
  // The scan shown may hold applied edits not yet written to its file. Another scan taking the
  // viewer's place would leave them unasked-about in the library (and reading the same file again
  // would replace them), so the user answers first, as on quitting.
  askingAboutViewerEdits_ = true;
  viewer->saveAnyUnsavedChanges(std::move(proceed));
}

void ScreenCoordinator::askAboutViewerEditsBeforeQuitting(std::function<void(bool cancelled)> done) {
  auto* viewer = o_.host->isShown(ScreenKind::Viewer) ? o_.host->viewer() : nullptr;
  if (!viewer) {
    if (done) done(false);
    return;
  }
  // A file handed over meanwhile waits for this answer like one handed over during the question
  // of an opening: asking again would put a second question over the first.
  askingAboutViewerEdits_ = true;
  auto weak = weakSelf();
  viewer->saveAnyUnsavedChanges([weak, done = std::move(done)](bool cancelled) {
    if (auto self = weak.lock()) {
      self->askingAboutViewerEdits_ = false;
      // A cancel keeps the program and its scan, and the user is told what was not opened; after
      // Save or Don't Save the program ends, so only the log can name them.
      self->tellNotOpened(notOpenedOf(std::exchange(self->handedOverWhileAsking_, {}), {}), {}, cancelled,
                          !cancelled);
    }
    if (done) done(cancelled);
  });
}

void ScreenCoordinator::openScanWithFilePath(const std::string& path) {
  if (reading_) {
    refuseOpen(kReadUnderWay);
    return;
  }
  reading_ = true;
  o_.host->putUp(ScreenKind::Progress);
  o_.host->setProgress(0.0f);
  auto weak = weakSelf();
  progressTimer_ = qv::Timer::scheduledTimer(0.1, [weak] {
    auto self = weak.lock();
    if (!self) return;
    std::lock_guard lock(self->importerMutex_);
    if (self->fileImporter_) self->o_.host->setProgress(self->fileImporter_->percentLoaded());
  }, true);

  auto context = o_.store->privateContext();
  auto factory = o_.makeImporter;
  o_.fileQueue->async([weak, path, context, factory] {
    // The new scan object is made first and the old one of the same file is removed only after
    // the read succeeded, so a file that fails to read never costs the user the scan they had.
    qv::ObjectID scanId;
    std::optional<qv::Error> storeError;  // the store's reason when the scan could not be stored
    context->performAndWait([&] {
      auto library = QVSDLibrary::defaultLibraryInContext(*context);
      if (auto scan = QVSDScanObject::createScanObjectWithFilePath(path, library)) {
        qv::Error error;
        if (context->save(&error))
          scanId = scan->objectID();
        else {
          QVLogError("Could not store a scan for %s: %s", path.c_str(), error.text().c_str());
          storeError = qv::isOutOfSpace(error) ? qv::readerOutOfSpaceError(path, error, context->libraryFolder()) : error;
          context->rollback();
        }
      }
    });
    auto finish = [weak](bool ok, std::optional<qv::Error> error, qv::ObjectID id) {
      qv::mainQueue()->async([weak, ok, error = std::move(error), id] {
        if (auto self = weak.lock()) self->finishRead(ok, error, id);
      });
    };
    if (scanId.isNull()) {
      finish(false, storeError ? *storeError : qv::fileError(qv::kMissingFileError, path, 0, "The file could not be found"), {});
      return;
    }
    std::shared_ptr<QVLFileImporter> importer = factory ? factory(qv::fileExtension(path), path, scanId) : nullptr;
    qv::Error error;
    bool ok = false;
    if (!importer) {
      error = qv::fileError(qv::kInvalidFileError, path, 0, "This kind of file cannot be opened");
    } else {
      importer->setPrivateQueueContext(context);
      if (auto self = weak.lock()) {
        std::lock_guard lock(self->importerMutex_);
        self->fileImporter_ = importer;
      }
      // Whatever a reader throws (a file too large for the memory above all) fails this read
      // alone; it must not end the program and lose the user's unsaved work.
      try {
        ok = importer->parseFile(&error);
      } catch (const std::exception& e) {
        ok = false;
        error = qv::fileError(qv::kInvalidFileError, path, 0, std::string("The file could not be read: ") + e.what());
      }
      if (!ok) QVLogError("Could not read %s: %s", path.c_str(), error.text().c_str());
    }
    context->performAndWait([&] {
      auto library = QVSDLibrary::defaultLibraryInContext(*context);
      if (ok) {
        // The same file opened twice leaves one scan object: the newest read replaces the rest.
        for (const auto& old : QVSDScanObject::scanObjectsWithFilePath(path, library))
          if (old->objectID() != scanId) context->deleteObject(old);
      } else if (auto scan = QVSDScanObject::scanObjectWithId(scanId, false, *context)) {
        context->deleteObject(scan);
      }
      qv::Error saveError;
      if (context->hasChanges() && !context->save(&saveError)) {
        QVLogWarn("Could not tidy the scans of %s: %s", path.c_str(), saveError.text().c_str());
        context->rollback();
      }
    });
    // A read that succeeded with an error set left a damaged part of the file out: the user hears
    // of it as the scan opens.
    const bool partial = ok && (error.code != 0 || !error.domain.empty());
    finish(ok, ok && !partial ? std::nullopt : std::optional<qv::Error>(error), scanId);
  });
}

void ScreenCoordinator::finishRead(bool ok, std::optional<qv::Error> error, qv::ObjectID scan) {
  auto weak = weakSelf();
  auto end = [weak, ok, error, scan] {
    auto self = weak.lock();
    if (!self) return;
    if (self->progressTimer_) self->progressTimer_->invalidate();
    self->progressTimer_.reset();
    self->o_.host->takeDown(ScreenKind::Progress);
    {
      std::lock_guard lock(self->importerMutex_);
      self->fileImporter_.reset();
    }
    self->reading_ = false;
    if (ok) {
      self->openScan(scan);
      if (error && !error->description.empty()) {
        Alert alert{AlertStyle::Warning, kPartlyRead, error->description, {"OK"}};
        self->o_.dialogs->showAlert(alert, [](int) {});
      }
    } else {
      auto& host = *self->o_.host;
      const bool anyShown = host.isShown(ScreenKind::Main) || host.isShown(ScreenKind::Viewer) ||
                            host.isShown(ScreenKind::Scan) || host.isShown(ScreenKind::ManualScan) ||
                            host.isShown(ScreenKind::Calibration);
      if (!anyShown) self->showHudScreen();
      const bool cancelled = error && error->is(qv::kScanErrorDomain, qv::kImportCancelledError);
      if (!cancelled) {
        Alert alert{AlertStyle::Warning, kCouldNotOpen,
                    error && !error->description.empty() ? error->description : "The file could not be read.", {"OK"}};
        self->o_.dialogs->showAlert(alert, [](int) {});
      }
    }
    if (self->readEnded_) self->readEnded_(ok, error);
  };
  if (ok)
    qv::after(qv::seconds(0.3), qv::mainQueue(), end);
  else
    end();
}

void ScreenCoordinator::cancelFileLoadOperation() {
  QVLogInfo("Cancelling load operation");
  std::lock_guard lock(importerMutex_);
  if (fileImporter_) fileImporter_->setShouldCancelImport(true);
}

std::vector<ScreenCoordinator::RecentScan> ScreenCoordinator::recentScans() {
  std::vector<RecentScan> out;
  auto context = o_.store->mainContext();
  context->performAndWait([&] {
    auto library = QVSDLibrary::defaultLibraryInContext(*context);
    for (const auto& scan : QVSDScanObject::scanObjectsSortedByLastOpenedDateInLibrary(library)) {
      if (out.size() == kRecentMenuLimit) break;
      out.push_back({scan->sourceFilePath().value_or(""), scan->objectID()});
    }
  });
  return out;
}

void ScreenCoordinator::openRecentScan(const qv::ObjectID& scan) {
  if (openPanelUp_ || reading_ || askingAboutViewerEdits_) return;
  openScan(scan);
}

void ScreenCoordinator::resetScanList() {
  auto context = o_.store->privateContext();
  auto weak = weakSelf();
  qv::globalQueue(qv::QueuePriority::Background)->async([weak, context] {
    auto self = weak.lock();
    if (!self || self->resetting_.exchange(true)) return;
    // One deletion and save at a time, oldest first, so the main screen's tiles follow along.
    for (bool more = true; more;) {
      context->performAndWait([&] {
        auto library = QVSDLibrary::defaultLibraryInContext(*context);
        auto scans = QVSDScanObject::scanObjectsSortedByLastOpenedDateInLibrary(library);
        more = !scans.empty();
        if (!more) return;
        context->deleteObject(scans.back());
        qv::Error error;
        if (!context->save(&error)) {
          QVLogWarn("Could not remove a recent scan: %s", error.text().c_str());
          context->rollback();
          more = false;  // a store that refuses saves would otherwise be asked forever
        }
      });
    }
    self->resetting_ = false;
  });
}

std::optional<std::string> ScreenCoordinator::helpDocumentPath(int tag) {
  switch (tag) {
    case 1: return "downloads/Quorvel_3D-Scanner_User-Manual.pdf";
    case 2: return "downloads/Quorvel_3D-Scanner_Dos-and-Donts.pdf";
    case 3: return "downloads/Quorvel_3D-Scanner_FAQs_Mac.pdf";
    default: return std::nullopt;
  }
}

void ScreenCoordinator::showHelp(int tag) {
  auto document = helpDocumentPath(tag);
  if (!document || o_.helpBaseUrl.empty()) return;
  o_.dialogs->openWithDesktop(o_.helpBaseUrl + *document);
}

void ScreenCoordinator::cancelScannerCalibration() {
  const int state = o_.application ? o_.application->currentAppState() : 1;
  if (state < 2) {
    showHudScreen();
  } else if (state == 2) {
    o_.application->setShouldPauseScan(true);
    o_.application->cancelRunningCalibration();
  } else if (state == 3) {
    o_.application->setShouldPauseScan(true);
    o_.application->cancelRunningScan();
  }
}

}  // namespace qv::screens
