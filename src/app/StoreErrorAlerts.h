// The object store's errors, shown to the user. The store reports while it opens, before any
// window exists: its errors wait here until the dialogs are attached and the main queue runs.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/Error.h"
#include "screens/DialogService.h"

namespace qv::app {

class StoreErrorAlerts : public std::enable_shared_from_this<StoreErrorAlerts> {
public:
  // Makes the relay and installs it as the presenter of every store without one of its own.
  static std::shared_ptr<StoreErrorAlerts> install();
  // Takes the presenter away again.
  ~StoreErrorAlerts();
  StoreErrorAlerts(const StoreErrorAlerts&) = delete;
  StoreErrorAlerts& operator=(const StoreErrorAlerts&) = delete;

  // From then on errors are shown through `dialogs`, those that came before first.
  void attach(qv::screens::DialogService* dialogs);
  // From any thread; the alert is shown on the main queue.
  void present(const qv::Error& error);

  // The alert of one error: its description, as the user reads it.
  static qv::screens::Alert alertFor(const qv::Error& error);

private:
  StoreErrorAlerts() = default;
  void flush();

  std::mutex mutex_;
  std::vector<qv::Error> pending_;
  qv::screens::DialogService* dialogs_ = nullptr;
};

}  // namespace qv::app
