// Firmware flashing with a fake programmer script that records its arguments: the argument vector
// (hostile paths included), the exit status, a missing programmer, and the programmer settings.
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "ScanlinkTestSupport.h"
#include "platform/Settings.h"
#include "scanlink/QVLCDevice.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;

struct FlashOutcome {
  int calls = 0;
  bool success = false;
  std::optional<Error> error;
  std::thread::id thread;
};

class FirmwareFlashTest : public ::testing::Test {
protected:
  // A programmer that writes each argument, NUL-terminated, into `record` and exits with `status`.
  fs::path writeProgrammer(const fs::path& path, int status) {
    fs::create_directories(path.parent_path());
    std::ofstream script(path);
    script << "#!/bin/sh\n"
           << "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" << record().string() << "'\n"
           << "echo 'programmer says hello' >&2\n"
           << "exit " << status << "\n";
    script.close();
    fs::permissions(path, fs::perms::owner_all);
    return path;
  }
  fs::path record() const { return folder_.path() / "arguments"; }
  std::vector<std::string> recordedArguments() const {
    std::ifstream in(record(), std::ios::binary);
    std::vector<std::string> args;
    std::string arg;
    while (std::getline(in, arg, '\0')) args.push_back(arg);
    return args;
  }
  FlashOutcome flash(QVLCDevice& device, const std::string& hexFile, bool arduino) {
    FlashOutcome outcome;
    device.updateFirmwareFromContentOfFile(hexFile, arduino, [&](bool success, const std::optional<Error>& error) {
      ++outcome.calls;
      outcome.success = success;
      outcome.error = error;
      outcome.thread = std::this_thread::get_id();
    });
    return outcome;
  }

  TempFolder folder_;
};

TEST_F(FirmwareFlashTest, ProgrammerGetsItsArgumentsIntactWhateverThePathsHold) {
  FirmwareProgrammer programmer;
  programmer.avrdude = writeProgrammer(folder_.path() / "bin" / "avrdude", 0);
  programmer.configuration = folder_.path() / "my conf" / "avrdude.conf";
  const std::string port = (folder_.path() / "scanner port $HOME;touch pwned").string();
  const std::string hexFile = (folder_.path() / "Firmware v1.7.0 \"new\".cpp.hex").string();
  auto device = QVLCDevice::createDeviceForPort(port);
  device->setFirmwareProgrammer(programmer);

  const auto outcome = flash(*device, hexFile, false);
  EXPECT_EQ(outcome.calls, 1);  // before the call returned
  EXPECT_TRUE(outcome.success);
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.thread, std::this_thread::get_id());
  EXPECT_EQ(recordedArguments(),
            (std::vector<std::string>{"-C", programmer.configuration.string(), "-v", "-v", "-v", "-v", "-b",
                                      "115200", "-p", "m32u4", "-c", "avr109", "-P", port, "-U",
                                      "flash:w:" + hexFile + ":i"}));
  EXPECT_FALSE(fs::exists("pwned"));
  EXPECT_FALSE(fs::exists(folder_.path() / "pwned"));
}

TEST_F(FirmwareFlashTest, FailingOrMissingProgrammerEndsWithCodeMinusOne) {
  FirmwareProgrammer programmer;
  programmer.avrdude = writeProgrammer(folder_.path() / "avrdude", 3);
  auto device = QVLCDevice::createDeviceForPort("/dev/ttyACM0");
  device->setFirmwareProgrammer(programmer);
  auto outcome = flash(*device, "/tmp/Firmware_1.7.0.cpp.hex", false);
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_FALSE(outcome.success);
  ASSERT_TRUE(outcome.error);
  EXPECT_TRUE(outcome.error->is(kControlErrorDomain, -1));
  EXPECT_TRUE(outcome.error->userInfo.empty());

  programmer.avrdude = folder_.path() / "no-such-avrdude";
  device->setFirmwareProgrammer(programmer);
  outcome = flash(*device, "/tmp/Firmware_1.7.0.cpp.hex", false);
  EXPECT_EQ(outcome.calls, 1);
  ASSERT_TRUE(outcome.error);
  EXPECT_TRUE(outcome.error->is(kControlErrorDomain, -1));
}

TEST_F(FirmwareFlashTest, ArduinoProgrammerMissingEndsWithCode9NamingTheMissingPath) {
  FirmwareProgrammer programmer;
  programmer.avrdude = writeProgrammer(folder_.path() / "debian-avrdude", 0);
  programmer.arduinoFolder = folder_.path() / "arduino-1.8.19";
  auto device = QVLCDevice::createDeviceForPort("/dev/ttyACM0");
  device->setFirmwareProgrammer(programmer);

  auto outcome = flash(*device, "/tmp/f.hex", true);
  EXPECT_EQ(outcome.calls, 1);
  ASSERT_TRUE(outcome.error);
  EXPECT_TRUE(outcome.error->is(kControlErrorDomain, 9));
  EXPECT_EQ(*find(outcome.error->userInfo, Error::kFilePathKey)->string(), programmer.arduinoFolder.string());

  fs::create_directories(programmer.arduinoFolder);
  outcome = flash(*device, "/tmp/f.hex", true);
  ASSERT_TRUE(outcome.error);
  EXPECT_TRUE(outcome.error->is(kControlErrorDomain, 9));
  EXPECT_EQ(*find(outcome.error->userInfo, Error::kFilePathKey)->string(),
            (programmer.arduinoFolder / "hardware/tools/avr/bin/avrdude").string());
  EXPECT_FALSE(fs::exists(record()));  // nothing was run

  writeProgrammer(programmer.arduinoAvrDude(), 0);
  outcome = flash(*device, "/tmp/f.hex", true);
  EXPECT_TRUE(outcome.success);
  EXPECT_TRUE(fs::exists(record()));
}

TEST_F(FirmwareFlashTest, ProgrammerPathsComeFromTheSettingsOrTheDebianDefaults) {
  Settings settings(folder_.path() / "Settings.json");
  const auto defaults = FirmwareProgrammer::fromSettings(settings);
  EXPECT_EQ(defaults.avrdude, "/usr/bin/avrdude");
  EXPECT_EQ(defaults.configuration, "/etc/avrdude.conf");

  settings.setValue(FirmwareProgrammer::kArduinoApplicationPathKey, "/opt/arduino");
  settings.setValue(FirmwareProgrammer::kAvrDudePathKey, "/opt/bin/avrdude");
  const auto chosen = FirmwareProgrammer::fromSettings(settings);
  EXPECT_EQ(chosen.arduinoFolder, "/opt/arduino");
  EXPECT_EQ(chosen.arduinoAvrDude(), "/opt/arduino/hardware/tools/avr/bin/avrdude");
  EXPECT_EQ(chosen.avrdude, "/opt/bin/avrdude");
  EXPECT_EQ(chosen.configuration, "/etc/avrdude.conf");
}

}  // namespace
}  // namespace qv::test
