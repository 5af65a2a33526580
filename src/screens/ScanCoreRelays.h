// The scan screen's relays answered by the application delegate.
#pragma once

#include <memory>

#include "screens/ScanScreenDelegate.h"

class QVLAppDelegate;

namespace qv::screens {

class ScanCoreRelays final : public ScanRelays {
public:
  explicit ScanCoreRelays(std::shared_ptr<QVLAppDelegate> delegate) : delegate_(std::move(delegate)) {}

  void buildScanForScanViewController(const qv::ObjectID& scanID, float rotationDegreeInterval, float heightMMInterval,
                                      qv::Completion onComplete, Update onUpdate, qv::ErrorCallback onError) override;
  void pauseScanForScanViewController() override;
  void resumeCurrentScanForScanViewController(qv::Completion onComplete, Update onUpdate,
                                              qv::ErrorCallback onError) override;
  void cancelScanForScanViewController() override;
  void tidyScanForScanViewController() override;

private:
  std::shared_ptr<QVLAppDelegate> delegate_;
};

}  // namespace qv::screens
