// The error value every failure is reported with: a domain per deliverable, a code and details.
#pragma once

#include <functional>
#include <string>

#include "platform/Value.h"

namespace qv {

struct Error {
  std::string domain;
  int code = 0;
  std::string description;
  Dictionary userInfo;

  Error() = default;
  Error(std::string domain, int code, std::string description = {}, Dictionary userInfo = {})
      : domain(std::move(domain)), code(code), description(std::move(description)),
        userInfo(std::move(userInfo)) {}

  // Common detail keys: the file and the byte offset a reader failed at, and the underlying cause.
  static constexpr const char* kFilePathKey = "FilePath";
  static constexpr const char* kOffsetKey = "Offset";
  static constexpr const char* kUnderlyingErrorKey = "UnderlyingError";

  // "Domain <domain> code <code>: <description>", for logs.
  std::string text() const;

  bool is(const std::string& d, int c) const { return domain == d && code == c; }
  friend bool operator==(const Error& a, const Error& b) {
    return a.domain == b.domain && a.code == b.code;
  }
};

using Completion = std::function<void()>;
using ErrorCallback = std::function<void(const Error&)>;

// An error from errno: the POSIX domain, the errno value and the system's text.
Error posixError(int err, const std::string& what);

// Whether a write failed for want of room: the file system is full (ENOSPC), the user's quota on
// it is spent (EDQUOT), or the file would grow past what the file system or the process may write
// (EFBIG). The file being written is not at fault, and another folder may still take it.
bool isOutOfSpace(int err);
// Whether an error is such a failure: its "UnderlyingError" is one of those system codes.
bool isOutOfSpace(const Error& error);
// Whether the system refused to make a file or folder for a reason of its name or of what already
// stands at that path: a name too long (ENAMETOOLONG) or not one the file system takes (EILSEQ,
// EINVAL), a file or folder already there (EEXIST, EISDIR), a file where a folder of the path
// should be (ENOTDIR), a path through too many links (ELOOP). Another name may still be made there.
// Not so for the folder's own failures (no room, no permission, a read-only or failing disk): those
// refuse every name alike.
bool isRefusedName(int err);
// Why a write into the folder failed, in the user's terms: for want of room, that the disk holding
// the folder is full (or the quota or the largest file on it reached), naming the folder, with the
// system's words after it; otherwise the system's words alone.
std::string writeFailureReason(int err, const std::string& folder);

// The domains of the three deliverables.
inline constexpr const char* kInterpreterErrorDomain = "QVLIErrorDomain";
inline constexpr const char* kControlErrorDomain = "QVLCErrorDomain";
inline constexpr const char* kScanErrorDomain = "QVLScanErrorDomain";
inline constexpr const char* kPosixErrorDomain = "NSPOSIXErrorDomain";

}  // namespace qv
