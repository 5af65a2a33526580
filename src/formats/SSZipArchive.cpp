// Zip archives on minizip: unzipping with every entry kept inside its folder, and writing entries
// from files, folders and bytes with every library result checked.
#include "formats/SSZipArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unzip.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>

#include "formats/internal/SystemLog.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kUnzipChunkBytes = 4096;
constexpr std::size_t kZipChunkBytes = 16384;
// Longer link targets cannot be made on Linux; reading stops there.
constexpr std::size_t kMaximumLinkTargetBytes = 4096;
#ifndef DEF_MEM_LEVEL
constexpr int DEF_MEM_LEVEL = 8;
#endif

qv::Error zipError(int code, const std::string& description, const std::string& archive, const std::string& entry = {}) {
  qv::Dictionary info;
  info[qv::Error::kFilePathKey] = archive;
  if (!entry.empty()) info[SSZipArchive::kEntryNameKey] = entry;
  return qv::Error(SSZipArchive::kErrorDomain, code, description, std::move(info));
}

// A write into the folder that the system refused with `err`: code -4, the reason in the text (for
// want of room, that the folder's disk is full) and the system's code under "UnderlyingError".
qv::Error zipWriteError(int err, const std::string& what, const std::string& folder, const std::string& archive,
                        const std::string& entry = {}) {
  qv::Error e = zipError(SSZipArchive::kCannotReadEntryError, what + ": " + qv::writeFailureReason(err, folder), archive, entry);
  e.userInfo[qv::Error::kUnderlyingErrorKey] = err;
  return e;
}

// Why an entry the system refused with a code of qv::isRefusedName cannot be made in the folder.
std::string refusalReason(int err) {
  const std::string words = std::strerror(err);
  switch (err) {
    case ENAMETOOLONG: return "its name is longer than the file system takes (" + words + ")";
    case EISDIR: return "a folder stands where its file would be made (" + words + ")";
    case ENOTDIR: return "a file stands where its folder would be made (" + words + ")";
    case EEXIST: return "a file or folder stands where it would be made (" + words + ")";
    case ELOOP: return "its path leads through too many links (" + words + ")";
    default: return "its name is not one the file system takes (" + words + ")";
  }
}

// Whether a real (link-free) path lies in the real folder or is the folder itself.
bool isInside(const fs::path& real, const fs::path& folder) {
  const fs::path rel = real.lexically_relative(folder);
  if (rel.empty()) return false;
  const auto first = rel.begin()->string();
  return first != ".." && !rel.is_absolute();
}

// The entry name as a path relative to the destination, or nothing when it is not one: empty,
// absolute, with a drive letter, with a ".." component or a NUL byte.
std::optional<fs::path> safeRelativePath(const std::string& name) {
  if (name.empty() || name.find('\0') != std::string::npos || name.front() == '/') return std::nullopt;
  if (name.size() >= 2 && name[1] == ':') return std::nullopt;
  fs::path out;
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t slash = name.find('/', start);
    const std::string part = name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") out /= part;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  if (out.empty()) return std::nullopt;
  return out;
}

void setModificationDate(const fs::path& path, SSZipArchive::Clock::time_point date, bool* ok) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(date.time_since_epoch()).count();
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(ns / 1000000000);
  times[1].tv_nsec = static_cast<long>(ns % 1000000000);
  if (times[1].tv_nsec < 0) {
    times[1].tv_nsec += 1000000000;
    times[1].tv_sec -= 1;
  }
  *ok = ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

// Makes the folder `relative` below the real destination one component at a time, never
// following a link out of the destination. Answers the folder's real path, or nothing when a
// component is a link leading outside (escape set) or cannot be made (logged, the system's code
// in `err` and the component in `failed`; a file in the way is ENOTDIR).
std::optional<fs::path> makeFolderInside(const fs::path& destination, const fs::path& relative,
                                         SSZipArchive::Clock::time_point date, bool* escape, int* err, fs::path* failed,
                                         std::vector<std::pair<fs::path, SSZipArchive::Clock::time_point>>& made) {
  auto notAFolder = [&](const fs::path& path) {
    qv::systemLog("[SSZipArchive] Error: %s is not a folder", path.c_str());
    *err = ENOTDIR;
    *failed = path;
    return std::nullopt;
  };
  fs::path current = destination;
  for (const auto& part : relative) {
    const fs::path next = current / part;
    struct stat st {};
    if (::lstat(next.c_str(), &st) != 0) {
      if (::mkdir(next.c_str(), 0777) != 0) {
        *err = errno;
        *failed = next;
        qv::systemLog("[SSZipArchive] Error: %s", std::strerror(*err));
        return std::nullopt;
      }
      bool dated = false;
      setModificationDate(next, date, &dated);
      made.emplace_back(next, date);
      current = next;
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      std::error_code ec;
      const fs::path real = fs::canonical(next, ec);
      if (ec || !isInside(real, destination)) {
        *escape = true;
        return std::nullopt;
      }
      if (!fs::is_directory(real, ec)) return notAFolder(next);
      current = real;
      continue;
    }
    if (!S_ISDIR(st.st_mode)) return notAFolder(next);
    current = next;
  }
  return current;
}

SSZipArchiveFileInfo fileInfoOf(const unz_file_info64& info, std::string name) {
  SSZipArchiveFileInfo out;
  out.name = std::move(name);
  out.versionMadeBy = static_cast<std::uint32_t>(info.version);
  out.compressionMethod = static_cast<std::uint32_t>(info.compression_method);
  out.dosDate = static_cast<std::uint32_t>(info.dosDate);
  out.crc = static_cast<std::uint32_t>(info.crc);
  out.compressedSize = info.compressed_size;
  out.uncompressedSize = info.uncompressed_size;
  out.externalAttributes = static_cast<std::uint32_t>(info.external_fa);
  return out;
}

struct Unzipper {
  const std::string& archive;
  std::optional<qv::Error> firstError;
  bool refused = false;

  void fail(int code, const std::string& what, const std::string& entry) {
    if (!firstError) firstError = zipError(code, what, archive, entry);
  }
  // A failure of the whole archive outweighs any entry's.
  void stop(int code, const std::string& what) { firstError = zipError(code, what, archive); }
  void refuse(const std::string& entry, const std::string& why) {
    qv::systemLog("[SSZipArchive] Refused entry \"%s\": %s", entry.c_str(), why.c_str());
    refused = true;
    fail(SSZipArchive::kUnsafeEntryError, "Refused the entry \"" + entry + "\": " + why, entry);
  }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Unzipping

bool SSZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination) {
  return unzipFileAtPath(path, destination, true, "", nullptr, nullptr);
}

bool SSZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination, bool overwrite,
                                   const std::string& password, qv::Error* error) {
  return unzipFileAtPath(path, destination, overwrite, password, error, nullptr);
}

bool SSZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   SSZipArchiveDelegate* delegate) {
  return unzipFileAtPath(path, destination, true, "", nullptr, delegate);
}

bool SSZipArchive::isWriteFailure(const qv::Error& error) {
  return error.is(kErrorDomain, kCannotReadEntryError) && qv::find(error.userInfo, qv::Error::kUnderlyingErrorKey);
}

namespace {
bool unzipWithin(const std::string& path, const std::string& destination, bool overwrite, const std::string& password,
                 qv::Error* error, SSZipArchiveDelegate* delegate, const SSZipArchiveLimits& limits,
                 std::vector<SSZipArchiveSkippedEntry>* skipped);
}  // namespace

bool SSZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination, bool overwrite,
                                   const std::string& password, qv::Error* error, SSZipArchiveDelegate* delegate) {
  return unzipWithin(path, destination, overwrite, password, error, delegate, SSZipArchiveLimits{}, nullptr);
}

bool SSZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination, const SSZipArchiveLimits& limits,
                                   std::vector<SSZipArchiveSkippedEntry>* skipped, qv::Error* error) {
  return unzipWithin(path, destination, true, "", error, nullptr, limits, skipped);
}

namespace {

bool unzipWithin(const std::string& path, const std::string& destination, bool overwrite, const std::string& password,
                 qv::Error* error, SSZipArchiveDelegate* delegate, const SSZipArchiveLimits& limits,
                 std::vector<SSZipArchiveSkippedEntry>* skipped) {
  using Clock = SSZipArchive::Clock;
  constexpr int kCannotOpenArchiveError = SSZipArchive::kCannotOpenArchiveError;
  constexpr int kCannotOpenFirstEntryError = SSZipArchive::kCannotOpenFirstEntryError;
  constexpr int kCannotReadEntryError = SSZipArchive::kCannotReadEntryError;
  constexpr int kLimitExceededError = SSZipArchive::kLimitExceededError;
  auto dateWithMSDOSFormat = [](std::uint32_t word) { return SSZipArchive::dateWithMSDOSFormat(word); };
  unzFile zip = unzOpen64(path.c_str());
  if (!zip) {
    if (error) *error = zipError(kCannotOpenArchiveError, "failed to open zip file", path);
    return false;
  }
  std::error_code ec;
  const std::uint64_t total = fs::file_size(path, ec);
  unz_global_info64 global{};
  unzGetGlobalInfo64(zip, &global);
  const SSZipArchiveGlobalInfo zipInfo{global.number_entry, global.size_comment};
  if (unzGoToFirstFile(zip) != UNZ_OK) {
    unzClose(zip);
    if (error) *error = zipError(kCannotOpenFirstEntryError, "failed to open first file in zip file", path);
    return false;
  }
  fs::create_directories(destination, ec);
  const fs::path root = fs::canonical(destination, ec);
  if (ec) {
    unzClose(zip);
    if (error) *error = zipError(kCannotReadEntryError, "The destination folder cannot be made: " + ec.message(), path);
    return false;
  }

  if (delegate) {
    delegate->zipArchiveWillUnzipArchiveAtPath(path, zipInfo);
    delegate->zipArchiveProgressEvent(0, total);
  }
  Unzipper u{path, std::nullopt};
  bool success = true;
  std::uint64_t index = 0;
  std::uint64_t progress = 0;
  std::vector<std::pair<fs::path, Clock::time_point>> dated;
  std::vector<fs::path> links;
  std::vector<std::uint8_t> buffer(kUnzipChunkBytes);

  std::uint64_t unpacked = 0;  // bytes written for all entries so far
  std::set<fs::path> unpackedNames;  // the files and links made so far
  auto leaveOut = [&](const std::string& entry, const std::string& why) {
    qv::systemLog("[SSZipArchive] Left out entry \"%s\": %s", entry.c_str(), why.c_str());
    if (skipped) skipped->push_back({entry, why});
    success = false;
  };
  // An entry whose name the file system refuses at `at`, or that something stands in the way of:
  // not written, and, when the limits say to go on past damage, left out like a damaged one.
  auto refuseName = [&](const std::string& entry, const fs::path& at, int err) {
    leaveOut(entry, refusalReason(err));
    if (skipped) {
      skipped->back().refused = true;
      skipped->back().systemCode = err;
    }
    if (!u.firstError) {
      u.firstError = zipError(SSZipArchive::kRefusedEntryError,
                              "failed to make " + at.string() + " of the entry \"" + entry + "\": " + std::strerror(err), path, entry);
      u.firstError->userInfo[qv::Error::kUnderlyingErrorKey] = err;
    }
  };

  int ret = UNZ_OK;
  std::uint64_t seen = 0;
  do {
    if (++seen > limits.maximumEntries) {
      success = false;
      u.stop(kLimitExceededError, "the archive holds more than " + std::to_string(limits.maximumEntries) + " entries");
      break;
    }
    const int opened = password.empty() ? unzOpenCurrentFile(zip) : unzOpenCurrentFilePassword(zip, password.c_str());
    if (opened != UNZ_OK) {
      success = false;
      u.fail(kCannotReadEntryError, "failed to open an entry", "");
      if (limits.skipDamagedEntries) {
        unz_file_info64 described{};
        std::string name;
        if (unzGetCurrentFileInfo64(zip, &described, nullptr, 0, nullptr, 0, nullptr, 0) == UNZ_OK) {
          name.assign(described.size_filename + 1, '\0');
          unzGetCurrentFileInfo64(zip, nullptr, name.data(), static_cast<uLong>(name.size()), nullptr, 0, nullptr, 0);
          name.resize(described.size_filename);
        }
        leaveOut(name, "the entry cannot be opened");
        ret = unzGoToNextFile(zip);
        continue;
      }
      break;
    }
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
      unzCloseCurrentFile(zip);
      success = false;
      u.fail(kCannotReadEntryError, "failed to describe an entry", "");
      break;
    }
    std::string rawName(info.size_filename + 1, '\0');
    unzGetCurrentFileInfo64(zip, nullptr, rawName.data(), static_cast<uLong>(rawName.size()), nullptr, 0, nullptr, 0);
    rawName.resize(info.size_filename);
    const SSZipArchiveFileInfo fileInfo = fileInfoOf(info, rawName);

    progress += info.compressed_size;
    if (delegate) {
      delegate->zipArchiveWillUnzipFileAtIndex(index, zipInfo.numberOfEntries, path, fileInfo);
      delegate->zipArchiveProgressEvent(progress, total);
    }

    const bool isLink = (info.version >> 8) == 3 && (info.external_fa & 0xF0000000u) == 0xA0000000u;
    std::string name = rawName;
    std::replace(name.begin(), name.end(), '\\', '/');
    const bool isDirectory = !name.empty() && name.back() == '/';
    const Clock::time_point date = dateWithMSDOSFormat(static_cast<std::uint32_t>(info.dosDate));

    // Goes on with the next entry after one that is skipped.
    auto skip = [&] {
      unzCloseCurrentFile(zip);
      ret = unzGoToNextFile(zip);
    };

    const auto relative = safeRelativePath(name);
    if (!relative) {
      u.refuse(rawName, "the name is empty, absolute or leads out of the folder");
      skip();
      continue;
    }
    bool escape = false;
    int folderError = 0;
    fs::path failedFolder;
    const fs::path folderPart = isDirectory ? *relative : relative->parent_path();
    const auto realFolder = makeFolderInside(root, folderPart, date, &escape, &folderError, &failedFolder, dated);
    if (escape) {
      u.refuse(rawName, "a folder on its way is a link leading out of the folder");
      skip();
      continue;
    }
    // A folder of a name the file system refuses, or with a file of another entry in its way, costs
    // only the entries in it.
    if (!realFolder && qv::isRefusedName(folderError)) {
      refuseName(rawName, failedFolder, folderError);
      skip();
      if (limits.skipDamagedEntries) {
        ++index;
        continue;
      }
      break;
    }
    // A folder the system refuses for a reason of the folder or its disk (no room, no permission,
    // a read-only or failing disk) is no fault of the archive, and the entry would be missing from
    // what the caller reads: the unzip ends, saying so.
    if (!realFolder) {
      success = false;
      u.firstError = zipWriteError(folderError, "failed to make the folder " + failedFolder.string() + " of the entry \"" + rawName + "\"",
                                   destination, path, rawName);
      unzCloseCurrentFile(zip);
      break;
    }
    const fs::path full = isDirectory ? *realFolder : *realFolder / relative->filename();
    if (!isLink) dated.emplace_back(full, date);

    struct stat existing {};
    const bool exists = ::lstat(full.c_str(), &existing) == 0;
    if (exists && !isDirectory && !overwrite) {
      skip();
      continue;
    }
    if (!isDirectory && limits.keepFirstOfEachName && unpackedNames.count(full) != 0) {
      qv::systemLog("[SSZipArchive] Left out entry \"%s\": an earlier entry has its name", rawName.c_str());
      if (skipped) skipped->push_back({rawName, "an earlier member has its name, and is the one read", true});
      skip();
      continue;
    }

    if (!isLink && !isDirectory && info.uncompressed_size > limits.maximumEntryBytes) {
      leaveOut(rawName, "it unpacks to more than " + std::to_string(limits.maximumEntryBytes) + " bytes");
      u.fail(kLimitExceededError, "the entry \"" + rawName + "\" unpacks to more than allowed", rawName);
      skip();
      continue;
    }
    if (!isLink && !isDirectory && info.uncompressed_size > limits.maximumTotalBytes - std::min(unpacked, limits.maximumTotalBytes)) {
      success = false;
      u.stop(kLimitExceededError, "the archive unpacks to more than " + std::to_string(limits.maximumTotalBytes) + " bytes");
      unzCloseCurrentFile(zip);
      break;
    }

    bool entryOk = true;
    // What a damaged entry unpacked to, read back before its file goes, for the caller to judge.
    std::optional<qv::Data> damagedBytes;
    bool damagedInFull = false;
    auto keepDamaged = [&](bool inFull) {
      if (!limits.keepDamagedBytes) return;
      std::FILE* f = std::fopen(full.c_str(), "rb");
      if (!f) return;
      qv::Data bytes;
      std::size_t got = 0;
      while ((got = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) bytes.insert(bytes.end(), buffer.data(), buffer.data() + got);
      std::fclose(f);
      damagedBytes = std::move(bytes);
      damagedInFull = inFull;
    };
    bool tooLarge = false;
    bool overTotal = false;
    int writeError = 0;  // the system's code when the entry's file or link could not be made or written
    bool refusedAtName = false;  // the code came from making the file or link, where a name can be refused
    if (isLink) {
      std::string target;
      int n = 0;
      while ((n = unzReadCurrentFile(zip, buffer.data(), static_cast<unsigned>(buffer.size()))) > 0 &&
             target.size() <= kMaximumLinkTargetBytes)
        target.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
      if (n < 0) {
        entryOk = false;
      } else if (target.empty() || target.size() > kMaximumLinkTargetBytes || target.find('\0') != std::string::npos ||
                 target.front() == '/') {
        u.refuse(rawName, "the link's target is empty, absolute or too long");
      } else {
        const fs::path resolved = fs::weakly_canonical(full.parent_path() / target, ec);
        if (ec || !isInside(resolved, root)) {
          u.refuse(rawName, "the link leads out of the folder");
        } else {
          if (exists) ::unlink(full.c_str());
          if (::symlink(target.c_str(), full.c_str()) != 0) {
            writeError = errno;
            refusedAtName = qv::isRefusedName(writeError);
            entryOk = false;
            qv::systemLog("Failed to create symbolic link at \"%s\" to \"%s\". symlink() error code: %d", full.c_str(),
                          target.c_str(), writeError);
          } else {
            links.push_back(full);
          }
        }
      }
    } else if (!isDirectory) {
      // A link left at the path by an earlier entry is replaced, never written through.
      if (exists && S_ISLNK(existing.st_mode)) ::unlink(full.c_str());
      const int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd < 0) {
        writeError = errno;
        refusedAtName = qv::isRefusedName(writeError);
        entryOk = false;
      } else {
        int n = 0;
        bool written = true;
        std::uint64_t entryBytes = 0;
        while ((n = unzReadCurrentFile(zip, buffer.data(), static_cast<unsigned>(buffer.size()))) > 0) {
          // The sizes an entry declares may lie: what it really unpacks to is counted too.
          entryBytes += static_cast<std::uint64_t>(n);
          unpacked += static_cast<std::uint64_t>(n);
          tooLarge = entryBytes > limits.maximumEntryBytes;
          overTotal = unpacked > limits.maximumTotalBytes;
          if (tooLarge || overTotal) {
            written = false;
            break;
          }
          std::size_t done = 0;
          while (done < static_cast<std::size_t>(n)) {
            const ssize_t w = ::write(fd, buffer.data() + done, static_cast<std::size_t>(n) - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
              writeError = w < 0 ? errno : ENOSPC;  // a write that takes nothing has found no room
              written = false;
              break;
            }
            done += static_cast<std::size_t>(w);
          }
          if (!written) break;
        }
        if (::close(fd) != 0) {
          if (written) writeError = errno;
          written = false;
        }
        // A damaged stream can end early without an error (and then without a checksum test):
        // an entry that unpacks to fewer bytes than it declares is not whole.
        if (n == 0 && written && entryBytes != info.uncompressed_size) n = -1;
        if (n < 0 || !written) {
          entryOk = false;
        } else {
          if (info.dosDate != 0) {
            bool ok = false;
            setModificationDate(full, date, &ok);
            if (!ok) qv::systemLog("[SSZipArchive] Failed to set attributes - whilst setting modification date");
          }
          // Only the permission bits: set-user and set-group bits from an archive are not kept.
          const std::uint32_t mode = static_cast<std::uint32_t>(info.external_fa >> 16);
          if (mode != 0 && ::chmod(full.c_str(), static_cast<mode_t>(mode & 0777)) != 0)
            qv::systemLog("[SSZipArchive] Failed to set attributes - whilst setting permissions");
        }
        if (!entryOk && n < 0 && written) keepDamaged(false);
        if (!entryOk) ::unlink(full.c_str());  // no half-written file stands for the entry
      }
    }
    const int closed = unzCloseCurrentFile(zip);
    if (entryOk && closed == UNZ_CRCERROR) {
      entryOk = false;
      if (!isLink && !isDirectory) {
        keepDamaged(true);
        ::unlink(full.c_str());
      }
    }
    if (overTotal) {
      success = false;
      u.stop(kLimitExceededError, "the archive unpacks to more than " + std::to_string(limits.maximumTotalBytes) + " bytes");
      break;
    }
    if (refusedAtName) {
      refuseName(rawName, full, writeError);
      ret = unzGoToNextFile(zip);
      if (limits.skipDamagedEntries) {
        ++index;
        continue;
      }
      break;
    }
    // Not the entry's fault (a full disk takes no later entry either; a folder without permission,
    // a read-only or failing disk is no damage to leave out and go on past): the unzip ends, saying so.
    if (writeError != 0) {
      success = false;
      u.firstError = zipWriteError(writeError, "failed to write " + full.string() + " of the entry \"" + rawName + "\"", destination,
                                   path, rawName);
      break;
    }
    if (tooLarge) {
      leaveOut(rawName, "it unpacks to more than " + std::to_string(limits.maximumEntryBytes) + " bytes");
      u.fail(kLimitExceededError, "the entry \"" + rawName + "\" unpacks to more than allowed", rawName);
      ret = unzGoToNextFile(zip);
      ++index;
      continue;
    }
    if (!entryOk) {
      success = false;
      u.fail(kCannotReadEntryError, "failed to read or write the entry \"" + rawName + "\"", rawName);
      if (limits.skipDamagedEntries) {
        leaveOut(rawName, "it cannot be unpacked");
        if (skipped && damagedBytes) {
          skipped->back().unpackedBytes = std::move(damagedBytes);
          skipped->back().unpackedInFull = damagedInFull;
        }
        ret = unzGoToNextFile(zip);
        ++index;
        continue;
      }
      break;
    }
    if (!isDirectory) unpackedNames.insert(full);
    ret = unzGoToNextFile(zip);
    if (delegate) delegate->zipArchiveDidUnzipFileAtIndex(index, zipInfo.numberOfEntries, path, fileInfo);
    ++index;
  } while (ret == UNZ_OK);
  if (success && ret != UNZ_OK && ret != UNZ_END_OF_LIST_OF_FILE) {
    success = false;
    u.fail(kCannotReadEntryError, "the archive's list of entries is damaged", "");
  }
  unzClose(zip);

  // Writing files into a folder changed its date: put every entry's own date back, and give each
  // folder made on the way the date of the entry it was made for.
  for (const auto& [entryPath, entryDate] : dated) {
    struct stat st {};
    if (::lstat(entryPath.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) continue;
    bool ok = false;
    setModificationDate(entryPath, entryDate, &ok);
    if (!ok) {
      qv::systemLog("[SSZipArchive] Set attributes failed for directory: %s.", entryPath.c_str());
      qv::systemLog("[SSZipArchive] Error setting directory file modification date attribute: %s", std::strerror(errno));
    }
  }
  // A link checked when it was made may lead out through a link made after it: check them all again.
  for (const auto& link : links) {
    const fs::path resolved = fs::weakly_canonical(link, ec);
    if (ec || !isInside(resolved, root)) {
      ::unlink(link.c_str());
      u.refuse(link.lexically_relative(root).string(), "the link leads out of the folder through another link");
    }
  }
  if (u.refused) success = false;

  if (delegate) {
    if (success) delegate->zipArchiveDidUnzipArchiveAtPath(path, zipInfo, destination);
    delegate->zipArchiveProgressEvent(total, total);
  }
  if (!success && error && u.firstError) *error = *u.firstError;
  return success;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Writing

// minizip's own file functions, each failure's system code kept: minizip answers only that a
// write failed, and by the time it does the code may be gone.
struct SSZipArchive::Files {
  zlib_filefunc64_def system{};
  zlib_filefunc64_def kept{};
  int err = 0;  // the first code the system gave

  Files() {
    fill_fopen64_filefunc(&system);
    kept = system;
    kept.opaque = this;
    kept.zopen64_file = [](voidpf self, const void* name, int mode) -> voidpf {
      auto& files = *static_cast<Files*>(self);
      errno = 0;
      voidpf stream = files.system.zopen64_file(files.system.opaque, name, mode);
      if (!stream) files.keep();
      return stream;
    };
    kept.zread_file = [](voidpf self, voidpf stream, void* buffer, uLong size) -> uLong {
      auto& files = *static_cast<Files*>(self);
      return files.system.zread_file(files.system.opaque, stream, buffer, size);
    };
    kept.zwrite_file = [](voidpf self, voidpf stream, const void* buffer, uLong size) -> uLong {
      auto& files = *static_cast<Files*>(self);
      errno = 0;
      const uLong written = files.system.zwrite_file(files.system.opaque, stream, buffer, size);
      if (written != size) files.keep();
      return written;
    };
    kept.ztell64_file = [](voidpf self, voidpf stream) -> ZPOS64_T {
      auto& files = *static_cast<Files*>(self);
      return files.system.ztell64_file(files.system.opaque, stream);
    };
    kept.zseek64_file = [](voidpf self, voidpf stream, ZPOS64_T offset, int origin) -> long {
      auto& files = *static_cast<Files*>(self);
      errno = 0;
      const long result = files.system.zseek64_file(files.system.opaque, stream, offset, origin);
      if (result != 0) files.keep();  // a seek writes out what the stream buffered
      return result;
    };
    kept.zclose_file = [](voidpf self, voidpf stream) -> int {
      auto& files = *static_cast<Files*>(self);
      errno = 0;
      const int result = files.system.zclose_file(files.system.opaque, stream);
      if (result != 0) files.keep();  // closing writes out what the stream buffered
      return result;
    };
    kept.zerror_file = [](voidpf self, voidpf stream) -> int {
      auto& files = *static_cast<Files*>(self);
      return files.system.zerror_file(files.system.opaque, stream);
    };
  }
  void keep() {
    if (err == 0) err = errno != 0 ? errno : EIO;
  }
};

SSZipArchive::SSZipArchive(std::string path) : path_(std::move(path)) {}

SSZipArchive::~SSZipArchive() {
  if (zip_) zipClose(static_cast<zipFile>(zip_), nullptr);
}

bool SSZipArchive::open() {
  if (zip_) return false;
  files_ = std::make_unique<Files>();
  zip_ = zipOpen2_64(path_.c_str(), APPEND_STATUS_CREATE, nullptr, &files_->kept);
  failed_ = false;
  return zip_ != nullptr;
}

bool SSZipArchive::close() {
  if (!zip_) return false;
  const int rc = zipClose(static_cast<zipFile>(zip_), nullptr);
  zip_ = nullptr;
  return rc == ZIP_OK && !failed_;
}

std::optional<qv::Error> SSZipArchive::writeError() const {
  if (!files_ || files_->err == 0) return std::nullopt;
  std::error_code ec;
  const fs::path absolute = fs::absolute(path_, ec);
  return zipWriteError(files_->err, "failed to write the archive", (ec ? fs::path(path_) : absolute).parent_path().string(), path_);
}

bool SSZipArchive::writeEntry(const std::string& name, const SSZipArchiveEntryTime* time, std::uint32_t externalAttributes,
                              int level, bool large, const std::function<bool(void* zip)>& writeBytes) {
  if (!zip_) return false;
  zip_fileinfo zi{};
  if (time) {
    zi.tmz_date.tm_sec = time->seconds;
    zi.tmz_date.tm_min = time->minutes;
    zi.tmz_date.tm_hour = time->hours;
    zi.tmz_date.tm_mday = time->dayOfMonth;
    zi.tmz_date.tm_mon = time->month;
    zi.tmz_date.tm_year = time->year;
  }
  zi.dosDate = 0;  // minizip derives it from the fields
  zi.external_fa = externalAttributes;
  // A Unix mode in the attributes is marked as one, so that other tools apply it.
  const uLong versionMadeBy = externalAttributes != 0 ? (3u << 8) | 20u : 0;
  const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  const uLong flagBase = ascii ? 0 : 0x800;  // names are UTF-8
  auto* zip = static_cast<zipFile>(zip_);
  if (zipOpenNewFileInZip4_64(zip, name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, level, 0, -MAX_WBITS,
                              DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, versionMadeBy, flagBase, large ? 1 : 0) != ZIP_OK) {
    failed_ = true;
    return false;
  }
  const bool wrote = writeBytes(zip);
  const bool closed = zipCloseFileInZip(zip) == ZIP_OK;
  if (!wrote || !closed) failed_ = true;
  return wrote && closed;
}

bool SSZipArchive::writeFile(const std::string& path) { return writeFileAtPath(path, std::nullopt); }

bool SSZipArchive::writeFileAtPath(const std::string& path, const std::optional<std::string>& fileName) {
  if (!zip_) return false;
  std::unique_ptr<FILE, int (*)(FILE*)> input(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!input) return false;
  struct stat st {};
  // Only regular files (also through a link) are stored; a folder or device cannot be read as one.
  if (::fstat(::fileno(input.get()), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const std::string name = fileName ? *fileName : fs::path(path).filename().string();

  SSZipArchiveEntryTime time;
  const auto mtime = Clock::time_point(std::chrono::duration_cast<Clock::duration>(
      std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
  zipInfoSetDate(time, mtime);
  const std::uint32_t external = (0x8000u + (static_cast<std::uint32_t>(st.st_mode) & 07777u)) << 16;
  const bool large = static_cast<std::uint64_t>(st.st_size) >= 0xFFFFFFFFull;
  return writeEntry(name, &time, external, compressionLevel_, large, [&](void* zip) {
    std::vector<std::uint8_t> chunk(kZipChunkBytes);
    for (;;) {
      const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), input.get());
      if (n > 0 && zipWriteInFileInZip(static_cast<zipFile>(zip), chunk.data(), static_cast<unsigned>(n)) != ZIP_OK)
        return false;
      if (n < chunk.size()) return std::ferror(input.get()) == 0;
    }
  });
}

bool SSZipArchive::writeData(const qv::Data* data, const std::string& fileName) {
  if (!zip_ || !data) return false;
  SSZipArchiveEntryTime time;
  zipInfoSetDate(time, Clock::now());
  return writeEntry(fileName, &time, 0, Z_DEFAULT_COMPRESSION, data->size() >= 0xFFFFFFFFull, [&](void* zip) {
    std::size_t done = 0;
    while (done < data->size()) {
      const std::size_t n = std::min<std::size_t>(data->size() - done, 1u << 30);
      if (zipWriteInFileInZip(static_cast<zipFile>(zip), data->data() + done, static_cast<unsigned>(n)) != ZIP_OK)
        return false;
      done += n;
    }
    return true;
  });
}

bool SSZipArchive::createZipFileAtPath(const std::string& path, const std::vector<std::string>& filePaths) {
  SSZipArchive archive(path);
  if (!archive.open()) return false;
  for (const auto& file : filePaths) archive.writeFile(file);
  if (archive.close()) return true;
  ::unlink(path.c_str());  // an incomplete archive is worse than none
  return false;
}

bool SSZipArchive::createZipFileAtPathWithContentsOfDirectory(const std::string& path, const std::string& directoryPath,
                                                              int compressionLevel, qv::Error* error) {
  SSZipArchive archive(path);
  auto failed = [&](int code, const std::string& what) {
    if (error) *error = archive.writeError().value_or(zipError(code, what, path));
    return false;
  };
  if (!archive.open()) return failed(kCannotOpenArchiveError, "failed to create the archive");
  archive.setCompressionLevel(compressionLevel);
  std::error_code ec;
  std::vector<fs::path> files;
  for (fs::recursive_directory_iterator it(directoryPath, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->symlink_status(ec).type() == fs::file_type::directory) continue;
    files.push_back(it->path());
  }
  // Sorted, so that the same folder always gives the same archive.
  std::sort(files.begin(), files.end());
  for (const auto& file : files) archive.writeFileAtPath(file.string(), file.lexically_relative(directoryPath).generic_string());
  if (archive.close() && !ec) return true;
  ::unlink(path.c_str());
  return failed(kCannotReadEntryError, ec ? "the folder cannot be listed: " + ec.message() : "failed to write the archive");
}

// ---------------------------------------------------------------------------------------------
// Dates

void SSZipArchive::zipInfoSetDate(SSZipArchiveEntryTime& info, Clock::time_point date) {
  const std::time_t t = Clock::to_time_t(date);
  std::tm local{};
  ::localtime_r(&t, &local);
  info.seconds = static_cast<unsigned>(local.tm_sec);
  info.minutes = static_cast<unsigned>(local.tm_min);
  info.hours = static_cast<unsigned>(local.tm_hour);
  info.dayOfMonth = static_cast<unsigned>(local.tm_mday);
  info.month = static_cast<unsigned>(local.tm_mon);  // from 0
  info.year = static_cast<unsigned>(local.tm_year + 1900);
}

SSZipArchive::Clock::time_point SSZipArchive::dateWithMSDOSFormat(std::uint32_t word) {
  std::tm t{};
  t.tm_year = static_cast<int>((word >> 25) & 0x7F) + 1980 - 1900;
  t.tm_mon = static_cast<int>((word >> 21) & 0x0F) - 1;
  t.tm_mday = static_cast<int>((word >> 16) & 0x1F);
  t.tm_hour = static_cast<int>((word >> 11) & 0x1F);
  t.tm_min = static_cast<int>((word >> 5) & 0x3F);
  t.tm_sec = static_cast<int>(word & 0x1F) * 2;
  t.tm_isdst = -1;  // archives carry no time zone: local time, with its daylight saving
  return Clock::from_time_t(std::mktime(&t));
}
