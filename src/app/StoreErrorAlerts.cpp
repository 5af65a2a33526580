// The object store's errors as alerts.
#include "app/StoreErrorAlerts.h"

#include "platform/Queue.h"
#include "store/StoreErrors.h"
#include "store/TBCoreDataStoreS1.h"

namespace qv::app {

std::shared_ptr<StoreErrorAlerts> StoreErrorAlerts::install() {
  std::shared_ptr<StoreErrorAlerts> alerts(new StoreErrorAlerts());
  TBCoreDataStoreS1::setErrorPresenter([weak = std::weak_ptr<StoreErrorAlerts>(alerts)](const qv::Error& error) {
    if (auto self = weak.lock()) self->present(error);
  });
  return alerts;
}

StoreErrorAlerts::~StoreErrorAlerts() { TBCoreDataStoreS1::setErrorPresenter({}); }

void StoreErrorAlerts::attach(qv::screens::DialogService* dialogs) {
  {
    std::lock_guard lock(mutex_);
    dialogs_ = dialogs;
  }
  qv::mainQueue()->async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->flush();
  });
}

void StoreErrorAlerts::present(const qv::Error& error) {
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(error);
  }
  qv::mainQueue()->async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->flush();
  });
}

void StoreErrorAlerts::flush() {
  std::vector<qv::Error> errors;
  qv::screens::DialogService* dialogs = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (!dialogs_) return;  // kept until the dialogs are attached
    dialogs = dialogs_;
    errors.swap(pending_);
  }
  for (const auto& error : errors) dialogs->showAlert(alertFor(error), [](int) {});
}

qv::screens::Alert StoreErrorAlerts::alertFor(const qv::Error& error) {
  // A library started anew, or one taken back, still works, and a library kept aside is still
  // there: that is news, not a failure.
  const bool notice = error.is(qv::kScanErrorDomain, qv::kStoreFileMovedAsideError) ||
                      error.is(qv::kScanErrorDomain, qv::kKeptLibraryTakenBackError) ||
                      error.is(qv::kScanErrorDomain, qv::kKeptLibraryFoundError);
  return {notice ? qv::screens::AlertStyle::Informational : qv::screens::AlertStyle::Critical, error.description, "",
          {"OK"}};
}

}  // namespace qv::app
