// Codes, detail keys and texts of the errors the file readers and writers report.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/Error.h"

namespace qv {

// Codes of the application's error domain (kScanErrorDomain) used by the file readers.
inline constexpr int kImportCancelledError = 1;   // the user cancelled the read
inline constexpr int kInvalidParameterError = 2;  // no path given, or no scan object to read into
inline constexpr int kInvalidFileError = 3;       // unreadable, empty, malformed or unsupported file
inline constexpr int kMissingFileError = 4;       // no file at the path
// Codes of the same domain used by the writers.
inline constexpr int kFileWriteError = 120;    // the file could not be created or written
inline constexpr int kFormatLimitError = 121;  // a value does not fit the field the format gives it

// Detail keys the readers have always used, beside the platform's common ones.
inline constexpr const char* kFileKey = "File";
inline constexpr const char* kFileOffsetKey = "FileOffset";
inline constexpr const char* kDescriptionKey = "Description";
inline constexpr const char* kParameterKey = "Parameter";

inline constexpr const char* kQvkInvalidDescription = "The QVK file is invalid";
inline constexpr const char* kQvkUnsupportedDescription = "The QVK file is unsupported";
// The "Description" of the warning of a read that left nothing out (its text names what is odd).
inline constexpr const char* kQvkReadWholeDescription = "The QVK file was read whole";

// An error of the application's domain naming the file and the byte offset it concerns (under
// both the readers' keys and the platform's common keys), with the description also as a detail.
Error fileError(int code, const std::string& path, std::uint64_t offset, const std::string& description);

// The qvk reader's errors carry exactly the details callers of that reader have always read:
// an invalid file names "File", "FileOffset" and "Description"; an unsupported one "File" and
// "Description"; an unreadable or empty one nothing at all.
Error qvkInvalidFileError(const std::string& path, std::uint64_t offset, const std::string& description);
Error qvkUnsupportedFileError(const std::string& path);

// A read that could not keep what it read for want of room (unpacking a project into its working
// folder, copying its photographs, the store's save), where `cause` says so (its
// "UnderlyingError"): code kFileWriteError naming the file read under "File", the folder that is
// full under "FilePath" and the system's code under "UnderlyingError". The text names the folder
// and says that the file itself is not at fault.
Error readerOutOfSpaceError(const std::string& path, const Error& cause, const std::filesystem::path& folder);
// The same for any write into the folder that the system refused for a reason of the folder or its
// disk (`cause` carries its code under "UnderlyingError"): for want of room as above; otherwise
// (no permission, a read-only or failing disk) code kFileWriteError with the same details and the
// cause's text.
Error readerWriteError(const std::string& path, const Error& cause, const std::filesystem::path& folder);

// A reader asked to store into a scan object that does not exist (code 2, "Parameter"
// "scanObjectId"), or given no store at all (code 2).
Error noScanToReadIntoError();
Error noStoreToReadIntoError();

}  // namespace qv
