// The plain system log: a few file messages go to the system log and standard error, not to the
// application's leveled log.
#pragma once

namespace qv {

void systemLog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Turns the messages off (and on again): tools that feed the readers thousands of files a second.
void setSystemLogEnabled(bool enabled);

}  // namespace qv
