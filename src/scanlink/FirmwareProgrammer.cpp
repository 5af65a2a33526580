// The programmer's paths from the settings and its command line.
#include "scanlink/FirmwareProgrammer.h"

#include "platform/Settings.h"

namespace qv {

FirmwareProgrammer FirmwareProgrammer::fromSettings(const Settings& settings) {
  FirmwareProgrammer programmer;
  auto read = [&settings](const char* key, std::filesystem::path& path) {
    if (auto value = settings.stringForKey(key); value && !value->empty()) path = *value;
  };
  read(kAvrDudePathKey, programmer.avrdude);
  read(kAvrDudeConfigurationPathKey, programmer.configuration);
  read(kArduinoApplicationPathKey, programmer.arduinoFolder);
  return programmer;
}

std::vector<std::string> FirmwareProgrammer::arguments(const std::string& programmer,
                                                       const std::string& configuration,
                                                       const std::string& port, const std::string& hexFile) {
  return {programmer, "-C", configuration, "-v", "-v", "-v", "-v", "-b", "115200",
          "-p", "m32u4", "-c", "avr109", "-P", port, "-U", "flash:w:" + hexFile + ":i"};
}

}  // namespace qv
