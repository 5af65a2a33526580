// The main screen's rules, through a fake widget and a fake application.
#include <gtest/gtest.h>

#include "screens/MainScreenPresenter.h"
#include "screens/ScreensTestSupport.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDScanObject.h"

namespace qv::screens::test {
namespace {

class FakeMainView : public MainScreenView {
public:
  double width = 460;
  std::vector<MruItem> tiles;
  int tileUpdates = 0;
  bool firstRun = false;
  bool attached = false;
  bool buttonsEnabled = false;
  std::string label;
  std::vector<std::string> steps;
  bool holdAnimations = false;
  std::vector<std::function<void()>> held;
  std::function<void()> heldFade;

  void setScanButtonsEnabled(bool e) override { buttonsEnabled = e; }
  void setScannerAttached(bool a) override { attached = a; }
  void setTiles(const std::vector<MruItem>& t) override {
    tiles = t;
    ++tileUpdates;
  }
  void hideTileLabels() override {}
  double tileRowWidth() const override { return width; }
  void showFirstRunView() override { firstRun = true; }
  void restoreAfterFirstRun() override { steps.push_back("restore"); }
  bool isFirstRunViewShown() const override { return firstRun; }
  void fadeOutFirstRunView(double, std::function<void()> done) override {
    steps.push_back("fade");
    heldFade = [this, done] {
      firstRun = false;
      done();
    };
  }
  void setBottomLabelText(const std::string& t) override { label = t; }
  std::string bottomLabelText() const override { return label; }
  void setBottomLabelAlpha(double) override {}
  void setHideBottomPanelButtonHidden(bool) override {}
  void animateBottomPanelHeight(double h, double, std::function<void()> done) override {
    steps.push_back(h > 0 ? "grow" : "shrink");
    run(std::move(done));
  }
  void animateBottomLabelAlpha(double a, double, std::function<void()> done) override {
    steps.push_back(a > 0 ? "label in" : "label out");
    run(std::move(done));
  }
  void run(std::function<void()> done) {
    if (holdAnimations)
      held.push_back(std::move(done));
    else
      done();
  }
  void finishHeld() {
    while (!held.empty()) {
      auto next = std::move(held.front());
      held.erase(held.begin());
      next();
    }
  }
};

class FakeMainDelegate : public MainScreenDelegate {
public:
  bool interpreter = false, calibrated = false, connecting = false;
  std::vector<std::string> actions;
  std::function<void()> listener;

  void change() {
    if (listener) listener();
  }
  bool hasDeviceInterpreter() const override { return interpreter; }
  bool isCalibrated() const override { return calibrated; }
  bool isConnecting() const override { return connecting; }
  std::uint64_t addStateListener(std::function<void()> l) override {
    listener = std::move(l);
    return 1;
  }
  void removeStateListener(std::uint64_t) override { listener = nullptr; }
  void showScanScreenForMainController() override { actions.push_back("scan"); }
  void showManualScanScreenForMainController() override { actions.push_back("manual"); }
  void showCalibrationScreenForMainController() override { actions.push_back("calibrate"); }
  void openExistingScanForMainController() override { actions.push_back("open"); }
  void openScanForMainController(const qv::ObjectID&) override { actions.push_back("open recent"); }
};

class MainScreenTest : public ScreensTest {
protected:
  void SetUp() override {
    settings->registerDefaults({{"HasShownFirstRunSetupView", false}});
    presenter = MainScreenPresenter::create(*store, *settings);
    presenter->attachView(&view);
    presenter->setDelegate(&delegate);
  }
  void TearDown() override {
    presenter.reset();
    qv::drainMainQueue();
  }
  // Saves scans named by their source paths (empty: no source), oldest first.
  void addScans(const std::vector<std::string>& paths, std::uint64_t vertices = 5) {
    auto context = store->privateContext();
    context->performAndWait([&] {
      auto library = QVSDLibrary::defaultLibraryInContext(*context);
      for (std::size_t i = 0; i < paths.size(); ++i) {
        auto scan = QVSDScanObject::createScanObjectInLibrary(library);
        scan->setSourceFilePath(paths[i]);
        scan->setVertexData(std::make_shared<const qv::Data>(44 * vertices, 1));
        scan->setLastOpenedDate(qv::dateFromMicroseconds(1000000LL * static_cast<long long>(2000 + i)));
      }
      ASSERT_TRUE(context->save());
    });
    settle();
  }
  std::vector<std::string> tileNames() const {
    std::vector<std::string> names;
    for (auto& t : view.tiles) names.push_back(t.filename);
    return names;
  }

  FakeMainView view;
  FakeMainDelegate delegate;
  std::shared_ptr<MainScreenPresenter> presenter;
};

TEST_F(MainScreenTest, TheTilesShowTheNewestUsableScansThatFit) {
  EXPECT_FALSE(presenter->canOpenNewScans());
  EXPECT_FALSE(presenter->validateMenuItem(MainScreenPresenter::kOpenMenuTag));
  std::vector<std::string> paths;
  for (int i = 0; i < 10; ++i) paths.push_back("/scans/s" + std::to_string(i) + ".qvk");
  paths.push_back("/scans/folder/chair.qvkx");
  paths.push_back("");  // never saved to a file: not offered
  paths.push_back("/scans/.qvk");
  addScans(paths);
  presenter->setHasShownFirstRunSetupView(true);
  view.firstRun = false;
  presenter->adjustLayout(true);
  settle();
  EXPECT_TRUE(presenter->canOpenNewScans());
  EXPECT_EQ(tileNames(), (std::vector<std::string>{"Scan", "chair", "s9"}));
  EXPECT_EQ(presenter->mruItems().size(), 12u);

  view.width = 140;  // not even one fits: the row stays as it was
  presenter->adjustLayout(false);
  EXPECT_EQ(tileNames().size(), 3u);
  view.width = 900;
  presenter->adjustLayout(false);
  EXPECT_EQ(tileNames().size(), 6u);
}

TEST_F(MainScreenTest, OnlySavesThatChangeWhatTheTilesShowRebuildThem) {
  presenter->setHasShownFirstRunSetupView(true);
  view.firstRun = false;
  addScans({"/scans/a.qvk", "/scans/b.qvk"});  // inserted: rebuilt
  EXPECT_EQ(tileNames(), (std::vector<std::string>{"b", "a"}));

  auto edit = [&](const std::function<void(QVSDScanObject&)>& change) {
    const int before = view.tileUpdates;
    auto context = store->privateContext();
    context->performAndWait([&] {
      auto library = QVSDLibrary::defaultLibraryInContext(*context);
      auto scans = QVSDScanObject::scanObjectsSortedByLastOpenedDateInLibrary(library);
      change(*scans.back());
      ASSERT_TRUE(context->save());
    });
    settle();
    return view.tileUpdates - before;
  };
  EXPECT_EQ(edit([](QVSDScanObject& s) { s.setYCutoff(12.0); }), 0);
  EXPECT_EQ(edit([](QVSDScanObject& s) { s.setLastOpenedDate(qv::dateFromMicroseconds(9000000000LL)); }), 1);
  EXPECT_EQ(tileNames(), (std::vector<std::string>{"a", "b"}));
}

TEST_F(MainScreenTest, AnAutomaticScanAlwaysRunsWithTheDefaultSettings) {
  delegate.interpreter = true;
  delegate.calibrated = true;
  settings->registerDefaults({{"AdaptiveScanMinRotation", 0.125}, {"AdaptiveScanMaxRotation", 3.0}});
  settings->setValue("AdaptiveScanMinRotation", 1.0);
  settings->setValue("OverrideAutoTuning", true);
  presenter->startNewAutoScan();
  EXPECT_EQ(delegate.actions, std::vector<std::string>{"scan"});
  EXPECT_DOUBLE_EQ(settings->doubleForKey("AdaptiveScanMinRotation"), 0.125);
  EXPECT_FALSE(settings->boolForKey("OverrideAutoTuning"));
  EXPECT_TRUE(settings->boolForKey("EnableAdaptiveScanning"));
  EXPECT_FALSE(view.buttonsEnabled);
  EXPECT_FALSE(presenter->visibleMruItems().has_value());

  // Uncalibrated: both scan buttons lead to the calibration; without a scanner nothing happens.
  delegate.calibrated = false;
  presenter->startNewManualScan();
  delegate.interpreter = false;
  presenter->startNewAutoScan();
  presenter->showCalibrationScreen();
  EXPECT_EQ(delegate.actions, (std::vector<std::string>{"scan", "calibrate"}));
  EXPECT_FALSE(presenter->validateMenuItem(MainScreenPresenter::kCalibrateMenuTag));
}

TEST_F(MainScreenTest, TheFirstRunViewStaysFourSecondsAndNeverComesBack) {
  ASSERT_TRUE(view.firstRun);
  clock.advanceSeconds(1.0);
  delegate.interpreter = true;
  delegate.change();
  qv::drainMainQueue();
  EXPECT_TRUE(presenter->hasShownFirstRunSetupView());
  clock.advanceSeconds(2.9);
  EXPECT_EQ(std::count(view.steps.begin(), view.steps.end(), "fade"), 0);
  clock.advanceSeconds(0.1);
  ASSERT_EQ(std::count(view.steps.begin(), view.steps.end(), "fade"), 1);
  view.heldFade();
  EXPECT_FALSE(view.firstRun);

  auto again = MainScreenPresenter::create(*store, *settings);
  FakeMainView other;
  again->attachView(&other);
  EXPECT_FALSE(other.firstRun);
}

TEST_F(MainScreenTest, AConnectionThatEndsMidSlideDoesNotLeaveTheMessageUp) {
  view.holdAnimations = true;
  delegate.connecting = true;
  delegate.change();
  qv::drainMainQueue();
  EXPECT_EQ(view.label, MainScreenPresenter::kConnectingText);
  EXPECT_TRUE(presenter->isBottomPanelSliding());

  // 0.2 s later the connection has ended, while the panel still grows.
  delegate.connecting = false;
  delegate.change();
  qv::drainMainQueue();
  view.finishHeld();
  EXPECT_FALSE(presenter->isBottomPanelShown());
  EXPECT_EQ(view.steps, (std::vector<std::string>{"grow", "label in", "label out", "shrink"}));
}

}  // namespace
}  // namespace qv::screens::test
