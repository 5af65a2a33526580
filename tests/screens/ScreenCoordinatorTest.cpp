// Screen switching and the opening of files, through a fake window.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <iterator>

#include "formats/QVLQvkFileImporter.h"
#include "formats/QvkFormat.h"
#include "screens/AppTermination.h"
#include "screens/ScreenCoordinator.h"
#include "screens/ScreensTestSupport.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDScanObject.h"
#include "support/CapturedLog.h"
#include "support/QuietStore.h"

namespace qv::screens::test {
namespace {

class ScreenCoordinatorTest : public ScreensTest {
protected:
  ScreenCoordinatorTest() {
    ScreenCoordinator::Options options = optionsFor(*store);
    options.makeImporter = [this](const std::string& ext, const std::string& path, const qv::ObjectID& id)
        -> std::unique_ptr<QVLFileImporter> {
      if (gate) gate->wait();
      if (ext != "qvk") return nullptr;
      return std::make_unique<QVLQvkFileImporter>(path, id);
    };
    coordinator = ScreenCoordinator::create(options);
    coordinator->setReadEndedHandler([this](bool ok, const std::optional<qv::Error>&) { reads.push_back(ok); });
  }

  // The fake window, dialogs and application over a store of the test's choice.
  ScreenCoordinator::Options optionsFor(TBCoreDataStoreS1& library) {
    ScreenCoordinator::Options options;
    options.host = &host;
    options.dialogs = &dialogs;
    options.application = &application;
    options.store = &library;
    options.settings = settings.get();
    return options;
  }

  // Lets the file queue, the store and the manual clock run until `done` holds; the clock moves
  // on a tenth of a second at a time while the reads on the file queue take what real time they
  // need.
  bool runUntil(const std::function<bool()>& done) {
    const auto giveUp = std::chrono::steady_clock::now() + qv::test::kPatience;
    while (!done() && std::chrono::steady_clock::now() < giveUp) {
      qv::runMainQueueUntil(done, qv::seconds(0.02));
      clock.advanceSeconds(0.1);
    }
    return done();
  }

  struct StoredScan {
    qv::ObjectID id;
    std::uint64_t vertices;
  };
  std::vector<StoredScan> scansOf(const std::filesystem::path& path) {
    std::vector<StoredScan> out;
    auto context = store->privateContext();
    context->performAndWait([&] {
      auto library = QVSDLibrary::defaultLibraryInContext(*context);
      for (auto& scan : QVSDScanObject::scanObjectsWithFilePath(path.string(), library))
        out.push_back({scan->objectID(), scan->numberOfVertices()});
    });
    return out;
  }
  std::size_t scanCount() { return storedScanCount(*store); }
  // The user closes every alert that is up.
  void closeAlerts() {
    for (auto& close : std::exchange(dialogs.pending, {})) close(0);
    qv::drainMainQueue();
  }

  FakeHost host;
  FakeDialogs dialogs;
  FakeApplication application;
  std::shared_ptr<std::shared_future<void>> gate;
  std::vector<bool> reads;
  std::shared_ptr<ScreenCoordinator> coordinator;
};

TEST_F(ScreenCoordinatorTest, TheOpenFileTableDecidesByWhatIsShown) {
  EXPECT_FALSE(coordinator->applicationOpenFile("/tmp/notes.txt"));

  // Still launching: kept for the end of the launch.
  EXPECT_TRUE(coordinator->applicationOpenFile("/tmp/early.qvk"));
  EXPECT_EQ(coordinator->modelToDisplayOnStartup(), "/tmp/early.qvk");
  EXPECT_TRUE(dialogs.alerts.empty());

  // Scan screen: refused; while that alert is up, further requests are dropped.
  host.shown = {ScreenKind::Scan};
  EXPECT_TRUE(coordinator->applicationOpenFile("/tmp/a.qvkx"));
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(dialogs.alerts[0].message, "Could Not Open File");
  EXPECT_EQ(dialogs.alerts[0].informativeText, ScreenCoordinator::kFinishScanFirst);
  {
    qv::test::CapturedLog log;
    EXPECT_TRUE(coordinator->applicationOpenFile("/tmp/b.qvk"));
    EXPECT_TRUE(log.contains("Not opening /tmp/b.qvk")) << "a file turned away is named: " << log.text();
  }
  EXPECT_EQ(dialogs.alerts.size(), 1u);
  dialogs.pending.front()(0);
  EXPECT_FALSE(coordinator->isRefusalAlertUp());
  dialogs.answer = 0;

  host.made.insert(ScreenKind::Viewer);
  host.shown = {ScreenKind::Viewer, ScreenKind::Progress};
  EXPECT_TRUE(coordinator->applicationOpenFile("/tmp/c.qvk"));
  EXPECT_EQ(dialogs.alerts.size(), 1u);

  host.shown = {ScreenKind::Viewer};
  host.viewerScreen.canOpen = false;
  EXPECT_TRUE(coordinator->applicationOpenFile("/tmp/d.qvk"));
  EXPECT_EQ(dialogs.alerts.back().informativeText, ScreenCoordinator::kCompleteViewerOperation);

  for (ScreenKind kind : {ScreenKind::Calibration, ScreenKind::ManualScan}) {
    host.shown = {kind};
    EXPECT_TRUE(coordinator->applicationOpenFile("/tmp/e.QVK"));
    EXPECT_EQ(dialogs.alerts.back().informativeText, ScreenCoordinator::kCompleteOperation);
  }
  EXPECT_EQ(dialogs.alerts.size(), 4u);
  EXPECT_EQ(coordinator->modelToDisplayOnStartup(), "/tmp/early.qvk");
  EXPECT_FALSE(coordinator->isReadingFile());
}

TEST_F(ScreenCoordinatorTest, TheSameFileOpenedTwiceLeavesOneScanShownInTheViewer) {
  auto file = writeQvk("chair.QVK", 4);
  host.shown = {ScreenKind::Main};
  ASSERT_TRUE(coordinator->applicationOpenFile(file.string()));
  EXPECT_TRUE(host.isShown(ScreenKind::Progress));
  ASSERT_TRUE(runUntil([&] { return !host.viewerScreen.loaded.empty(); }));
  EXPECT_EQ(reads, std::vector<bool>{true});
  EXPECT_FALSE(host.isShown(ScreenKind::Progress));
  EXPECT_TRUE(host.isShown(ScreenKind::Viewer));
  auto first = scansOf(file);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].vertices, 4u);
  EXPECT_EQ(host.viewerScreen.loaded.back(), first[0].id);

  // From the viewer, which can open files now.
  ASSERT_TRUE(coordinator->applicationOpenFile(file.string()));
  ASSERT_TRUE(runUntil([&] { return host.viewerScreen.loaded.size() == 2; }));
  auto second = scansOf(file);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(second[0].id, first[0].id);
  EXPECT_EQ(host.viewerScreen.loaded.back(), second[0].id);
  EXPECT_EQ(scanCount(), 1u);
  EXPECT_TRUE(dialogs.alerts.empty());
}

TEST_F(ScreenCoordinatorTest, AFailedReadKeepsTheOldScanAndSaysWhy) {
  auto file = writeQvk("vase.qvk", 3);
  host.shown = {ScreenKind::Main};
  coordinator->openScanWithFilePath(file.string());
  ASSERT_TRUE(runUntil([&] { return reads.size() == 1; }));
  ASSERT_EQ(scansOf(file).size(), 1u);
  const auto old = scansOf(file)[0];

  // The file is spoilt on disk, then opened again from the main screen.
  { std::ofstream(file, std::ios::binary | std::ios::trunc) << "not a scan"; }
  dialogs.answer = 0;
  host.shown = {ScreenKind::Main};
  coordinator->openScanWithFilePath(file.string());
  ASSERT_TRUE(runUntil([&] { return reads.size() == 2; }));
  EXPECT_FALSE(reads[1]);
  auto after = scansOf(file);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].id, old.id);
  EXPECT_EQ(after[0].vertices, 3u);
  EXPECT_EQ(scanCount(), 1u);  // no empty object left behind
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(dialogs.alerts[0].message, "Could Not Open File");
  EXPECT_FALSE(dialogs.alerts[0].informativeText.empty());
  EXPECT_FALSE(host.isShown(ScreenKind::Progress));
  EXPECT_TRUE(host.isShown(ScreenKind::Main));

  // A type no reader knows, handed over by the file manager, is turned down before any read.
  EXPECT_FALSE(coordinator->applicationOpenFile((temp.path() / "model.stl").string()));
}

TEST_F(ScreenCoordinatorTest, AFileOpenedIntoALibraryThatCannotSaveSaysWhyNotThatTheFileIsMissing) {
  auto file = writeQvk("vase.qvk", 3);
  std::ofstream(temp.path() / "Blocked") << "not a folder";
  auto closed = qv::test::makeQuietStore(temp.path() / "Blocked");
  auto other = ScreenCoordinator::create(optionsFor(*closed));
  std::vector<bool> otherReads;
  other->setReadEndedHandler([&](bool ok, const std::optional<qv::Error>&) { otherReads.push_back(ok); });
  dialogs.answer = 0;
  host.shown = {ScreenKind::Main};
  other->openScanWithFilePath(file.string());
  ASSERT_TRUE(runUntil([&] { return otherReads.size() == 1; }));
  EXPECT_FALSE(otherReads[0]);
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_NE(dialogs.alerts[0].informativeText.find("Expected a folder to store application data, found a file"),
            std::string::npos)
      << dialogs.alerts[0].informativeText;
  other.reset();
  closed->privateContext()->performAndWait([] {});
  qv::drainMainQueue();
}

TEST_F(ScreenCoordinatorTest, ASecondReadWaitsForTheFirstToEnd) {
  auto file = writeQvk("one.qvk", 2);
  auto other = writeQvk("two.qvk", 2);
  std::promise<void> release;
  gate = std::make_shared<std::shared_future<void>>(release.get_future().share());
  dialogs.answer = 0;
  host.shown = {ScreenKind::Main};
  ASSERT_TRUE(coordinator->applicationOpenFile(file.string()));
  // The main screen still counts as shown under the overlay.
  ASSERT_TRUE(coordinator->applicationOpenFile(other.string()));
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(dialogs.alerts[0].informativeText, ScreenCoordinator::kReadUnderWay);
  release.set_value();
  ASSERT_TRUE(runUntil([&] { return !host.viewerScreen.loaded.empty(); }));
  EXPECT_EQ(reads.size(), 1u);
  EXPECT_EQ(scansOf(other).size(), 0u);
}

TEST_F(ScreenCoordinatorTest, SwitchingKeepsItsDelaysAndItsGuards) {
  // The viewer is built 0.3 s after the request the first time, at once afterwards.
  auto file = writeQvk("cup.qvk", 1);
  coordinator->openScanWithFilePath(file.string());
  ASSERT_TRUE(runUntil([&] { return host.viewerScreen.loaded.size() == 1; }));
  const qv::ObjectID id = scansOf(file)[0].id;
  host.made.erase(ScreenKind::Viewer);
  host.viewerScreen.loaded.clear();
  coordinator->openScan(id);
  clock.advanceSeconds(0.29);
  EXPECT_TRUE(host.viewerScreen.loaded.empty());
  clock.advanceSeconds(0.02);
  EXPECT_EQ(host.viewerScreen.loaded.size(), 1u);
  coordinator->openScan(id);
  clock.advanceSeconds(0.0);
  qv::drainMainQueue();
  EXPECT_EQ(host.viewerScreen.loaded.size(), 2u);

  // The calibration wizard is not shown while the open panel is up.
  dialogs.holdFileChoice = true;
  host.shown = {ScreenKind::Main};
  coordinator->openExistingScan();
  EXPECT_TRUE(coordinator->isOpenPanelUp());
  coordinator->showCalibrationScreen();
  EXPECT_TRUE(host.isShown(ScreenKind::Main));
  EXPECT_FALSE(host.isShown(ScreenKind::Calibration));
  host.log.clear();
  dialogs.heldChoice(std::nullopt);
  EXPECT_FALSE(coordinator->isOpenPanelUp());
  EXPECT_EQ(host.log, std::vector<std::string>{"adjustLayout NO"});

  // The manual scan screen is put up 0.1 s after the switch, with the pause flag cleared first.
  coordinator->showManualScanScreen();
  EXPECT_FALSE(host.isShown(ScreenKind::Main));
  EXPECT_EQ(application.calls, std::vector<std::string>{"pause NO"});
  clock.advanceSeconds(0.1);
  EXPECT_TRUE(host.isShown(ScreenKind::ManualScan));
  EXPECT_EQ(host.log.back(), "connectAndMonitorScanner");

  // The scan screen starts an adaptive scan by itself 0.2 s after the switch.
  settings->setValue("EnableAdaptiveScanning", true);
  coordinator->showScanScreen();
  clock.advanceSeconds(0.1);
  EXPECT_EQ(host.log.back(), "resetView");
  clock.advanceSeconds(0.1);
  EXPECT_EQ(host.log.back(), "startScan");
}

TEST_F(ScreenCoordinatorTest, AScanChosenInTheOpenPanelIsReadAfterTheScreensAreDown) {
  auto file = writeQvk("bowl.qvk", 5);
  dialogs.fileToChoose = file.string();
  host.shown = {ScreenKind::Scan};
  coordinator->openExistingScan();  // not from the scan screen
  EXPECT_TRUE(host.isShown(ScreenKind::Scan));
  host.shown = {ScreenKind::Main};
  coordinator->openExistingScan();
  EXPECT_FALSE(coordinator->isOpenPanelUp());
  EXPECT_TRUE(host.shown.empty());
  ASSERT_TRUE(runUntil([&] { return host.viewerScreen.loaded.size() == 1; }));
  ASSERT_EQ(scansOf(file).size(), 1u);
  EXPECT_EQ(host.viewerScreen.loaded[0], scansOf(file)[0].id);
}

// A scan handed over (or chosen in the open panel) while the viewer shows another: the viewer is
// asked about its unsaved changes first and nothing is read until the user answers; a cancel keeps
// the scan shown. A file handed over while the question is up is not lost: once the question is
// answered the last one handed over is read, and after a cancel it is asked about in its turn.
TEST_F(ScreenCoordinatorTest, AScanReplacingTheViewersOneWaitsForTheAnswerAboutItsChanges) {
  auto first = writeQvk("vase.qvk", 4), other = writeQvk("other.qvk", 6), third = writeQvk("cup.qvk", 5);
  host.shown = {ScreenKind::Main};
  ASSERT_TRUE(coordinator->applicationOpenFile(first.string()));
  ASSERT_TRUE(runUntil([&] { return host.viewerScreen.loaded.size() == 1; }));
  FakeViewer& viewer = host.viewerScreen;
  viewer.saveAnswer.reset();  // the question stays up until answered below
  auto questions = [&] { return std::count(viewer.calls.begin(), viewer.calls.end(), "saveAnyUnsavedChanges"); };
  auto nothingIsReadWhileAsking = [&] {
    clock.advanceSeconds(1);
    qv::drainMainQueue();
    EXPECT_FALSE(coordinator->isReadingFile());
    EXPECT_FALSE(host.isShown(ScreenKind::Progress));
    EXPECT_EQ(viewer.loaded.size(), 1u);
  };

  EXPECT_TRUE(coordinator->applicationOpenFile(other.string()));
  ASSERT_TRUE(viewer.pendingSave) << "the viewer was not asked about its unsaved changes";
  EXPECT_FALSE(coordinator->applicationOpenFile("/tmp/notes.txt"));  // not a scan: refused, asking or not
  EXPECT_TRUE(coordinator->applicationOpenFile(third.string()));  // handed over meanwhile
  dialogs.fileToChoose = other.string();
  coordinator->openExistingScan();  // no panel over the question
  EXPECT_FALSE(coordinator->isOpenPanelUp());
  EXPECT_EQ(questions(), 1);
  nothingIsReadWhileAsking();

  // Cancelled: the viewer keeps its scan and its header, and the file handed over meanwhile is
  // not opened either (asking the same question again would look as if the cancel did nothing);
  // the log names both.
  {
    qv::test::CapturedLog log;
    std::exchange(viewer.pendingSave, nullptr)(true);
    EXPECT_EQ(std::count(viewer.calls.begin(), viewer.calls.end(), "enableHeaderUI"), 1);
    EXPECT_FALSE(viewer.pendingSave) << "the file handed over during the question asked again";
    EXPECT_EQ(questions(), 1);
    nothingIsReadWhileAsking();
    EXPECT_TRUE(log.contains("Not opening " + other.string())) << log.text();
    EXPECT_TRUE(log.contains("Not opening " + third.string())) << log.text();
    EXPECT_FALSE(log.contains("Not opening /tmp/notes.txt")) << log.text();
  }
  closeAlerts();

  // Asked again, with another file handed over meanwhile.
  EXPECT_TRUE(coordinator->applicationOpenFile(third.string()));
  ASSERT_TRUE(viewer.pendingSave);
  EXPECT_EQ(questions(), 2);
  EXPECT_TRUE(coordinator->applicationOpenFile(other.string()));
  nothingIsReadWhileAsking();

  // Answered: the last file handed over is read, and only it.
  std::exchange(viewer.pendingSave, nullptr)(false);
  ASSERT_TRUE(runUntil([&] { return viewer.loaded.size() == 2; }));
  ASSERT_EQ(scansOf(other).size(), 1u);
  EXPECT_EQ(viewer.loaded.back(), scansOf(other)[0].id);
  EXPECT_TRUE(scansOf(third).empty());
  EXPECT_EQ(scansOf(first).size(), 1u);
  EXPECT_EQ(questions(), 2);
  ASSERT_FALSE(dialogs.alerts.empty());
  EXPECT_NE(dialogs.alerts.back().informativeText.find(third.string()), std::string::npos);

  // The open panel's choice from the viewer asks too, and opens once answered.
  dialogs.fileToChoose = first.string();
  coordinator->openExistingScan();
  ASSERT_TRUE(viewer.pendingSave);
  EXPECT_TRUE(host.isShown(ScreenKind::Viewer));
  std::exchange(viewer.pendingSave, nullptr)(false);
  ASSERT_TRUE(runUntil([&] { return viewer.loaded.size() == 3; }));
  EXPECT_EQ(viewer.loaded.back(), scansOf(first)[0].id);

  // Quitting asks the same question; a file handed over while it is up waits for the answer
  // (rather than putting a second question over it) and is not opened, whatever the answer.
  auto termination = AppTermination::create(host, dialogs, &application, [&](auto done) {
    coordinator->askAboutViewerEditsBeforeQuitting(std::move(done));
  });
  for (const bool cancelled : {true, false}) {
    std::optional<bool> mayEnd;
    EXPECT_FALSE(termination->handleAppTermination([&](bool end) { mayEnd = end; }));
    ASSERT_TRUE(viewer.pendingSave);
    const auto asked = questions();
    EXPECT_TRUE(coordinator->applicationOpenFile(third.string()));
    EXPECT_EQ(questions(), asked) << "a second question over the quit's";
    qv::test::CapturedLog log;
    std::exchange(viewer.pendingSave, nullptr)(cancelled);
    EXPECT_EQ(mayEnd, !cancelled);
    clock.advanceSeconds(1);
    qv::drainMainQueue();
    EXPECT_FALSE(coordinator->isReadingFile());
    EXPECT_EQ(viewer.loaded.size(), 3u);
    EXPECT_TRUE(log.contains("Not opening " + third.string())) << log.text();
  }
  // After the answer a file handed over opens as before.
  closeAlerts();
  EXPECT_TRUE(coordinator->applicationOpenFile(third.string()));
  EXPECT_TRUE(viewer.pendingSave);
}

// Files handed over while a question about the viewer's unsaved changes is up are never dropped
// without a word: after the answer each one not opened is named once in one alert over the window
// where the user answered, and once in the log.
TEST_F(ScreenCoordinatorTest, FilesHandedOverDuringAQuestionOrItsAlertAreOpenedOrNamedOnce) {
  const auto shown = writeQvk("shown.qvk", 4), a = writeQvk("a.qvk", 5), b = writeQvk("b.qvk", 6), c = writeQvk("c.qvk", 7);
  host.shown = {ScreenKind::Main};
  ASSERT_TRUE(coordinator->applicationOpenFile(shown.string()));
  ASSERT_TRUE(runUntil([&] { return host.viewerScreen.loaded.size() == 1; }));
  FakeViewer& viewer = host.viewerScreen;
  viewer.saveAnswer.reset();  // each question stays up until answered below
  auto times = [](const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
  };

  auto questions = [&] { return std::count(viewer.calls.begin(), viewer.calls.end(), "saveAnyUnsavedChanges"); };

  // Ctrl+Q, a file handed over during the quit's question: after Don't Save the program ends and
  // the log names the file; after Cancel the program stays, says nothing of closing, and the user
  // is told the file was not opened.
  auto termination = AppTermination::create(host, dialogs, &application, [&](auto done) {
    coordinator->askAboutViewerEditsBeforeQuitting(std::move(done));
  });
  for (const bool cancelled : {false, true}) {
    qv::test::CapturedLog log;
    std::optional<bool> mayEnd;
    EXPECT_EQ(termination->applicationShouldTerminate([&](bool end) { mayEnd = end; }), AppTermination::Reply::Later);
    ASSERT_TRUE(viewer.pendingSave);
    EXPECT_TRUE(coordinator->applicationOpenFile(a.string()));
    std::exchange(viewer.pendingSave, nullptr)(cancelled);
    EXPECT_EQ(mayEnd, !cancelled);
    EXPECT_EQ(log.contains("Closing app via the system"), !cancelled) << log.text();
    ASSERT_EQ(dialogs.alerts.size(), cancelled ? 1u : 0u) << "the file handed over during the quit's question was dropped silently";
    EXPECT_EQ(times(log.text(), "Not opening " + a.string()), 1) << log.text();
  }
  EXPECT_EQ(times(dialogs.alerts[0].informativeText, a.string()), 1) << dialogs.alerts[0].informativeText;

  // b and c handed over while that alert is up wait for it to close, rather than putting the
  // viewer's question over it: then one more alert names b, and once that is closed c, the last,
  // is asked about. A Cancel keeps the scan and names c, which waited, on the screen too.
  {
    qv::test::CapturedLog log;
    const auto asked = questions();
    for (const auto* file : {&b, &c}) EXPECT_TRUE(coordinator->applicationOpenFile(file->string()));
    EXPECT_EQ(questions(), asked) << "a question over the alert";
    closeAlerts();
    EXPECT_EQ(questions(), asked) << "a question over the alert naming b";
    ASSERT_EQ(dialogs.alerts.size(), 2u) << "b was dropped";
    EXPECT_EQ(times(dialogs.alerts[1].informativeText, b.string()), 1) << dialogs.alerts[1].informativeText;
    closeAlerts();
    ASSERT_TRUE(viewer.pendingSave) << "c was dropped";
    EXPECT_EQ(questions(), asked + 1);
    std::exchange(viewer.pendingSave, nullptr)(true);
    ASSERT_EQ(dialogs.alerts.size(), 3u) << "c is named nowhere on the screen";
    EXPECT_EQ(times(dialogs.alerts[2].informativeText, c.string()), 1) << dialogs.alerts[2].informativeText;
    for (const auto* file : {&b, &c}) EXPECT_EQ(times(log.text(), "Not opening " + file->string()), 1) << log.text();
    closeAlerts();
    EXPECT_FALSE(coordinator->isReadingFile());
    EXPECT_EQ(questions(), asked + 1);
  }

  // a opens in place of the viewer's scan, and b (twice), c are handed over during its question.
  // Cancel keeps the scan and names all three; Don't Save opens c, the last, and names a and b.
  for (const bool cancelled : {true, false}) {
    closeAlerts();
    dialogs.alerts.clear();
    qv::test::CapturedLog log;
    const auto loaded = viewer.loaded.size();
    EXPECT_TRUE(coordinator->applicationOpenFile(a.string()));
    ASSERT_TRUE(viewer.pendingSave);
    for (const auto* file : {&b, &b, &c}) EXPECT_TRUE(coordinator->applicationOpenFile(file->string()));
    std::exchange(viewer.pendingSave, nullptr)(cancelled);
    if (!cancelled) {
      ASSERT_TRUE(runUntil([&] { return viewer.loaded.size() == loaded + 1; }));
      ASSERT_EQ(scansOf(c).size(), 1u);
      EXPECT_EQ(viewer.loaded.back(), scansOf(c)[0].id);
    }
    ASSERT_EQ(dialogs.alerts.size(), 1u) << "answered " << (cancelled ? "Cancel" : "Don't Save");
    const std::string& named = dialogs.alerts[0].informativeText;
    for (const auto* file : {&a, &b}) {
      EXPECT_EQ(times(named, file->string()), 1) << named;
      EXPECT_EQ(times(log.text(), "Not opening " + file->string()), 1) << log.text();
    }
    EXPECT_EQ(times(log.text(), "Not opening " + c.string()), cancelled ? 1 : 0) << log.text();
    if (cancelled) {
      EXPECT_EQ(times(named, c.string()), 1) << named;
    }
    EXPECT_TRUE(scansOf(a).empty() && scansOf(b).empty());
  }
}

TEST_F(ScreenCoordinatorTest, CancelAndHelpFollowTheApplicationState) {
  coordinator->cancelScannerCalibration();
  EXPECT_TRUE(host.isShown(ScreenKind::Main));
  application.state = 2;
  coordinator->cancelScannerCalibration();
  application.state = 3;
  coordinator->cancelScannerCalibration();
  application.state = 7;
  coordinator->cancelScannerCalibration();
  EXPECT_EQ(application.calls, (std::vector<std::string>{"pause YES", "cancel calibration", "pause YES", "cancel scan"}));

  coordinator->showHelp(2);
  coordinator->showHelp(4);
  ASSERT_EQ(dialogs.opened.size(), 1u);
  EXPECT_EQ(dialogs.opened[0], "https://quorvel.org/downloads/Quorvel_3D-Scanner_Dos-and-Donts.pdf");
}

TEST_F(ScreenCoordinatorTest, TheRecentMenuHoldsAtMostFiveAndTheResetEmptiesTheLibrary) {
  auto context = store->privateContext();
  context->performAndWait([&] {
    auto library = QVSDLibrary::defaultLibraryInContext(*context);
    for (int i = 0; i < 7; ++i) {
      auto scan = QVSDScanObject::createScanObjectInLibrary(library);
      scan->setSourceFilePath("/scans/" + std::to_string(i) + ".qvk");
      scan->setLastOpenedDate(qv::dateFromMicroseconds(1000000LL * (1000 + i)));
    }
    ASSERT_TRUE(context->save());
  });
  settle();
  auto recent = coordinator->recentScans();
  ASSERT_EQ(recent.size(), 5u);
  EXPECT_EQ(recent.front().title, "/scans/6.qvk");
  EXPECT_EQ(recent.back().title, "/scans/2.qvk");

  coordinator->resetScanList();
  ASSERT_TRUE(runUntil([&] { return !coordinator->isResettingScanList() && scanCount() == 0; }));
  settle();
  EXPECT_TRUE(coordinator->recentScans().empty());
}

TEST_F(ScreenCoordinatorTest, APartlyDamagedFileOpensAndSaysWhatWasLeftOut) {
  // A scan file whose one cloud record is missing: the points are whole and open, and the user
  // learns what is missing instead of taking the scan for complete.
  auto file = writeQvk("cup.qvk", 3);
  std::string bytes;
  {
    std::ifstream in(file, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  const std::string whole = qv::qvk::headerText(3, 0, "1.0", "1"), declaring = qv::qvk::headerText(3, 1, "1.0", "1");
  ASSERT_EQ(bytes.compare(0, whole.size(), whole), 0);
  { std::ofstream(file, std::ios::binary | std::ios::trunc) << declaring << bytes.substr(whole.size()); }
  host.shown = {ScreenKind::Main};
  coordinator->openScanWithFilePath(file.string());
  ASSERT_TRUE(runUntil([&] { return !host.viewerScreen.loaded.empty(); }));
  EXPECT_EQ(reads, std::vector<bool>{true});
  ASSERT_EQ(scansOf(file).size(), 1u);
  EXPECT_EQ(scansOf(file)[0].vertices, 3u);
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(dialogs.alerts[0].message, ScreenCoordinator::kPartlyRead);
  EXPECT_NE(dialogs.alerts[0].informativeText.find("cut short"), std::string::npos) << dialogs.alerts[0].informativeText;
}

}  // namespace
}  // namespace qv::screens::test
