// Fakes and a temporary store for the presenter tests: the window, the dialogs, the application
// state, and a small qvk file.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "formats/QvkFormat.h"
#include "platform/Queue.h"
#include "platform/Settings.h"
#include "screens/DialogService.h"
#include "screens/ScreenInterfaces.h"
#include "screens/ScreenTiming.h"
#include "store/QVSDLibrary.h"
#include "store/TBCoreDataStoreS1.h"
#include "support/ManualClockScope.h"
#include "support/QuietStore.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"

namespace qv::screens::test {

// Answers every alert with a chosen button, or keeps it pending for the test to answer.
class FakeDialogs : public DialogService {
public:
  std::vector<Alert> alerts;
  std::vector<std::function<void(int)>> pending;
  std::optional<int> answer;  // nothing: keep the alert pending
  std::optional<std::string> fileToChoose;
  bool holdFileChoice = false;
  std::function<void(std::optional<std::string>)> heldChoice;
  std::vector<std::string> opened;

  void showAlert(const Alert& alert, std::function<void(int)> done) override {
    alerts.push_back(alert);
    if (answer)
      done(*answer);
    else
      pending.push_back(std::move(done));
  }
  void chooseFileToOpen(const std::string&, const std::vector<std::string>&,
                        std::function<void(std::optional<std::string>)> done) override {
    if (holdFileChoice)
      heldChoice = std::move(done);
    else
      done(fileToChoose);
  }
  void openWithDesktop(const std::string& what) override { opened.push_back(what); }
};

// How many scans the store's library holds.
inline std::size_t storedScanCount(TBCoreDataStoreS1& store) {
  std::size_t n = 0;
  auto context = store.privateContext();
  context->performAndWait([&] { n = QVSDLibrary::defaultLibraryInContext(*context)->scanObjects().size(); });
  return n;
}

// Answers every alert with its first button at once, and every file choice with none.
struct AnsweringDialogs : FakeDialogs {
  AnsweringDialogs() { answer = 0; }
};

class FakeViewer : public ViewerScreen {
public:
  std::vector<std::string> calls;
  std::vector<qv::ObjectID> loaded;
  bool canOpen = true;
  bool meshUnsaved = false;
  std::optional<bool> saveAnswer = false;  // nothing: keep the save question pending
  std::function<void(bool)> pendingSave;

  void loadScan(const qv::ObjectID& scan) override { loaded.push_back(scan); }
  bool canOpenFile() const override { return canOpen; }
  void resetViewer() override { calls.push_back("resetViewer"); }
  void enableHeaderUI() override { calls.push_back("enableHeaderUI"); }
  void windowDidResize() override {}
  bool meshNeedsSaving() const override { return meshUnsaved; }
  void saveAnyUnsavedChanges(std::function<void(bool)> done) override {
    calls.push_back("saveAnyUnsavedChanges");
    if (saveAnswer)
      done(*saveAnswer);
    else
      pendingSave = std::move(done);
  }
};

// The window: which pages are up, in which order things happened.
class FakeHost : public ScreenHost, public ScanScreen, public ManualScanScreen, public CalibrationScreen {
public:
  std::set<ScreenKind> shown;
  std::set<ScreenKind> made;
  std::vector<std::string> log;
  FakeViewer viewerScreen;
  bool windowVisible = true;
  float progress = -1;

  void putUp(ScreenKind kind) override {
    shown.insert(kind);
    made.insert(kind);
    log.push_back(std::string("up ") + screenName(kind));
  }
  void takeDown(ScreenKind kind) override { shown.erase(kind); }
  void takeDownAll() override {
    shown.clear();
    made.erase(ScreenKind::ManualScan);
    made.erase(ScreenKind::Calibration);
    made.erase(ScreenKind::Progress);
  }
  bool isShown(ScreenKind kind) const override { return shown.count(kind) > 0; }
  bool hasScreen(ScreenKind kind) const override { return made.count(kind) > 0; }
  void setProgress(float f) override { progress = f; }
  void adjustMainLayout(bool rebuild) override { log.push_back(rebuild ? "adjustLayout YES" : "adjustLayout NO"); }
  ViewerScreen* viewer() override { return hasScreen(ScreenKind::Viewer) ? &viewerScreen : nullptr; }
  ScanScreen* scanScreen() override { return hasScreen(ScreenKind::Scan) ? this : nullptr; }
  ManualScanScreen* manualScanScreen() override { return hasScreen(ScreenKind::ManualScan) ? this : nullptr; }
  CalibrationScreen* calibrationScreen() override { return hasScreen(ScreenKind::Calibration) ? this : nullptr; }
  void showAboutWindow() override { log.push_back("about"); }
  void showPreferencesWindow() override { log.push_back("preferences"); }
  bool isMainWindowVisible() const override { return windowVisible; }
  void closeMainWindow() override {
    windowVisible = false;
    log.push_back("window closed");
  }
  void resetView() override { log.push_back("resetView"); }
  void startScan() override { log.push_back("startScan"); }
  void connectAndMonitorScanner() override { log.push_back("connectAndMonitorScanner"); }
  void resetContent() override { log.push_back("resetContent"); }
};

class FakeApplication : public ApplicationState {
public:
  int state = 1;
  std::vector<std::string> calls;
  int currentAppState() const override { return state; }
  void setShouldPauseScan(bool pause) override { calls.push_back(pause ? "pause YES" : "pause NO"); }
  void cancelRunningCalibration() override { calls.push_back("cancel calibration"); }
  void cancelRunningScan() override { calls.push_back("cancel scan"); }
  void stopHardwareForQuit() override { calls.push_back("stop hardware"); }
};

// A library folder with its own store and settings, on the manual clock, animations instant.
class ScreensTest : public ::testing::Test {
protected:
  ScreensTest() {
    setAnimationScale(0.0);
    store = qv::test::makeQuietStore(libraryFolder());
    settings = std::make_unique<qv::Settings>(temp.path() / "Settings.json");
  }
  ~ScreensTest() override {
    store->privateContext()->performAndWait([] {});
    qv::drainMainQueue();
    store.reset();
    qv::drainMainQueue();
    setAnimationScale(1.0);
  }

  std::filesystem::path libraryFolder() const { return temp.path() / "Quorvel"; }
  void settle() {
    for (int i = 0; i < 3; ++i) {
      store->privateContext()->performAndWait([] {});
      qv::drainMainQueue();
    }
  }

  // A qvk file of `count` points on a line.
  std::filesystem::path writeQvk(const std::string& name, std::size_t count) {
    std::vector<std::uint8_t> vertices(count * qv::qvk::kScanVertexBytes);
    for (std::size_t i = 0; i < count; ++i) {
      QVLScanVertex v{};
      v.point3DX = 1.0f + static_cast<float>(i);
      v.point3DY = 2.0f;
      v.point3DZ = 3.0f;
      qv::qvk::putScanVertex(vertices, i, v);
    }
    auto records = qv::qvk::encodeVertexRecords(vertices, {});
    auto path = temp.path() / name;
    std::ofstream out(path, std::ios::binary);
    out << qv::qvk::headerText(count, 0, "1.0", "1");
    out.write(reinterpret_cast<const char*>(records.data()), static_cast<std::streamsize>(records.size()));
    return path;
  }

  qv::test::TempFolder temp;
  qv::test::ManualClockScope clock;
  std::unique_ptr<TBCoreDataStoreS1> store;
  std::unique_ptr<qv::Settings> settings;
};

}  // namespace qv::screens::test
