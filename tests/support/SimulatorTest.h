// A fixture with a simulator folder of the test's own and a port source over it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "scanlink/SimulatorPortSource.h"
#include "sim/serial/SerialPeer.h"
#include "support/TempFolder.h"

namespace qv::test {

// Each test gets its own simulator folder and a port source over it, registered for look-ups, so
// that tests running side by side never see each other's ports (nor the user's). For the whole
// program, settings are read from a folder of its own.
class SimulatorTest : public ::testing::Test {
protected:
  SimulatorTest();
  // Publishes a simulated port in the folder (the first free "ttyACM<n>" when `name` is empty).
  std::unique_ptr<sim::SerialPeer> plugIn(const std::string& name = {});
  const std::filesystem::path& simFolder() const { return folder_.path(); }

  TempFolder folder_;
  std::shared_ptr<SimulatorPortSource> source_;
};

}  // namespace qv::test
