// A log-file sink that starts a new file once the current one reaches a given age (or on request)
// and keeps only the newest few files.
#pragma once

#include <spdlog/details/file_helper.h>
#include <spdlog/sinks/base_sink.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Clock.h"

namespace qv::log {

class RollingFileSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
  // Continues the newest file of the folder when it is younger than the rolling frequency.
  RollingFileSink(std::filesystem::path folder, std::string prefix, Duration rollingFrequency,
                  std::size_t maximumFiles);

  void roll();
  std::vector<std::filesystem::path> sortedLogFilePaths();  // newest first
  std::filesystem::path currentPath();

protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override;

private:
  void openNewFile();
  void rollLocked();
  std::vector<std::filesystem::path> listFiles() const;  // newest first
  void deleteOldFiles();

  const std::filesystem::path folder_;
  const std::string prefix_;
  const Duration rollingFrequency_;
  const std::size_t maximumFiles_;
  spdlog::details::file_helper file_;
  std::filesystem::path currentPath_;
  TimePoint openedAt_{};
};

}  // namespace qv::log
