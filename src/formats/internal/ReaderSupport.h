// What the qvk, qvkx and STL readers share: checking the path, loading the file, error values that
// carry the read position under "DataOffset", taking lines and splitting them into words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Error.h"
#include "platform/Value.h"

namespace qv {

inline constexpr const char* kDataOffsetKey = "DataOffset";

// Code 3 naming the file and the offset under "File" and "DataOffset", with the description under
// "Description", and nothing else; `detail`, when given, is added to the error's own text (not to
// the "Description" value, which stays the fixed text callers compare).
Error dataOffsetError(const std::string& path, std::uint64_t offset, const std::string& description,
                      const std::string& detail = {});

// The whole file at a path the reader was given; the errors for no path (code 2, "Parameter"
// "localFileUrl"), no file (code 4) and an unreadable or empty file (code 3, no details) otherwise.
std::optional<Data> loadReaderInput(const std::string& path, Error* error);
// The same checks without reading the file (an empty file is code 3).
bool checkReaderInput(const std::string& path, Error* error);

// The words of a line, split at any run of blanks (spaces, tabs, carriage returns).
std::vector<std::string_view> wordsOf(std::string_view line);
// A piece of a file's text as a warning quotes it: at most `limit` characters, bytes that are not
// printable ASCII (a zero byte, a carriage return) as \xNN.
std::string printable(std::string_view text, std::size_t limit = 32);

// The parts of a text between single spaces, empty parts between adjacent spaces kept: header
// values have always been split this way.
std::vector<std::string> splitAtEachSpace(const std::string& text);

// Puts the line at `offset` of `bytes` into `line` without its line feed and moves `offset` past
// it. False when no line feed ends it: `line` then holds the rest of the bytes, `offset` their end.
bool takeLine(const Data& bytes, std::uint64_t& offset, std::string& line);
// The text with the ASCII capitals made small; every other byte as it is, whatever the locale.
std::string asciiLowerCased(std::string text);

}  // namespace qv
