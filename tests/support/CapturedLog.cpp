#include "support/CapturedLog.h"

#include <fstream>
#include <sstream>

#include "platform/Log.h"

namespace qv::test {

CapturedLog::CapturedLog() {
  log::Setup setup;
  setup.logFolder = folder_.path();
  setup.console = false;
  setup.systemLog = false;
  log::setup(setup);
}

CapturedLog::~CapturedLog() { log::reset(); }

std::string CapturedLog::text() const {
  const auto files = log::sortedLogFilePaths();  // newest first
  std::string all;
  for (auto file = files.rbegin(); file != files.rend(); ++file) {
    std::ifstream in(*file);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    all += buffer.str();
  }
  return all;
}

}  // namespace qv::test
