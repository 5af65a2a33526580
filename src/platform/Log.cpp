// The process-wide logger on spdlog.
#include "platform/Log.h"

#include <spdlog/logger.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/sinks/syslog_sink.h>
#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/Format.h"
#include "platform/Queue.h"
#include "platform/RollingFileSink.h"

namespace qv::log {

namespace {

std::atomic<int> currentThreshold{static_cast<int>(Level::Info)};

struct State {
  std::mutex mutex;
  std::shared_ptr<spdlog::logger> logger;
  std::shared_ptr<RollingFileSink> fileSink;
};

std::shared_ptr<spdlog::sinks::sink> consoleSink() {
  auto sink = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
  return sink;
}

State& state() {
  static auto* s = [] {
    auto* st = new State;
    st->logger = std::make_shared<spdlog::logger>("quorvel", consoleSink());
    st->logger->set_level(spdlog::level::trace);
    st->logger->set_pattern("%Y-%m-%d %H:%M:%S.%e %^%L%$ %v");
    return st;
  }();
  return *s;
}

spdlog::level::level_enum toSpdlog(Level level) {
  switch (level) {
    case Level::Error: return spdlog::level::err;
    case Level::Warning: return spdlog::level::warn;
    case Level::Info: return spdlog::level::info;
    case Level::Debug: return spdlog::level::debug;
    case Level::Verbose: return spdlog::level::trace;
  }
  return spdlog::level::info;
}

const char* baseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

}  // namespace

void setup(const Setup& setup) {
  std::vector<spdlog::sink_ptr> sinks;
  std::shared_ptr<RollingFileSink> fileSink;
  if (!setup.logFolder.empty()) {
    fileSink = std::make_shared<RollingFileSink>(setup.logFolder, setup.fileNamePrefix,
                                                 setup.rollingFrequency, setup.maximumNumberOfLogFiles);
    sinks.push_back(fileSink);
  }
  if (setup.console) sinks.push_back(consoleSink());
  if (setup.systemLog)
    sinks.push_back(std::make_shared<spdlog::sinks::syslog_sink_mt>("Quorvel", LOG_PID, LOG_USER, false));
  auto logger = std::make_shared<spdlog::logger>("quorvel", sinks.begin(), sinks.end());
  logger->set_level(spdlog::level::trace);
  logger->set_pattern("%Y-%m-%d %H:%M:%S.%e %^%L%$ %v");
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.logger = std::move(logger);
  s.fileSink = std::move(fileSink);
}

void reset() { setup(Setup{.logFolder = {}, .console = true, .systemLog = false}); }

void setThreshold(Level level) { currentThreshold.store(static_cast<int>(level)); }
Level threshold() { return static_cast<Level>(currentThreshold.load()); }

void write(Level level, const char* file, const char* function, int line, const char* fmt, ...) {
  if (!enabled(level)) return;
  std::va_list args;
  va_start(args, fmt);
  std::string message = vformat(fmt, args);
  va_end(args);
  std::shared_ptr<spdlog::logger> logger;
  {
    State& s = state();
    std::lock_guard lock(s.mutex);
    logger = s.logger;
  }
  logger->log(toSpdlog(level), "{}:{} {}: {}", baseName(file), line, function, message);
}

std::vector<std::filesystem::path> sortedLogFilePaths() {
  State& s = state();
  std::shared_ptr<RollingFileSink> sink;
  {
    std::lock_guard lock(s.mutex);
    sink = s.fileSink;
  }
  return sink ? sink->sortedLogFilePaths() : std::vector<std::filesystem::path>{};
}

void rollLogFile(std::function<void()> completion) {
  State& s = state();
  std::shared_ptr<RollingFileSink> sink;
  {
    std::lock_guard lock(s.mutex);
    sink = s.fileSink;
  }
  globalQueue(QueuePriority::Default)->async([sink, completion = std::move(completion)] {
    if (sink) sink->roll();
    if (completion) completion();
  });
}

}  // namespace qv::log
