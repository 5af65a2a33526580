// What the scan screen asks of the rest of the application: the scanner's side (the core's scan
// relays) and the screen switching, joined into the screen's delegate.
#pragma once

#include <functional>
#include <memory>

#include "platform/Error.h"
#include "records/QVLStatus.h"
#include "store/ObjectID.h"

namespace qv::screens {

// What the scan screen needs of the scanner side of the application. The build's and the
// resume's three callbacks may come on any thread; a pause is confirmed by the error callback
// with the paused code, a cancel by the cancelled code.
class ScanRelays {
public:
  using Update = std::function<void(std::shared_ptr<QVLStatus>)>;
  virtual ~ScanRelays() = default;
  virtual void buildScanForScanViewController(const qv::ObjectID& scanID, float rotationDegreeInterval,
                                              float heightMMInterval, qv::Completion onComplete, Update onUpdate,
                                              qv::ErrorCallback onError) = 0;
  virtual void pauseScanForScanViewController() = 0;
  virtual void resumeCurrentScanForScanViewController(qv::Completion onComplete, Update onUpdate,
                                                      qv::ErrorCallback onError) = 0;
  // Cancels the running scan (with none running, returns to the main screen).
  virtual void cancelScanForScanViewController() = 0;
  // Completes the scan's stored data and lets the scan driver go (called off the main thread).
  virtual void tidyScanForScanViewController() = 0;
};

// The whole delegate (`QVLScanViewControllerDelegate`): the relays and the screen switching.
class QVLScanViewControllerDelegate : public ScanRelays {
public:
  virtual void openScan(const qv::ObjectID& scan) = 0;
  virtual void showHudScreenForScanViewController() = 0;
};

// The delegate the window gives the scan screen: the core's relays (none in a program without
// scanner support, where every start fails as a scanner that cannot be connected) and the
// screen switching's two ways out.
class ScanScreenLink final : public QVLScanViewControllerDelegate {
public:
  ScanScreenLink(ScanRelays* relays, std::function<void(const qv::ObjectID&)> openScan, std::function<void()> showHud)
      : relays_(relays), openScan_(std::move(openScan)), showHud_(std::move(showHud)) {}

  void buildScanForScanViewController(const qv::ObjectID& scanID, float rotationDegreeInterval, float heightMMInterval,
                                      qv::Completion onComplete, Update onUpdate, qv::ErrorCallback onError) override {
    if (relays_)
      relays_->buildScanForScanViewController(scanID, rotationDegreeInterval, heightMMInterval, std::move(onComplete),
                                              std::move(onUpdate), std::move(onError));
    else if (onError)
      onError(qv::Error(qv::kScanErrorDomain, 7, "There is no scanner to scan with"));
  }
  void pauseScanForScanViewController() override {
    if (relays_) relays_->pauseScanForScanViewController();
  }
  void resumeCurrentScanForScanViewController(qv::Completion onComplete, Update onUpdate,
                                              qv::ErrorCallback onError) override {
    if (relays_)
      relays_->resumeCurrentScanForScanViewController(std::move(onComplete), std::move(onUpdate), std::move(onError));
    else if (onError)
      onError(qv::Error(qv::kScanErrorDomain, 7, "There is no scanner to scan with"));
  }
  void cancelScanForScanViewController() override {
    if (relays_)
      relays_->cancelScanForScanViewController();
    else
      showHudScreenForScanViewController();
  }
  void tidyScanForScanViewController() override {
    if (relays_) relays_->tidyScanForScanViewController();
  }
  void openScan(const qv::ObjectID& scan) override {
    if (openScan_) openScan_(scan);
  }
  void showHudScreenForScanViewController() override {
    if (showHud_) showHud_();
  }

private:
  ScanRelays* relays_;
  std::function<void(const qv::ObjectID&)> openScan_;
  std::function<void()> showHud_;
};

}  // namespace qv::screens
