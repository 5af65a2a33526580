// A store, settings and a simulated scanner for driving whole scans in tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "acquisition/QVLScan.h"
#include "platform/Queue.h"
#include "platform/Settings.h"
#include "sim/scanner/SimulatedScanner.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDScanObject.h"
#include "store/TBCoreDataStoreS1.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"

namespace qv::test {

// How a scan ended.
struct ScanOutcome {
  bool finished = false;
  bool completed = false;
  std::optional<qv::Error> error;
  float bed = 0.0f;
  float head = 0.0f;
  int updates = 0;
  std::vector<std::string> titles;
};

class ScanHarness {
public:
  explicit ScanHarness(qv::sim::Scene scene, qv::sim::SimulatedScanner::Options options = {},
                       qv::sim::ScannerDesign design = qv::sim::ScannerDesign::standard())
      : store_(TBCoreDataStoreS1::Options{folder_.path() / "Library", nullptr, [](const qv::Error&) {}}),
        settings_(folder_.path() / "Settings.json"),
        scanner_(std::make_shared<qv::sim::SimulatedScanner>(qv::sim::ScannerModel(design), std::move(scene),
                                                             std::move(options))) {
    settings_.setValue("EnableColourScans", true);
    store_.privateContext()->performAndWait([&] {
      auto library = QVSDLibrary::defaultLibraryInContext(*store_.privateContext());
      auto scan = QVSDScanObject::createScanObjectInLibrary(library);
      store_.privateContext()->save();
      scanId_ = scan->objectID();
    });
    scan_ = makeScan();
  }

  std::shared_ptr<QVLScan> makeScan() {
    auto scan = QVLScan::initWithDelegate(delegate_ ? delegate_ : std::shared_ptr<QVLScanDelegate>(scanner_));
    scan->setPrivateQueueContext(store_.privateContext());
    scan->setSettings(&settings_);
    return scan;
  }

  // Callbacks that fill the outcome; the update callback counts.
  qv::Completion onComplete(ScanOutcome& o) {
    return [&o] {
      o.finished = true;
      o.completed = true;
    };
  }
  QVLScan::UpdateCallback onUpdate(ScanOutcome& o) {
    return [&o](std::shared_ptr<QVLStatus> s) {
      ++o.updates;
      if (o.titles.empty() || o.titles.back() != s->title()) o.titles.push_back(s->title());
    };
  }
  QVLScan::ErrorCallback onError(ScanOutcome& o) {
    return [&o](const qv::Error& e, float bed, float head) {
      o.finished = true;
      o.error = e;
      o.bed = bed;
      o.head = head;
    };
  }

  ScanOutcome build(float degrees, float height_mm, int nonLaser = 150, std::vector<int> laser1 = {50},
                    std::vector<int> laser2 = {50}) {
    ScanOutcome o;
    scan_->buildScanWithId(scanId_, degrees, height_mm, nonLaser, 0, std::move(laser1), std::move(laser2), onComplete(o),
                           onUpdate(o), onError(o));
    wait(o);
    return o;
  }
  ScanOutcome resume() {
    ScanOutcome o;
    scan_->resumeCurrentScan(onComplete(o), onUpdate(o), onError(o));
    wait(o);
    return o;
  }
  static void wait(ScanOutcome& o) {
    EXPECT_TRUE(qv::runMainQueueUntil([&] { return o.finished; }, qv::test::kPatience)) << "the scan never ended";
  }

  const std::filesystem::path& folder() const { return folder_.path(); }
  TBCoreDataStoreS1& store() { return store_; }
  qv::ObjectContext& context() { return *store_.privateContext(); }
  qv::Settings& settings() { return settings_; }
  qv::sim::SimulatedScanner& scanner() { return *scanner_; }
  const std::shared_ptr<qv::sim::SimulatedScanner>& scannerPtr() { return scanner_; }
  QVLScan& scan() { return *scan_; }
  const qv::ObjectID& scanId() const { return scanId_; }
  // Scans from now on talk to this delegate instead of the simulated scanner.
  void useDelegate(std::shared_ptr<QVLScanDelegate> delegate) {
    delegate_ = std::move(delegate);
    scan_ = makeScan();
  }

private:
  TempFolder folder_;
  TBCoreDataStoreS1 store_;
  qv::Settings settings_;
  std::shared_ptr<qv::sim::SimulatedScanner> scanner_;
  std::shared_ptr<QVLScanDelegate> delegate_;
  std::shared_ptr<QVLScan> scan_;
  qv::ObjectID scanId_;
};

}  // namespace qv::test
