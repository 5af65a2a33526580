// Shared reader helpers.
#include "formats/internal/ReaderSupport.h"

#include <sys/stat.h>

#include <cstring>

#include "formats/FormatErrors.h"
#include "platform/Format.h"
#include "platform/Log.h"
#include "store/VertexRecords.h"

namespace qv {

Error dataOffsetError(const std::string& path, std::uint64_t offset, const std::string& description, const std::string& detail) {
  Error e(kScanErrorDomain, kInvalidFileError, description,
          {{kFileKey, path}, {kDataOffsetKey, static_cast<std::int64_t>(offset)}, {kDescriptionKey, description}});
  if (!detail.empty()) e.description += " (" + detail + " at byte " + std::to_string(offset) + ")";
  return e;
}

std::string printable(std::string_view text, std::size_t limit) {
  std::string out;
  for (const char c : text.substr(0, limit)) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7f) out += c;
    else out += format("\\x%02X", b);
  }
  if (text.size() > limit) out += "...";
  return out;
}

namespace {

// An empty or unreadable file: code 3 without details, as callers of the readers have always had it.
Error unreadableFileError(const std::string& path, bool readable) {
  return Error(kScanErrorDomain, kInvalidFileError, (readable ? "The file is empty: " : "The file cannot be read: ") + path);
}

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
    if (error) *error = unreadableFileError(path, S_ISREG(st.st_mode));
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
    if (error) *error = unreadableFileError(path, bytes.has_value());
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

std::vector<std::string> splitAtEachSpace(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t space = text.find(' ', start);
    parts.push_back(text.substr(start, space == std::string::npos ? std::string::npos : space - start));
    if (space == std::string::npos) return parts;
    start = space + 1;
  }
}

bool takeLine(const Data& bytes, std::uint64_t& offset, std::string& line) {
  line.clear();
  if (offset >= bytes.size()) return false;
  const auto* start = bytes.data() + offset;
  const auto rest = static_cast<std::size_t>(bytes.size() - offset);
  const auto* feed = static_cast<const std::uint8_t*>(std::memchr(start, '\n', rest));
  const std::size_t length = feed ? static_cast<std::size_t>(feed - start) : rest;
  line.assign(reinterpret_cast<const char*>(start), length);
  offset += feed ? length + 1 : length;
  return feed != nullptr;
}

std::string asciiLowerCased(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace qv
