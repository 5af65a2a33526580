// Finding the firmware image among the resources and comparing its version with the scanner's.
#include "scancmd/QVLIFirmware.h"

#include <filesystem>
#include <vector>

#include "platform/Log.h"
#include "platform/Paths.h"
#include "scancmd/CommandProtocol.h"

namespace fs = std::filesystem;

namespace {

long asLong(std::int64_t v) { return static_cast<long>(v); }

}  // namespace

std::optional<std::string> QVLIFirmware::firmwareFilePath() {
  const fs::path folder = qv::paths::resourceFolder();
  std::error_code ec;
  fs::recursive_directory_iterator walk(folder, fs::directory_options::skip_permission_denied, ec);
  if (ec) return std::nullopt;
  for (const fs::recursive_directory_iterator end; walk != end; walk.increment(ec)) {
    if (ec) return std::nullopt;
    const fs::directory_entry& entry = *walk;
    if (!entry.path().filename().string().ends_with(".cpp.hex")) continue;
    std::error_code typeError;
    if (!entry.is_regular_file(typeError)) continue;  // a folder so named is no image
    return entry.path().string();
  }
  return std::nullopt;
}

std::optional<QVLIVersionNumber> QVLIFirmware::latestFirmwareVersionAvailable() {
  const auto path = firmwareFilePath();
  if (!path) return std::nullopt;
  // Only the file's own name is read: a folder on the way whose name holds "Firmware_" says
  // nothing of the image.
  const std::string name = fs::path(*path).filename().string();
  const std::size_t at = name.find("Firmware_");
  if (at == std::string::npos) return std::nullopt;
  return stringToVersion(name.substr(at + std::string("Firmware_").size()));
}

std::optional<QVLIVersionNumber> QVLIFirmware::getInstalledFirmwareVersionFromDeviceResponse(
    const std::string& banner) {
  const std::size_t v = banner.rfind('v');
  if (v == std::string::npos) return std::nullopt;
  return stringToVersion(banner.substr(v + 1));
}

bool QVLIFirmware::shouldUpdateFirmware(const std::optional<QVLIVersionNumber>& installed) {
  const auto latest = latestFirmwareVersionAvailable();
  if (!latest) {
    const auto path = firmwareFilePath();
    if (path) {
      QVLogWarn("The firmware image %s carries no readable version after \"Firmware_\": no firmware update is asked for",
                path->c_str());
    } else {
      QVLogWarn("No firmware image (a file ending \".cpp.hex\") is installed in %s: no firmware update is asked for",
                qv::paths::resourceFolder().c_str());
    }
    return false;
  }
  if (!installed) {
    QVLogInfo("The latest firmware version available is %ld.%ld.%ld; the version installed is unknown",
              asLong(latest->major), asLong(latest->minor), asLong(latest->patch));
    return true;
  }
  QVLogInfo("The latest firmware version available is %ld.%ld.%ld; the version installed is %ld.%ld.%ld",
            asLong(latest->major), asLong(latest->minor), asLong(latest->patch), asLong(installed->major),
            asLong(installed->minor), asLong(installed->patch));
  return !isFirmwareVersionEqualTo(*latest, *installed);
}

bool QVLIFirmware::shouldUpdateFirmwareBasedOnDeviceResponse(const std::string& banner) {
  const bool update = shouldUpdateFirmware(getInstalledFirmwareVersionFromDeviceResponse(banner));
  if (update) {
    QVLogInfo("THE FIRMWARE SHOULD BE UPDATED !!!");
  } else {
    QVLogInfo("The firmware is up-to-date");
  }
  return update;
}

bool QVLIFirmware::isFirmwareVersionEqualTo(const QVLIVersionNumber& a, const QVLIVersionNumber& b) {
  return a.major == b.major && a.minor == b.minor && a.patch == b.patch;
}

bool QVLIFirmware::isFirmwareVersionGraterThan(const QVLIVersionNumber& a, const QVLIVersionNumber& b) {
  return a.major > b.major || (a.major == b.major && a.minor > b.minor);
}

std::optional<QVLIVersionNumber> QVLIFirmware::stringToVersion(const std::string& text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = text.find('.', start);
    items.push_back(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (items.size() < 3) return std::nullopt;
  return QVLIVersionNumber{qv::protocol::leadingInteger(items[0]), qv::protocol::leadingInteger(items[1]),
                           qv::protocol::leadingInteger(items[2])};
}

bool QVLIFirmware::isFirmwareVersionValid(const QVLIVersionNumber& version) const {
  if (version.major >= 1 && version.minor >= 0 && version.patch >= 0) return true;
  QVLogError("The firmware version %ld.%ld.%ld is not valid", asLong(version.major), asLong(version.minor),
             asLong(version.patch));
  return false;
}

std::string QVLIFirmware::pathForResource(const std::string& name, const std::string& type) const {
  const auto path = qv::paths::resourcePath(type.empty() ? name : name + "." + type);
  return path ? path->string() : std::string();
}
