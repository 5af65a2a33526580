// Writes one message to the system log and one line to standard error.
#include "formats/internal/SystemLog.h"

#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/Format.h"

namespace qv {

namespace {
std::atomic<bool> enabled{true};
}

void setSystemLogEnabled(bool on) { enabled = on; }

void systemLog(const char* fmt, ...) {
  if (!enabled) return;
  std::va_list args;
  va_start(args, fmt);
  const std::string message = vformat(fmt, args);
  va_end(args);
  ::syslog(LOG_NOTICE, "%s", message.c_str());
  // One write per message, so that lines of different threads do not interleave.
  const std::string line = "Quorvel[" + std::to_string(::getpid()) + "] " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace qv
