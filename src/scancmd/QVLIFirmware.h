// The firmware check: where the firmware image is, which versions the image and the scanner carry,
// and whether the scanner's firmware should be replaced.
#pragma once

#include <optional>
#include <string>

#include "scancmd/QVLIVersionNumber.h"

// No state: the useful operations are class operations. They read only the resource folder.
class QVLIFirmware {
public:
  // The firmware image: the first file the walk of the resource folder (recursive, in the order
  // the file system lists it) meets whose name ends ".cpp.hex", joined to the folder's path.
  // Nothing when there is none.
  static std::optional<std::string> firmwareFilePath();

  // The version in the image's name, the text after its first "Firmware_". Nothing when there is
  // no image or its name carries no readable version.
  static std::optional<QVLIVersionNumber> latestFirmwareVersionAvailable();

  // The version of a firmware banner, the text after its last "v". Nothing when it is unreadable.
  static std::optional<QVLIVersionNumber> getInstalledFirmwareVersionFromDeviceResponse(const std::string& banner);

  // True when the installed version differs from the image's, older or newer, or could not be
  // read. With no image (or none whose version can be read) the answer is false and a warning
  // is logged: an update that can never run is not asked for.
  static bool shouldUpdateFirmware(const std::optional<QVLIVersionNumber>& installed);
  static bool shouldUpdateFirmwareBasedOnDeviceResponse(const std::string& banner);

  static bool isFirmwareVersionEqualTo(const QVLIVersionNumber& a, const QVLIVersionNumber& b);
  // Compares major, then minor; the patch is not compared.
  static bool isFirmwareVersionGraterThan(const QVLIVersionNumber& a, const QVLIVersionNumber& b);

  // Items 0, 1 and 2 of the text split at "." become major, minor and patch, each the integer at
  // the start of its item (0 when it has none); further items are ignored ("1.7.0-rc" is 1.7.0).
  // Nothing when the text has fewer than three items.
  static std::optional<QVLIVersionNumber> stringToVersion(const std::string& text);

  // Major at least 1, minor and patch at least 0; otherwise logged as an error.
  bool isFirmwareVersionValid(const QVLIVersionNumber& version) const;
  // The resource "<name>.<type>" (or "<name>" when the type is empty), or the empty text.
  std::string pathForResource(const std::string& name, const std::string& type) const;
};
