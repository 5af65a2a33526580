// The rolling log-file sink. File names carry their creation time ("Quorvel 2026-12-08--20-10-00-123.log"),
// so that sorting the names sorts the files by age.
#include "platform/RollingFileSink.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <iomanip>
#include <optional>
#include <sstream>

#include "platform/Format.h"

namespace qv::log {

namespace fs = std::filesystem;

namespace {

std::string timestampForName(std::chrono::system_clock::time_point t) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
  std::tm tm{};
  localtime_r(&seconds, &tm);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d--%H-%M-%S", &tm);
  return format("%s-%03lld", text, static_cast<long long>(ms));
}

// The creation time encoded in a file name, or nothing when the name is not one of ours.
std::optional<std::chrono::system_clock::time_point> timeFromName(const std::string& name,
                                                                   const std::string& prefix) {
  if (name.size() < prefix.size() + 1 + 23 + 4 || name.compare(0, prefix.size() + 1, prefix + " ") != 0)
    return std::nullopt;
  std::tm tm{};
  std::istringstream in(name.substr(prefix.size() + 1, 20));
  in >> std::get_time(&tm, "%Y-%m-%d--%H-%M-%S");
  if (in.fail()) return std::nullopt;
  tm.tm_isdst = -1;
  const std::time_t seconds = std::mktime(&tm);
  if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
  return std::chrono::system_clock::from_time_t(seconds);
}

}  // namespace

RollingFileSink::RollingFileSink(fs::path folder, std::string prefix, Duration rollingFrequency,
                                 std::size_t maximumFiles)
    : folder_(std::move(folder)), prefix_(std::move(prefix)), rollingFrequency_(rollingFrequency),
      maximumFiles_(std::max<std::size_t>(1, maximumFiles)) {
  std::error_code ec;
  fs::create_directories(folder_, ec);
  const auto files = listFiles();
  if (!files.empty()) {
    if (auto created = timeFromName(files.front().filename().string(), prefix_)) {
      const auto age = std::chrono::system_clock::now() - *created;
      if (age >= std::chrono::system_clock::duration::zero() && age < rollingFrequency_) {
        currentPath_ = files.front();
        file_.open(currentPath_.string(), false);
        openedAt_ = now() - std::chrono::duration_cast<Duration>(age);
        return;
      }
    }
  }
  openNewFile();
}

std::vector<fs::path> RollingFileSink::listFiles() const {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder_, ec)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file(ec) && name.ends_with(".log") && timeFromName(name, prefix_))
      files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end(), std::greater<>());
  return files;
}

void RollingFileSink::openNewFile() {
  std::string base = prefix_ + " " + timestampForName(std::chrono::system_clock::now());
  // Rolls within one millisecond get a suffix above every one of that millisecond, so that the
  // names still sort in order of creation (even after the oldest of them were deleted).
  int highest = -1;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder_, ec)) {
    const std::string name = entry.path().filename().string();
    if (name == base + ".log") highest = std::max(highest, 0);
    else if (name.size() == base.size() + 8 && name.compare(0, base.size() + 1, base + "_") == 0)
      highest = std::max(highest, std::atoi(name.c_str() + base.size() + 1));
  }
  const fs::path path = highest < 0 ? folder_ / (base + ".log")
                                    : folder_ / format("%s_%03d.log", base.c_str(), highest + 1);
  currentPath_ = path;
  file_.open(currentPath_.string(), false);
  openedAt_ = now();
  deleteOldFiles();
}

void RollingFileSink::deleteOldFiles() {
  const auto files = listFiles();
  for (std::size_t i = maximumFiles_; i < files.size(); ++i) {
    std::error_code ec;
    fs::remove(files[i], ec);
  }
}

void RollingFileSink::rollLocked() {
  file_.close();
  openNewFile();
}

void RollingFileSink::roll() {
  std::lock_guard lock(mutex_);
  rollLocked();
}

std::vector<fs::path> RollingFileSink::sortedLogFilePaths() {
  std::lock_guard lock(mutex_);
  return listFiles();
}

fs::path RollingFileSink::currentPath() {
  std::lock_guard lock(mutex_);
  return currentPath_;
}

void RollingFileSink::sink_it_(const spdlog::details::log_msg& msg) {
  if (now() - openedAt_ >= rollingFrequency_) rollLocked();
  spdlog::memory_buf_t formatted;
  formatter_->format(msg, formatted);
  file_.write(formatted);
  // Flushed line by line: the tail of the log must survive a crash.
  file_.flush();
}

void RollingFileSink::flush_() { file_.flush(); }

}  // namespace qv::log
