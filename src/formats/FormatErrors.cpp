// Builds the error values of the file readers and writers.
#include "formats/FormatErrors.h"

namespace qv {

Error fileError(int code, const std::string& path, std::uint64_t offset, const std::string& description) {
  Dictionary info;
  info[kFileKey] = path;
  info[kFileOffsetKey] = static_cast<std::int64_t>(offset);
  info[kDescriptionKey] = description;
  info[Error::kFilePathKey] = path;
  info[Error::kOffsetKey] = static_cast<std::int64_t>(offset);
  return Error(kScanErrorDomain, code, description, std::move(info));
}

Error qvkInvalidFileError(const std::string& path, std::uint64_t offset, const std::string& description) {
  return Error(kScanErrorDomain, kInvalidFileError, description,
               {{kFileKey, path}, {kFileOffsetKey, static_cast<std::int64_t>(offset)}, {kDescriptionKey, kQvkInvalidDescription}});
}

Error qvkUnsupportedFileError(const std::string& path) {
  return Error(kScanErrorDomain, kInvalidFileError, kQvkUnsupportedDescription,
               {{kFileKey, path}, {kDescriptionKey, kQvkUnsupportedDescription}});
}

Error readerOutOfSpaceError(const std::string& path, const Error& cause, const std::filesystem::path& folder) {
  const Value* underlying = find(cause.userInfo, Error::kUnderlyingErrorKey);
  const int err = underlying && underlying->isInteger() ? static_cast<int>(underlying->toInt64()) : 0;
  const std::string name = std::filesystem::path(path).filename().string();
  return Error(kScanErrorDomain, kFileWriteError,
               "There is not enough space to open " + name + ": " + writeFailureReason(err, folder.string()) +
                   ". The file itself is fine: free some space there and open it again.",
               {{kFileKey, path}, {Error::kFilePathKey, folder.string()}, {Error::kUnderlyingErrorKey, err}});
}

Error readerWriteError(const std::string& path, const Error& cause, const std::filesystem::path& folder) {
  if (isOutOfSpace(cause)) return readerOutOfSpaceError(path, cause, folder);
  const Value* underlying = find(cause.userInfo, Error::kUnderlyingErrorKey);
  const int err = underlying && underlying->isInteger() ? static_cast<int>(underlying->toInt64()) : 0;
  return Error(kScanErrorDomain, kFileWriteError,
               "Could not open " + std::filesystem::path(path).filename().string() + ": what it holds cannot be written into the folder " +
                   folder.string() + " (" + cause.description + ")",
               {{kFileKey, path}, {Error::kFilePathKey, folder.string()}, {Error::kUnderlyingErrorKey, err}});
}

Error noScanToReadIntoError() {
  return Error(kScanErrorDomain, kInvalidParameterError, "The scan to read into does not exist",
               {{kParameterKey, "scanObjectId"}});
}

Error noStoreToReadIntoError() {
  return Error(kScanErrorDomain, kInvalidParameterError, "There is no store to read into");
}

}  // namespace qv
