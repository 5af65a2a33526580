// The scan screen's relays answered by the application delegate.
#include "screens/ScanCoreRelays.h"

#include "core/QVLAppDelegate.h"

namespace qv::screens {

void ScanCoreRelays::buildScanForScanViewController(const qv::ObjectID& scanID, float rotationDegreeInterval,
                                                    float heightMMInterval, qv::Completion onComplete, Update onUpdate,
                                                    qv::ErrorCallback onError) {
  delegate_->buildScanForScanViewController(scanID, rotationDegreeInterval, heightMMInterval, std::move(onComplete),
                                            std::move(onUpdate), std::move(onError));
}

void ScanCoreRelays::pauseScanForScanViewController() { delegate_->pauseScanForScanViewController(); }

void ScanCoreRelays::resumeCurrentScanForScanViewController(qv::Completion onComplete, Update onUpdate,
                                                            qv::ErrorCallback onError) {
  delegate_->resumeCurrentScanForScanViewController(std::move(onComplete), std::move(onUpdate), std::move(onError));
}

void ScanCoreRelays::cancelScanForScanViewController() { delegate_->cancelScanForScanViewController(); }

void ScanCoreRelays::tidyScanForScanViewController() { delegate_->tidyScanForScanViewController(); }

}  // namespace qv::screens
