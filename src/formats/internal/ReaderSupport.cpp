// Shared reader helpers.
#include "formats/internal/ReaderSupport.h"

#include <sys/stat.h>

#include "formats/FormatErrors.h"
#include "platform/Log.h"
#include "store/VertexRecords.h"

namespace qv {

Error dataOffsetError(const std::string& path, std::uint64_t offset, const std::string& description, const std::string& detail) {
  Error e = fileError(kInvalidFileError, path, offset, description);
  e.userInfo.erase(kFileOffsetKey);
  e.userInfo[kDataOffsetKey] = static_cast<std::int64_t>(offset);
  if (!detail.empty()) e.description += " (" + detail + " at byte " + std::to_string(offset) + ")";
  return e;
}

namespace {

// Whether the path names a regular file with bytes in it; the error otherwise.
bool checkPath(const std::string& path, struct stat& st, Error* error) {
  if (path.empty()) {
    QVLogError("Unable to parse the file, localFileUrl is nil");
    if (error) *error = Error(kScanErrorDomain, kInvalidParameterError, "No file was given", {{kParameterKey, "localFileUrl"}});
    return false;
  }
  if (::stat(path.c_str(), &st) != 0) {
    QVLogError("Unable to parse the file, localFileUrl does not exist");
    if (error) *error = Error(kScanErrorDomain, kMissingFileError, "There is no file at " + path);
    return false;
  }
  if (!S_ISREG(st.st_mode) || st.st_size == 0) {
    if (error) *error = fileError(kInvalidFileError, path, 0, S_ISREG(st.st_mode) ? "The file is empty" : "The file cannot be read");
    return false;
  }
  return true;
}

}  // namespace

bool checkReaderInput(const std::string& path, Error* error) {
  struct stat st {};
  return checkPath(path, st, error);
}

std::optional<Data> loadReaderInput(const std::string& path, Error* error) {
  struct stat st {};
  if (!checkPath(path, st, error)) return std::nullopt;
  auto bytes = readWholeFile(path, nullptr);
  if (!bytes || bytes->empty()) {
    if (error) *error = fileError(kInvalidFileError, path, 0, bytes ? "The file is empty" : "The file cannot be read");
    return std::nullopt;
  }
  return bytes;
}

std::vector<std::string_view> wordsOf(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; };
  while (i < line.size()) {
    while (i < line.size() && blank(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !blank(line[i])) ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

}  // namespace qv
