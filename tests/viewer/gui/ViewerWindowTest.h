// The viewer's window on screen over a real store and settings in a temporary folder, shown before
// each test and, after it, kept until the background jobs have let go of its controller.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QImage>
#include <QTest>
#include <memory>

#include "platform/Queue.h"
#include "platform/Settings.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"
#include "viewer/ViewerStore.h"
#include "viewer/gui/GuiOutput.h"
#include "viewer/model/QVLObjectSceneViewController.h"
#include "viewer/ui/QVLObjectSceneView.h"

namespace qv::test {

class ViewerWindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    store = makeQuietStore(temp.path() / "Quorvel");
    settings = std::make_unique<qv::Settings>(temp.path() / "Settings.json");
    settings->registerDefaults({{"ViewPointSize", 2}});
    QVLObjectSceneViewController::Options o;
    o.store = store.get();
    o.settings = settings.get();
    prepare(o);
    controller = QVLObjectSceneViewController::create(o);
    view = std::make_unique<QVLObjectSceneView>(controller);
    view->resize(900, 640);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get(), kPatienceMs));
  }
  void TearDown() override {
    view.reset();
    // Background jobs hold the controller until they end; the store must outlive them.
    EXPECT_TRUE(QTest::qWaitFor([&] { return controller.use_count() == 1; }, kPatienceMs));
    controller.reset();
    store->privateContext()->performAndWait([] {});
    qv::drainMainQueue();
  }

  // Before the controller is made: a test's own settings and controller options.
  virtual void prepare(QVLObjectSceneViewController::Options&) {}

  template <typename F>
  qv::ObjectID storeScan(F fill) {
    return addScanObject(*store, fill);
  }

  // Whether the scan asked for came in, the busy view went away again and the header's buttons
  // were enabled (which follows on the main queue).
  bool shownWhenLoaded(int timeoutMs = kPatienceMs) {
    return QTest::qWaitFor(
        [&] {
          return controller->isDoneLoading() && !view->busyView()->isVisible() && view->button("export")->isEnabled();
        },
        timeoutMs);
  }

  // The file panel shown over the window (the one of that name, when one is given), waited for.
  QFileDialog* filePanel(const QString& name = {}, int timeoutMs = kPatienceMs) {
    QFileDialog* panel = nullptr;
    const bool shown = QTest::qWaitFor(
        [&] {
          for (QFileDialog* d : view->findChildren<QFileDialog*>(name))
            if (d->isVisible()) return (panel = d) != nullptr;
          return false;
        },
        timeoutMs);
    return shown ? panel : nullptr;
  }

  QImage grabWindow() {
    QApplication::processEvents();
    return view->grab().toImage();
  }

  qv::test::TempFolder temp;
  std::unique_ptr<TBCoreDataStoreS1> store;
  std::unique_ptr<qv::Settings> settings;
  std::shared_ptr<QVLObjectSceneViewController> controller;
  std::unique_ptr<QVLObjectSceneView> view;
};

}  // namespace qv::test
