// The core of a program without the scanner: no scanner is ever attached.
#include "app/CoreLink.h"
#include "platform/Log.h"

namespace qv::app {
namespace {

class StandaloneCore : public CoreLink {
public:
  StandaloneCore(std::string shortVersion, std::string buildVersion)
      : shortVersion_(std::move(shortVersion)), buildVersion_(std::move(buildVersion)) {}

  bool hasDeviceInterpreter() const override { return false; }
  bool isCalibrated() const override { return false; }
  bool isConnecting() const override { return false; }
  std::uint64_t addStateListener(std::function<void()>) override { return 0; }
  void removeStateListener(std::uint64_t) override {}
  qv::screens::GeneralPreferencesDelegate* preferencesDelegate() override { return nullptr; }
  void launch(const ShellLaunchHooks& hooks, const std::string& file) override {
    hooks.showHudScreen();
    hooks.removeIntermediateFiles();
    QVLogInfo("Version: %s.%s (without scanner support)", shortVersion_.c_str(), buildVersion_.c_str());
    if (!file.empty()) hooks.openScanWithFilePath(file);
  }

  int currentAppState() const override { return 1; }
  void setShouldPauseScan(bool) override {}
  void cancelRunningCalibration() override {}
  void cancelRunningScan() override {}

private:
  std::string shortVersion_, buildVersion_;
};

}  // namespace

std::unique_ptr<CoreLink> makeStandaloneCore(std::string shortVersion, std::string buildVersion) {
  return std::make_unique<StandaloneCore>(std::move(shortVersion), std::move(buildVersion));
}

}  // namespace qv::app
