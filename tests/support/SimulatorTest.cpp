// The simulator fixture, and the private settings folder of every program that uses it.
#include "support/SimulatorTest.h"

#include <stdlib.h>

#include <cstdlib>

namespace qv::test {

namespace {

// Settings are read from a folder of the test program's own, never the user's.
const bool kPrivateSettings = [] {
  static TempFolder* config = new TempFolder;
  ::setenv("XDG_CONFIG_HOME", config->path().c_str(), 1);
  std::atexit([] { delete config; });
  return true;
}();

}  // namespace

SimulatorTest::SimulatorTest() : source_(std::make_shared<SimulatorPortSource>(folder_.path())) {
  (void)kPrivateSettings;  // keeps this file, and so the settings folder, in every program using the fixture
  SerialPortSource::registerForLookup(source_);
}

std::unique_ptr<sim::SerialPeer> SimulatorTest::plugIn(const std::string& name) {
  return sim::SerialPeer::plugIn({folder_.path(), name});
}

}  // namespace qv::test
