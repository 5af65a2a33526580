// The firmware check: finding the image among the resources, reading versions from its name and
// from banners, the update decision (no image: no update, and a warning), and handing the image
// to the device's programmer.
#include <dirent.h>
#include <sys/stat.h>

#include <functional>

#include "ScancmdTestSupport.h"
#include "scancmd/QVLIErrors.h"
#include "scancmd/QVLIFirmware.h"
#include "scancmd/QVLIInterpreter.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;

QVLIVersionNumber v(std::int64_t major, std::int64_t minor, std::int64_t patch) { return {major, minor, patch}; }

TEST(VersionText, ThreeItemsEachByItsLeadingInteger) {
  EXPECT_EQ(QVLIFirmware::stringToVersion("1.7.0"), v(1, 7, 0));
  EXPECT_EQ(QVLIFirmware::stringToVersion("1.7.0-rc"), v(1, 7, 0));
  EXPECT_EQ(QVLIFirmware::stringToVersion("2.0.1.cpp.hex"), v(2, 0, 1));
  EXPECT_EQ(QVLIFirmware::stringToVersion(" 1.x.-2"), v(1, 0, -2));
  // Fewer than three items: the version is unknown rather than a guess.
  EXPECT_FALSE(QVLIFirmware::stringToVersion("2"));
  EXPECT_FALSE(QVLIFirmware::stringToVersion("1.7"));
  EXPECT_FALSE(QVLIFirmware::stringToVersion(""));

  EXPECT_EQ(QVLIFirmware::getInstalledFirmwareVersionFromDeviceResponse("Quorvel Firmware v1.7.0"), v(1, 7, 0));
  // The last "v" counts, so an earlier one in the name is skipped.
  EXPECT_EQ(QVLIFirmware::getInstalledFirmwareVersionFromDeviceResponse("Quorvix Firmware vv1.6.1"), v(1, 6, 1));
  EXPECT_FALSE(QVLIFirmware::getInstalledFirmwareVersionFromDeviceResponse("Quorvel Firmware v2"));
  EXPECT_FALSE(QVLIFirmware::getInstalledFirmwareVersionFromDeviceResponse("no version at all"));
}

TEST(VersionCompare, EqualityAndTheMajorMinorOrder) {
  EXPECT_TRUE(QVLIFirmware::isFirmwareVersionEqualTo(v(1, 7, 0), v(1, 7, 0)));
  EXPECT_FALSE(QVLIFirmware::isFirmwareVersionEqualTo(v(1, 7, 0), v(1, 7, 1)));
  EXPECT_FALSE(QVLIFirmware::isFirmwareVersionGraterThan(v(1, 7, 5), v(1, 7, 0)));  // patch not compared
  EXPECT_TRUE(QVLIFirmware::isFirmwareVersionGraterThan(v(2, 0, 0), v(1, 9, 9)));
  EXPECT_TRUE(QVLIFirmware::isFirmwareVersionGraterThan(v(1, 8, 0), v(1, 7, 9)));
  EXPECT_FALSE(QVLIFirmware::isFirmwareVersionGraterThan(v(1, 7, 0), v(2, 0, 0)));

  CapturedLog log;
  QVLIFirmware firmware;
  EXPECT_TRUE(firmware.isFirmwareVersionValid(v(1, 0, 0)));
  EXPECT_FALSE(firmware.isFirmwareVersionValid(v(0, 9, 0)));
  EXPECT_FALSE(firmware.isFirmwareVersionValid(v(1, -1, 0)));
  EXPECT_TRUE(log.contains("The firmware version 0.9.0 is not valid"));
}

class FirmwareCheckTest : public ::testing::Test {
protected:
  ResourceFolderScope resources_;
  CapturedLog log_;
};

TEST_F(FirmwareCheckTest, ImageInASubFolderIsFoundAndTheWalksFirstWins) {
  EXPECT_FALSE(QVLIFirmware::firmwareFilePath());
  resources_.addImage("README.txt.hex");  // not an image
  fs::create_directories(resources_.path() / "Firmware_9.9.9.cpp.hex");  // a folder, not an image
  EXPECT_FALSE(QVLIFirmware::firmwareFilePath());

  const auto nested = resources_.addImage("firmware/nested/Firmware_1.7.0.cpp.hex");
  EXPECT_EQ(QVLIFirmware::firmwareFilePath(), nested.string());
  EXPECT_EQ(QVLIFirmware::latestFirmwareVersionAvailable(), v(1, 7, 0));

  resources_.addImage("Firmware_2.0.0.cpp.hex");
  // Whichever the file system lists first, the answer is that one, every time: the oracle asks
  // the directory itself (readdir's order), depth first, as a plain C walk would.
  std::function<std::optional<std::string>(const std::string&)> firstImage = [&](const std::string& folder) {
    std::optional<std::string> found;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return found;
    while (!found) {
      const dirent* entry = ::readdir(dir);
      if (!entry) break;
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string path = folder + "/" + name;
      struct stat st {};
      ::stat(path.c_str(), &st);
      if (S_ISDIR(st.st_mode)) found = firstImage(path);
      else if (S_ISREG(st.st_mode) && name.size() > 8 && name.compare(name.size() - 8, 8, ".cpp.hex") == 0) found = path;
    }
    ::closedir(dir);
    return found;
  };
  const auto first = firstImage(resources_.path().string());
  ASSERT_TRUE(first);
  EXPECT_EQ(QVLIFirmware::firmwareFilePath(), first);
  EXPECT_EQ(QVLIFirmware::firmwareFilePath(), first);
}

TEST_F(FirmwareCheckTest, UpdateWheneverTheBannerDiffersFromTheImageOlderOrNewer) {
  resources_.addImage("Firmware_1.7.0.cpp.hex");
  EXPECT_FALSE(QVLIFirmware::shouldUpdateFirmwareBasedOnDeviceResponse("Quorvel Firmware v1.7.0"));
  EXPECT_TRUE(log_.contains("The latest firmware version available is 1.7.0; the version installed is 1.7.0"));
  EXPECT_TRUE(log_.contains("The firmware is up-to-date"));
  EXPECT_TRUE(QVLIFirmware::shouldUpdateFirmwareBasedOnDeviceResponse("Quorvix Firmware v1.6.1"));
  EXPECT_TRUE(QVLIFirmware::shouldUpdateFirmwareBasedOnDeviceResponse("Quorvel Firmware v1.7.1"));
  EXPECT_TRUE(log_.contains("THE FIRMWARE SHOULD BE UPDATED !!!"));
  // A banner whose version cannot be read is not the image's version: the image is installed.
  EXPECT_TRUE(QVLIFirmware::shouldUpdateFirmwareBasedOnDeviceResponse("Quorvel Firmware v2"));
}

TEST_F(FirmwareCheckTest, NoImageMeansNoUpdateAndAWarning) {
  EXPECT_FALSE(QVLIFirmware::latestFirmwareVersionAvailable());
  EXPECT_FALSE(QVLIFirmware::shouldUpdateFirmwareBasedOnDeviceResponse("Quorvel Firmware v1.7.0"));
  EXPECT_FALSE(QVLIFirmware::shouldUpdateFirmwareBasedOnDeviceResponse("Quorvel Firmware v1.5.0"));
  const std::string text = log_.text();
  EXPECT_NE(text.find(" W "), std::string::npos) << text;
  EXPECT_NE(text.find("No firmware image"), std::string::npos);
  EXPECT_EQ(text.find("THE FIRMWARE SHOULD BE UPDATED"), std::string::npos);

  // An image whose name carries no version says nothing of what it would install.
  resources_.addImage("Scanner.cpp.hex");
  EXPECT_FALSE(QVLIFirmware::shouldUpdateFirmwareBasedOnDeviceResponse("Quorvel Firmware v1.6.1"));
  EXPECT_TRUE(log_.contains("carries no readable version"));
}

TEST_F(FirmwareCheckTest, OnlyTheImagesOwnNameCarriesItsVersion) {
  resources_.addImage("Firmware_1.6.1/Scanner_Firmware_1.7.0.cpp.hex");
  EXPECT_EQ(QVLIFirmware::latestFirmwareVersionAvailable(), v(1, 7, 0));
}

TEST_F(FirmwareCheckTest, UpdateHandsTheImageAndTheFlagToTheDeviceOrReportsWhyNot) {
  auto device = std::make_shared<FakeDevice>();
  auto interpreter = QVLIInterpreter::createWithDevice(device);
  int calls = 0;
  std::optional<Error> error;
  bool success = true;
  auto completion = [&](bool ok, const std::optional<Error>& e) {
    ++calls;
    success = ok;
    error = e;
  };

  // No image: the device is never reached, and the caller still hears the end.
  interpreter->updateFirmwareUsingArduinoAvrdude(true, completion);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(success);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, kInterpreterErrorDomain);
  EXPECT_EQ(error->code, QVLIErrorNoFirmwareImage);
  EXPECT_TRUE(device->firmwareCalls.empty());
  EXPECT_TRUE(device->lines.empty());

  const auto image = resources_.addImage("Firmware_1.7.0.cpp.hex");
  interpreter->updateFirmwareUsingArduinoAvrdude(true, completion);
  interpreter->updateFirmwareUsingArduinoAvrdude(false, completion);
  EXPECT_EQ(calls, 3);
  EXPECT_TRUE(success);
  ASSERT_EQ(device->firmwareCalls.size(), 2u);
  EXPECT_EQ(device->firmwareCalls[0].path, image.string());
  EXPECT_TRUE(device->firmwareCalls[0].arduino);
  EXPECT_FALSE(device->firmwareCalls[1].arduino);
  EXPECT_TRUE(device->lines.empty());  // flashing writes no command line
  EXPECT_EQ(interpreter->operationState(), QVLIOperationStateNone);

  auto orphan = QVLIInterpreter::createWithDevice(nullptr);
  orphan->updateFirmwareUsingArduinoAvrdude(false, completion);
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(error->code, QVLIErrorNoDevice);
}

}  // namespace
}  // namespace qv::test
