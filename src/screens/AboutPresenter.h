// The About window's text and its acknowledgements document.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace qv::screens {

// "Version <short> (<build>)".
std::string aboutVersionText(const std::string& shortVersion, const std::string& buildVersion);

// The acknowledgements: copied once, read-only, from the resources into the library folder, then
// opened. Answers the path opened, or nothing (logged) when the copy failed and nothing is there.
std::optional<std::filesystem::path> openCredits(const std::filesystem::path& libraryFolder,
                                                 const std::optional<std::filesystem::path>& creditsResource,
                                                 const std::function<void(const std::filesystem::path&)>& open);

}  // namespace qv::screens
