// The SQLite side of the object store: schema, row reads, fetches and transactional saves.
#include "store/internal/StoreCoordinator.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>

#include "platform/Format.h"
#include "platform/LargeData.h"
#include "platform/Log.h"
#include "platform/Settings.h"
#include "platform/UUID.h"
#include "store/LibraryFiles.h"
#include "store/StoreErrors.h"

namespace qv {

namespace {

constexpr const char* kMetadataTable = "store_metadata";
// The metadata key the save that first stores a scan writes: the library is the user's from then
// on, even when emptied, and never taken for an older program's new and empty one.
constexpr const char* kHeldScansKey = "HeldScans";
// The SQL function that reads a path a row names as ownLibraryFile does.
constexpr const char* kLibraryFileFunction = "library_file";
// Pages of 8 KiB keep the overflow chains of megabyte-sized vertex buffers short.
constexpr int kPageSize = 8192;
// The size the log is cut back to each time it starts over.
constexpr int kJournalSizeLimit = 64 << 20;
// Stored buffers from this size on are shared between the contexts that read them.
constexpr std::size_t kHeldBlobBytes = std::size_t{1} << 20;

std::string quoted(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

// The table of one large (bytes) attribute: one row per object that has a value, under the
// object's own number. Kept out of the object's row, a value is written only when it changes:
// SQLite writes a changed row whole, so a scan's tens of megabytes of points were written again
// by every save of its name, its view or its opened date.
std::string largeValueTable(const EntityDescription& entity, const AttributeDescription& attribute) {
  return entity.name() + "." + attribute.name;
}

std::string createLargeValueTables(const EntityDescription& entity, const char* ifNotExists) {
  std::string sql;
  for (const auto& a : entity.attributes())
    if (a.type == AttributeType::Data)
      sql += std::string("CREATE TABLE ") + ifNotExists + quoted(largeValueTable(entity, a)) +
             " (id INTEGER PRIMARY KEY REFERENCES " + quoted(entity.name()) +
             "(id) ON DELETE CASCADE DEFERRABLE INITIALLY DEFERRED, bytes BLOB NOT NULL);";
  return sql;
}

const char* columnType(AttributeType type) {
  switch (type) {
    case AttributeType::Integer: return "INTEGER";
    case AttributeType::Double: return "REAL";
    case AttributeType::String: return "TEXT";
    case AttributeType::Date: return "INTEGER";
    case AttributeType::Data: return "BLOB";
    case AttributeType::Object: return "TEXT";
  }
  return "";
}

const char* sqlOperator(Comparison op) {
  switch (op) {
    case Comparison::Equal: return "=";
    case Comparison::NotEqual: return "!=";
    case Comparison::Less: return "<";
    case Comparison::LessOrEqual: return "<=";
    case Comparison::Greater: return ">";
    case Comparison::GreaterOrEqual: return ">=";
  }
  return "=";
}

bool isUnreadableCode(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

// Locks, disk errors and a lack of memory are not the file's fault: such a failure leaves the
// file alone, where any other failure to read our own tables means the file is not (or no longer)
// a store this model can use.
bool isTransientCode(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED || primary == SQLITE_IOERR || primary == SQLITE_NOMEM ||
         primary == SQLITE_CANTOPEN;
}

using WriteAccess = std::function<int(const std::filesystem::path&)>;

// Why a file SQLite opened for reading only cannot be written, in the system's own words.
std::string whyNotWritable(const std::filesystem::path& file, const WriteAccess& writeAccess) {
  const int err = writeAccess(file);
  return err ? std::strerror(err) : "the file cannot be written";
}

// SQLite's write-ahead log and the shared-memory index of it, beside the store file.
constexpr const char* kLogSuffix = "-wal";
constexpr const char* kIndexSuffix = "-shm";

std::filesystem::path companion(const std::filesystem::path& file, const char* suffix) {
  return file.string() + suffix;
}

// The size of a log with something in it that lies beside a file holding no database SQLite
// could have written (no SQLite header, or less than its first page); 0 otherwise. SQLite drops
// the log of an empty file as it opens it, for reading too, and reads the pages a log holds over
// those of any other file: a store file emptied by hand, or by a crash before its pages reached
// the disk, would lose the saves its log still holds. Such a pair is never handed to SQLite.
std::uintmax_t logBesideNoDatabase(const std::filesystem::path& file) {
  std::error_code ec;
  const auto logBytes = std::filesystem::file_size(companion(file, kLogSuffix), ec);
  if (ec || logBytes == 0) return 0;
  const auto size = std::filesystem::file_size(file, ec);
  if (ec) return 0;  // no file, or none that can be examined: the opening says why
  std::ifstream in(file, std::ios::binary);
  if (!in) return 0;  // SQLite cannot read it either, and says why
  unsigned char header[100] = {};
  in.read(reinterpret_cast<char*>(header), sizeof header);
  static constexpr char kMagic[] = "SQLite format 3";  // 16 bytes with its terminating NUL
  if (in.gcount() < static_cast<std::streamsize>(sizeof header) || std::memcmp(header, kMagic, sizeof kMagic) != 0)
    return logBytes;
  const unsigned stored = static_cast<unsigned>(header[16]) << 8 | header[17];
  const unsigned pageSize = stored == 1 ? 65536 : stored;
  if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0) return logBytes;
  return size < pageSize ? logBytes : 0;
}

// Whether a connection, of any process, holds a lock on one of the files: SQLite's connections
// lock the store file and the log's index while they have the store open. The kernel's list is
// read rather than the files asked, because closing a descriptor of a file drops every lock this
// process holds on it. What cannot be known counts as held.
bool anyLockHeldOn(const std::vector<std::filesystem::path>& files) {
  std::vector<std::string> keys;  // as the list names a file: device major:minor in hex, inode
  for (const auto& file : files) {
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0)
      keys.push_back(format("%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                            static_cast<unsigned long long>(st.st_ino)));
  }
  std::ifstream locks("/proc/locks");
  if (!locks) return true;
  std::string token;
  while (locks >> token)
    if (std::find(keys.begin(), keys.end(), token) != keys.end()) return true;
  return false;
}

// Puts a copy of the file owned by this process, with `mode`, in its place in one rename: every
// byte is kept and the name never goes missing. 0, else the system's error number.
int replaceWithOwnCopy(const std::filesystem::path& file, mode_t mode) {
  const int in = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  std::string temporary = file.string() + ".XXXXXX";
  const int out = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (out < 0) {
    const int err = errno;
    ::close(in);
    return err;
  }
  int err = 0;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) err = errno;
      break;
    }
    for (ssize_t done = 0; done < n && !err;) {
      const ssize_t w = ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno != EINTR) err = errno;
      if (w > 0) done += w;
    }
    if (err) break;
  }
  if (!err && ::fchmod(out, mode) != 0) err = errno;
  if (!err && ::fsync(out) != 0) err = errno;
  ::close(in);
  if (::close(out) != 0 && !err) err = errno;
  if (!err && ::rename(temporary.c_str(), file.c_str()) != 0) err = errno;
  if (err) ::unlink(temporary.c_str());
  return err;
}

// Log and index files that SQLite made while the store file could only be read keep that mode
// when the file is made writable again, and SQLite then refuses every save. Such a file is made
// writable without changing a byte of it (a log may hold saves not yet copied into the store
// file): its mode becomes the store file's where this process may change it, or else it is
// replaced by a copy of its own. Never while a connection has the store open, whose view of the
// files must not change under it. Nothing when every companion can be written afterwards; else
// why the store can only be read.
std::optional<std::string> mendCompanions(const std::filesystem::path& file, const WriteAccess& writeAccess) {
  std::vector<std::pair<std::filesystem::path, int>> stuck;
  std::error_code ec;
  for (const char* suffix : {kLogSuffix, kIndexSuffix}) {
    const auto path = companion(file, suffix);
    if (!std::filesystem::exists(path, ec)) continue;
    if (const int err = writeAccess(path)) stuck.emplace_back(path, err);
  }
  if (stuck.empty()) return std::nullopt;
  const auto named = [](const std::filesystem::path& path, int err) {
    return "its companion file " + path.string() + " cannot be written: " + std::strerror(err);
  };
  if (anyLockHeldOn({file, companion(file, kIndexSuffix)}))
    return named(stuck.front().first, stuck.front().second) + "; another program has the library open";
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return named(stuck.front().first, errno);
  for (const auto& [path, why] : stuck) {
    int err = ::chmod(path.c_str(), st.st_mode & 0777) == 0 ? writeAccess(path) : errno;
    if (err) err = replaceWithOwnCopy(path, st.st_mode & 0777);
    if (!err) err = writeAccess(path);
    if (err) return named(path, err);
    QVLogWarn("The store's companion file %s could not be written (%s); it can be again, its contents kept",
              path.c_str(), std::strerror(why));
  }
  return std::nullopt;
}

// SQLite keeps infinities in a REAL column but turns NaN into NULL, which reads back as unset. A
// NaN is therefore kept as the eight bytes of the double itself, so its payload comes back too.
void bindDouble(sqlite3_stmt* stmt, int index, double v) {
  if (!std::isnan(v)) {
    sqlite3_bind_double(stmt, index, v);
    return;
  }
  std::uint8_t bits[sizeof v];
  std::memcpy(bits, &v, sizeof v);
  sqlite3_bind_blob(stmt, index, bits, sizeof bits, SQLITE_TRANSIENT);
}

std::optional<double> nanFromBlob(sqlite3_stmt* stmt, int column) {
  if (sqlite3_column_bytes(stmt, column) != static_cast<int>(sizeof(double))) return std::nullopt;
  double v;
  std::memcpy(&v, sqlite3_column_blob(stmt, column), sizeof v);
  return v;
}

// An integer column given a double keeps its whole part; values no integer holds saturate (NaN is 0)
// rather than being undefined.
std::int64_t wholePart(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (v <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(v);
}

// Resets a cached statement when the work with it is done, whatever the outcome.
struct StatementUse {
  sqlite3_stmt* stmt;
  ~StatementUse() {
    if (stmt) {
      sqlite3_reset(stmt);
      sqlite3_clear_bindings(stmt);
    }
  }
};

}  // namespace

std::string fileURLString(const std::filesystem::path& path) {
  static const char* hex = "0123456789ABCDEF";
  // SQLite reads what follows "file://" up to the next "/" as the host: a relative path would
  // name one ("invalid uri authority"). The path is made absolute, so the host is always empty.
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  std::string out = "file://";
  for (unsigned char c : (ec ? path : absolute).string()) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '/' || c == '-' || c == '_' || c == '.' || c == '~';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

StoreCoordinator::StoreCoordinator(ModelPtr model)
    : model_(std::move(model)), storeIdentifier_(std::make_shared<const std::string>(makeUUIDString())) {
  scanEntity_ = model_->entity("QVSDScanObject").get();
  for (const auto& entity : model_->entities())
    hasSerialisedValues_.push_back(std::any_of(entity->attributes().begin(), entity->attributes().end(),
                                               [](const auto& a) { return a.type == AttributeType::Object; }));
}

StoreCoordinator::~StoreCoordinator() { close(); }

void StoreCoordinator::close() {
  {
    std::lock_guard lock(checkpointMutex_);
    if (checkpointDb_) sqlite3_close_v2(checkpointDb_);
    checkpointDb_ = nullptr;
  }
  std::lock_guard lock(mutex_);
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  statements_.clear();
  writeStatements_.clear();
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
  heldBlobs_.clear();  // versions of another connection, and perhaps of another file
  readOnlyError_.reset();
  largeValuesApart_ = false;
}

bool StoreCoordinator::inUse(const std::filesystem::path& file) {
  return anyLockHeldOn({file, companion(file, kIndexSuffix)});
}

bool StoreCoordinator::foldLogIntoFile(const std::filesystem::path& file, std::string* why) {
  std::error_code ec;
  auto companionsLeft = [&] {
    return std::filesystem::exists(companion(file, kLogSuffix), ec) ||
           std::filesystem::exists(companion(file, kIndexSuffix), ec);
  };
  if (!companionsLeft()) return true;
  if (const auto logBytes = logBesideNoDatabase(file)) {
    if (why) *why = format("the file holds no database, so its log of %ju bytes stays unread beside it", logBytes);
    return false;
  }
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  std::string reason;
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(db, 2000);
    // The log is opened by the first read; until then a checkpoint does nothing.
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  }
  if (rc != SQLITE_OK) reason = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  rc = sqlite3_close(db);
  if (reason.empty() && rc != SQLITE_OK) reason = sqlite3_errstr(rc);
  if (!companionsLeft()) return true;
  if (why) *why = reason.empty() ? "its log could not be copied into it" : reason;
  return false;
}

bool StoreCoordinator::isOpen() const {
  std::lock_guard lock(mutex_);
  return db_ != nullptr;
}

void StoreCoordinator::setUnavailable(const Error& why) {
  std::lock_guard lock(mutex_);
  unavailable_ = why;
}

std::optional<Error> StoreCoordinator::writeProblem() const {
  std::lock_guard lock(mutex_);
  return writeProblemLocked();
}

std::optional<Error> StoreCoordinator::writeProblemLocked() const {
  if (db_) return readOnlyError_;
  if (!unavailable_) return Error(kScanErrorDomain, kStoreUnavailableError, "The scan library is not open");
  // The platform's error (a folder that cannot be made, say) keeps its words under the store's
  // code, so that callers tell a closed store by one code.
  Error error(kScanErrorDomain, kStoreUnavailableError, unavailable_->description, unavailable_->userInfo);
  error.userInfo[Error::kUnderlyingErrorKey] = unavailable_->text();
  return error;
}

Error StoreCoordinator::sqliteError(int rc, const std::string& what) const {
  std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
  // A disk without room is told as such, naming the library folder: SQLite answers SQLITE_FULL
  // for a full disk, and an I/O error carrying the system's code for a spent quota.
  const int systemCode = db_ ? sqlite3_system_errno(db_) : 0;
  int outOfSpace = isOutOfSpace(systemCode) && ((rc & 0xFF) == SQLITE_FULL || (rc & 0xFF) == SQLITE_IOERR) ? systemCode : 0;
  if ((rc & 0xFF) == SQLITE_FULL && outOfSpace == 0) outOfSpace = ENOSPC;  // a short write leaves no system code
  if (outOfSpace != 0) {
    const std::filesystem::path folder = file_.has_parent_path() ? file_.parent_path() : std::filesystem::path(".");
    return Error(kScanErrorDomain, kStoreOperationError, what + ": " + writeFailureReason(outOfSpace, folder.string()),
                 {{Error::kFilePathKey, file_.string()}, {kSQLiteResultCodeKey, rc}, {Error::kUnderlyingErrorKey, outOfSpace}});
  }
  return Error(kScanErrorDomain, kStoreOperationError, what + ": " + message,
               {{Error::kFilePathKey, file_.string()}, {kSQLiteResultCodeKey, rc}});
}

sqlite3_stmt* StoreCoordinator::prepare(const std::string& sql, Error* error) {
  if (auto it = statements_.find(sql); it != statements_.end()) return it->second;
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    if (error) *error = sqliteError(rc, "Cannot prepare a store query");
    sqlite3_finalize(stmt);
    return nullptr;
  }
  statements_.emplace(sql, stmt);
  return stmt;
}

bool StoreCoordinator::exec(const std::string& sql, Error* error) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
  sqlite3_free(message);
  if (rc != SQLITE_OK) {
    if (error) *error = sqliteError(rc, "Store command failed");
    return false;
  }
  return true;
}

StoreCoordinator::OpenResult StoreCoordinator::open(const std::filesystem::path& file, Error* error,
                                                    const WriteAccess& writeAccess) {
  close();
  std::error_code ec;
  const bool hadLog = std::filesystem::exists(companion(file, kLogSuffix), ec);
  const bool hadIndex = std::filesystem::exists(companion(file, kIndexSuffix), ec);
  Error failure;
  OpenResult result = openFile(file, &failure, writeAccess, std::nullopt);
  // Opening for writing makes the log's index (32 KB) and may add tables: on a full disk that
  // fails, though every scan can still be read. The library is then opened for reading, naming
  // the full disk, and the companions the attempt made are taken away again.
  if (result == OpenResult::Failed && isOutOfSpace(failure) && std::filesystem::exists(file, ec) &&
      !anyLockHeldOn({file, companion(file, kIndexSuffix)})) {
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    for (const auto& [suffix, had] : {std::pair{kLogSuffix, hadLog}, std::pair{kIndexSuffix, hadIndex}})
      if (!had) std::filesystem::remove(companion(file, suffix), ec);
    const int systemCode = static_cast<int>(find(failure.userInfo, Error::kUnderlyingErrorKey)->toInt64());
    const std::string reason = writeFailureReason(systemCode, folder.string());
    QVLogWarn("The scan library %s cannot be opened for writing (%s); it is opened for reading", file.c_str(),
              reason.c_str());
    result = openFile(file, &failure, writeAccess, reason);
  }
  if (error && (result == OpenResult::Unreadable || result == OpenResult::Failed)) *error = failure;
  return result;
}

StoreCoordinator::OpenResult StoreCoordinator::openFile(const std::filesystem::path& file, Error* error,
                                                        const WriteAccess& writeAccess,
                                                        const std::optional<std::string>& readOnlyBecause) {
  close();
  std::lock_guard lock(mutex_);
  unavailable_.reset();
  file_ = file;
  notes_.clear();
  storedNextNumber_ = 1;
  heldScansMarked_ = false;
  filesFolder_.clear();
  filesMarker_.clear();
  filesPrefix_.clear();
  // Why the store can only be read, found before SQLite is asked: SQLite keeps its log and the
  // log's index beside the file, and where it cannot write those it fails to open or refuses
  // every save without saying why.
  std::optional<std::string> readOnlyReason = readOnlyBecause;
  std::error_code ec;
  const bool exists = std::filesystem::exists(file, ec);
  // A log that is there before we open the file was left by a run that never closed it.
  const auto leftOverLog = std::filesystem::file_size(companion(file, kLogSuffix), ec);
  const std::uintmax_t leftOverLogBytes = ec ? 0 : leftOverLog;
  const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
  if (const auto logBytes = exists ? logBesideNoDatabase(file) : 0) {
    if (error)
      *error = Error(kScanErrorDomain, kStoreUnavailableError,
                     format("The store file holds no database, but the log beside it holds %ju bytes of saves",
                            logBytes),
                     {{Error::kFilePathKey, file.string()}, {kSQLiteResultCodeKey, SQLITE_NOTADB}});
    return OpenResult::Unreadable;
  }
  if (readOnlyReason) {
    if (!exists) {
      if (error)
        *error = Error(kScanErrorDomain, kStoreUnavailableError, "Cannot create the store file: " + *readOnlyReason,
                       {{Error::kFilePathKey, file.string()}});
      return OpenResult::Failed;
    }
  } else if (const int err = writeAccess(folder)) {
    readOnlyReason = "its folder " + folder.string() + " cannot be written: " + std::strerror(err);
    if (!exists) {
      if (error)
        *error = Error(kScanErrorDomain, kStoreUnavailableError, "Cannot create the store file: " + *readOnlyReason,
                       {{Error::kFilePathKey, file.string()}});
      return OpenResult::Failed;
    }
  } else if (exists) {
    if (const int err = writeAccess(file)) readOnlyReason = std::strerror(err);
    else readOnlyReason = mendCompanions(file, writeAccess);
  }
  int rc;
  if (readOnlyReason) {
    // Read without making anything beside the file (SQLite would make its log and index with the
    // file's mode, and they would stay read-only once the file is writable again): the log is
    // read through its index when both are there; otherwise the file is taken as it stands (a
    // log without an index cannot be read without writing one: its latest saves stay unseen, not
    // lost, until the folder is writable).
    const bool hasLog = std::filesystem::exists(companion(file, kLogSuffix), ec);
    const bool logReadable = hasLog && std::filesystem::exists(companion(file, kIndexSuffix), ec);
    if (hasLog && !logReadable)
      QVLogWarn("The store's log %s has no index and none can be made: its latest saves are not shown",
                companion(file, kLogSuffix).c_str());
    const std::string uri = fileURLString(file) + (logReadable ? "?mode=ro" : "?mode=ro&immutable=1");
    rc = sqlite3_open_v2(uri.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
  } else {
    rc = sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  }
  auto failWith = [&](int code, Error made) {
    const OpenResult result = isUnreadableCode(code) ? OpenResult::Unreadable : OpenResult::Failed;
    if (error) {
      *error = std::move(made);
      error->code = kStoreUnavailableError;
    }
    for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
    statements_.clear();
    writeStatements_.clear();
    sqlite3_close_v2(db_);
    db_ = nullptr;
    return result;
  };
  auto fail = [&](int code, const std::string& what) { return failWith(code, sqliteError(code, what)); };
  // A step that failed with an error of its own keeps it (and SQLite's code, which tells a damaged
  // file from a full disk).
  auto failInner = [&](const Error& inner) {
    const auto* code = find(inner.userInfo, kSQLiteResultCodeKey);
    return failWith(code ? static_cast<int>(code->toInt64()) : SQLITE_ERROR, inner);
  };
  if (rc != SQLITE_OK) return fail(rc, "Cannot open the store file");
  // Fetches compare the files the rows name as they are read (see ownLibraryFile).
  rc = sqlite3_create_function_v2(db_, kLibraryFileFunction, 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY, this,
                                  &StoreCoordinator::libraryFileFunction, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return fail(rc, "Cannot open the store file");
  sqlite3_busy_timeout(db_, 5000);
  sqlite3_extended_result_codes(db_, 1);
  // SQLite falls back to reading only when the file cannot be opened for writing, and says
  // nothing: the store is kept open for reading, and every save names the reason.
  bool readOnly = readOnlyReason || sqlite3_db_readonly(db_, "main") == 1;
  bool olderLayout = false;

  // Counting the schema's entries reads the file's header and first page: a file that is not a
  // database fails here, before anything is written to it.
  sqlite3_stmt* stmt = nullptr;
  rc = sqlite3_prepare_v2(db_, "SELECT count(*) FROM sqlite_master", -1, &stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
  const std::int64_t entries = rc == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
  sqlite3_finalize(stmt);
  if (entries < 0) return fail(rc, "Cannot read the store file");

  Error inner;
  if (entries == 0) {
    if (!exec(format("PRAGMA page_size=%d", kPageSize), &inner)) return failInner(inner);
  } else {
    // Our file carries the model's fingerprint; anything else is another program's database or
    // a store of another model, which this model cannot read.
    std::string version, identifier;
    std::int64_t next = 1;
    rc = sqlite3_prepare_v2(db_, "SELECT key, value FROM store_metadata", -1, &stmt, nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_finalize(stmt);
      // No metadata table: a database, but not a store of ours.
      return fail(isTransientCode(rc) ? rc : SQLITE_NOTADB, "The store file was not written by this application");
    }
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      const auto* k = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
      if (!k) {
        // We never write a key without its name: this table is another program's.
        sqlite3_finalize(stmt);
        return fail(SQLITE_NOTADB, "The store file was not written by this application");
      }
      const std::string key = k;
      const unsigned char* v = sqlite3_column_text(stmt, 1);
      const std::string value = v ? reinterpret_cast<const char*>(v) : "";
      if (key == "ModelVersion") version = value;
      else if (key == "StoreUUID") identifier = value;
      else if (key == "NextObjectNumber") next = std::max<std::int64_t>(1, std::atoll(value.c_str()));
      else notes_[key] = value;
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) return fail(rc, "Cannot read the store file");
    olderLayout = version == model_->versionHash();
    if ((!olderLayout && version != layoutMark()) || identifier.empty()) {
      if (error) {
        *error = Error(kScanErrorDomain, kStoreUnavailableError,
                       "The store file was written with another data model (" + version + ", expected " +
                           layoutMark() + ")",
                       {{Error::kFilePathKey, file_.string()}, {kStoredModelVersionKey, version}});
      }
      for (auto& [sql, s] : statements_) sqlite3_finalize(s);
      statements_.clear();
  writeStatements_.clear();
      sqlite3_close_v2(db_);
      db_ = nullptr;
      return OpenResult::Unreadable;
    }
    storeIdentifier_ = std::make_shared<const std::string>(identifier);
    nextNumber_ = next;
    storedNextNumber_ = next;
    heldScansMarked_ = notes_.count(kHeldScansKey) > 0;
  }

  // The journal mode is kept in the file itself, which a read-only file cannot change.
  if ((!readOnly && !exec("PRAGMA journal_mode=WAL", &inner)) || !exec("PRAGMA synchronous=NORMAL", &inner) ||
      !exec("PRAGMA foreign_keys=ON", &inner) || !exec(format("PRAGMA journal_size_limit=%d", kJournalSizeLimit), &inner))
    return failInner(inner);
  if (entries == 0) {
    storeIdentifier_ = std::make_shared<const std::string>(makeUUIDString());
    nextNumber_ = 1;
    if (!createSchema(&inner)) return failInner(inner);
  } else {
    // A number handed out but never saved may be given again; a saved one never.
    // Every table is read here: one that is missing or damaged makes the file unusable with this
    // model, as a foreign file is, rather than failing every later fetch and save.
    for (const auto& entity : model_->entities()) {
      rc = sqlite3_prepare_v2(db_, ("SELECT max(id) FROM " + quoted(entity->name())).c_str(), -1, &stmt, nullptr);
      if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return fail(isTransientCode(rc) ? rc : SQLITE_CORRUPT, "The store file lacks the table of " + entity->name());
      }
      rc = sqlite3_step(stmt);
      if (rc == SQLITE_ROW) nextNumber_ = std::max<std::int64_t>(nextNumber_, sqlite3_column_int64(stmt, 0) + 1);
      sqlite3_finalize(stmt);
      if (rc != SQLITE_ROW) return fail(rc, "Cannot read the table of " + entity->name());
    }
    // A library of the older layout gets its tables with the rest of the change to this layout,
    // in the same transaction: a change that fails leaves none behind.
    if (!openLargeValueTables(readOnly || olderLayout, &inner)) return failInner(inner);
  }
  const std::filesystem::path filesFolder = folder / filesFolderName(*storeIdentifier_);
  if (olderLayout && readOnly) {
    filesFolder_ = folder;  // read as it stands
  } else if (olderLayout && !upgradeLayout(filesFolder, &inner)) {
    // Written in this layout, the library would lose its scans to an older program: it is kept
    // as it is, for reading, until the change can be made.
    QVLogError("The scan library %s could not be changed to this version's layout: %s", file.c_str(),
               inner.text().c_str());
    readOnly = true;
    readOnlyReason = "it could not be changed to this version's layout: " + inner.description;
    filesFolder_ = folder;
  } else {
    if (!readOnly && !std::filesystem::create_directory(filesFolder, ec) && ec)
      QVLogWarn("Cannot create the library's files folder %s: %s", filesFolder.c_str(), ec.message().c_str());
    filesFolder_ = filesFolder;
    filesMarker_ = "/" + filesFolder.filename().string() + "/";
    filesPrefix_ = filesFolder.string() + "/";
  }
  if (readOnly) {
    readOnlyError_ = Error(kScanErrorDomain, kStoreReadOnlyError,
                           "The scan library " + file.string() + " can only be read (" +
                               (readOnlyReason ? *readOnlyReason : whyNotWritable(file, writeAccess)) +
                               "). Its scans can be opened, but nothing can be saved in it until it can be written.",
                           {{Error::kFilePathKey, file.string()}});
    // Checkpoints write: a file that cannot be written has none to run.
    return OpenResult::OpenedReadOnly;
  }
  startCheckpoints(leftOverLogBytes);
  return OpenResult::Opened;
}

namespace {
// Pages in the log after which a checkpoint is started in the background (8 MB).
constexpr int kCheckpointPages = 1000;
// Pages in the log from which the next save first waits for the log to be wholly in the file,
// so that it starts the log over (64 MB, the size the log is then cut back to): a stream of saves
// that leaves the background checkpoints no pause to finish in cannot grow the log further than
// that and one save. Saves with pauses between them never wait: the background has finished.
constexpr int kLogLimitPages = kJournalSizeLimit / kPageSize;
}  // namespace

void StoreCoordinator::startCheckpoints(std::uintmax_t leftOverLogBytes) {
  // Copying the log back into the file (and syncing both) would otherwise happen inside the save
  // that crossed the threshold, doubling its time. A second connection does it on a queue of its
  // own instead: a passive checkpoint never waits for, nor blocks, the contexts' reads and saves.
  // Once the log is wholly in the file, the next save starts it over from its beginning.
  sqlite3* checkpointDb = nullptr;
  if (sqlite3_open_v2(file_.c_str(), &checkpointDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(checkpointDb);
    return;  // the connection's own automatic checkpoints stay in place
  }
  sqlite3_busy_timeout(checkpointDb, 5000);
  // A connection opens the log only when it first reads: until then it takes the file for one
  // without a log, and every checkpoint it is asked for does nothing and says nothing.
  if (sqlite3_exec(checkpointDb, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(checkpointDb);
    return;
  }
  {
    std::lock_guard lock(checkpointMutex_);
    checkpointDb_ = checkpointDb;
  }
  if (!checkpointQueue_) checkpointQueue_ = makeSerialQueue("com.quorvel.store.checkpoint");
  sqlite3_wal_hook(db_, &StoreCoordinator::walCommitted, this);

  // A log left by a run that ended without closing the store (killed, or crashed) holds saves
  // the file does not: fold it in now, in the background, so that the launch does not wait for it.
  if (leftOverLogBytes > 0) {
    checkpointPending_ = true;
    std::weak_ptr<StoreCoordinator> weak = weak_from_this();
    checkpointQueue_->async([weak, leftOver = leftOverLogBytes] {
      if (auto strong = weak.lock()) {
        strong->checkpointPending_ = false;
        // Folded only when the log held saves and every one of them is in the file now: a log
        // whose frames SQLite cannot take for saves (cut short, or started over) held none.
        int frames = 0;
        if (!strong->checkpoint(true, &frames)) return;
        if (frames > 0)
          QVLogInfo("Folded the library's log of %.1f MB, left by an earlier run, into %s",
                    static_cast<double>(leftOver) / 1e6, strong->file_.c_str());
        else
          QVLogInfo("The library's log of %.1f MB, left by an earlier run, held no saves to fold into %s",
                    static_cast<double>(leftOver) / 1e6, strong->file_.c_str());
      }
    });
  }
}

bool StoreCoordinator::checkpoint(bool truncate, int* logFrames) {
  std::lock_guard lock(checkpointMutex_);
  if (!checkpointDb_) return false;
  int logPages = 0, copiedPages = 0;
  int rc = sqlite3_wal_checkpoint_v2(checkpointDb_, "main", SQLITE_CHECKPOINT_PASSIVE, &logPages, &copiedPages);
  if (rc != SQLITE_OK || logPages != copiedPages) return false;
  if (logFrames) *logFrames = logPages;
  if (truncate) {
    // Everything is in the file: empty the log as well, unless a save or a read is under way
    // (the next save then starts it over, and the size limit cuts it back).
    sqlite3_busy_timeout(checkpointDb_, 0);
    sqlite3_wal_checkpoint_v2(checkpointDb_, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    sqlite3_busy_timeout(checkpointDb_, 5000);
  }
  return true;
}

int StoreCoordinator::walCommitted(void* self, sqlite3*, const char*, int pages) {
  auto* coordinator = static_cast<StoreCoordinator*>(self);
  coordinator->logPages_ = pages;
  if (pages < kCheckpointPages || coordinator->checkpointPending_.exchange(true)) return SQLITE_OK;
  std::weak_ptr<StoreCoordinator> weak = coordinator->weak_from_this();
  coordinator->checkpointQueue_->async([weak] {
    auto strong = weak.lock();
    if (!strong) return;
    strong->checkpointPending_ = false;
    strong->checkpoint(false);
  });
  return SQLITE_OK;
}

bool StoreCoordinator::createSchema(Error* error) {
  std::string sql = "BEGIN;";
  sql += std::string("CREATE TABLE ") + kMetadataTable + " (key TEXT PRIMARY KEY, value TEXT);";
  for (const auto& entity : model_->entities()) {
    sql += "CREATE TABLE " + quoted(entity->name()) + " (id INTEGER PRIMARY KEY";
    for (const auto& a : entity->attributes()) sql += ", " + quoted(a.name) + " " + columnType(a.type);
    for (const auto& r : entity->toOneRelationships()) {
      sql += ", " + quoted(r.name) + " INTEGER REFERENCES " + quoted(r.destination) +
             "(id) ON DELETE CASCADE DEFERRABLE INITIALLY DEFERRED";
    }
    sql += ");";
    for (const auto& r : entity->toOneRelationships())
      sql += "CREATE INDEX " + quoted(entity->name() + "_" + r.name) + " ON " + quoted(entity->name()) + "(" +
             quoted(r.name) + ");";
    sql += createLargeValueTables(*entity, "");
  }
  sql += std::string("INSERT INTO ") + kMetadataTable + " VALUES ('ModelVersion', '" + layoutMark() + "');";
  sql += std::string("INSERT INTO ") + kMetadataTable + " VALUES ('StoreUUID', '" + *storeIdentifier_ + "');";
  sql += std::string("INSERT INTO ") + kMetadataTable + " VALUES ('NextObjectNumber', '1');";
  sql += "COMMIT;";
  if (!exec(sql, error)) {
    exec("ROLLBACK", nullptr);
    return false;
  }
  largeValuesApart_ = true;
  return true;
}

bool StoreCoordinator::openLargeValueTables(bool readOnly, Error* error) {
  // A library written before large values had tables of their own keeps its values in the
  // objects' rows until each is next written; the tables are added (empty) when the file can be
  // written, and a library that can only be read is read as it stands.
  std::size_t wanted = 0, found = 0;
  sqlite3_stmt* stmt = prepare("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?", error);
  if (!stmt) return false;
  for (const auto& entity : model_->entities())
    for (const auto& a : entity->attributes()) {
      if (a.type != AttributeType::Data) continue;
      ++wanted;
      StatementUse use{stmt};
      const std::string name = largeValueTable(*entity, a);
      sqlite3_bind_text(stmt, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_int64(stmt, 0) > 0) ++found;
    }
  largeValuesApart_ = found == wanted;
  if (largeValuesApart_ || readOnly) return true;
  std::string sql = "BEGIN;";
  for (const auto& entity : model_->entities()) sql += createLargeValueTables(*entity, "IF NOT EXISTS ");
  sql += "COMMIT;";
  if (!exec(sql, error)) {
    exec("ROLLBACK", nullptr);
    return false;
  }
  largeValuesApart_ = true;
  return true;
}

// Programs before this layout compare the fingerprint exactly and take a library with any other
// value for one of another model: they move it aside whole and say so. Read by them as it is, its
// scans would show no points (those are in tables such programs do not know) and be deleted at
// their next launch as scans without data. Made of the fingerprint, the mark still changes with
// the model.
std::string StoreCoordinator::layoutMark() const { return model_->versionHash() + "-2"; }

std::string StoreCoordinator::filesFolderName(const std::string& storeIdentifier) {
  return kFilesFolderPrefix + storeIdentifier;
}

namespace {

std::filesystem::path withoutTrailingSeparator(const std::filesystem::path& path) {
  std::filesystem::path normal = path.lexically_normal();
  return normal.has_filename() || !normal.has_parent_path() ? normal : normal.parent_path();
}

}  // namespace

bool StoreCoordinator::upgradeLayout(const std::filesystem::path& filesFolder, Error* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const bool madeFolder = fs::create_directory(filesFolder, ec);
  if (ec) {
    if (error) *error = posixError(ec.value(), "Cannot create the library's files folder " + filesFolder.string());
    return false;
  }
  // The files the rows name directly beside the store file (where an older program's clean-up
  // judges them) get a second name in the files folder; the rows are changed to it in the same
  // transaction as the mark, and the first names are removed only once that is committed. A
  // failure anywhere leaves both the rows and the files as they were. A library copied or moved
  // from another folder (another home, a restored backup) names its files where they lay there:
  // each is the file of that name beside this store, which is where the copy put it, and never
  // the file the row names elsewhere (that is the other library's, when it is still there).
  const fs::path folder = withoutTrailingSeparator(fs::absolute(file_, ec).parent_path());
  const std::string storeName = file_.filename().string();
  std::map<fs::path, fs::path> targets;  // a file beside the store → its name in the files folder
  std::vector<fs::path> made;            // names made now, taken back on failure
  std::vector<std::pair<std::string, std::string>> renamed;  // stored value → new value
  auto undo = [&] {
    for (const auto& path : made) fs::remove(path, ec);
    if (madeFolder) fs::remove(filesFolder, ec);  // only while empty: nothing but what this attempt made
    return false;
  };
  for (const auto& entity : model_->entities())
    for (const auto& a : entity->attributes()) {
      if (!a.libraryFile) continue;
      sqlite3_stmt* stmt = prepare("SELECT DISTINCT " + quoted(a.name) + " FROM " + quoted(entity->name()) +
                                       " WHERE " + quoted(a.name) + " IS NOT NULL",
                                   error);
      if (!stmt) return undo();
      StatementUse use{stmt};
      int rc;
      while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        const std::string value(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0)));
        const fs::path named = fs::path(value).lexically_normal();
        if (!named.is_absolute() || !named.has_filename()) continue;
        const std::string name = named.filename().string();
        if (name == "." || name == ".." || name.rfind(storeName, 0) == 0) continue;  // never the store itself
        const fs::path path = folder / named.filename();
        auto target = targets.find(path);
        if (target == targets.end()) {
          if (!fs::is_regular_file(path, ec)) continue;  // a file already gone stays named as it was
          fs::path to = filesFolder / path.filename();
          // A name made by an earlier attempt that did not finish is this very file.
          if (!fs::equivalent(path, to, ec)) {
            if (fs::exists(to, ec)) to = filesFolder / (makeUUIDString() + path.extension().string());
            fs::create_hard_link(path, to, ec);
            if (ec) fs::copy_file(path, to, ec);  // a file system without hard links
            if (ec) {
              if (error) *error = posixError(ec.value(), "Cannot move " + path.string() + " into " + filesFolder.string());
              return undo();
            }
            made.push_back(to);
          }
          target = targets.emplace(path, to).first;
        }
        renamed.emplace_back(value, target->second.string());
      }
      if (rc != SQLITE_DONE) {
        if (error) *error = sqliteError(rc, "Cannot read the files the library names");
        return undo();
      }
    }

  std::string sql = "BEGIN;";
  // The tables of large values, for a library written before they were kept apart.
  if (!largeValuesApart_)
    for (const auto& entity : model_->entities()) sql += createLargeValueTables(*entity, "IF NOT EXISTS ");
  sql += "CREATE TEMP TABLE moved_files (old TEXT PRIMARY KEY, new TEXT NOT NULL);";
  if (!exec(sql, error)) {
    exec("ROLLBACK", nullptr);
    return undo();
  }
  auto finish = [&](bool commit) {
    const bool done = commit && exec("DROP TABLE temp.moved_files; COMMIT", error);
    if (!done) exec("ROLLBACK; DROP TABLE IF EXISTS temp.moved_files", nullptr);
    return done;
  };
  {
    sqlite3_stmt* insert = nullptr;
    int rc = sqlite3_prepare_v2(db_, "INSERT OR IGNORE INTO temp.moved_files VALUES (?, ?)", -1, &insert, nullptr);
    for (const auto& [from, to] : renamed) {
      if (rc != SQLITE_OK) break;
      sqlite3_bind_text(insert, 1, from.data(), static_cast<int>(from.size()), SQLITE_STATIC);
      sqlite3_bind_text(insert, 2, to.data(), static_cast<int>(to.size()), SQLITE_STATIC);
      rc = sqlite3_step(insert) == SQLITE_DONE ? sqlite3_reset(insert) : sqlite3_errcode(db_);
    }
    sqlite3_finalize(insert);
    if (rc != SQLITE_OK) {
      if (error) *error = sqliteError(rc, "Cannot note the library's moved files");
      finish(false);
      return undo();
    }
  }
  sql.clear();
  for (const auto& entity : model_->entities())
    for (const auto& a : entity->attributes())
      if (a.libraryFile)
        sql += "UPDATE " + quoted(entity->name()) + " SET " + quoted(a.name) +
               " = (SELECT new FROM temp.moved_files WHERE old = " + quoted(entity->name()) + "." + quoted(a.name) +
               ") WHERE " + quoted(a.name) +
               " IN (SELECT old FROM temp.moved_files);";
  sql += std::string("UPDATE ") + kMetadataTable + " SET value = '" + layoutMark() + "' WHERE key = 'ModelVersion';";
  if (!exec(sql, error)) {
    finish(false);
    return undo();
  }
  if (!finish(true)) return undo();
  largeValuesApart_ = true;
  for (const auto& [from, to] : targets) {
    fs::remove(from, ec);
    if (ec) QVLogWarn("Cannot remove %s, now kept as %s: %s", from.c_str(), to.c_str(), ec.message().c_str());
  }
  QVLogInfo("Changed the scan library %s to this version's layout; its %zu files are in %s", file_.c_str(),
            targets.size(), filesFolder.c_str());
  return true;
}

bool StoreCoordinator::ownLibraryFile(std::string& path) const {
  if (filesMarker_.empty() || path.empty() || path.front() != '/') return false;
  const auto at = path.rfind(filesMarker_);
  if (at == std::string::npos) return false;
  const auto name = at + filesMarker_.size();
  if (name == filesPrefix_.size() && path.compare(0, name, filesPrefix_) == 0) return false;  // named where it lies
  const std::string_view rest = std::string_view(path).substr(name);
  if (rest.empty() || rest == "." || rest == ".." || rest.find('/') != std::string_view::npos) return false;
  path = filesPrefix_ + std::string(rest);
  return true;
}

void StoreCoordinator::libraryFileFunction(sqlite3_context* context, int, sqlite3_value** arguments) {
  const auto* self = static_cast<const StoreCoordinator*>(sqlite3_user_data(context));
  if (sqlite3_value_type(arguments[0]) != SQLITE_TEXT) {
    sqlite3_result_value(context, arguments[0]);
    return;
  }
  const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(arguments[0]));
  std::string path(text ? text : "", static_cast<std::size_t>(sqlite3_value_bytes(arguments[0])));
  if (self->ownLibraryFile(path)) sqlite3_result_text(context, path.data(), static_cast<int>(path.size()), SQLITE_TRANSIENT);
  else sqlite3_result_value(context, arguments[0]);
}

std::int64_t StoreCoordinator::allocateNumber() {
  std::lock_guard lock(mutex_);
  return nextNumber_++;
}

bool StoreCoordinator::onceHeldScans() {
  std::lock_guard lock(mutex_);
  if (!db_ || heldScansMarked_) return true;
  // Every number the file has handed out is held by a row: nothing was ever deleted, so no scan
  // was stored and removed since (numbers are the store's, not an entity's; an unsaved object's
  // number counts too, which errs on the side of the user).
  std::int64_t rows = 0, scans = 0;
  for (const auto& entity : model_->entities()) {
    sqlite3_stmt* stmt = nullptr;
    const std::string sql = "SELECT count(*), max(id) FROM " + quoted(entity->name());
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
    const std::int64_t count = rc == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
    const std::int64_t highest = rc == SQLITE_ROW ? sqlite3_column_int64(stmt, 1) : 0;
    sqlite3_finalize(stmt);
    if (count < 0 || highest >= storedNextNumber_) return true;
    rows += count;
    if (entity.get() == scanEntity_) scans = count;
  }
  return scans > 0 || storedNextNumber_ - 1 > rows;
}

bool StoreCoordinator::passesIntegrityCheck(std::string* finding) {
  std::lock_guard lock(mutex_);
  if (!db_) return false;
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db_, "PRAGMA integrity_check(1)", -1, &stmt, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
  std::string verdict;
  if (rc == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    verdict = text ? text : "";
  } else {
    verdict = sqlite3_errmsg(db_);
  }
  sqlite3_finalize(stmt);
  if (verdict == "ok") return true;
  // The finding comes after a line naming the database ("*** in database main ***").
  if (const auto lineEnd = verdict.rfind('\n'); lineEnd != std::string::npos) verdict.erase(0, lineEnd + 1);
  if (finding) *finding = verdict;
  return false;
}

std::optional<std::string> StoreCoordinator::note(const std::string& key) const {
  std::lock_guard lock(mutex_);
  const auto it = notes_.find(key);
  if (it == notes_.end()) return std::nullopt;
  return it->second;
}

bool StoreCoordinator::setNote(const std::string& key, const std::string& value, Error* error) {
  std::lock_guard lock(mutex_);
  if (auto problem = writeProblemLocked()) {
    if (error) *error = *problem;
    return false;
  }
  sqlite3_stmt* stmt =
      prepare(std::string("INSERT OR REPLACE INTO ") + kMetadataTable + " (key, value) VALUES (?1, ?2)", error);
  if (!stmt) return false;
  StatementUse use{stmt};
  sqlite3_bind_text(stmt, 1, key.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 2, value.c_str(), -1, SQLITE_TRANSIENT);
  const int rc = sqlite3_step(stmt);
  if (rc != SQLITE_DONE) {
    if (error) *error = sqliteError(rc, "Cannot write the store's metadata");
    return false;
  }
  notes_[key] = value;
  return true;
}

std::string StoreCoordinator::selectList(const EntityDescription& entity) const {
  std::string list = "id";
  for (const auto& a : entity.attributes())
    if (a.type != AttributeType::Data) list += ", " + quoted(a.name);
  for (const auto& r : entity.toOneRelationships()) list += ", " + quoted(r.name);
  return list;
}

void StoreCoordinator::bindValue(sqlite3_stmt* stmt, int index, const AttributeValue& value,
                                 const AttributeDescription& attribute, std::string& scratch) {
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          sqlite3_bind_null(stmt, index);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          if (attribute.type == AttributeType::Double) bindDouble(stmt, index, static_cast<double>(v));
          else sqlite3_bind_int64(stmt, index, v);
        } else if constexpr (std::is_same_v<T, double>) {
          if (attribute.type == AttributeType::Integer) sqlite3_bind_int64(stmt, index, wholePart(v));
          else bindDouble(stmt, index, v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          sqlite3_bind_text(stmt, index, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
        } else if constexpr (std::is_same_v<T, Date>) {
          sqlite3_bind_int64(stmt, index, microsecondsOf(v));
        } else if constexpr (std::is_same_v<T, SharedData>) {
          // An empty buffer is a value of its own, distinct from unset: bind it as a zero blob.
          if (!v) sqlite3_bind_null(stmt, index);
          else if (v->empty()) sqlite3_bind_zeroblob(stmt, index, 0);
          else sqlite3_bind_blob64(stmt, index, v->data(), v->size(), SQLITE_STATIC);
        } else {
          scratch = Settings::toJSON(Dictionary{{"value", v}});
          sqlite3_bind_text(stmt, index, scratch.data(), static_cast<int>(scratch.size()), SQLITE_STATIC);
        }
      },
      value);
}

AttributeValue StoreCoordinator::columnValue(sqlite3_stmt* stmt, int column, const AttributeDescription& attribute) {
  const int type = sqlite3_column_type(stmt, column);
  if (type == SQLITE_NULL) return {};
  switch (attribute.type) {
    case AttributeType::Integer:
      return type == SQLITE_FLOAT ? wholePart(sqlite3_column_double(stmt, column)) : sqlite3_column_int64(stmt, column);
    case AttributeType::Double:
      if (type == SQLITE_BLOB) {
        const auto v = nanFromBlob(stmt, column);
        return v ? AttributeValue(*v) : AttributeValue();
      }
      return sqlite3_column_double(stmt, column);
    case AttributeType::Date: return dateFromMicroseconds(sqlite3_column_int64(stmt, column));
    case AttributeType::String: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
      std::string value(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
      if (attribute.libraryFile) ownLibraryFile(value);
      return value;
    }
    case AttributeType::Data: {
      const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, column));
      const auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt, column));
      return std::make_shared<const Data>(bytes, bytes + size);
    }
    case AttributeType::Object: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
      auto dict = Settings::fromJSON(text ? text : "");
      if (!dict) return {};
      const Value* v = find(*dict, "value");
      return v ? AttributeValue(*v) : AttributeValue();
    }
  }
  return {};
}

StoredRow StoreCoordinator::readRowColumns(sqlite3_stmt* stmt, const EntityDescription& entity) {
  StoredRow row;
  row.number = sqlite3_column_int64(stmt, 0);
  const auto& attributes = entity.attributes();
  row.values.resize(attributes.size());
  row.loaded.assign(attributes.size(), true);
  int column = 1;
  for (std::size_t i = 0; i < attributes.size(); ++i) {
    if (attributes[i].type == AttributeType::Data) {
      row.loaded[i] = false;
      continue;
    }
    row.values[i] = columnValue(stmt, column++, attributes[i]);
  }
  row.toOne.resize(entity.toOneRelationships().size());
  for (auto& r : row.toOne) {
    if (sqlite3_column_type(stmt, column) != SQLITE_NULL) r = sqlite3_column_int64(stmt, column);
    ++column;
  }
  return row;
}

std::optional<StoredRow> StoreCoordinator::readRow(const EntityDescription& entity, std::int64_t number, Error* error) {
  std::lock_guard lock(mutex_);
  if (!db_) return std::nullopt;
  sqlite3_stmt* stmt = prepare("SELECT " + selectList(entity) + " FROM " + quoted(entity.name()) + " WHERE id = ?", error);
  if (!stmt) return std::nullopt;
  StatementUse use{stmt};
  sqlite3_bind_int64(stmt, 1, number);
  const int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) return readRowColumns(stmt, entity);
  if (rc != SQLITE_DONE && error) *error = sqliteError(rc, "Cannot read a stored object");
  return std::nullopt;
}

std::string StoreCoordinator::whereClause(const EntityDescription& entity, const FetchRequest& request) const {
  std::string sql;
  for (const auto& c : request.conditions) {
    sql += sql.empty() ? " WHERE " : " AND ";
    const auto prop = entity.property(c.key);
    if (!prop || prop->kind == PropertyKind::ToMany) {
      sql += "0";  // an unknown key matches nothing
      continue;
    }
    const bool unset = c.isRelationship ? !c.object || c.object->isNull() : isUnset(c.value);
    if (unset && (c.op == Comparison::Equal || c.op == Comparison::NotEqual)) {
      sql += quoted(c.key) + (c.op == Comparison::Equal ? " IS NULL" : " IS NOT NULL");
    } else if (unset) {
      sql += "0";
    } else if (prop->kind == PropertyKind::Attribute && entity.attributes()[prop->index].libraryFile) {
      // As the rows are read: a file of this library's files folder is found by where it lies now.
      sql += std::string(kLibraryFileFunction) + "(" + quoted(c.key) + ") " + sqlOperator(c.op) + " ?";
    } else {
      sql += quoted(c.key) + " " + sqlOperator(c.op) + " ?";
    }
  }
  return sql;
}

void StoreCoordinator::bindConditions(sqlite3_stmt* stmt, const EntityDescription& entity, const FetchRequest& request,
                                      int& index, std::vector<std::string>& scratch) {
  for (const auto& c : request.conditions) {
    const auto prop = entity.property(c.key);
    if (!prop || prop->kind == PropertyKind::ToMany) continue;
    const bool unset = c.isRelationship ? !c.object || c.object->isNull() : isUnset(c.value);
    if (unset) continue;
    if (c.isRelationship || prop->kind == PropertyKind::ToOne) {
      // A relationship compared with an attribute value (or the reverse) compares numbers.
      if (c.isRelationship) sqlite3_bind_int64(stmt, index++, c.object->number());
      else bindValue(stmt, index++, c.value, AttributeDescription{c.key, AttributeType::Integer}, scratch.emplace_back());
    } else {
      bindValue(stmt, index++, c.value, entity.attributes()[prop->index], scratch.emplace_back());
    }
  }
}

std::vector<StoredRow> StoreCoordinator::fetchRows(const EntityDescription& entity, const FetchRequest& request,
                                                   std::size_t limit, Error* error) {
  std::lock_guard lock(mutex_);
  std::vector<StoredRow> rows;
  if (!db_) return rows;
  std::string sql = "SELECT " + selectList(entity) + " FROM " + quoted(entity.name()) + whereClause(entity, request);
  sql += " ORDER BY ";
  for (const auto& s : request.sortDescriptors) {
    const auto prop = entity.property(s.key);
    if (!prop || prop->kind == PropertyKind::ToMany) continue;
    sql += quoted(s.key) + (s.ascending ? " ASC, " : " DESC, ");
  }
  sql += "id ASC";
  if (limit > 0) sql += " LIMIT " + std::to_string(limit);
  sqlite3_stmt* stmt = prepare(sql, error);
  if (!stmt) return rows;
  StatementUse use{stmt};
  int index = 1;
  std::vector<std::string> scratch;
  scratch.reserve(request.conditions.size());
  bindConditions(stmt, entity, request, index, scratch);
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) rows.push_back(readRowColumns(stmt, entity));
  if (rc != SQLITE_DONE) {
    if (error) *error = sqliteError(rc, "Cannot fetch stored objects");
    rows.clear();
  }
  return rows;
}

std::vector<std::int64_t> StoreCoordinator::relatedNumbers(const EntityDescription& entity, std::size_t toOneIndex,
                                                           std::int64_t parent, Error* error) {
  std::lock_guard lock(mutex_);
  std::vector<std::int64_t> numbers;
  if (!db_) return numbers;
  const auto& r = entity.toOneRelationships().at(toOneIndex);
  sqlite3_stmt* stmt = prepare("SELECT id FROM " + quoted(entity.name()) + " WHERE " + quoted(r.name) + " = ?", error);
  if (!stmt) return numbers;
  StatementUse use{stmt};
  sqlite3_bind_int64(stmt, 1, parent);
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) numbers.push_back(sqlite3_column_int64(stmt, 0));
  if (rc != SQLITE_DONE && error) *error = sqliteError(rc, "Cannot read a relationship");
  return numbers;
}

std::optional<AttributeValue> StoreCoordinator::readAttribute(const EntityDescription& entity, std::int64_t number,
                                                              std::size_t attribute, Error* error) {
  std::lock_guard lock(mutex_);
  if (!db_) return std::nullopt;
  const auto& a = entity.attributes().at(attribute);
  if (a.type == AttributeType::Data) {
    // Large buffers are read straight into their final place, without SQLite's own copy.
    sqlite3_stmt* stmt = locateLargeValue(entity, number, attribute, error);
    if (!stmt) return std::nullopt;
    StatementUse use{stmt};
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW) {
      if (rc != SQLITE_DONE && error) *error = sqliteError(rc, "Cannot read a stored value");
      return std::nullopt;
    }
    const bool inRow = sqlite3_column_type(stmt, 0) != SQLITE_NULL;
    if (!inRow && (!largeValuesApart_ || sqlite3_column_type(stmt, 1) == SQLITE_NULL)) return AttributeValue();
    const auto size = static_cast<std::size_t>(sqlite3_column_int64(stmt, inRow ? 0 : 1));
    // The statement holds the read transaction the blob is read in, so the data version asked for
    // now is that of the bytes read below. Inside a transaction of our own nothing is shared: its
    // writes are not committed, and may yet be rolled back.
    std::uint32_t dataVersion = 0;
    const bool shareable = size >= kHeldBlobBytes && sqlite3_get_autocommit(db_) &&
                           sqlite3_file_control(db_, "main", SQLITE_FCNTL_DATA_VERSION, &dataVersion) == SQLITE_OK;
    // Named only for a buffer that may be shared: most reads are small, and need no copy of the name.
    HeldBlobKey key;
    if (shareable) {
      key = {entity.name(), number, attribute};
      if (auto it = heldBlobs_.find(key); it != heldBlobs_.end() && it->second.dataVersion == dataVersion) {
        if (auto held = it->second.bytes.lock(); held && held->size() == size) return AttributeValue(std::move(held));
      }
    }
    Data bytes = zeroedData(size);
    if (!bytes.empty()) {
      const std::string table = inRow ? entity.name() : largeValueTable(entity, a);
      sqlite3_blob* blob = nullptr;
      int brc = sqlite3_blob_open(db_, "main", table.c_str(), inRow ? a.name.c_str() : "bytes", number, 0, &blob);
      if (brc == SQLITE_OK) brc = sqlite3_blob_read(blob, bytes.data(), static_cast<int>(bytes.size()), 0);
      sqlite3_blob_close(blob);
      if (brc != SQLITE_OK) {
        if (error) *error = sqliteError(brc, "Cannot read stored bytes");
        return std::nullopt;
      }
    }
    auto shared = std::make_shared<const Data>(std::move(bytes));
    if (shareable) {
      std::erase_if(heldBlobs_, [](const auto& entry) { return entry.second.bytes.expired(); });
      heldBlobs_[key] = HeldBlob{shared, dataVersion};
    }
    return AttributeValue(std::move(shared));
  }
  sqlite3_stmt* stmt = prepare("SELECT " + quoted(a.name) + " FROM " + quoted(entity.name()) + " WHERE id = ?", error);
  if (!stmt) return std::nullopt;
  StatementUse use{stmt};
  sqlite3_bind_int64(stmt, 1, number);
  const int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) return columnValue(stmt, 0, a);
  if (rc != SQLITE_DONE && error) *error = sqliteError(rc, "Cannot read a stored value");
  return std::nullopt;
}

std::optional<std::optional<std::size_t>> StoreCoordinator::dataLength(const EntityDescription& entity,
                                                                        std::int64_t number, std::size_t attribute,
                                                                        Error* error) {
  std::lock_guard lock(mutex_);
  if (!db_) return std::nullopt;
  sqlite3_stmt* stmt = locateLargeValue(entity, number, attribute, error);
  if (!stmt) return std::nullopt;
  StatementUse use{stmt};
  const int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) {
    for (int column = 0; column < (largeValuesApart_ ? 2 : 1); ++column)
      if (sqlite3_column_type(stmt, column) != SQLITE_NULL)
        return std::optional<std::size_t>(static_cast<std::size_t>(sqlite3_column_int64(stmt, column)));
    return std::optional<std::size_t>();
  }
  if (rc != SQLITE_DONE && error) *error = sqliteError(rc, "Cannot read a stored value");
  return std::nullopt;
}

sqlite3_stmt* StoreCoordinator::locateLargeValue(const EntityDescription& entity, std::int64_t number,
                                                 std::size_t attribute, Error* error) {
  const auto& a = entity.attributes().at(attribute);
  // length() of a blob comes from the record header: the bytes themselves are not read.
  std::string sql = "SELECT length(o." + quoted(a.name) + ")";
  if (largeValuesApart_)
    sql += ", (SELECT length(bytes) FROM " + quoted(largeValueTable(entity, a)) + " WHERE id = o.id)";
  sql += " FROM " + quoted(entity.name()) + " AS o WHERE o.id = ?";
  sqlite3_stmt* stmt = prepare(sql, error);
  if (stmt) sqlite3_bind_int64(stmt, 1, number);
  return stmt;
}

namespace {

// Whether a row write sets a column of the object's own row: large values have tables of their own.
bool writesColumn(const RowWrite& w, std::size_t i) {
  return w.writesAttribute(i) && w.entity->attributes()[i].type != AttributeType::Data;
}

// Rows bound to one statement: a save of thousands of objects runs a few dozen statements, not
// thousands. Every size stays far below SQLite's limit on bound values for any of our entities;
// the smaller ones take the rest of a run, so each shape has at most four statements.
constexpr int kRowsPerStatement[] = {64, 16, 4, 1};

int rowsForNext(std::size_t left) {
  for (const int n : kRowsPerStatement)
    if (left >= static_cast<std::size_t>(n)) return n;
  return 1;
}

}  // namespace

bool StoreCoordinator::writeShape(const RowWrite& w, char kind, std::string& key) const {
  key.clear();
  key.push_back(kind);
  const auto entityIndex = w.entity->index();
  key.push_back(static_cast<char>(entityIndex & 0xff));
  key.push_back(static_cast<char>(entityIndex >> 8));
  bool any = false;
  for (std::size_t i = 0; i < w.values->size(); ++i) {
    const bool written = writesColumn(w, i);
    key.push_back(written ? '1' : '0');
    any = any || written;
  }
  for (std::size_t i = 0; i < w.toOne->size(); ++i) {
    const bool written = w.writesToOne(i);
    key.push_back(written ? '1' : '0');
    any = any || written;
  }
  return any;
}

sqlite3_stmt* StoreCoordinator::writeStatement(const RowWrite& shape, char kind, const std::string& key, int rows,
                                               Error* error) {
  std::string cacheKey = key;
  cacheKey.push_back(static_cast<char>(rows));
  if (auto it = writeStatements_.find(cacheKey); it != writeStatements_.end()) return it->second;
  const auto& entity = *shape.entity;
  std::vector<std::string> columns;
  for (std::size_t i = 0; i < shape.values->size(); ++i)
    if (writesColumn(shape, i)) columns.push_back(quoted(entity.attributes()[i].name));
  for (std::size_t i = 0; i < shape.toOne->size(); ++i)
    if (shape.writesToOne(i)) columns.push_back(quoted(entity.toOneRelationships()[i].name));
  std::string sql;
  if (kind == 'I') {
    std::string row = "(?";
    sql = "INSERT INTO " + quoted(entity.name()) + " (id";
    for (const auto& c : columns) {
      sql += ", " + c;
      row += ", ?";
    }
    row += ")";
    sql += ") VALUES " + row;
    for (int r = 1; r < rows; ++r) sql += ", " + row;
  } else {
    sql = "UPDATE " + quoted(entity.name()) + " SET ";
    for (std::size_t c = 0; c < columns.size(); ++c) sql += (c ? ", " : "") + columns[c] + " = ?";
    sql += " WHERE id = ?";
  }
  sqlite3_stmt* stmt = prepare(sql, error);
  if (stmt) writeStatements_.emplace(std::move(cacheKey), stmt);
  return stmt;
}

int StoreCoordinator::bindRow(sqlite3_stmt* stmt, int index, const RowWrite& w, std::vector<std::string>& scratch,
                              std::size_t& used) {
  const auto& attributes = w.entity->attributes();
  for (std::size_t i = 0; i < w.values->size(); ++i) {
    if (!writesColumn(w, i)) continue;
    const AttributeValue& v = (*w.values)[i];
    // Only serialised values need text that lives until the statement has run.
    std::string* text = &scratch.front();
    if (std::holds_alternative<Value>(v)) text = &scratch[++used];
    bindValue(stmt, index++, v, attributes[i], *text);
  }
  for (std::size_t i = 0; i < w.toOne->size(); ++i) {
    if (!w.writesToOne(i)) continue;
    if (const auto& target = (*w.toOne)[i]) sqlite3_bind_int64(stmt, index++, *target);
    else sqlite3_bind_null(stmt, index++);
  }
  return index;
}

namespace {

// Room for the serialised values of `rows` rows from `first` on, reserved before any is bound:
// growing the list later would move texts SQLite still points to.
void reserveScratch(std::vector<std::string>& scratch, const std::vector<RowWrite>& rows, std::size_t first, int count) {
  std::size_t needed = 1;
  for (std::size_t r = first; r < first + static_cast<std::size_t>(count); ++r)
    for (std::size_t i = 0; i < rows[r].values->size(); ++i)
      if (rows[r].writesAttribute(i) && std::holds_alternative<Value>((*rows[r].values)[i])) ++needed;
  if (scratch.size() < needed) scratch.resize(needed);
}

bool sameColumns(const RowWrite& a, const RowWrite& b) {
  if (a.entity != b.entity) return false;
  for (std::size_t i = 0; i < a.values->size(); ++i)
    if (writesColumn(a, i) != writesColumn(b, i)) return false;
  for (std::size_t i = 0; i < a.toOne->size(); ++i)
    if (a.writesToOne(i) != b.writesToOne(i)) return false;
  return true;
}

}  // namespace

bool StoreCoordinator::writeInserts(const std::vector<RowWrite>& rows, Error* error) {
  std::vector<std::string> scratch(1);
  std::string key;
  for (std::size_t begin = 0; begin < rows.size();) {
    const RowWrite& first = rows[begin];
    writeShape(first, 'I', key);
    const bool serialised = hasSerialisedValues_[first.entity->index()];
    // A run of rows of one entity writing the same columns shares its statements.
    std::size_t end = begin + 1;
    while (end < rows.size() && sameColumns(rows[end], first)) ++end;
    for (; begin < end;) {
      const int n = rowsForNext(end - begin);
      sqlite3_stmt* stmt = writeStatement(first, 'I', key, n, error);
      const std::string what = "Cannot store a new " + first.entity->name();
      if (!stmt) {
        if (error) *error = sqliteError(SQLITE_ERROR, what);
        return false;
      }
      StatementUse use{stmt};
      if (serialised) reserveScratch(scratch, rows, begin, n);
      std::size_t used = 0;
      int index = 1;
      for (int r = 0; r < n; ++r) {
        const RowWrite& w = rows[begin + static_cast<std::size_t>(r)];
        sqlite3_bind_int64(stmt, index++, w.number);
        index = bindRow(stmt, index, w, scratch, used);
      }
      const int rc = sqlite3_step(stmt);
      if (rc != SQLITE_DONE) {
        if (error) *error = sqliteError(rc, what);
        return false;
      }
      begin += static_cast<std::size_t>(n);
    }
  }
  return true;
}

bool StoreCoordinator::writeUpdates(const std::vector<RowWrite>& rows, Error* error) {
  std::vector<std::string> scratch(1);
  std::string key;
  for (const auto& w : rows) {
    if (!writeShape(w, 'U', key)) continue;
    const std::string what = "Cannot store the changes of a " + w.entity->name();
    sqlite3_stmt* stmt = writeStatement(w, 'U', key, 1, error);
    if (!stmt) {
      if (error) *error = sqliteError(SQLITE_ERROR, what);
      return false;
    }
    StatementUse use{stmt};
    reserveScratch(scratch, rows, static_cast<std::size_t>(&w - rows.data()), 1);
    std::size_t used = 0;
    const int index = bindRow(stmt, 1, w, scratch, used);
    sqlite3_bind_int64(stmt, index, w.number);
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) {
      if (error) *error = sqliteError(rc, what);
      return false;
    }
    // A row deleted meanwhile by the other context stays deleted: its changes have nowhere to go.
    if (sqlite3_changes(db_) == 0)
      QVLogDebug("A changed %s (p%lld) was deleted meanwhile", w.entity->name().c_str(), static_cast<long long>(w.number));
  }
  return true;
}

bool StoreCoordinator::writeLargeValues(const std::vector<RowWrite>& rows, bool updates, Error* error) {
  for (const auto& w : rows) {
    const auto& attributes = w.entity->attributes();
    for (std::size_t i = 0; i < attributes.size(); ++i) {
      if (attributes[i].type != AttributeType::Data || !w.writesAttribute(i)) continue;
      const auto& a = attributes[i];
      const std::string what = "Cannot store the " + a.name + " of a " + w.entity->name();
      auto run = [&](const std::string& sql, const SharedData* bytes) {
        sqlite3_stmt* stmt = prepare(sql, error);
        if (!stmt) return false;
        StatementUse use{stmt};
        if (bytes) {
          if ((*bytes)->empty()) sqlite3_bind_zeroblob(stmt, 1, 0);
          else sqlite3_bind_blob64(stmt, 1, (*bytes)->data(), (*bytes)->size(), SQLITE_STATIC);
        }
        sqlite3_bind_int64(stmt, bytes ? 2 : 1, w.number);
        const int rc = sqlite3_step(stmt);
        if (rc != SQLITE_DONE && error) *error = sqliteError(rc, what);
        return rc == SQLITE_DONE;
      };
      // A value the object's row still holds from before is dropped from it once (length() reads
      // the row's header, not the bytes).
      if (updates && !run("UPDATE " + quoted(w.entity->name()) + " SET " + quoted(a.name) + " = NULL WHERE id = ?1 AND length(" +
                               quoted(a.name) + ") IS NOT NULL",
                           nullptr))
        return false;
      const auto* bytes = std::get_if<SharedData>(&(*w.values)[i]);
      const std::string table = quoted(largeValueTable(*w.entity, a));
      if (bytes && *bytes) {
        if (!run("INSERT OR REPLACE INTO " + table + " (bytes, id) VALUES (?1, ?2)", bytes)) return false;
      } else if (updates && !run("DELETE FROM " + table + " WHERE id = ?1", nullptr)) {
        return false;
      }
    }
  }
  return true;
}

bool StoreCoordinator::writeDeletes(const std::vector<std::pair<const EntityDescription*, std::int64_t>>& rows,
                                    Error* error) {
  // Objects made together have consecutive numbers and mostly go together (a step's points): each
  // such run is one range, and the table holds no other row inside it.
  for (std::size_t begin = 0; begin < rows.size();) {
    const EntityDescription* entity = rows[begin].first;
    std::size_t end = begin + 1;
    while (end < rows.size() && rows[end].first == entity && rows[end].second == rows[end - 1].second + 1) ++end;
    const std::string what = "Cannot delete a " + entity->name();
    const char* sql = end - begin > 1 ? " WHERE id BETWEEN ? AND ?" : " WHERE id = ?";
    sqlite3_stmt* stmt = prepare("DELETE FROM " + quoted(entity->name()) + sql, error);
    if (!stmt) {
      if (error) *error = sqliteError(SQLITE_ERROR, what);
      return false;
    }
    StatementUse use{stmt};
    sqlite3_bind_int64(stmt, 1, rows[begin].second);
    if (end - begin > 1) sqlite3_bind_int64(stmt, 2, rows[end - 1].second);
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) {
      if (error) *error = sqliteError(rc, what);
      return false;
    }
    begin = end;
  }
  return true;
}

bool StoreCoordinator::save(const SaveBatch& batch, Error* error) {
  std::lock_guard lock(mutex_);
  if (auto problem = writeProblemLocked()) {
    if (error) {
      *error = std::move(*problem);
      error->description = "Nothing was saved. " + error->description;
    }
    return false;
  }
  // This connection holds no read now, so every page can be copied (after a background
  // checkpoint under way, if any, has finished).
  if (logPages_ >= kLogLimitPages && checkpoint(false)) logPages_ = 0;
  if (!exec("BEGIN IMMEDIATE", error)) return false;
  // The version the transaction starts from: a held buffer read at it has seen every commit but
  // this one, and this one leaves it as it is unless the batch writes that very buffer.
  std::uint32_t versionBefore = 0;
  const bool keepHeld = !heldBlobs_.empty() &&
                        sqlite3_file_control(db_, "main", SQLITE_FCNTL_DATA_VERSION, &versionBefore) == SQLITE_OK;
  auto rollBack = [&] {
    exec("ROLLBACK", nullptr);
    return false;
  };
  auto failWith = [&](int rc, const std::string& what) {
    if (error) *error = sqliteError(rc, what);
    return rollBack();
  };
  if (!writeInserts(batch.inserts, error) || !writeLargeValues(batch.inserts, false, error) ||
      !writeUpdates(batch.updates, error) || !writeLargeValues(batch.updates, true, error) ||
      !writeDeletes(batch.deletes, error))
    return rollBack();
  {
    sqlite3_stmt* stmt = prepare(std::string("UPDATE ") + kMetadataTable + " SET value = ? WHERE key = 'NextObjectNumber'", error);
    if (!stmt) return failWith(SQLITE_ERROR, "Cannot update the store's numbering");
    StatementUse use{stmt};
    const std::string next = std::to_string(nextNumber_);
    sqlite3_bind_text(stmt, 1, next.c_str(), -1, SQLITE_TRANSIENT);
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) return failWith(rc, "Cannot update the store's numbering");
  }
  const bool marksScans = !heldScansMarked_ && scanEntity_ &&
                          std::any_of(batch.inserts.begin(), batch.inserts.end(),
                                      [&](const RowWrite& w) { return w.entity == scanEntity_; });
  if (marksScans) {
    sqlite3_stmt* stmt =
        prepare(std::string("INSERT OR REPLACE INTO ") + kMetadataTable + " VALUES ('" + kHeldScansKey + "', '1')", error);
    if (!stmt) return failWith(SQLITE_ERROR, "Cannot mark the library as holding scans");
    StatementUse use{stmt};
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) return failWith(rc, "Cannot mark the library as holding scans");
  }
  const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return failWith(rc, "Cannot commit the save");
  if (marksScans) heldScansMarked_ = true;
  if (keepHeld) keepHeldBlobsAcross(batch, versionBefore);
  return true;
}

void StoreCoordinator::keepHeldBlobsAcross(const SaveBatch& batch, std::uint32_t versionBefore) {
  std::uint32_t versionAfter = 0;
  const bool known = sqlite3_file_control(db_, "main", SQLITE_FCNTL_DATA_VERSION, &versionAfter) == SQLITE_OK;
  auto touches = [](const HeldBlobKey& key, const EntityDescription* entity, std::int64_t number) {
    return std::get<1>(key) == number && entity->name() == std::get<0>(key);
  };
  std::erase_if(heldBlobs_, [&](const auto& entry) {
    const auto& [key, held] = entry;
    // Read before another connection's commit, or no longer held by anyone: nothing to keep.
    if (!known || held.dataVersion != versionBefore || held.bytes.expired()) return true;
    for (const auto& w : batch.updates)
      if (touches(key, w.entity, w.number) && w.writesAttribute(std::get<2>(key))) return true;
    for (const auto& [entity, number] : batch.deletes)
      if (touches(key, entity, number)) return true;
    for (const auto& w : batch.inserts)
      if (touches(key, w.entity, w.number)) return true;
    return false;
  });
  for (auto& [key, held] : heldBlobs_) held.dataVersion = versionAfter;
}

}  // namespace qv
