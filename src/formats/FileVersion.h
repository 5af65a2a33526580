// The application version as the scan files name it in their headers.
#pragma once

#include <string>
#include <string_view>

namespace qv {

// The leading decimal number of a text printed back in its plain form: "1.10" gives "1.1",
// "2.0" gives "2", "007" gives "7", "1.2.3" gives "1.2" (reading stops where the number does);
// text without a leading number gives "NaN", as a number that cannot be read always printed.
std::string canonicalDecimalText(std::string_view text);

struct FileVersion {
  std::string shortVersion;  // already in canonical form
  std::string build;
};

// The program's own short version and build number, in canonical form.
FileVersion applicationFileVersion();

}  // namespace qv
