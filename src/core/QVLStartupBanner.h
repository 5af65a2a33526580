// The lines logged at every launch: version, machine, model, OS and memory.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace QVLStartupBanner {

// "Version: 2.10.305" from "2.10" and "305": each part as written.
std::string versionLine(const std::string& shortVersion, const std::string& buildVersion);

// The seven banner lines, framed by 46 hyphens.
std::vector<std::string> lines(const std::string& shortVersion, const std::string& buildVersion,
                               const std::string& machine, const std::string& model,
                               const std::string& osVersion, const std::optional<std::string>& memory);

// The banner of this computer, logged at the informational level.
void log(const std::string& shortVersion, const std::string& buildVersion);

}  // namespace QVLStartupBanner
