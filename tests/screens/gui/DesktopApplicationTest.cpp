// The desktop program in this process under a virtual X server: a core whose scanner connects,
// a library folder and settings of the test's own, dialogs that answer.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <QLineEdit>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QTest>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "app/DesktopApplication.h"
#include "app/StoreErrorAlerts.h"
#ifdef QUORVEL_WITH_VIEWER
#include <QMenuBar>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QTimer>
#include <QPushButton>

#include "app/ViewerPage.h"
#include "viewer/model/ViewerThumbnail.h"
#include "viewer/ui/QVLObjectSceneView.h"
#endif
#include "core/QVLRegisteredDefaults.h"
#include "formats/QvkFormat.h"
#include "platform/Log.h"
#include "platform/Queue.h"
#include "screens/ScreenTiming.h"
#include "screens/ScreensTestSupport.h"
#include "screens/Screenshots.h"
#include "screens/widgets/PreferencesWindow.h"
#include "screens/widgets/SharedControls.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDScanObject.h"
#include "store/TBCoreDataStoreS1.h"
#include "support/QuietStore.h"
#include "support/TempFolder.h"

namespace qv::app {
namespace {

using qv::screens::ScreenKind;

class ConnectingCore : public CoreLink {
public:
  bool interpreter = false, connecting = false, calibrated = true;
  std::map<std::uint64_t, std::function<void()>> listeners;
  std::uint64_t next = 1;
  int launches = 0;
  std::vector<std::string> calls;

  void set(bool isConnecting, bool hasInterpreter) {
    connecting = isConnecting;
    interpreter = hasInterpreter;
    for (auto& [token, listener] : listeners) listener();
  }
  bool hasDeviceInterpreter() const override { return interpreter; }
  bool isCalibrated() const override { return calibrated; }
  bool isConnecting() const override { return connecting; }
  std::uint64_t addStateListener(std::function<void()> l) override {
    listeners[next] = std::move(l);
    return next++;
  }
  void removeStateListener(std::uint64_t token) override { listeners.erase(token); }
  qv::screens::GeneralPreferencesDelegate* preferencesDelegate() override { return nullptr; }
  void launch(const ShellLaunchHooks& hooks, const std::string& file) override {
    ++launches;
    hooks.showHudScreen();
    hooks.removeIntermediateFiles();
    if (!file.empty()) hooks.openScanWithFilePath(file);
  }
  int currentAppState() const override { return 1; }
  void setShouldPauseScan(bool) override {}
  void cancelRunningCalibration() override {}
  void cancelRunningScan() override {}
  void stopHardwareForQuit() override { calls.push_back("stop hardware"); }
  // The stop ends on a later turn of the main queue, as the scanner's answer would.
  void whenHardwareStopped(std::function<void()> then) override {
    qv::mainQueue()->async([this, then] {
      calls.push_back("stopped");
      then();
    });
  }
};

using qv::screens::test::AnsweringDialogs;
using qv::test::keepScreenshot;

}  // namespace

// The points of a small vase: rings of 48 points up its side, coloured from base to rim.
constexpr std::size_t kPointsPerRing = 48, kVaseRings = 40;
std::vector<std::uint8_t> sampleVertices(std::size_t count) {
  std::vector<std::uint8_t> vertices(count * qv::qvk::kScanVertexBytes);
  for (std::size_t i = 0; i < count; ++i) {
    const double ring = double(i / kPointsPerRing), angle = double(i % kPointsPerRing) * 2 * M_PI / kPointsPerRing;
    const double radius = 30 + 12 * std::sin(ring * 0.16);
    QVLScanVertex v{};
    v.point3DX = float(radius * std::cos(angle));
    v.point3DY = float(ring * 2);
    v.point3DZ = float(radius * std::sin(angle));
    v.normalX = float(std::cos(angle));
    v.normalZ = float(std::sin(angle));
    v.colourRed = float(0.2 + 0.6 * ring / kVaseRings);
    v.colourGreen = 0.35f;
    v.colourBlue = float(0.8 - 0.6 * ring / kVaseRings);
    qv::qvk::putScanVertex(vertices, i, v);
  }
  return vertices;
}

bool writeSampleQvk(const std::filesystem::path& path, std::size_t count = 8) {
  auto records = qv::qvk::encodeVertexRecords(sampleVertices(count), {});
  std::ofstream out(path, std::ios::binary);
  out << qv::qvk::headerText(count, 0, "2.1", "305");
  out.write(reinterpret_cast<const char*>(records.data()), std::streamsize(records.size()));
  return bool(out);
}

namespace {

class DesktopTest : public ::testing::Test {
protected:
  DesktopTest() {
    store = qv::test::makeQuietStore(temp.path() / "Quorvel");
    settings = std::make_unique<qv::Settings>(temp.path() / "Settings.json");
    QVLRegisteredDefaults::registerWith(*settings);
    settings->registerDefaults({{"CheckForUpdatesOnStartup", 0}, {"EnableAdaptiveScanning", true}});
  }
  ~DesktopTest() override {
    app.reset();
    store->privateContext()->performAndWait([] {});
    qv::drainMainQueue();
  }
  void start(const QStringList& files = {}) {
    auto fake = std::make_unique<ConnectingCore>();
    core = fake.get();
    DesktopApplication::Options options;
    options.settings = settings.get();
    options.store = useProgramsStore ? nullptr : store.get();
    options.core = std::move(fake);
    options.shortVersion = "2.1";
    options.buildVersion = "305";
    options.singleInstance = false;
    options.dialogs = &dialogs;
    app = std::make_unique<DesktopApplication>(std::move(options));
    bool shown = false;
    QObject::connect(app.get(), &DesktopApplication::mainScreenShown, [&] { shown = true; });
    app->launch(files);
    ASSERT_TRUE(QTest::qWaitFor([&] { return shown; }, qv::test::kPatienceMs));
  }
  std::filesystem::path writeQvk(const std::string& name, std::size_t count) {
    auto path = temp.path() / name;
    EXPECT_TRUE(writeSampleQvk(path, count));
    return path;
  }

  qv::test::TempFolder temp;
  std::unique_ptr<TBCoreDataStoreS1> store;
  std::unique_ptr<qv::Settings> settings;
  AnsweringDialogs dialogs;
  ConnectingCore* core = nullptr;
  std::unique_ptr<DesktopApplication> app;
  bool useProgramsStore = false;  // the process-wide store in the user's data folder
};

TEST_F(DesktopTest, TheFirstLaunchWelcomesTheUserUntilTheScannerConnects) {
  start();
  auto& window = app->window();
  EXPECT_TRUE(window.isShown(ScreenKind::Main));
  EXPECT_TRUE(window.mainScreen()->isFirstRunViewShown());
  keepScreenshot(window, "first-run");

  core->set(true, false);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return !app->mainScreen().isBottomPanelSliding() && app->mainScreen().isBottomPanelShown(); },
      qv::test::kPatienceMs));
  core->set(false, true);
  // The welcome stays at least four seconds in all, then fades.
  ASSERT_TRUE(QTest::qWaitFor([&] { return !window.mainScreen()->isFirstRunViewShown(); }, qv::test::kPatienceMs));
  EXPECT_TRUE(settings->boolForKey("HasShownFirstRunSetupView"));
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return !app->mainScreen().isBottomPanelShown() && !app->mainScreen().isBottomPanelSliding(); },
      qv::test::kPatienceMs));
  keepScreenshot(window, "main-screen-connected");
}

TEST_F(DesktopTest, AFileGivenAtLaunchOpensAfterTheMainScreenAndTheWindowsShowTheirContent) {
  settings->setValue("HasShownFirstRunSetupView", true);
  auto earlier = writeQvk("teapot.qvk", 12);
  auto atLaunch = writeQvk("chair.qvk", 480);
  {
    // A scan opened in an earlier run, for the recent tiles.
    auto context = store->privateContext();
    context->performAndWait([&] {
      auto library = QVSDLibrary::defaultLibraryInContext(*context);
      auto scan = QVSDScanObject::createScanObjectWithFilePath(earlier.string(), library);
      scan->setVertexData(std::make_shared<const qv::Data>(44 * 12, 1));
      ASSERT_TRUE(context->save());
    });
  }
  start({QString::fromStdString(atLaunch.string())});
  auto& window = app->window();
  const WId shownAs = window.winId();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.isShown(ScreenKind::Viewer); }, qv::test::kPatienceMs));
  EXPECT_EQ(qv::screens::test::storedScanCount(*store), 2u);
  EXPECT_TRUE(dialogs.alerts.empty());
#ifdef QUORVEL_WITH_VIEWER
  // The real viewer shows every point of the scan once loaded and drawn.
  ASSERT_NE(app->viewerPage(), nullptr);
  QVLObjectSceneView* view = app->viewerPage()->view();
  ASSERT_EQ(window.page(ScreenKind::Viewer), view);
  auto drawn = [&] {
    return view->controller()->isDoneLoading() && !view->controller()->isRendering() && !view->busyView()->isVisible();
  };
  ASSERT_TRUE(QTest::qWaitFor(drawn, qv::test::kPatienceMs));
  EXPECT_EQ(view->controller()->numberOfPresentVertices(), 480u);
  // The viewer's OpenGL view did not have the window made again: an alert put up with it (a file
  // partly read) would have stayed over the old native window, out of sight behind the new one.
  EXPECT_EQ(window.winId(), shownAs);
  keepScreenshot(window, "viewer");

  // While the viewer is shown it decides the menus: no new scan from here, opening another is fine.
  auto menuItem = [&](const QString& title) -> QAction* {
    for (QAction* top : window.menuBar()->actions())
      if (QMenu* menu = top->menu()) {
        emit menu->aboutToShow();
        for (QAction* item : menu->actions())
          if (item->text() == title) return item;
      }
    return nullptr;
  };
  ASSERT_NE(menuItem(QString("New &Automatic Scan")), nullptr);
  EXPECT_FALSE(menuItem(QString("New &Automatic Scan"))->isEnabled());
  EXPECT_FALSE(menuItem(QString("&Calibrate Scanner"))->isEnabled());
  EXPECT_TRUE(menuItem(QString("&Open Scan..."))->isEnabled());

  // Its home button asks the shell for the main screen.
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->button("home")->isEnabled(); }, qv::test::kPatienceMs));
  QTest::mouseClick(view->button("home"), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return window.isShown(ScreenKind::Main) && !window.isShown(ScreenKind::Viewer); },
      qv::test::kPatienceMs));
#else
  keepScreenshot(window, "viewer-placeholder");
  app->coordinator().showHudScreen();
#endif

  // Back on the main screen without a scanner: the scan buttons lie under the veil.
  auto tilesShown = [&] { return app->mainScreen().visibleMruItems() && app->mainScreen().visibleMruItems()->size() == 2; };
  ASSERT_TRUE(QTest::qWaitFor(tilesShown, qv::test::kPatienceMs));
  EXPECT_EQ(app->mainScreen().visibleMruItems()->front().filename, "chair");
  EXPECT_FALSE(app->mainScreen().validateMenuItem(qv::screens::MainScreenPresenter::kScanMenuTag));
  keepScreenshot(window, "main-screen-no-scanner");

  // A scanner arrives: the information panel slides in while it connects, and out once connected.
  core->set(true, false);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return app->mainScreen().isBottomPanelShown() && !app->mainScreen().isBottomPanelSliding(); },
      qv::test::kPatienceMs));
  keepScreenshot(window, "main-screen-connecting");
  core->set(false, true);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return !app->mainScreen().isBottomPanelShown() && !app->mainScreen().isBottomPanelSliding(); },
      qv::test::kPatienceMs));
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return app->mainScreen().validateMenuItem(qv::screens::MainScreenPresenter::kScanMenuTag); },
      qv::test::kPatienceMs));
  QApplication::processEvents();
  keepScreenshot(window, "main-screen");

  app->showPreferences();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&app->preferencesWindow(), qv::test::kPatienceMs));
  keepScreenshot(app->preferencesWindow(), "preferences");
  app->showAbout();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&app->aboutWindow(), qv::test::kPatienceMs));
  EXPECT_EQ(app->aboutWindow().versionText(), "Version 2.1 (305)");
  keepScreenshot(app->aboutWindow(), "about");

  // Quitting from the main screen asks nothing and stops the scanner's lasers and motors; the
  // program then waits for the stop to end.
  app->quit();
  EXPECT_TRUE(dialogs.alerts.empty());
  EXPECT_EQ(core->calls, std::vector<std::string>{"stop hardware"});
  app->waitForHardwareStop();
  EXPECT_EQ(core->calls, (std::vector<std::string>{"stop hardware", "stopped"}));
}

#ifdef QUORVEL_WITH_VIEWER
// A scan saved with a thumbnail, as the viewer writes it (TIFF, which Qt alone may not read): its
// tile shows that picture on the screen, and its name beside it where the picture does not cover it.
TEST_F(DesktopTest, ARecentScanTileShowsItsThumbnailAndItsNameOnTheScreen) {
  settings->setValue("HasShownFirstRunSetupView", true);
  const auto source = writeQvk("myscan.qvk", 12);
  const QColor magenta(200, 30, 160);
  qv::scene::Image picture;
  picture.width = picture.height = 300;
  for (int i = 0; i < picture.width * picture.height; ++i)
    picture.pixels.insert(picture.pixels.end(), {std::uint8_t(magenta.red()), std::uint8_t(magenta.green()),
                                                 std::uint8_t(magenta.blue())});
  const auto thumbnail = temp.path() / "Quorvel" / "thumbnail.tiff";
  ASSERT_TRUE(qv::viewer::writeThumbnail(picture, thumbnail.string()));
  {
    auto context = store->privateContext();
    context->performAndWait([&] {
      auto scan = QVSDScanObject::createScanObjectWithFilePath(source.string(), QVSDLibrary::defaultLibraryInContext(*context));
      scan->setVertexData(std::make_shared<const qv::Data>(44 * 12, 1));
      scan->setSnapshotFilePath(thumbnail.string());
      ASSERT_TRUE(context->save());
    });
  }
  start();
  auto& window = app->window();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, qv::test::kPatienceMs));
  QLabel* name = nullptr;
  ASSERT_TRUE(QTest::qWaitFor([&] {
    for (auto* label : window.mainScreen()->findChildren<QLabel*>("tileName"))
      if (label->isVisibleTo(&window)) name = label;
    return name != nullptr;
  }, qv::test::kPatienceMs)) << "no tile shows a name";
  EXPECT_EQ(name->text(), "myscan");
  QWidget* tile = name->parentWidget();
  // The tile's pixels as the screen shows them: the picture is its square above the name.
  const QRect tileOnScreen(tile->mapToGlobal(QPoint(0, 0)), tile->size());
  const QRect pictureOnScreen(tileOnScreen.topLeft(), QSize(tile->width(), tile->width()));
  const QRect nameOnScreen(name->mapToGlobal(QPoint(0, 0)), name->size());
  EXPECT_FALSE(nameOnScreen.intersects(pictureOnScreen)) << "the picture covers the name";
  QImage screen;
  auto share = [&](const QRect& area, auto&& counts) {
    int hits = 0;
    const QRect inside = area.translated(-tileOnScreen.topLeft());
    for (int y = inside.top(); y <= inside.bottom(); ++y)
      for (int x = inside.left(); x <= inside.right(); ++x) hits += counts(screen.pixelColor(x, y)) ? 1 : 0;
    return double(hits) / (area.width() * area.height());
  };
  auto isMagenta = [&](const QColor& c) {
    return std::abs(c.red() - magenta.red()) < 12 && std::abs(c.green() - magenta.green()) < 12 &&
           std::abs(c.blue() - magenta.blue()) < 12;
  };
  auto isWhite = [](const QColor& c) { return c.red() > 200 && c.green() > 200 && c.blue() > 200; };
  const bool shows = QTest::qWaitFor([&] {
    screen = window.screen()->grabWindow(0, tileOnScreen.x(), tileOnScreen.y(), tileOnScreen.width(),
                                         tileOnScreen.height()).toImage();
    return share(pictureOnScreen, isMagenta) > 0.8 && share(nameOnScreen, isWhite) > 0.02;
  }, qv::test::kPatienceMs);
  if (const QByteArray folder = qgetenv("QUORVEL_SCREENSHOT_DIR"); !folder.isEmpty()) {
    std::filesystem::create_directories(folder.toStdString());
    window.screen()->grabWindow(0, window.x(), window.y(), window.frameGeometry().width(), window.frameGeometry().height())
        .save(QString::fromUtf8(folder) + "/main-screen-recent-tile.png");
  }
  EXPECT_TRUE(shows) << "the tile shows " << share(pictureOnScreen, isMagenta) * 100 << "% of its thumbnail's colour and "
                     << share(nameOnScreen, isWhite) * 100 << "% white name pixels";
  EXPECT_EQ(share(nameOnScreen, isMagenta), 0.0) << "the picture runs into the name";
}

// Quitting from the viewer with unsaved point edits, Save, and the save panel accepted on the
// scan's own file: the question whether to replace it shows on a screenshot of the whole screen
// (the root window, as a person takes one; a window's own grab paints it afresh), and its Yes
// saves and quits. Run under a window manager too, where the question lies wholly inside its panel.
TEST_F(DesktopTest, TheReplaceQuestionOfASaveOnQuitIsDrawnOnTheScreen) {
  settings->setValue("HasShownFirstRunSetupView", true);
  const auto scanFile = writeQvk("vase.qvk", 480);
  start({QString::fromStdString(scanFile.string())});
  QVLObjectSceneView* view = nullptr;
  ASSERT_TRUE(QTest::qWaitFor([&] {
    view = app->viewerPage() ? app->viewerPage()->view() : nullptr;
    return view && view->controller()->isDoneLoading() && !view->controller()->isRendering() && !view->busyView()->isVisible();
  }, qv::test::kPatienceMs));
  const auto id = view->controller()->scanObjectId();
  ASSERT_TRUE(id);
  store->mainContext()->performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(*id, false, *store->mainContext());
    ASSERT_TRUE(scan);
    scan->setUnsavedVertexData(scan->vertexData());
    ASSERT_TRUE(store->mainContext()->save());
  });
  const auto writtenBefore = std::filesystem::last_write_time(scanFile);

  auto shown = [&](auto* type, const QString& name = {}) {
    using Widget = std::remove_pointer_t<decltype(type)>;
    Widget* found = nullptr;
    (void)QTest::qWaitFor([&] {
      for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* w = qobject_cast<Widget*>(top); w && w->isVisible() && (name.isEmpty() || w->objectName() == name)) found = w;
      return found != nullptr;
    }, qv::test::kPatienceMs);
    return found;
  };
  app->window().activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&app->window(), qv::test::kPatienceMs));
  QTest::keyClick(app->window().windowHandle(), Qt::Key_Q, Qt::ControlModifier);
  QMessageBox* question = shown(static_cast<QMessageBox*>(nullptr));
  ASSERT_TRUE(question);
  ASSERT_TRUE(QTest::qWaitForWindowActive(question, qv::test::kPatienceMs));
  QTest::keyClick(question->windowHandle(), Qt::Key_Return);
  QFileDialog* panel = shown(static_cast<QFileDialog*>(nullptr), "savePanel");
  ASSERT_TRUE(panel);
  panel->setDirectory(QString::fromStdString(temp.path().string()));
  auto* name = panel->findChild<QLineEdit*>("fileNameEdit");
  ASSERT_TRUE(name);
  name->setText("vase.qvk");

  auto replaceQuestion = [&] { return shown(static_cast<QMessageBox*>(nullptr), "replaceQuestion"); };
  ASSERT_TRUE(QTest::qWaitForWindowActive(panel, qv::test::kPatienceMs));
  QTest::keyClick(panel->windowHandle(), Qt::Key_Return);
  QMessageBox* replace = replaceQuestion();
  ASSERT_TRUE(replace) << "no question whether to replace the file";
  // Over the middle of its panel, wholly inside it, where Qt places it and a window manager may
  // not at first.
  auto onScreen = [&] { return QRect(replace->mapToGlobal(QPoint(0, 0)), replace->size()); };
  replace->move(replace->pos() + panel->geometry().center() - onScreen().center());
  ASSERT_TRUE(QTest::qWaitFor([&] { return panel->geometry().contains(onScreen()); }, qv::test::kPatienceMs));
  QImage root, shot;
  EXPECT_TRUE(QTest::qWaitFor([&] {
    QApplication::processEvents();
    root = qv::test::rootWindowImage();
    shot = root.copy(onScreen());
    return qv::test::looksDrawn(shot);
  }, qv::test::kPatienceMs)) << "the question whether to replace the file is not on the screen (a flat box)";
  ASSERT_FALSE(root.isNull()) << "no screenshot of the root window (xwd -root)";
  if (const QByteArray folder = qgetenv("QUORVEL_SCREENSHOT_DIR"); !folder.isEmpty()) {
    const QString name = qgetenv("QUORVEL_WINDOW_MANAGER").isEmpty() ? "replace-question" : "replace-question-wm";
    std::filesystem::create_directories(folder.toStdString());
    root.save(QString::fromUtf8(folder) + "/" + name + "-root.png");
    shot.save(QString::fromUtf8(folder) + "/" + name + ".png");
  }
  // No goes back to the panel and leaves the file as it was; Yes saves over it and quits.
  QTest::mouseClick(replace->button(QMessageBox::No), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !replace->isVisible(); }, qv::test::kPatienceMs));
  EXPECT_TRUE(panel->isVisible());
  EXPECT_EQ(std::filesystem::last_write_time(scanFile), writtenBefore);
  EXPECT_TRUE(core->calls.empty());
  QTest::keyClick(panel->windowHandle(), Qt::Key_Return);
  replace = replaceQuestion();
  ASSERT_TRUE(replace);
  QTest::mouseClick(replace->button(QMessageBox::Yes), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return std::filesystem::last_write_time(scanFile) != writtenBefore; }, qv::test::kPatienceMs));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !core->calls.empty(); }, qv::test::kPatienceMs)) << "the program did not end";
  EXPECT_EQ(core->calls, std::vector<std::string>{"stop hardware"});
}
#endif

TEST_F(DesktopTest, TheProgramsStoreTellsTheUserWhyItCannotBeOpened) {
  // The only test of this process that opens the process-wide store: in a data folder of its own,
  // where a file stands in place of the library folder.
  const std::filesystem::path data = temp.path() / "data";
  std::filesystem::create_directories(data);
  std::ofstream(data / "Quorvel") << "not a folder";
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  useProgramsStore = true;
  start();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dialogs.alerts.empty(); }, qv::test::kPatienceMs));
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(dialogs.alerts[0].message,
            "Expected a folder to store application data, found a file (file://" + data.string() + "/Quorvel).");
  ::unsetenv("XDG_DATA_HOME");
}

// What goes wrong while a store opens happens before any window: each error waits and is shown
// once the dialogs are there, in its own words.
TEST(StoreAlertsOnScreen, EachOpeningErrorOfTheStoreReachesTheUserOnceTheDialogsAreThere) {
  qv::test::TempFolder temp;
  auto alerts = StoreErrorAlerts::install();
  auto open = [](const std::filesystem::path& folder) { TBCoreDataStoreS1 store(TBCoreDataStoreS1::Options{folder, nullptr, nullptr}); };
  std::ofstream(temp.path() / "Blocked") << "not a folder";
  open(temp.path() / "Blocked");                 // a file where the folder should be
  open(temp.path() / "Blocked" / "Quorvel");     // a folder that cannot be looked at
  std::filesystem::create_symlink(temp.path() / "Nowhere", temp.path() / "Dangling");
  open(temp.path() / "Dangling");                // a folder that cannot be made
  std::filesystem::create_directories(temp.path() / "Locked" / "Scan.7.storedata");
  open(temp.path() / "Locked");                  // a store file that cannot be opened
  std::filesystem::create_directories(temp.path() / "Damaged");
  std::ofstream(temp.path() / "Damaged" / "Scan.7.storedata") << std::string(8192, 'x');
  open(temp.path() / "Damaged");                 // an unreadable store, moved aside
  std::filesystem::create_directories(temp.path() / "Kept");
  std::ofstream(temp.path() / "Kept" / "Scan.7.storedata.corrupt-20240101-000000") << "damaged";
  open(temp.path() / "Kept");                    // a new library beside a kept one it cannot read
  qv::drainMainQueue();

  AnsweringDialogs dialogs;
  EXPECT_TRUE(dialogs.alerts.empty());
  alerts->attach(&dialogs);
  qv::drainMainQueue();
  ASSERT_EQ(dialogs.alerts.size(), 6u);
  EXPECT_EQ(dialogs.alerts[0].message,
            "Expected a folder to store application data, found a file (file://" + temp.path().string() + "/Blocked).");
  EXPECT_EQ(dialogs.alerts[0].style, qv::screens::AlertStyle::Critical);
  EXPECT_EQ(dialogs.alerts[1].message, "Cannot examine the application library folder " +
                                           (temp.path() / "Blocked" / "Quorvel").string() + ": Not a directory");
  EXPECT_NE(dialogs.alerts[2].message.find("Cannot create the application library folder " +
                                           (temp.path() / "Dangling").string()), std::string::npos)
      << dialogs.alerts[2].message;
  EXPECT_NE(dialogs.alerts[3].message.find("The scan library " + (temp.path() / "Locked" / "Scan.7.storedata").string() +
                                           " could not be opened"), std::string::npos)
      << dialogs.alerts[3].message;
  EXPECT_NE(dialogs.alerts[4].message.find("The scan library could not be read. It was kept as"), std::string::npos)
      << dialogs.alerts[4].message;
  EXPECT_EQ(dialogs.alerts[4].style, qv::screens::AlertStyle::Informational);
  EXPECT_NE(dialogs.alerts[5].message.find("The library kept earlier as \"Scan.7.storedata.corrupt-20240101-000000\""),
            std::string::npos)
      << dialogs.alerts[5].message;
  EXPECT_EQ(dialogs.alerts[5].style, qv::screens::AlertStyle::Informational);
}

// The log export's panel: zip files only, and the chosen name ends in ".zip" even when typed without.
TEST(SavePanelOnScreen, AZipOnlyPanelOffersZipFilesAndAddsTheSuffix) {
  qv::test::TempFolder temp;
  QWidget window;
  window.resize(800, 600);
  window.show();
  QtDialogService dialogs;
  dialogs.setWindow(&window);
  std::optional<std::optional<std::string>> chosen;
  dialogs.chooseFileToSave("QuorvelLogs.zip", [&](std::optional<std::string> path) { chosen = path; }, {"zip"});
  QFileDialog* panel = nullptr;
  ASSERT_TRUE(QTest::qWaitFor([&] {
    for (QFileDialog* d : window.findChildren<QFileDialog*>())
      if (d->isVisible()) panel = d;
    return panel != nullptr;
  }, qv::test::kPatienceMs));
  EXPECT_EQ(panel->nameFilters().size(), 1);
  EXPECT_TRUE(panel->nameFilters().value(0).contains("(*.zip)")) << panel->nameFilters().value(0).toStdString();
  EXPECT_EQ(panel->defaultSuffix(), "zip");
  EXPECT_TRUE(panel->selectedFiles().value(0).endsWith("QuorvelLogs.zip"));
  panel->setDirectory(QString::fromStdString(temp.path().string()));
  auto* name = panel->findChild<QLineEdit*>("fileNameEdit");
  ASSERT_TRUE(name);
  name->setText("Logs of Tuesday");
  static_cast<QDialog*>(panel)->accept();
  ASSERT_TRUE(QTest::qWaitFor([&] { return chosen.has_value(); }, qv::test::kPatienceMs));
  ASSERT_TRUE(chosen->has_value());
  EXPECT_EQ(**chosen, (temp.path() / "Logs of Tuesday.zip").string());
}

TEST(SingleInstanceOnScreen, ASecondLaunchHandsItsFilesToTheFirst) {
  qv::test::TempFolder temp;
  const QString path = QString::fromStdString((temp.path() / "instance").string());
  SingleInstance first(path);
  std::vector<QString> received;
  ASSERT_TRUE(first.listen([&](const QString& file) { received.push_back(file); }));
  SingleInstance second(path);
  ASSERT_EQ(second.handOverToRunningInstance({"/scans/one.qvk", "/scans/two words.qvkx"}), SingleInstance::HandOver::Taken);
  ASSERT_TRUE(QTest::qWaitFor([&] { return received.size() == 2; }, qv::test::kPatienceMs));
  EXPECT_EQ(received, (std::vector<QString>{"/scans/one.qvk", "/scans/two words.qvkx"}));
  // A launch without files brings the first forward (an empty path), once.
  received.clear();
  ASSERT_EQ(second.handOverToRunningInstance({}), SingleInstance::HandOver::Taken);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !received.empty(); }, qv::test::kPatienceMs));
  EXPECT_EQ(received, std::vector<QString>{QString()});
  EXPECT_EQ(SingleInstance(path + "-none").handOverToRunningInstance({"/scans/one.qvk"}), SingleInstance::HandOver::NoInstance);
}

// The socket of an instance that is gone is taken over; that of an instance that is alive but does
// not accept (its queue of connections full) is left to it, both by a launch that gave up handing
// over and by one that then tries to listen.
TEST(SingleInstanceOnScreen, OnlyASocketNothingAnswersOnIsTakenOver) {
  qv::test::TempFolder temp;
  const std::string path = (temp.path() / "instance").string();
  auto bindAt = [&](int backlog) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    if (backlog >= 0) {
      EXPECT_EQ(::listen(fd, backlog), 0);
    }
    return std::pair{fd, address};
  };

  // Gone: the socket file stays behind a closed listener.
  ::close(bindAt(4).first);
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(SingleInstance(QString::fromStdString(path)).handOverToRunningInstance({"/scans/a.qvk"}, 200),
            SingleInstance::HandOver::NoInstance);
  {
    SingleInstance after(QString::fromStdString(path));
    EXPECT_TRUE(after.listen([](const QString&) {}));
  }
  std::filesystem::remove(path);

  // Alive but not accepting: one connection waits in a queue of one, so the next cannot get in.
  auto [live, address] = bindAt(0);
  const int queued = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(queued, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  struct stat before{};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  EXPECT_EQ(SingleInstance(QString::fromStdString(path)).handOverToRunningInstance({"/scans/a.qvk"}, 200),
            SingleInstance::HandOver::NoAnswer);
  SingleInstance second(QString::fromStdString(path));
  EXPECT_FALSE(second.listen([](const QString&) {}));
  struct stat still{};
  ASSERT_EQ(::stat(path.c_str(), &still), 0) << "the live instance's socket was removed";
  EXPECT_EQ(still.st_ino, before.st_ino) << "the live instance's socket was replaced";
  ::close(queued);
  ::close(live);
}

TEST(SharedControlsOnScreen, ClicksReachTheirListenersOnceAndInOrder) {
  // A click on row 3 is told after the base has selected it; a click below the rows tells nothing.
  QStandardItemModel model(5, 1);
  qv::screens::ClickTableView table;
  table.setModel(&model);
  table.resize(300, 400);
  table.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&table, qv::test::kPatienceMs));
  std::vector<std::pair<int, int>> clicks;  // the row told, the row selected when told
  QObject::connect(&table, &qv::screens::ClickTableView::didClickRow, [&](int row) {
    clicks.emplace_back(row, table.currentIndex().row());
  });
  const QRect third = table.visualRect(model.index(3, 0));
  QTest::mouseClick(table.viewport(), Qt::LeftButton, {}, third.center());
  QTest::mouseClick(table.viewport(), Qt::LeftButton, {}, QPoint(10, table.viewport()->height() - 5));
  EXPECT_EQ(clicks, (std::vector<std::pair<int, int>>{{3, 3}}));

  // A double click on the heads-up button acts once.
  qv::screens::HudButton button("Go");
  int pressed = 0;
  QObject::connect(&button, &QPushButton::clicked, [&] { ++pressed; });
  button.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&button, qv::test::kPatienceMs));
  const QPointF centre = QRectF(button.rect()).center();
  auto send = [&](QEvent::Type type) {
    QMouseEvent event(type, centre, button.mapToGlobal(centre), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&button, &event);
  };
  for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick,
                            QEvent::MouseButtonRelease})
    send(type);
  EXPECT_EQ(pressed, 1);

  // The opaque view keeps presses from what lies beneath it.
  QWidget parent;
  int parentPresses = 0;
  struct Counting : QWidget {
    int* count;
    explicit Counting(int* c) : count(c) {}
    void mousePressEvent(QMouseEvent*) override { ++*count; }
  } under(&parentPresses);
  under.resize(100, 100);
  auto* veil = new qv::screens::OpaqueView(&under);
  veil->resize(100, 100);
  under.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&under, qv::test::kPatienceMs));
  QTest::mouseClick(veil, Qt::LeftButton);
  EXPECT_EQ(parentPresses, 0);
}

}  // namespace
}  // namespace qv::app

int main(int argc, char** argv) {
  // The program test's helpers: a small scan file to hand to the program, its point count, the
  // check of the screenshot the program kept, and the patience its scripts wait with.
  const std::size_t vasePoints = qv::app::kPointsPerRing * qv::app::kVaseRings;
  if (argc == 3 && std::string(argv[1]) == "--write-sample-qvk") return qv::app::writeSampleQvk(argv[2], vasePoints) ? 0 : 1;
  if (argc == 2 && std::string(argv[1]) == "--sample-qvk-points") {
    std::printf("%zu\n", vasePoints);
    return 0;
  }
  if (argc == 3 && std::string(argv[1]) == "--check-screenshot") return qv::test::looksDrawn(QImage(argv[2])) ? 0 : 1;
  if (argc == 2 && std::string(argv[1]) == "--patience-seconds") {
    std::printf("%lld\n", static_cast<long long>(qv::test::kPatience.count()));
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}

namespace qv::screens {

using qv::test::keepScreenshot;

// The preferences window while a scan writes its tuned exposures and the meshing sheet its
// levels: the controls show the new values, and leaving a field writes nothing stale back.
TEST(PreferencesOnScreen, ControlsFollowSettingsWrittenElsewhereAndKeepAlternateExposures) {
  qv::test::TempFolder temp;
  qv::Settings settings(temp.path() / "Settings.json");
  QVLRegisteredDefaults::registerWith(settings);
  settings.setValue("OverrideAutoTuning", true);
  settings.setValue("CameraLaser2ExposureSetting", "40,160");
  PreferencesWindow window(settings, nullptr);
  window.showWindow();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, qv::test::kPatienceMs));
  const auto field = [&](int index) {
    auto fields = window.findChildren<QLineEdit*>();
    std::vector<QLineEdit*> exposures;
    for (QLineEdit* f : fields)
      if (f->isVisible()) exposures.push_back(f);
    return exposures.at(static_cast<std::size_t>(index));
  };
  // Shown in the order: rotation step, laser 1, laser 2, colour photographs.
  EXPECT_EQ(field(2)->text().toStdString(), "40, 160") << "the alternate exposure is shown";

  // A scan writes from its own thread.
  std::thread scan([&] {
    settings.setValue("CameraLaser1ExposureSetting", "60, 240");
    settings.setValue("CameraNonLaserExposureSetting", 700);
    settings.setValue("EnableAdaptiveScanning", false);
  });
  scan.join();
  ASSERT_TRUE(QTest::qWaitFor([&] { return field(1)->text() == "60, 240"; }, qv::test::kPatienceMs));
  EXPECT_EQ(field(3)->text().toStdString(), "700");
  keepScreenshot(window, "preferences-after-scan");

  // Leaving the fields writes nothing over what the scan stored; an edit keeps both exposures.
  for (int i : {1, 2, 3}) {
    field(i)->setFocus();
    emit field(i)->editingFinished();
  }
  EXPECT_EQ(settings.stringForKey("CameraLaser1ExposureSetting"), "60, 240");
  EXPECT_EQ(settings.stringForKey("CameraLaser2ExposureSetting"), "40,160");
  field(2)->setText("45,180");
  emit field(2)->editingFinished();
  EXPECT_EQ(settings.stringForKey("CameraLaser2ExposureSetting"), "45, 180");
  field(2)->setText("45;180");
  emit field(2)->editingFinished();
  EXPECT_EQ(settings.stringForKey("CameraLaser2ExposureSetting"), "45, 180") << "a refused text changes nothing";
  EXPECT_EQ(field(2)->text().toStdString(), "45, 180");

  // The viewer pane: the meshing sheet's levels show, and the point size offers the four sizes.
  settings.setValue("MeshingOctreeDepth", 9);
  window.selectPane(1);
  QApplication::processEvents();
  std::vector<QSpinBox*> spins;
  for (QSpinBox* s : window.findChildren<QSpinBox*>())
    if (s->isVisible()) spins.push_back(s);
  ASSERT_EQ(spins.size(), 3u) << "point size, octree depth, samples per node";
  EXPECT_EQ(spins[0]->maximum(), 4);
  EXPECT_EQ(spins[1]->value(), 9);
  settings.setValue("MeshingSamplesPerNode", 7);
  ASSERT_TRUE(QTest::qWaitFor([&] { return spins[2]->value() == 7; }, qv::test::kPatienceMs));
  keepScreenshot(window, "preferences-viewer-after-meshing");
}

}  // namespace qv::screens
