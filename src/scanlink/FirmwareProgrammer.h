// Where the firmware programmer (avrdude) and its configuration are found, and the argument vector
// that writes a firmware image into the scanner's boot loader.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qv {

class Settings;

struct FirmwareProgrammer {
  // Debian's programmer and configuration file.
  std::filesystem::path avrdude = "/usr/bin/avrdude";
  std::filesystem::path configuration = "/etc/avrdude.conf";
  // An installed Arduino IDE, whose own programmer is used when the user asks for it.
  std::filesystem::path arduinoFolder = "/usr/share/arduino";

  // Settings that override the three paths (absent: the defaults above).
  static constexpr const char* kAvrDudePathKey = "AvrDudePath";
  static constexpr const char* kAvrDudeConfigurationPathKey = "AvrDudeConfigurationPath";
  static constexpr const char* kArduinoApplicationPathKey = "ArduinoApplicationPath";

  static FirmwareProgrammer fromSettings(const Settings& settings);

  // The programmer inside the Arduino IDE's folder.
  std::filesystem::path arduinoAvrDude() const { return arduinoFolder / "hardware/tools/avr/bin/avrdude"; }

  // The full argument vector, programmer first: very verbose, 115200 baud, an ATmega32U4 behind
  // the AVR109 boot loader on `port`, writing `hexFile` as Intel hex. Each path is one argument,
  // whatever characters it holds.
  static std::vector<std::string> arguments(const std::string& programmer, const std::string& configuration,
                                            const std::string& port, const std::string& hexFile);
};

}  // namespace qv
