// Keeping the display awake while the camera runs: the freedesktop screensaver's inhibit call on
// the session bus, or nothing (logged) where there is no session bus.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace qv {

class DisplaySleepInhibitor {
public:
  virtual ~DisplaySleepInhibitor() = default;
  // Holds the display awake; answers the assertion's identifier, 0 when none could be had.
  virtual std::uint32_t inhibit(const std::string& reason) = 0;
  // Lets the display sleep again; 0 does nothing.
  virtual void release(std::uint32_t assertionID) = 0;
};

// org.freedesktop.ScreenSaver.Inhibit on the user's session bus. The screensaver drops an
// inhibition when its caller leaves the bus, so the connection is kept for as long as one is held.
class ScreenSaverInhibitor final : public DisplaySleepInhibitor {
public:
  // The application name the screensaver shows beside the reason.
  explicit ScreenSaverInhibitor(std::string applicationName = "Quorvel");
  ~ScreenSaverInhibitor() override;

  std::uint32_t inhibit(const std::string& reason) override;
  void release(std::uint32_t assertionID) override;

  static std::shared_ptr<ScreenSaverInhibitor> shared();

private:
  struct Bus;
  const std::string applicationName_;
  std::mutex mutex_;
  std::unique_ptr<Bus> bus_;
  int held_ = 0;
};

}  // namespace qv
