// A viewer controller on a real store and settings in a temporary folder, with a recording
// display and delegate, scans made to measure, and a load that waits for the busy view.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "FakeDisplay.h"
#include "formats/QVLFileExporter.h"
#include "platform/Queue.h"
#include "platform/Settings.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanSlice.h"
#include "support/ManualClockScope.h"
#include "support/SmallDisk.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"
#include "viewer/ViewerStore.h"
#include "viewer/ViewerTestSupport.h"
#include "viewer/model/QVLObjectSceneViewController.h"

// Writes the scan's vertex count as text, or fails when told to, or runs out of memory.
class CountingWriter : public QVLFileExporter {
public:
  CountingWriter(qv::ObjectID id, bool fail, bool exhausted = false, std::string warning = {})
      : QVLFileExporter(std::move(id)), fail_(fail), exhausted_(exhausted), warning_(std::move(warning)) {}
  bool exportScanToFilePath(const std::string& path, qv::Error* error) override {
    if (exhausted_) throw std::bad_alloc();
    if (fail_) {
      if (error) *error = qv::Error{"test", 3, "The disk is full.", {}};
      return false;
    }
    std::ofstream(path) << "scan";
    // Saved, but not all of the scan: the writer says so, as the project writer does.
    if (!warning_.empty() && error) *error = qv::Error{"test", 121, warning_, {}};
    return true;
  }

private:
  bool fail_, exhausted_;
  std::string warning_;
};

class RecordingDelegate : public qv::viewer::ObjectSceneDelegate {
public:
  bool resetApplicationStateForObjectSceneViewController() override { return openPanelShown; }
  void showHudScreenForObjectSceneViewController() override { ++hudShown; }
  void openExistingScanForObjectSceneViewController() override { ++openAsked; }
  bool openPanelShown = false;
  int hudShown = 0, openAsked = 0;
};

class ViewerController : public ::testing::Test {
protected:
  static constexpr float kStep = 0.013f;  // height between a layer's points, never on a 0.1 step

  void SetUp() override {
    // In a test's run on a small disk the library lies there, for the test to fill.
    store = makeQuietStore(qv::test::smallDiskFolder().value_or(temp.path()) / "Quorvel");
    settings = std::make_unique<qv::Settings>(temp.path() / "Settings.json");
    QVLObjectSceneViewController::Options o;
    o.store = store.get();
    o.settings = settings.get();
    o.writers = [this](const std::string& ext, const qv::ObjectID& id) -> std::unique_ptr<QVLFileExporter> {
      if (ext == "none") return nullptr;
      return std::make_unique<CountingWriter>(id, failWrites, ext == "exhausting", saveWarning);
    };
    viewer = QVLObjectSceneViewController::create(o);
    viewer->setDisplay(&display);
    viewer->setDelegate(&delegate);
  }
  void TearDown() override {
    // Background jobs hold the viewer until they end; the store and settings must outlive them.
    EXPECT_TRUE(qv::test::waitFor([&] { return viewer.use_count() == 1; }));
    viewer.reset();
    store->privateContext()->performAndWait([] {});
    qv::drainMainQueue();
  }

  // A scan with clouds (lookup id, head height, laser) whose index lists name all their vertices.
  struct Cloud {
    std::int16_t lookupId;
    double headHeight;
    int laser;
    int points;
  };
  qv::ObjectID makeScan(const std::vector<Cloud>& clouds, const std::string& source = "/scans/Vase.qvk",
                        bool withSlice = false) {
    std::vector<QVLScanVertex> vertices{QVLScanVertex{}};  // record 0: the origin, never a point
    return addScanObject(*store, [&](auto& scan) {
      for (const Cloud& c : clouds) {
        auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
        cloud->setLookupId(c.lookupId);
        cloud->setHeadHeight(c.headHeight);
        cloud->setLaserNumber(c.laser);
        std::vector<std::uint32_t> list;
        for (int i = 0; i < c.points; ++i) {
          list.push_back(static_cast<std::uint32_t>(vertices.size()));
          const float a = static_cast<float>(i) * 0.1f;
          vertices.push_back(vertexAt(10 * std::cos(a), static_cast<float>(c.headHeight) + i * kStep, 10 * std::sin(a),
                                      c.lookupId));
        }
        cloud->setVertexIndexData(indexBytes(list));
      }
      scan->setVertexData(vertexBytes(vertices));
      scan->setSourceFilePath(source);
      if (withSlice) QVSDScanSlice::createScanSliceInPointCloud(scan->pointClouds().front(), 0.0f);
    });
  }

  // Loads and waits until the busy view went away again (the manual clock stands for the delays).
  void load(const qv::ObjectID& id) {
    viewer->loadScan(id);
    clock.advanceSeconds(0.3);
    ASSERT_TRUE(qv::test::waitFor([&] { return viewer->isDoneLoading() || delegate.hudShown > 0; }));
    clock.advanceSeconds(1.0);
    // The load sets the busy view's last second on its own queue once it is done, which may be
    // just after the clock moved on: the clock then moves on again, until the view has gone.
    qv::test::waitFor([&] {
      if (!display.busyShown) return true;
      if (viewer->isDoneLoading()) clock.advanceSeconds(1.0);
      return false;
    });
  }

  template <typename F>
  void onScan(const qv::ObjectID& id, F code) {
    store->privateContext()->performAndWait([&] {
      auto scan = QVSDScanObject::scanObjectWithId(id, false, *store->privateContext());
      ASSERT_TRUE(scan);
      code(*scan);
    });
  }

  std::size_t scanCount() { return ::scanCount(*store); }

  qv::test::TempFolder temp;
  qv::test::ManualClockScope clock;
  std::unique_ptr<TBCoreDataStoreS1> store;
  std::unique_ptr<qv::Settings> settings;
  FakeDisplay display;
  RecordingDelegate delegate;
  std::shared_ptr<QVLObjectSceneViewController> viewer;
  bool failWrites = false;
  std::string saveWarning;  // what the writers say of a save that did not keep all of the scan
};
