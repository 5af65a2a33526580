// The plain console log: a few link messages go straight to standard error, not to the log files.
#pragma once

namespace qv {

void consoleLog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qv
