// The start-up banner.
#include "core/QVLStartupBanner.h"

#include "platform/Log.h"
#include "platform/SystemInfo.h"

namespace QVLStartupBanner {

namespace {

const std::string kRule(46, '-');

}  // namespace

std::string versionLine(const std::string& shortVersion, const std::string& buildVersion) {
  // As written: read as a number, "2.10" would print as "2.1", a different version.
  return "Version: " + shortVersion + "." + buildVersion;
}

std::vector<std::string> lines(const std::string& shortVersion, const std::string& buildVersion,
                               const std::string& machine, const std::string& model,
                               const std::string& osVersion, const std::optional<std::string>& memory) {
  return {
      kRule,
      versionLine(shortVersion, buildVersion),
      "Machine: " + machine,
      "  Model: " + model,
      "     OS: " + osVersion,
      " Memory: " + memory.value_or("(null)"),
      kRule,
  };
}

void log(const std::string& shortVersion, const std::string& buildVersion) {
  namespace si = qv::systemInfo;
  for (const auto& line : lines(shortVersion, buildVersion, si::machine(), si::model(), si::osVersion(), si::memory()))
    QVLogInfo("%s", line.c_str());
}

}  // namespace QVLStartupBanner
