// The aligning screen's work: the second scan, the alignment, the merge and the save offer.
#include "viewer/model/QVLAligningViewController.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "formats/FileFormats.h"
#include "formats/QVLFileExporter.h"
#include "formats/QVLFileImporter.h"
#include "platform/Log.h"
#include "platform/Queue.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/TBCoreDataStoreS1.h"
#include "viewer/model/PanelFolder.h"
#include "viewer/model/ScanMerge.h"

namespace {

std::string lowercaseExtension(const std::string& path) {
  std::string e = std::filesystem::path(path).extension().string();
  if (!e.empty()) e.erase(0, 1);
  std::transform(e.begin(), e.end(), e.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return e;
}

bool isScanFileExtension(const std::string& extension) { return extension == "qvk" || extension == "qvkx"; }

// A scan's vertex buffer as the viewer shows it (its unsaved edits first) and its clouds' lists.
struct Gathered {
  qv::SharedData vertices;
  QVLAlign::ReferenceSet references;
};

Gathered gather(const QVSDScanObject& scan) {
  Gathered g;
  g.vertices = scan.unsavedVertexData();
  if (!g.vertices || g.vertices->empty()) g.vertices = scan.vertexData();
  for (const auto& cloud : scan.pointClouds())
    if (auto list = cloud->vertexIndexData(); list && !list->empty()) g.references.push_back(list);
  return g;
}

QVLAlign::ReferenceSet everyRecord(std::size_t records) {
  auto list = std::make_shared<qv::Data>(records * 4);
  for (std::uint32_t i = 0; i < records; ++i) std::memcpy(list->data() + 4 * i, &i, 4);
  return {list};
}

std::span<const std::uint8_t> bytes(const qv::SharedData& d) {
  return d ? std::span<const std::uint8_t>(d->data(), d->size()) : std::span<const std::uint8_t>();
}

}  // namespace

std::shared_ptr<QVLAligningViewController> QVLAligningViewController::create(Options options) {
  return std::shared_ptr<QVLAligningViewController>(new QVLAligningViewController(std::move(options)));
}

QVLAligningViewController::QVLAligningViewController(Options options) : options_(std::move(options)) {
  if (!options_.importers) {
    options_.importers = [](const std::string& path, const qv::ObjectID& id) -> std::unique_ptr<QVLFileImporter> {
      return isScanFileExtension(lowercaseExtension(path)) ? qv::importerForPath(path, id) : nullptr;
    };
  }
  if (!options_.exporters) {
    options_.exporters = [](const std::string& extension, const qv::ObjectID& id) -> std::unique_ptr<QVLFileExporter> {
      return isScanFileExtension(extension) ? qv::exporterForExtension(extension, id) : nullptr;
    };
  }
  if (!options_.aligner) {
    options_.aligner = [](auto target, const auto& targetRefs, auto base, const auto& baseRefs, auto* matrix) {
      return QVLAlign::alignTargetScanObject(target, targetRefs, base, baseRefs, matrix);
    };
  }
}

TBCoreDataStoreS1& QVLAligningViewController::store() const {
  return options_.store ? *options_.store : TBCoreDataStoreS1::defaultStore();
}

qv::Settings& QVLAligningViewController::settings() const {
  return options_.settings ? *options_.settings : qv::Settings::standard();
}

// The host and the display are only touched on the main queue, where they are also unset. The
// failure alert comes in the same block, shown while the screen fades out.
void QVLAligningViewController::dismiss(bool withFailureAlert) {
  auto self = shared_from_this();
  qv::mainQueue()->async([self, withFailureAlert] {
    if (self->delegate_) self->delegate_->dismissAligningViewController();
    if (withFailureAlert && self->display_) self->display_->showAlert(kFailureMessage, kFailureText);
  });
}

void QVLAligningViewController::cancelButtonPressed() { dismiss(); }

void QVLAligningViewController::chooseFileButtonPressed() {
  if (!display_) return;
  std::weak_ptr<QVLAligningViewController> weak = shared_from_this();
  display_->askForFileToAlign(qv::viewer::lastPanelFolder(settings()).string(), [weak](std::optional<std::string> path) {
    auto self = weak.lock();
    if (!self) return;
    if (!path) {
      self->dismiss();
      return;
    }
    qv::viewer::rememberPanelFolder(self->settings(), *path);
    self->alignAndMergeFile(*path);
  });
}

void QVLAligningViewController::alignAndMergeFile(const std::string& path) {
  if (display_) display_->showStage(qv::viewer::AligningDisplay::Stage::Waiting);
  auto self = shared_from_this();
  qv::globalQueue(qv::QueuePriority::Background)->async([self, path] { self->workStep(path); });
}

void QVLAligningViewController::workStep(const std::string& path) {
  auto context = store().privateContext();
  bool haveSecondScan = false, needsImport = false;
  secondMadeForThisRun_ = false;
  context->performAndWait([&] {
    if (!sourceScanObjectId_) return;
    auto fixed = QVSDScanObject::scanObjectWithId(*sourceScanObjectId_, false, *context);
    if (!fixed) return;
    if (path == fixed->sourceFilePath().value_or("")) {
      QVLogError("The source and the target objects for alignment are the same object: %s", path.c_str());
      return;
    }
    auto second = QVSDScanObject::scanObjectWithFilePath(path, fixed->library());
    if (!second) {
      second = QVSDScanObject::createScanObjectInLibrary(fixed->library());
      if (!second) return;
      needsImport = true;
      qv::Error error;
      if (!context->save(&error)) QVLogWarn("The scan object to import into was not stored: %s", error.text().c_str());
    }
    targetScanObjectId_ = second->objectID();
    filePathToMerge_ = path;
    secondMadeForThisRun_ = needsImport;
    haveSecondScan = true;
  });
  if (!haveSecondScan) {
    dismiss(true);
    return;
  }

  if (needsImport) {
    auto importer = options_.importers(path, *targetScanObjectId_);
    qv::Error error;
    if (importer) importer->setPrivateQueueContext(context);
    if (!importer || !importer->parseFile(&error)) {
      QVLogError("Could not import the second file for alignment from: %s", path.c_str());
      removeSecondScanObjectMadeForThisRun();
      dismiss();
      return;
    }
    QVLogInfo("The second object scan for alignment was loaded from file: %s", path.c_str());
  }

  const bool aligned = alignObjects();
  // The second scan object only carried the file's contents into the merge; kept, it would be a
  // nameless scan in the library that no later run finds again.
  removeSecondScanObjectMadeForThisRun();
  auto self = shared_from_this();
  if (aligned && combinedScanObjectID_)
    qv::mainQueue()->async([self] { self->offerToSave(); });
  else
    dismiss(!aligned);
}

void QVLAligningViewController::removeSecondScanObjectMadeForThisRun() {
  if (!secondMadeForThisRun_ || !targetScanObjectId_) return;
  secondMadeForThisRun_ = false;
  auto context = store().privateContext();
  context->performAndWait([&] {
    if (auto second = QVSDScanObject::scanObjectWithId(*targetScanObjectId_, false, *context)) {
      context->deleteObject(second);
      qv::Error error;
      if (!context->save(&error)) QVLogWarn("The second scan object was not removed: %s", error.text().c_str());
    }
  });
}

bool QVLAligningViewController::alignObjects() {
  if (!sourceScanObjectId_ || !targetScanObjectId_) return false;
  auto context = store().privateContext();
  Gathered fixed, second;
  context->performAndWait([&] {
    if (auto scan = QVSDScanObject::scanObjectWithId(*sourceScanObjectId_, false, *context)) fixed = gather(*scan);
    if (auto scan = QVSDScanObject::scanObjectWithId(*targetScanObjectId_, false, *context)) second = gather(*scan);
  });
  constexpr std::size_t kRecord = 44;
  if (!fixed.vertices || fixed.vertices->size() < kRecord || !second.vertices || second.vertices->size() < kRecord)
    return false;
  if (fixed.references.empty()) fixed.references = everyRecord(fixed.vertices->size() / kRecord);
  if (second.references.empty()) second.references = everyRecord(second.vertices->size() / kRecord);

  QVLAlign::Matrix matrix = QVLAlign::identity();
  if (!options_.aligner(bytes(second.vertices), second.references, bytes(fixed.vertices), fixed.references, &matrix))
    return false;
  const std::vector<std::uint8_t> moved = QVLAlign::applyMatrixToVertexData(matrix, bytes(second.vertices));
  if (moved.size() <= kRecord) return false;

  std::optional<qv::viewer::MergeResult> merged;
  context->performAndWait([&] {
    qv::viewer::MergeInput input{*sourceScanObjectId_, *targetScanObjectId_, bytes(fixed.vertices), moved, matrix,
                                 filePathToMerge_};
    merged = qv::viewer::mergeAlignedScans(*context, input, nullptr);
  });
  if (!merged) return false;
  combinedScanObjectPath_ = merged->proposedPath;
  bothHaveSlices_ = merged->bothHaveSlices;
  combinedScanObjectID_ = merged->mergedScanId;
  return true;
}

void QVLAligningViewController::offerToSave() {
  if (!display_) return;
  display_->showStage(qv::viewer::AligningDisplay::Stage::Offering);
  std::vector<std::string> extensions{"qvk"};
  if (bothHaveSlices_) extensions = {"qvkx", "qvk"};
  std::weak_ptr<QVLAligningViewController> weak = shared_from_this();
  const std::string name = std::filesystem::path(combinedScanObjectPath_).filename().string();
  const std::string proposed = qv::viewer::proposedSavePath(settings(), combinedScanObjectPath_, name).string();
  display_->askForMergedScanPath(proposed, extensions,
                                 [weak](std::optional<std::string> path) {
                                   auto self = weak.lock();
                                   if (!self) return;
                                   if (!path) {
                                     if (self->delegate_) self->delegate_->loadScan(*self->combinedScanObjectID_);
                                     self->dismiss();
                                     return;
                                   }
                                   qv::viewer::rememberPanelFolder(self->settings(), *path);
                                   self->saveMergedScan(*path);
                                 });
}

void QVLAligningViewController::saveMergedScan(const std::string& path) {
  if (display_) display_->showStage(qv::viewer::AligningDisplay::Stage::Saving);
  auto self = shared_from_this();
  auto finishOnMain = [self](const qv::ObjectID& id, bool saved, const qv::Error& error) {
    qv::mainQueue()->async([self, id, saved, error] {
      if (!saved && self->display_) self->display_->showAlert(kSaveFailureMessage, error.description);
      if (self->delegate_) self->delegate_->loadScan(id);
      self->dismiss();
    });
  };
  // A save that throws still shows its reason and leaves the merged scan open.
  auto failed = [self, finishOnMain](const qv::Error& error) { finishOnMain(*self->combinedScanObjectID_, false, error); };
  qv::globalQueue(qv::QueuePriority::Background)->async("save the merged scan to " + path, [self, path, finishOnMain] {
    const qv::ObjectID id = *self->combinedScanObjectID_;
    auto exporter = self->options_.exporters(lowercaseExtension(path), id);
    qv::Error error("QVLAligningErrorDomain", 3, "Scans are saved as qvk or qvkx files");
    bool saved = false;
    if (exporter) {
      exporter->setPrivateQueueContext(self->store().privateContext());
      saved = exporter->exportScanToFilePath(path, &error);
    }
    if (saved) {
      // The merged scan now has a file of its own, which the viewer saves to and titles by.
      auto context = self->store().privateContext();
      context->performAndWait([&] {
        if (auto merged = QVSDScanObject::scanObjectWithId(id, false, *context)) {
          merged->setSourceFilePath(path);
          qv::Error saveError;
          if (!context->save(&saveError)) QVLogWarn("The merged scan's file was not recorded: %s", saveError.text().c_str());
        }
      });
    } else {
      QVLogError("The merged scan could not be saved to %s: %s", path.c_str(), error.text().c_str());
    }
    finishOnMain(id, saved, error);
  }, failed);
}
