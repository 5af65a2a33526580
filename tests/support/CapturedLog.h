// The log sent to a folder of the test's own (and nowhere else: no console, no system log) while
// a `CapturedLog` lives, and read back as one text.
#pragma once

#include <filesystem>
#include <string>

#include "support/TempFolder.h"

namespace qv::test {

class CapturedLog {
public:
  CapturedLog();
  ~CapturedLog();
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  const std::filesystem::path& folder() const { return folder_.path(); }
  // Every log file, oldest first, so that the text reads in the order it was logged.
  std::string text() const;
  bool contains(const std::string& fragment) const { return text().find(fragment) != std::string::npos; }

private:
  TempFolder folder_;
};

}  // namespace qv::test
