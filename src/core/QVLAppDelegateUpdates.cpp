// Updates, the log text attached to crash reports, and the export of the log files.
#include <condition_variable>
#include <mutex>

#include "core/QVLAppDelegate.h"
#include "core/QVLCrashReporter.h"
#include "formats/SSZipArchive.h"
#include "platform/Log.h"
#include "platform/SystemInfo.h"
#include "platform/UUID.h"

namespace fs = std::filesystem;

// ---- updates ----

void QVLAppDelegate::runStartupUpdateCheckIfDue() {
  if (!shouldCheckForUpdate_.exchange(false)) return;
  if (!settings_.boolForKey("CheckForUpdatesOnStartup")) {
    QVLogInfo("Not checking for updates (installed: %s.%s)", environment_.shortVersion.c_str(),
              environment_.buildVersion.c_str());
    return;
  }
  updater_->setDelegate(this);
  updater_->setSendsSystemProfile(true);
  std::weak_ptr<QVLAppDelegate> weak = weak_from_this();
  updater_->checkForUpdates([weak](const std::optional<QVLAppcastItem>& item, const qv::Error*) {
    auto self = weak.lock();
    if (!self || !item) return;  // a background check stays quiet unless it found something
    if (auto host = self->screenHost()) host->updateAvailable(*item, false);
  });
}

void QVLAppDelegate::checkForUpdates() {
  updater_->setDelegate(this);
  std::weak_ptr<QVLAppDelegate> weak = weak_from_this();
  const bool started = updater_->checkForUpdates([weak](const std::optional<QVLAppcastItem>& item, const qv::Error* error) {
    auto self = weak.lock();
    if (!self) return;
    auto host = self->screenHost();
    if (!host) return;
    if (item) {
      host->updateAvailable(*item, true);
    } else {
      host->noUpdateAvailable(error);
    }
  });
  if (!started) {
    if (auto host = screenHost()) {
      const qv::Error error(qv::kScanErrorDomain, 130, "No update feed is configured");
      host->noUpdateAvailable(&error);
    }
  }
}

std::vector<std::pair<std::string, std::string>> QVLAppDelegate::feedParametersForUpdater(bool /*sendingSystemProfile*/) {
  // The little a feed needs to choose a build: which program, which version, on what system.
  return {{"appName", "Quorvel"},
          {"appVersion", environment_.buildVersion},
          {"cpuarch", qv::systemInfo::machine()},
          {"osVersion", qv::systemInfo::osVersion()}};
}

std::optional<std::size_t> QVLAppDelegate::bestValidUpdateInAppcast(const std::vector<QVLAppcastItem>& items) {
  return QVLAppcast::bestValidUpdate(items);
}

// ---- the crash-report log ----

void QVLAppDelegate::applicationLogForCrashManager(std::function<void(std::string)> completion) {
  // The roll's completion runs on a worker, so the work is chained rather than waited for.
  qv::log::rollLogFile([completion = std::move(completion)] {
    std::string text = QVLCrashLog::tail(QVLCrashLog::applicationLogText(qv::log::sortedLogFilePaths()));
    if (completion) completion(std::move(text));
  });
}

std::optional<std::string> QVLAppDelegate::applicationLogForCrashManager(qv::Duration limit) {
  struct Wait {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<std::string> text;
  };
  auto wait = std::make_shared<Wait>();
  applicationLogForCrashManager([wait](std::string text) {
    {
      std::lock_guard lock(wait->mutex);
      wait->text = std::move(text);
    }
    wait->done.notify_all();
  });
  std::unique_lock lock(wait->mutex);
  // A real-time bound: a worker pool that is stuck must not hang the caller for ever.
  wait->done.wait_for(lock, limit, [&] { return wait->text.has_value(); });
  return wait->text;
}

// ---- log export ----

void QVLAppDelegate::exportLogFiles(const fs::path& destination, LogExportCompletion completion) {
  QVLogInfo("Exporting log files...");
  qv::log::rollLogFile([destination, completion = std::move(completion)] {
    std::vector<std::string> files;
    for (const auto& file : qv::log::sortedLogFilePaths()) files.push_back(file.string());
    // The old archive stays until the new one is whole.
    const fs::path temporary =
        destination.parent_path() / ("." + destination.filename().string() + "." + qv::makeUUIDString() + ".partial");
    std::optional<qv::Error> failure;
    std::error_code ec;
    if (!SSZipArchive::createZipFileAtPath(temporary.string(), files)) {
      failure = qv::Error(qv::kScanErrorDomain, QVLAppErrorFileNotWritten, "The log files could not be zipped",
                          {{qv::Error::kFilePathKey, qv::Value(destination.string())}});
    } else if (fs::rename(temporary, destination, ec); ec) {
      failure = qv::Error(qv::kScanErrorDomain, QVLAppErrorFileNotWritten,
                          "The log archive could not be put in place: " + ec.message(),
                          {{qv::Error::kFilePathKey, qv::Value(destination.string())}});
    }
    if (failure) {
      fs::remove(temporary, ec);
      QVLogError("Exporting the log files failed: %s", failure->text().c_str());
    } else {
      QVLogInfo("Log files exported to %s", destination.c_str());
    }
    if (completion) completion(failure);
  });
}
