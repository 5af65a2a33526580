// The application's object store: one SQLite file, a main-queue and a private-queue context, and
// the merging of each context's saves into the other.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/NotificationCenter.h"
#include "platform/SafeFile.h"
#include "store/LibraryFiles.h"
#include "store/ObjectContext.h"
#include "store/ObjectID.h"
#include "store/ObjectModel.h"

namespace qv {
class StoreCoordinator;
}

// One store per library folder. The application uses the process-wide default store in the
// application library folder; tests and tools make their own on a folder of their choosing.
class TBCoreDataStoreS1 {
public:
  // Shows an error to the user (the application installs an alert); without one errors are logged.
  using ErrorPresenter = std::function<void(const qv::Error&)>;
  // Whether this process may write a path: 0 when it may, else the system's error number. A folder
  // counts as writable when files can be made and removed in it.
  using WriteAccessProbe = std::function<int(const std::filesystem::path&)>;
  // Told before (`done` false) and after (`done` true) each step that moves a library at opening
  // (a log folded into its file, a rename), with what the step does: a test stops the program
  // there to see what a crash between two steps leaves.
  using LibraryStep = std::function<void(const std::string& step, bool done)>;
  // Told as SQLite's integrity check starts on a kept library at opening (it reads the whole file).
  using LibraryCheck = std::function<void(const std::filesystem::path& kept)>;

  struct Options {
    std::filesystem::path folder;  // the library folder: the store file and every file beside it
    qv::ModelPtr model;            // the scan model when empty
    ErrorPresenter presentError;   // the process-wide presenter when empty
    WriteAccessProbe writeAccess = {};  // the system's answer (`systemWriteAccess`) when empty
    LibraryStep libraryStep = {};       // nothing told when empty
    LibraryCheck libraryCheck = {};     // nothing told when empty
  };

  static constexpr const char* kStoreFileName = qv::kLibraryStoreFileName;

  // Builds everything at once: the folder (created when missing), the store file, both contexts,
  // and the merge in both directions. Failures are presented, never thrown: a store that cannot be
  // opened still has its contexts, which then find nothing and cannot save. An unreadable store
  // file is moved aside (the date in its name), and a new one is started and reported. A file that
  // can only be read is opened for reading, reported once, and every save names the reason; so is
  // a library whose folder cannot be written (SQLite keeps its log and index beside the file). Log
  // and index files left unwritable beside a writable file are made writable again, keeping their
  // bytes, unless another connection has the library open: then it opens for reading, naming them.
  // A library that never held a scan (or none at all) beside kept libraries is replaced by the
  // newest kept one this model can read, that holds scans and passes SQLite's integrity check,
  // and itself kept aside (an older program keeps this version's library aside and starts an
  // empty one); each moves as one file, its log folded in first. When none can be taken back and
  // one cannot be read, the user is told where it is, once. A log or index under the store's name
  // beside no store file is set aside on its own; a log with saves in it beside a store file that
  // holds no database (emptied, or cut short before its pages reached the disk) is set aside with
  // that file, both unread, as an unreadable one is. A disk too full to open the library for writing
  // opens it for reading.
  explicit TBCoreDataStoreS1(Options options);
  ~TBCoreDataStoreS1();
  TBCoreDataStoreS1(const TBCoreDataStoreS1&) = delete;
  TBCoreDataStoreS1& operator=(const TBCoreDataStoreS1&) = delete;

  // The process-wide store in the application library folder, made on first use.
  static TBCoreDataStoreS1& defaultStore();
  // Closes the default store's file, if the store was made, as the program ends: the library's
  // log is copied into the store file and removed (SQLite does so as its last connection to the
  // file closes). Whatever runs later finds a closed store: nothing fetched, saves refused.
  static void closeDefaultStore();
  static qv::ObjectContextPtr mainQueueContext();
  static qv::ObjectContextPtr privateQueueContext();
  // The identifier of a string form made by the default store; nothing for any other text.
  static std::optional<qv::ObjectID> managedObjectIDFromString(const std::string& text);
  // The application library folder the default store uses; not created here.
  static std::filesystem::path appLibraryDirectory();
  // Where stores without a presenter of their own show their errors (set before first use).
  static void setErrorPresenter(ErrorPresenter presenter);
  // The system's own answer to whether this process may write a path (the effective user's rights
  // and a read-only mount; root may write anything on a writable disk).
  static int systemWriteAccess(const std::filesystem::path& path);

  const qv::ObjectContextPtr& mainContext() const { return mainContext_; }
  const qv::ObjectContextPtr& privateContext() const { return privateContext_; }
  std::optional<qv::ObjectID> objectIDFromString(const std::string& text) const;

  const std::filesystem::path& libraryFolder() const { return folder_; }
  // Where this library keeps its files (texture images, thumbnails, vertex files; the contexts'
  // `filesFolder()`): a folder of its own inside the library folder, so that no other library's
  // clean-up takes them for leftovers. The library folder itself while the store is closed, and
  // for a library of the older layout that can only be read.
  const std::filesystem::path& filesFolder() const { return filesFolder_; }
  std::filesystem::path persistentStoreURL() const { return folder_ / kStoreFileName; }
  // Whether the store file is open (the contexts can fetch and save).
  bool hasCoordinator() const;
  // Closes the store file for good (see `closeDefaultStore`).
  void close();
  // Why the store could not be opened, when it could not.
  const std::optional<qv::Error>& openError() const { return openError_; }
  // Why the store file can only be read, when it was opened for reading only.
  const std::optional<qv::Error>& readOnlyError() const { return readOnlyError_; }
  // Where an unreadable store file was moved to, when that happened at opening.
  const std::optional<std::filesystem::path>& movedStoreFilePath() const { return movedStoreFilePath_; }
  // Where the library now in use was kept, when it was taken back at opening (see the constructor).
  const std::optional<std::filesystem::path>& takenBackStoreFilePath() const { return takenBackStoreFilePath_; }

private:
  void openStore();
  void takeBackKeptLibrary(const std::filesystem::path& file);
  // Folds a closed library's log into its file (`StoreCoordinator::foldLogIntoFile`), told to
  // `libraryStep`.
  bool foldLog(const std::filesystem::path& file, std::string* why);
  // Sets a log or an index that lies under the store's name beside no store file aside under a
  // name of its own; false, with the errno, when one cannot be moved.
  bool setAsideStrayCompanions(const std::filesystem::path& file, int* error);
  void present(const qv::Error& error);
  // Forwards a rename of a library's files to `libraryStep`.
  qv::RenameStep renameStep() const;

  std::filesystem::path folder_;
  std::filesystem::path filesFolder_;
  ErrorPresenter presenter_;
  WriteAccessProbe writeAccess_;
  LibraryStep libraryStep_;
  LibraryCheck libraryCheck_;
  std::shared_ptr<qv::StoreCoordinator> coordinator_;
  qv::ObjectContextPtr privateContext_;
  qv::ObjectContextPtr mainContext_;
  qv::ObserverRegistration privateSaves_;
  qv::ObserverRegistration mainSaves_;
  std::optional<qv::Error> openError_;
  std::optional<qv::Error> readOnlyError_;
  std::optional<std::filesystem::path> movedStoreFilePath_;
  std::optional<std::filesystem::path> takenBackStoreFilePath_;
  // The kept library the user has just been told of, noted in the library once it is open.
  std::optional<std::string> toldOfKeptLibrary_;
  // The kept libraries found damaged, each with what identifies its file unchanged, noted in the
  // library once it is open when the note differs from the one it holds.
  std::optional<std::string> damagedKeptLibraries_;
};
