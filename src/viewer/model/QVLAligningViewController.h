// The aligning screen's rules: picking the second scan's file, importing or reusing it, aligning
// it onto the scan the viewer shows, merging both into a new stored scan, offering to save it,
// and handing the merged scan back to the viewer. No Qt here: the overlay shows what this decides.
#pragma once

#include <functional>

#include "platform/Settings.h"
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "store/ObjectID.h"
#include "viewer/model/QVLAlign.h"

class QVLFileExporter;
class QVLFileImporter;
class TBCoreDataStoreS1;

// What the screen asks of the viewer that hosts it. Either call may come from any thread.
class QVLAligningProtocol {
public:
  virtual ~QVLAligningProtocol() = default;
  virtual void dismissAligningViewController() = 0;
  virtual void loadScan(const qv::ObjectID& scanObjectId) = 0;
};

namespace qv::viewer {

// What the screen shows. Every call comes on the main queue.
class AligningDisplay {
public:
  // asking: the request and its two buttons; waiting: import, alignment and merge run;
  // offering: the save panel is up; saving: the merged scan is being written.
  enum class Stage { Asking, Waiting, Offering, Saving };
  virtual ~AligningDisplay() = default;
  virtual void showStage(Stage stage) = 0;
  // An open panel (prompt "Select") for qvkx and qvk files, opened in `folder`; nothing when cancelled.
  virtual void askForFileToAlign(const std::string& folder, std::function<void(std::optional<std::string>)> answer) = 0;
  // A save panel (prompt "Save Scan", title "Quorvel") offering the extensions in order, opened in
  // the folder of `proposedPath` with its name filled in.
  virtual void askForMergedScanPath(const std::string& proposedPath, const std::vector<std::string>& extensions,
                                    std::function<void(std::optional<std::string>)> answer) = 0;
  virtual void showAlert(const std::string& message, const std::string& informativeText) = 0;
};

}  // namespace qv::viewer

class QVLAligningViewController : public std::enable_shared_from_this<QVLAligningViewController> {
public:
  using ImporterFactory =
      std::function<std::unique_ptr<QVLFileImporter>(const std::string& path, const qv::ObjectID& scanObjectId)>;
  using ExporterFactory =
      std::function<std::unique_ptr<QVLFileExporter>(const std::string& extension, const qv::ObjectID& scanObjectId)>;
  using Aligner = std::function<bool(std::span<const std::uint8_t> target, const QVLAlign::ReferenceSet& targetRefs,
                                     std::span<const std::uint8_t> base, const QVLAlign::ReferenceSet& baseRefs,
                                     QVLAlign::Matrix* matrix)>;
  struct Options {
    TBCoreDataStoreS1* store = nullptr;  // the default store when null
    ImporterFactory importers;           // the qvk and qvkx readers when empty
    ExporterFactory exporters;           // the qvk and qvkx writers when empty
    Aligner aligner;                     // QVLAlign's search when empty
    qv::Settings* settings = nullptr;    // the user's settings (the panels' last folder) when null
  };

  static constexpr const char* kFailureMessage = "Alignment Failed";
  static constexpr const char* kFailureText =
      "The alignment operation was not successful. Please check your models and try again.";
  static constexpr const char* kSaveFailureMessage = "The merged scan could not be saved";

  static std::shared_ptr<QVLAligningViewController> create(Options options);

  void setDisplay(qv::viewer::AligningDisplay* display) { display_ = display; }
  void setDelegate(QVLAligningProtocol* delegate) { delegate_ = delegate; }

  const std::optional<qv::ObjectID>& sourceScanObjectId() const { return sourceScanObjectId_; }
  void setSourceScanObjectId(std::optional<qv::ObjectID> id) { sourceScanObjectId_ = std::move(id); }
  const std::optional<qv::ObjectID>& targetScanObjectId() const { return targetScanObjectId_; }
  const std::string& filePathToMerge() const { return filePathToMerge_; }
  const std::string& combinedScanObjectPath() const { return combinedScanObjectPath_; }
  const std::optional<qv::ObjectID>& combinedScanObjectID() const { return combinedScanObjectID_; }
  bool bothHaveSlices() const { return bothHaveSlices_; }

  // ---- Buttons ----
  void cancelButtonPressed();
  void chooseFileButtonPressed();

  // The whole work step on the background queue: import or reuse, align, merge, then the save
  // offer or the failure alert on the main queue.
  void alignAndMergeFile(const std::string& path);
  // Gathers both scans, aligns and merges; runs on the caller's (background) thread.
  bool alignObjects();

private:
  explicit QVLAligningViewController(Options options);
  TBCoreDataStoreS1& store() const;
  qv::Settings& settings() const;
  void workStep(const std::string& path);
  void offerToSave();
  void saveMergedScan(const std::string& path);
  void dismiss(bool withFailureAlert = false);
  void removeSecondScanObjectMadeForThisRun();

  Options options_;
  qv::viewer::AligningDisplay* display_ = nullptr;
  QVLAligningProtocol* delegate_ = nullptr;
  std::optional<qv::ObjectID> sourceScanObjectId_, targetScanObjectId_, combinedScanObjectID_;
  std::string filePathToMerge_, combinedScanObjectPath_;
  bool bothHaveSlices_ = false;
  bool secondMadeForThisRun_ = false;
};
