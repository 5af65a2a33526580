// The launch sequence and the crash reports of earlier runs.
#include "core/QVLAppDelegate.h"
#include "core/QVLCrashReporter.h"
#include "core/QVLRegisteredDefaults.h"
#include "core/QVLStartupBanner.h"
#include "platform/Log.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

void QVLAppDelegate::setUpLogging(const QVLLaunchOptions& options) {
  qv::log::Setup setup;
  setup.logFolder = options.logFolder.empty() ? qv::paths::logFolder() : options.logFolder;
  setup.console = options.consoleLog;
  setup.systemLog = options.systemLog;
  setup.rollingFrequency = qv::seconds(86400);
  setup.maximumNumberOfLogFiles = 7;
  qv::log::setup(setup);
}

void QVLAppDelegate::applicationDidFinishLaunching(const QVLLaunchOptions& options) {
  // 1. Logging: a file rolled daily keeping 7, the console and the system log.
  if (options.setUpLogging) setUpLogging(options);

  // 2. The registered defaults.
  QVLRegisteredDefaults::registerWith(settings_);

  // 3-4. The window belongs to the shell; the main screen's first showing runs the update check.
  shouldCheckForUpdate_ = true;
  showHudScreen();

  // 5. The automatic connection, only when exactly one scanner is present.
  if (const auto scanners = serialPortController_->devices(); scanners.size() > 1) {
    logSeveralScanners(scanners);
  } else if (scanners.size() == 1) {
    setIsConnecting(true);
    std::weak_ptr<QVLAppDelegate> weak = weak_from_this();
    qv::after(qv::seconds(1.0), qv::mainQueue(), [weak] {
      auto self = weak.lock();
      if (!self) return;
      const auto present = self->serialPortController_->devices();
      if (present.empty()) {
        self->setIsConnecting(false);  // unplugged meanwhile: nothing to connect
        return;
      }
      self->connectToDevice(present.front(), self->standardCompletion(present.front()));
    });
  }

  // 6. Intermediate files left by earlier runs.
  std::shared_ptr<QVLCleanUpHook> cleanUp;
  {
    std::lock_guard lock(mutex_);
    cleanUp = cleanUpHook_;
  }
  if (cleanUp) cleanUp->removeIntermediateFiles();

  // 7. Crash reporting, when enabled.
  if (settings_.boolForKey("EnableCrashReporting")) {
    setUpCrashReporting(options.crashFolder.empty() ? QVLCrashReporter::defaultFolder() : options.crashFolder);
  }

  // 11. The banner.
  QVLStartupBanner::log(environment_.shortVersion, environment_.buildVersion);

  // 12. A file handed over at launch.
  const std::string path = modelToDisplayOnStartup();
  if (!path.empty()) {
    if (auto host = screenHost()) {
      host->openScanWithFilePath(path);
    } else {
      QVLogInfo("Request to open file: %s (there are no screens to show it yet)", path.c_str());
    }
  }
}

void QVLAppDelegate::showHudScreen() {
  if (auto host = screenHost()) {
    host->showHudScreen();  // which consumes the update check
  } else {
    runStartupUpdateCheckIfDue();
  }
}

void QVLAppDelegate::setUpCrashReporting(const fs::path& folder) {
  if (!QVLCrashReporter::install(folder, environment_.shortVersion + " (" + environment_.buildVersion + ")")) {
    QVLogWarn("Crash reporting could not be set up in %s", folder.c_str());
    return;
  }
  const auto crashes = QVLCrashReporter::pendingCrashes(folder);
  if (crashes.empty()) return;
  // The log of the run that crashed is still among the log files: it is attached now.
  std::weak_ptr<QVLAppDelegate> weak = weak_from_this();
  applicationLogForCrashManager([weak, crashes](std::string logText) {
    std::vector<fs::path> reports;
    for (const auto& crash : crashes) {
      const fs::path report = QVLCrashReporter::makeReport(crash, logText);
      if (!report.empty()) reports.push_back(report);
    }
    qv::mainQueue()->async([weak, reports] {
      auto self = weak.lock();
      if (!self) return;
      auto host = self->screenHost();
      for (const auto& report : reports) {
        QVLogInfo("A report of an earlier crash is waiting: %s", report.c_str());
        {
          std::lock_guard lock(self->mutex_);
          self->crashReportsOffered_.push_back(report);
        }
        if (host) host->offerCrashReport(report);
      }
    });
  });
}

std::vector<fs::path> QVLAppDelegate::crashReportsOffered() const {
  std::lock_guard lock(mutex_);
  return crashReportsOffered_;
}
