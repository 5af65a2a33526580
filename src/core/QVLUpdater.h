// The software updater: reads the appcast from the feed address in the settings and tells the
// screens when a newer version is offered. With no feed address (the default) it never makes a
// request.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/QVLAppcast.h"
#include "platform/Error.h"
#include "platform/Settings.h"

// The updater's delegate hooks (the application delegate implements them).
class QVLUpdaterDelegate {
public:
  virtual ~QVLUpdaterDelegate() = default;
  // Key/value parameters appended to the feed request when the system profile is sent.
  virtual std::vector<std::pair<std::string, std::string>> feedParametersForUpdater(bool sendingSystemProfile) = 0;
  // The index of the item to offer, or nothing.
  virtual std::optional<std::size_t> bestValidUpdateInAppcast(const std::vector<QVLAppcastItem>& items) = 0;
};

class QVLUpdater : public std::enable_shared_from_this<QVLUpdater> {
public:
  // The setting holding the feed address ("https://…/appcast.xml"); empty or absent: no checks.
  static constexpr const char* kFeedURLKey = "UpdateFeedURL";

  // Fetches a URL's body; nothing (and `error`) on failure. The default uses libcurl.
  using Fetcher = std::function<std::optional<std::string>(const std::string& url, qv::Error* error)>;
  // Told the outcome of a check on the main queue: the offered item, or nothing (with the error
  // when the check failed).
  using Outcome = std::function<void(const std::optional<QVLAppcastItem>& item, const qv::Error* error)>;

  // `installedVersion` is the running build's version string, compared by integer value.
  QVLUpdater(qv::Settings& settings, std::string installedVersion, Fetcher fetcher = {});

  void setDelegate(QVLUpdaterDelegate* delegate) { delegate_ = delegate; }
  void setSendsSystemProfile(bool sends) { sendsSystemProfile_ = sends; }
  bool sendsSystemProfile() const { return sendsSystemProfile_; }

  // The feed address with the profile parameters when they are sent; empty when none is set.
  std::string feedRequestURL() const;

  // Starts a check on a background queue; the outcome arrives on the main queue. Answers false
  // (and starts nothing) when no feed address is set.
  bool checkForUpdates(Outcome outcome);

  // The default fetcher: a GET over http or https with time limits, following redirects.
  static std::optional<std::string> fetchWithCurl(const std::string& url, qv::Error* error);

private:
  qv::Settings& settings_;
  const std::string installedVersion_;
  Fetcher fetcher_;
  QVLUpdaterDelegate* delegate_ = nullptr;
  std::atomic<bool> sendsSystemProfile_{false};
};
