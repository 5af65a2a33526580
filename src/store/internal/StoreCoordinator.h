// The one SQLite connection under a store's contexts: rows in, rows out, one transaction per save.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/Error.h"
#include "platform/Queue.h"
#include "store/AttributeValue.h"
#include "store/FlagSet.h"
#include "store/FetchRequest.h"
#include "store/ObjectModel.h"

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_context;
struct sqlite3_value;

namespace qv {

// A path, made absolute, as a file URL ("file:///home/user/.local/share/Quorvel"), every byte but
// letters, digits and "/-_.~" escaped: as the user reads it in a message, and as SQLite takes it.
std::string fileURLString(const std::filesystem::path& path);

// One stored row as read: bytes are left unread (not loaded) until asked for, so that listing
// scans never reads their vertex buffers.
struct StoredRow {
  std::int64_t number = 0;
  std::vector<AttributeValue> values;
  FlagSet loaded;
  std::vector<std::optional<std::int64_t>> toOne;
};

// One row to write, pointing into the saving object's own state (valid while the save runs), so
// that a save of thousands of objects copies no values. An insert writes every set attribute and
// every to-one relationship; an update only those its masks mark.
struct RowWrite {
  const EntityDescription* entity = nullptr;
  std::int64_t number = 0;
  const std::vector<AttributeValue>* values = nullptr;  // by attribute index
  const std::vector<std::optional<std::int64_t>>* toOne = nullptr;
  const FlagSet* changedAttributes = nullptr;  // updates only
  const FlagSet* changedToOne = nullptr;       // updates only

  bool writesAttribute(std::size_t i) const {
    return changedAttributes ? (*changedAttributes)[i] : !isUnset((*values)[i]);
  }
  bool writesToOne(std::size_t i) const { return changedToOne ? (*changedToOne)[i] : true; }
};

struct SaveBatch {
  std::vector<RowWrite> inserts;
  std::vector<RowWrite> updates;
  std::vector<std::pair<const EntityDescription*, std::int64_t>> deletes;
  bool empty() const { return inserts.empty() && updates.empty() && deletes.empty(); }
};

// Thread-safe: every call holds the coordinator's lock, so the two contexts take turns.
class StoreCoordinator : public std::enable_shared_from_this<StoreCoordinator> {
public:
  explicit StoreCoordinator(ModelPtr model);
  ~StoreCoordinator();
  StoreCoordinator(const StoreCoordinator&) = delete;
  StoreCoordinator& operator=(const StoreCoordinator&) = delete;

  enum class OpenResult { Opened, OpenedReadOnly, Unreadable, Failed };
  // Opens the file, creating an empty store when it is absent or empty. OpenedReadOnly: the file
  // can be read but not written; fetches work and every save fails with writeProblem(). Unreadable:
  // the file is not a database, is damaged, lacks a table, or was written with another model (the
  // caller may move it aside); also a file holding no database (empty, or less than a page) beside
  // a log with something in it, which is then not opened at all, so that SQLite never drops or
  // replays that log. Failed: any other reason (permissions, locks, disk); the file is
  // left as it is. `writeAccess` answers whether a path may be written (0, else the system's error
  // number): a folder that may not is opened for reading, nothing made in it; log and index files
  // that may not, beside a file that may, are mended when no connection has the file open, and
  // otherwise make the store read-only, named in writeProblem(). So does a disk too full to open
  // the file for writing: what the attempt made beside the file is removed first.
  OpenResult open(const std::filesystem::path& file, Error* error,
                  const std::function<int(const std::filesystem::path&)>& writeAccess);
  void close();
  bool isOpen() const;
  // Whether a connection of any process has the store file open (holds a lock on it or on its
  // log's index). What cannot be known counts as open.
  static bool inUse(const std::filesystem::path& file);
  // Copies a closed library's log wholly into its file through a connection of its own, which
  // then closes: SQLite removes the log and its index as its last connection to a file closes.
  // The file can then move alone, in one rename, which a crash cannot split from its log. True
  // when nothing is left beside the file; else false, with SQLite's reason in `why`. A file that
  // holds no database keeps its log beside it, unread.
  static bool foldLogIntoFile(const std::filesystem::path& file, std::string* why);
  // Why the store is closed, when it was never opened (kept until the next open).
  void setUnavailable(const Error& why);
  // Why a save cannot succeed: the store is closed (with the reason it could not be opened) or
  // its file can only be read; nothing when it is open for writing.
  std::optional<Error> writeProblem() const;

  const ModelPtr& model() const { return model_; }
  // The folder the library keeps its files in (texture images, thumbnails, vertex files), set by
  // open(): a folder of its own beside the store file, named after the library, which no other
  // library's clean-up judges (an older program's included, once it has moved this library aside
  // as one of another model). A library in the older layout opened for reading only keeps them
  // beside the store file; a closed store has none (empty).
  const std::filesystem::path& filesFolder() const { return filesFolder_; }
  // The name of that folder for a library with this identifier.
  static std::string filesFolderName(const std::string& storeIdentifier);
  // The model's fingerprint as this layout writes it in the file (see layoutMark in the source).
  std::string layoutMark() const;
  // Whether the open library ever held a scan: marked in the file by the save that first stores
  // one; a file without the mark (an older program's) counts as having held one when it holds one
  // now or when numbers were handed out that no row holds (an object saved and deleted since).
  // What cannot be read counts as held.
  bool onceHeldScans();
  // Whether SQLite's integrity check passes on the open file; else false, with its first finding.
  bool passesIntegrityCheck(std::string* finding);
  // Notes of the library's own in its metadata, under keys of their own (older programs pass over
  // keys they do not know): read at opening, written in a transaction of their own.
  std::optional<std::string> note(const std::string& key) const;
  bool setNote(const std::string& key, const std::string& value, Error* error);
  const std::shared_ptr<const std::string>& storeIdentifier() const { return storeIdentifier_; }

  // A number no other object of this store has or will get.
  std::int64_t allocateNumber();

  std::optional<StoredRow> readRow(const EntityDescription& entity, std::int64_t number, Error* error);
  // Rows matching the request's conditions by their stored values, in its order; at most `limit`
  // rows when it is not 0.
  std::vector<StoredRow> fetchRows(const EntityDescription& entity, const FetchRequest& request,
                                   std::size_t limit, Error* error);
  // Numbers of the rows of `entity` whose to-one relationship names `parent`.
  std::vector<std::int64_t> relatedNumbers(const EntityDescription& entity, std::size_t toOneIndex,
                                           std::int64_t parent, Error* error);
  // The stored value of one attribute; nothing when the row is gone.
  std::optional<AttributeValue> readAttribute(const EntityDescription& entity, std::int64_t number,
                                              std::size_t attribute, Error* error);
  // The byte length of a bytes attribute without reading it: outer nothing when the row is gone,
  // inner nothing when the attribute is unset.
  std::optional<std::optional<std::size_t>> dataLength(const EntityDescription& entity, std::int64_t number,
                                                       std::size_t attribute, Error* error);

  // Writes the batch in one transaction: all of it or nothing.
  bool save(const SaveBatch& batch, Error* error);

private:
  OpenResult openFile(const std::filesystem::path& file, Error* error,
                      const std::function<int(const std::filesystem::path&)>& writeAccess,
                      const std::optional<std::string>& readOnlyBecause);
  // A path a row names of a file in this library's files folder, named under the folder where the
  // library lay when the row was written (it has been copied or moved since: a restored backup,
  // another machine or user): changed to name the file where it lies now; true when changed. The
  // rows keep what they hold, which older programs read.
  bool ownLibraryFile(std::string& path) const;
  static void libraryFileFunction(sqlite3_context* context, int count, sqlite3_value** arguments);
  sqlite3_stmt* prepare(const std::string& sql, Error* error);
  bool exec(const std::string& sql, Error* error);
  Error sqliteError(int rc, const std::string& what) const;
  bool createSchema(Error* error);
  bool openLargeValueTables(bool readOnly, Error* error);
  // Turns a library of the older layout, opened for writing, into one of this layout: its files
  // move into `filesFolder` and the rows name them there, and the file gets the layout's mark,
  // all in one transaction. On failure the file is as it was and its files where they were.
  bool upgradeLayout(const std::filesystem::path& filesFolder, Error* error);
  // A statement giving where a large value is kept, bound and ready to step: one row while the
  // object's row is there, with the length of the value in that row (a library written before
  // large values had tables of their own) and, when the file has them, in the value's table.
  sqlite3_stmt* locateLargeValue(const EntityDescription& entity, std::int64_t number, std::size_t attribute,
                                 Error* error);
  bool writeLargeValues(const std::vector<RowWrite>& rows, bool updates, Error* error);
  void bindValue(sqlite3_stmt* stmt, int index, const AttributeValue& value,
                 const AttributeDescription& attribute, std::string& scratch);
  AttributeValue columnValue(sqlite3_stmt* stmt, int column, const AttributeDescription& attribute);
  StoredRow readRowColumns(sqlite3_stmt* stmt, const EntityDescription& entity);
  std::string selectList(const EntityDescription& entity) const;
  std::string whereClause(const EntityDescription& entity, const FetchRequest& request) const;
  void bindConditions(sqlite3_stmt* stmt, const EntityDescription& entity, const FetchRequest& request,
                      int& index, std::vector<std::string>& scratch);

  // The columns a row writes, as a key for its statement; false when it writes none.
  bool writeShape(const RowWrite& w, char kind, std::string& key) const;
  // The cached statement of a shape, `rows` rows at once; built and prepared on first use.
  sqlite3_stmt* writeStatement(const RowWrite& shape, char kind, const std::string& key, int rows, Error* error);
  int bindRow(sqlite3_stmt* stmt, int index, const RowWrite& w, std::vector<std::string>& scratch, std::size_t& used);
  bool writeInserts(const std::vector<RowWrite>& rows, Error* error);
  bool writeUpdates(const std::vector<RowWrite>& rows, Error* error);
  bool writeDeletes(const std::vector<std::pair<const EntityDescription*, std::int64_t>>& rows, Error* error);

  std::optional<Error> writeProblemLocked() const;
  // `leftOverLogBytes`: the size of a log found beside the file before it was opened.
  void startCheckpoints(std::uintmax_t leftOverLogBytes);
  // Copies the log into the file as far as no reader stops it; true when all of it was copied,
  // with how many frames (saved pages) the log held in `logFrames`. When asked, the log is then
  // emptied too, unless a save or a read is under way.
  bool checkpoint(bool truncate, int* logFrames = nullptr);
  static int walCommitted(void* self, sqlite3* db, const char* name, int pages);

  ModelPtr model_;
  mutable std::mutex mutex_;
  std::mutex checkpointMutex_;
  sqlite3* checkpointDb_ = nullptr;
  QueuePtr checkpointQueue_;
  std::atomic<bool> checkpointPending_{false};
  int logPages_ = 0;  // pages in the log after this connection's last commit (under mutex_)
  sqlite3* db_ = nullptr;
  std::filesystem::path file_;
  std::filesystem::path filesFolder_;
  std::string filesMarker_;  // "/Files-<identifier>/" while filesFolder_ is that folder, else empty
  std::string filesPrefix_;  // filesFolder_ and a separator
  std::optional<Error> unavailable_;    // why the store could not be opened
  std::optional<Error> readOnlyError_;  // set while the file is open for reading only
  std::shared_ptr<const std::string> storeIdentifier_;
  std::int64_t nextNumber_ = 1;
  std::int64_t storedNextNumber_ = 1;  // as the file said at opening
  std::map<std::string, std::string> notes_;  // the metadata's other keys, as read at opening
  const EntityDescription* scanEntity_ = nullptr;  // the entity whose first row marks the file
  bool heldScansMarked_ = false;
  std::unordered_map<std::string, sqlite3_stmt*> statements_;  // by SQL text; owns them
  std::unordered_map<std::string, sqlite3_stmt*> writeStatements_;  // by write shape; in statements_
  std::vector<bool> hasSerialisedValues_;  // by entity index: an attribute kept as serialised text
  bool largeValuesApart_ = false;          // the file has a table for each large attribute

  // Large stored buffers that some context still holds (an open scan's points), by entity, row and
  // attribute, with the store's data version they are known to be current at. A read of the same
  // buffer at that version shares those bytes instead of copying tens of megabytes out of the file
  // again. A save of this connection that does not write a buffer carries it to the version after
  // the save (saving the viewer's state before an export must not cost the export its points);
  // any commit of another connection ends the sharing, as this connection cannot tell what it wrote.
  struct HeldBlob {
    std::weak_ptr<const Data> bytes;
    std::uint32_t dataVersion = 0;
  };
  using HeldBlobKey = std::tuple<std::string, std::int64_t, std::size_t>;
  std::map<HeldBlobKey, HeldBlob> heldBlobs_;
  void keepHeldBlobsAcross(const SaveBatch& batch, std::uint32_t versionBefore);
};

}  // namespace qv
