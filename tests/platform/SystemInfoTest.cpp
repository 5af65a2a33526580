// The start-up banner's model name on machines whose firmware names no product.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/SystemInfo.h"
#include "support/TempFolder.h"

namespace {

void put(const std::filesystem::path& file, const std::string& text) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

}  // namespace

TEST(SystemInfo, TheModelFallsBackToTheBoardTheChassisTheDeviceTreeThenUnknown) {
  qv::test::TempFolder root;
  const auto dmi = root.path() / "sys/class/dmi/id";
  EXPECT_EQ(qv::systemInfo::modelUnder(root.path()), "unknown");

  put(root.path() / "proc/device-tree/model", std::string("Raspberry Pi 4 Model B Rev 1.4") + '\0');
  EXPECT_EQ(qv::systemInfo::modelUnder(root.path()), "Raspberry Pi 4 Model B Rev 1.4");

  put(dmi / "chassis_vendor", "QEMU\n");
  put(dmi / "chassis_version", "pc-q35-7.2\n");
  EXPECT_EQ(qv::systemInfo::modelUnder(root.path()), "QEMU pc-q35-7.2");

  put(dmi / "board_vendor", "To be filled by O.E.M.\n");
  put(dmi / "board_name", "B450M PRO4\n");
  EXPECT_EQ(qv::systemInfo::modelUnder(root.path()), "B450M PRO4") << "a placeholder vendor is left out";

  put(dmi / "product_name", "Default string\n");
  EXPECT_EQ(qv::systemInfo::modelUnder(root.path()), "B450M PRO4") << "a placeholder product is no name";
  put(dmi / "sys_vendor", "LENOVO\n");
  put(dmi / "product_name", "20XW00FGGE\n");
  EXPECT_EQ(qv::systemInfo::modelUnder(root.path()), "LENOVO 20XW00FGGE");

  EXPECT_FALSE(qv::systemInfo::model().empty());
}
