// Writes one message line to standard error, as the connection messages always went to the console.
#include "scanlink/internal/ConsoleLog.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/Format.h"

namespace qv {

void consoleLog(const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  std::string line = "Quorvel[" + std::to_string(::getpid()) + "] " + vformat(fmt, args) + "\n";
  va_end(args);
  // One write per message, so that lines of different threads do not interleave.
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace qv
