// The update check: the feed request, its parameters, and the decision whether to offer an item.
#include "core/QVLUpdater.h"

#include <curl/curl.h>

#include <mutex>

#include "platform/Log.h"
#include "platform/Queue.h"

namespace {

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* body) {
  auto& text = *static_cast<std::string*>(body);
  // A feed is a few kilobytes; a runaway answer is cut off rather than read into memory.
  constexpr std::size_t kLimit = 8u << 20;
  if (text.size() + size * count > kLimit) return 0;
  text.append(data, size * count);
  return size * count;
}

std::string escaped(CURL* curl, const std::string& text) {
  char* escapedText = curl_easy_escape(curl, text.c_str(), static_cast<int>(text.size()));
  std::string result = escapedText ? escapedText : "";
  curl_free(escapedText);
  return result;
}

}  // namespace

QVLUpdater::QVLUpdater(qv::Settings& settings, std::string installedVersion, Fetcher fetcher)
    : settings_(settings), installedVersion_(std::move(installedVersion)),
      fetcher_(fetcher ? std::move(fetcher) : Fetcher(&QVLUpdater::fetchWithCurl)) {}

std::string QVLUpdater::feedRequestURL() const {
  std::string url = settings_.stringForKey(kFeedURLKey).value_or("");
  if (url.empty() || !delegate_) return url;
  const auto parameters = delegate_->feedParametersForUpdater(sendsSystemProfile_);
  if (!sendsSystemProfile_ || parameters.empty()) return url;
  static std::once_flag curlInit;
  std::call_once(curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  CURL* curl = curl_easy_init();
  if (!curl) return url;
  char separator = url.find('?') == std::string::npos ? '?' : '&';
  for (const auto& [key, value] : parameters) {
    url += separator;
    url += escaped(curl, key) + "=" + escaped(curl, value);
    separator = '&';
  }
  curl_easy_cleanup(curl);
  return url;
}

bool QVLUpdater::checkForUpdates(Outcome outcome) {
  const std::string url = feedRequestURL();
  if (url.empty()) {
    QVLogInfo("No update feed is configured (setting \"%s\"): not checking for updates", kFeedURLKey);
    return false;
  }
  qv::globalQueue(qv::QueuePriority::Background)->async([self = shared_from_this(), url, outcome = std::move(outcome)] {
    qv::Error error;
    std::optional<QVLAppcastItem> offered;
    bool failed = false;
    if (const auto body = self->fetcher_(url, &error)) {
      if (const auto items = QVLAppcast::parse(*body, &error)) {
        const auto best = self->delegate_ ? self->delegate_->bestValidUpdateInAppcast(*items)
                                          : QVLAppcast::bestValidUpdate(*items);
        // Only a version newer than the running one is offered.
        if (best && QVLAppcast::integerValue((*items)[*best].versionString) >
                        QVLAppcast::integerValue(self->installedVersion_)) {
          offered = (*items)[*best];
        }
      } else {
        failed = true;
      }
    } else {
      failed = true;
    }
    if (failed) {
      QVLogInfo("The update check failed: %s", error.text().c_str());
    } else if (offered) {
      QVLogInfo("An update is available: %s (%s)", offered->displayVersionString.c_str(), offered->versionString.c_str());
    } else {
      QVLogInfo("Quorvel is up to date");
    }
    qv::mainQueue()->async([outcome, offered, failed, error] {
      if (outcome) outcome(offered, failed ? &error : nullptr);
    });
  });
  return true;
}

std::optional<std::string> QVLUpdater::fetchWithCurl(const std::string& url, qv::Error* error) {
  static std::once_flag curlInit;
  std::call_once(curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  CURL* curl = curl_easy_init();
  if (!curl) {
    if (error) *error = qv::Error(qv::kScanErrorDomain, 130, "The update feed cannot be requested");
    return std::nullopt;
  }
  std::string body;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 15L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "Quorvel");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  const CURLcode code = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  if (code != CURLE_OK) {
    if (error) {
      *error = qv::Error(qv::kScanErrorDomain, 130, std::string("The update feed could not be read: ") + curl_easy_strerror(code));
    }
    return std::nullopt;
  }
  return body;
}
