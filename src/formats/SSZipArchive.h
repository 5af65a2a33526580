// Zip archives: unzip a whole archive into a folder, create one from files or a folder, or write
// one entry by entry. A thin layer over minizip, with zlib beneath it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Value.h"

// The archive's global information.
struct SSZipArchiveGlobalInfo {
  std::uint64_t numberOfEntries = 0;
  std::uint64_t commentSize = 0;
};

// One entry's central-directory information.
struct SSZipArchiveFileInfo {
  std::string name;
  std::uint32_t versionMadeBy = 0;
  std::uint32_t compressionMethod = 0;
  std::uint32_t dosDate = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  std::uint32_t externalAttributes = 0;
};

// Told about an unzip as it goes; every operation is optional.
class SSZipArchiveDelegate {
public:
  virtual ~SSZipArchiveDelegate() = default;
  virtual void zipArchiveWillUnzipArchiveAtPath(const std::string& /*path*/, const SSZipArchiveGlobalInfo& /*zipInfo*/) {}
  virtual void zipArchiveProgressEvent(std::uint64_t /*loaded*/, std::uint64_t /*total*/) {}
  virtual void zipArchiveWillUnzipFileAtIndex(std::uint64_t /*index*/, std::uint64_t /*totalFiles*/,
                                              const std::string& /*archivePath*/, const SSZipArchiveFileInfo& /*fileInfo*/) {}
  virtual void zipArchiveDidUnzipFileAtIndex(std::uint64_t /*index*/, std::uint64_t /*totalFiles*/,
                                             const std::string& /*archivePath*/, const SSZipArchiveFileInfo& /*fileInfo*/) {}
  virtual void zipArchiveDidUnzipArchiveAtPath(const std::string& /*path*/, const SSZipArchiveGlobalInfo& /*zipInfo*/,
                                               const std::string& /*unzippedPath*/) {}
};

// Bounds for unpacking an archive that may have been made to exhaust the disk or the memory of
// whoever reads it, and whether an entry that cannot be read ends the unzip or is left out.
struct SSZipArchiveLimits {
  std::uint64_t maximumEntryBytes = UINT64_MAX;  // unpacked bytes of one entry
  std::uint64_t maximumTotalBytes = UINT64_MAX;  // unpacked bytes of all entries together
  std::uint64_t maximumEntries = UINT64_MAX;
  bool skipDamagedEntries = false;               // go on with the next entry after one that fails
  bool keepFirstOfEachName = false;              // a later entry of a name already unpacked is left out
  // A damaged entry's bytes, as far as they unpacked, go with its record (see below).
  bool keepDamagedBytes = false;
};

// An entry the unzip left out, and why.
struct SSZipArchiveSkippedEntry {
  std::string name;
  std::string reason;
  bool duplicate = false;  // a later entry of a name already unpacked, not a damaged one
  // The folder's file system refused the entry's name, or something stood in its way (see
  // qv::isRefusedName): the archive is not damaged, and the system's code is kept.
  bool refused = false;
  int systemCode = 0;
  // With keepDamagedBytes, what a damaged entry unpacked to before its damage was found, and
  // whether that is every byte it declares (only its checksum failed); nothing is left on disk.
  std::optional<qv::Data> unpackedBytes = std::nullopt;
  bool unpackedInFull = false;
};

// An entry's date and time fields as minizip takes them: month from 0, the full year.
struct SSZipArchiveEntryTime {
  unsigned seconds = 0, minutes = 0, hours = 0, dayOfMonth = 0, month = 0, year = 0;
};

class SSZipArchive {
public:
  static constexpr const char* kErrorDomain = "SSZipArchiveErrorDomain";
  static constexpr int kCannotOpenArchiveError = -1;     // "failed to open zip file"
  static constexpr int kCannotOpenFirstEntryError = -2;  // "failed to open first file in zip file"
  static constexpr int kUnsafeEntryError = -3;           // an entry that would land outside the folder was refused
  static constexpr int kCannotReadEntryError = -4;       // an entry could not be opened, described, read or written
  static constexpr int kLimitExceededError = -5;         // an entry, or the archive, unpacks to more than allowed
  static constexpr int kRefusedEntryError = -6;          // the file system refused an entry's name, or something was in its way
  // The detail key naming the entry an error concerns.
  static constexpr const char* kEntryNameKey = "EntryName";

  using Clock = std::chrono::system_clock;

  // Unzips every entry into the destination folder (created when missing). Nothing is ever
  // written outside it: entries whose names are absolute or hold "..", symbolic links whose
  // targets lead outside, and entries that would be written through such a link are refused;
  // the other entries are still extracted and the result is then false with kUnsafeEntryError.
  // False too (and the error) when the archive cannot be opened or an entry cannot be read. An
  // entry whose file, folder or link the system refuses for a reason of the folder or its disk (no
  // room, no permission, a read-only or failing disk) ends the unzip: kCannotReadEntryError with
  // the path and the system's reason in the text and its code under "UnderlyingError" (see
  // isWriteFailure). One refused for a reason of its own (its name too long or not one the file
  // system takes, a file or folder of another entry in its way: qv::isRefusedName) is an entry that
  // cannot be unpacked there: kRefusedEntryError with the same details, nothing of it written.
  static bool unzipFileAtPath(const std::string& path, const std::string& destination);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination, bool overwrite,
                              const std::string& password, qv::Error* error);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination, SSZipArchiveDelegate* delegate);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination, bool overwrite,
                              const std::string& password, qv::Error* error, SSZipArchiveDelegate* delegate);
  // The same within the limits: an entry larger than allowed is left out (nothing of it stays)
  // and listed in `skipped`, as is a damaged or refused one when the limits say to go on past it; more
  // entries or more bytes in all than allowed end the unzip with kLimitExceededError and no
  // entry name in the error. The result is false whenever anything was left out, except a later
  // entry of a name already unpacked (keepFirstOfEachName), which is only listed.
  static bool unzipFileAtPath(const std::string& path, const std::string& destination, const SSZipArchiveLimits& limits,
                              std::vector<SSZipArchiveSkippedEntry>* skipped, qv::Error* error);

  // Whether an unzip's error is a write into the destination that the system refused for a reason
  // of the folder or its disk, rather than a fault of the archive or of one entry.
  static bool isWriteFailure(const qv::Error& error);

  // Creates an archive holding each file under its last path component, in the list's order.
  // False when the archive cannot be created or written (a file that cannot be opened is left out).
  static bool createZipFileAtPath(const std::string& path, const std::vector<std::string>& filePaths);
  // Creates an archive of every file below the folder, each named by its path relative to it,
  // deflated at the level given (see setCompressionLevel). On failure nothing is left at the path
  // and the error says why (see writeError; -1 or -4 without a system code otherwise).
  static bool createZipFileAtPathWithContentsOfDirectory(const std::string& path, const std::string& directoryPath,
                                                         int compressionLevel = kDefaultCompressionLevel,
                                                         qv::Error* error = nullptr);

  // zlib's fastest level that still compresses; 0 stores the bytes in the deflate stream as they
  // are (the entries stay deflated, so every reader takes them alike).
  static constexpr int kDefaultCompressionLevel = 1;

  explicit SSZipArchive(std::string path);
  ~SSZipArchive();
  SSZipArchive(const SSZipArchive&) = delete;
  SSZipArchive& operator=(const SSZipArchive&) = delete;

  // Creates the archive at the path, replacing any file there.
  bool open();
  // The deflate level of the files added from now on (0 to 9).
  void setCompressionLevel(int level) { compressionLevel_ = level; }
  bool writeFile(const std::string& path);
  // Adds a file under the name (its last path component when there is none), with its date and
  // permissions. False when the file cannot be opened or read, or the entry cannot be written.
  bool writeFileAtPath(const std::string& path, const std::optional<std::string>& fileName);
  // Adds bytes under the name, dated now. False when the archive is not open, the data is
  // missing, or the entry cannot be written.
  bool writeData(const qv::Data* data, const std::string& fileName);
  // Finishes the archive. False when it could not be finished or an entry failed to be written
  // since it was opened (the archive is then incomplete).
  bool close();
  // Why the archive could not be made or written, when the system refused it (creating or writing
  // the file): code -4 with the system's code under "UnderlyingError", for want of room naming the
  // archive's folder as full. Nothing when no write of the archive failed.
  std::optional<qv::Error> writeError() const;

  static void zipInfoSetDate(SSZipArchiveEntryTime& info, Clock::time_point date);
  // The date of an MS-DOS date and time word, in local time.
  static Clock::time_point dateWithMSDOSFormat(std::uint32_t msdosDateTime);

  const std::string& path() const { return path_; }

private:
  bool writeEntry(const std::string& name, const SSZipArchiveEntryTime* time, std::uint32_t externalAttributes,
                  int level, bool large, const std::function<bool(void* zip)>& writeBytes);

  struct Files;
  std::string path_;
  std::unique_ptr<Files> files_;
  void* zip_ = nullptr;
  bool failed_ = false;
  int compressionLevel_ = kDefaultCompressionLevel;
};
