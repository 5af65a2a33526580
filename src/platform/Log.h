// The one leveled logger of the process: a daily-rolled file, the console and the system log.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/Clock.h"

namespace qv::log {

enum class Level { Error = 0, Warning = 1, Info = 2, Debug = 3, Verbose = 4 };

struct Setup {
  std::filesystem::path logFolder;             // empty: no log file
  bool console = true;
  bool systemLog = true;
  Duration rollingFrequency = seconds(86400);  // a log file is closed once it is this old
  std::size_t maximumNumberOfLogFiles = 7;     // older files are deleted as new ones begin
  std::string fileNamePrefix = "Quorvel";
};

// Replaces the sinks with those of `setup`. Before the first call messages go to the console.
void setup(const Setup& setup);
// Drops every sink but the console (tests, shutdown).
void reset();

// Messages above the threshold are dropped before they are formatted. The default lets errors,
// warnings and informational messages through.
void setThreshold(Level level);
Level threshold();
inline bool enabled(Level level) { return static_cast<int>(level) <= static_cast<int>(threshold()); }

void write(Level level, const char* file, const char* function, int line, const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));

// The file sink's log files, newest first; empty when there is no log file.
std::vector<std::filesystem::path> sortedLogFilePaths();
// Closes the current log file and starts a new one, then calls the completion on a worker thread
// (never on the calling thread, so a caller may wait for it).
void rollLogFile(std::function<void()> completion);

}  // namespace qv::log

#define QVLOG_AT(level, ...)                                                  \
  do {                                                                        \
    if (::qv::log::enabled(level))                                            \
      ::qv::log::write(level, __FILE__, __func__, __LINE__, __VA_ARGS__);     \
  } while (0)

#define QVLogError(...) QVLOG_AT(::qv::log::Level::Error, __VA_ARGS__)
#define QVLogWarn(...) QVLOG_AT(::qv::log::Level::Warning, __VA_ARGS__)
#define QVLogInfo(...) QVLOG_AT(::qv::log::Level::Info, __VA_ARGS__)
#define QVLogDebug(...) QVLOG_AT(::qv::log::Level::Debug, __VA_ARGS__)
#define QVLogVerbose(...) QVLOG_AT(::qv::log::Level::Verbose, __VA_ARGS__)
