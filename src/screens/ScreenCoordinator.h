// One screen at a time in the main window: switching with its delays, files opened from the
// desktop or the open panel and read on the file queue under a progress overlay, the recent-scans
// menu and its reset, help links, and the cancel command. Plain C++ over the screen host.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "formats/QVLFileImporter.h"
#include "platform/Queue.h"
#include "platform/Settings.h"
#include "platform/Timer.h"
#include "screens/DialogService.h"
#include "screens/ScreenInterfaces.h"
#include "store/ObjectID.h"

class TBCoreDataStoreS1;

namespace qv::screens {

class ScreenCoordinator : public std::enable_shared_from_this<ScreenCoordinator> {
public:
  // Makes the reader of a file by its lower-cased extension; nothing for a type it cannot read.
  using ImporterFactory = std::function<std::unique_ptr<QVLFileImporter>(
      const std::string& extension, const std::string& path, const qv::ObjectID& scan)>;

  struct Options {
    ScreenHost* host = nullptr;
    DialogService* dialogs = nullptr;
    ApplicationState* application = nullptr;
    TBCoreDataStoreS1* store = nullptr;
    qv::Settings* settings = nullptr;
    qv::QueuePtr fileQueue;          // a serial queue of its own when empty
    ImporterFactory makeImporter;    // the qvk (and, where built, qvkx) readers when empty
    std::string helpBaseUrl = "https://quorvel.org/";
  };

  static constexpr const char* kCouldNotOpen = "Could Not Open File";
  static constexpr const char* kPartlyRead = "Part of the File Could Not Be Read";
  static constexpr const char* kFinishScanFirst = "Please finish your scan before opening an existing scan";
  static constexpr const char* kCompleteViewerOperation = "Please complete your current operation before opening a new scan";
  static constexpr const char* kCompleteOperation = "Please complete the current operation before opening this scan";
  static constexpr const char* kReadUnderWay = "Please wait until the file being opened has finished loading";
  // Files handed over while the viewer's question was up that were not opened after the answer.
  static constexpr const char* kFileNotOpened = "File Not Opened";
  static constexpr const char* kFilesNotOpened = "Files Not Opened";
  static constexpr const char* kKeptScanNotOpened = "The scan in the viewer stays. Not opened:";

  static std::shared_ptr<ScreenCoordinator> create(Options options);

  // Screen switching (main thread).
  void removeAllChildViews();
  void showHudScreen();
  void showScanScreen();
  void showManualScanScreen();
  void showCalibrationScreen();
  void openScan(const qv::ObjectID& scan);

  // Files.
  bool applicationOpenFile(const std::string& path);
  void openExistingScan();
  void openScanWithFilePath(const std::string& path);
  void cancelFileLoadOperation();
  // Asks about the viewer's unsaved point edits as the program ends (`done(cancelled)` as the
  // viewer's own question answers). Files handed over while it is up wait for the answer as during
  // the question of an opening, and are not opened: the program ends (the log names them), or the
  // user kept the scan (an alert and the log name them).
  void askAboutViewerEditsBeforeQuitting(std::function<void(bool cancelled)> done);
  bool isOpenPanelUp() const { return openPanelUp_; }
  bool isReadingFile() const { return reading_; }
  bool isRefusalAlertUp() const { return refusalAlertUp_; }
  // A file handed over before any screen was up, opened at the end of the launch.
  const std::string& modelToDisplayOnStartup() const { return modelToDisplayOnStartup_; }
  void openModelToDisplayOnStartup();

  // Recent scans: up to five, newest first (title is the source path).
  struct RecentScan {
    std::string title;
    qv::ObjectID scan;
  };
  std::vector<RecentScan> recentScans();
  void openRecentScan(const qv::ObjectID& scan);
  void resetScanList();
  bool isResettingScanList() const { return resetting_; }

  // Window commands.
  static std::optional<std::string> helpDocumentPath(int tag);
  void showHelp(int tag);
  void cancelScannerCalibration();

  // The start-up update check, consumed by the first showing of the main screen.
  void setShouldCheckForUpdate(bool check) { shouldCheckForUpdate_ = check; }

  // Called after each file read has ended, with whether it succeeded (for the shell and tests).
  void setReadEndedHandler(std::function<void(bool ok, const std::optional<qv::Error>&)> handler) {
    readEnded_ = std::move(handler);
  }

private:
  explicit ScreenCoordinator(Options options);
  void refuseOpen(const std::string& informativeText);
  // Opens a scan file handed over, or says why not, by what is shown (the decision table).
  // `waited`: it was handed over while an alert naming files not opened was up.
  void takeUp(const std::string& path, bool waited = false);
  // Takes up what was handed over while the alerts naming files not opened were up, once the
  // last of them is closed.
  void takeUpFilesHandedOverDuringAlert();
  // Runs `open` (which opens `path` in place of the viewer's scan) once the user has answered about
  // that scan's unsaved changes, saved or dropped; a cancel keeps the scan and opens nothing. The
  // file handed over last while the question is up takes the place of `path` once it is answered;
  // after a cancel none of them is opened. When files were handed over meanwhile, or `path` had
  // waited for an alert to close, one alert names each one not opened; the log names each in any
  // case.
  void openInPlaceOfViewerScan(const std::string& path, std::function<void()> open, bool waited = false);
  // Names each file in `notOpened` once in the log and, `onScreen`, in one alert; `opened` is the
  // file opened in their place (empty: none, the scan in the viewer stays).
  void tellNotOpened(const std::vector<std::string>& notOpened, const std::string& opened, bool onScreen,
                     bool quitting = false);
  void finishRead(bool ok, std::optional<qv::Error> error, qv::ObjectID scan);
  double viewerDelay() const;
  std::weak_ptr<ScreenCoordinator> weakSelf() { return weak_from_this(); }

  Options o_;
  bool openPanelUp_ = false;
  bool refusalAlertUp_ = false;
  bool askingAboutViewerEdits_ = false;
  std::vector<std::string> handedOverWhileAsking_;  // in the order handed over
  int notOpenedAlertsUp_ = 0;                       // alerts naming files not opened, on screen
  std::vector<std::string> handedOverDuringAlert_;  // in the order handed over
  bool reading_ = false;
  bool shouldCheckForUpdate_ = false;
  std::string modelToDisplayOnStartup_;
  std::shared_ptr<qv::Timer> progressTimer_;
  std::mutex importerMutex_;
  std::shared_ptr<QVLFileImporter> fileImporter_;
  std::atomic<bool> resetting_{false};
  std::function<void(bool, const std::optional<qv::Error>&)> readEnded_;
};

}  // namespace qv::screens
