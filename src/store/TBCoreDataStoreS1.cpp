// Opening the store (folder, file, recovery of an unreadable file), the contexts and their merging.
#include "store/TBCoreDataStoreS1.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/Queue.h"
#include "platform/SafeFile.h"
#include "store/ScanModel.h"
#include "store/StoreErrors.h"
#include "store/internal/StoreCoordinator.h"

namespace fs = std::filesystem;

namespace {

std::mutex& presenterMutex() {
  static std::mutex m;
  return m;
}
TBCoreDataStoreS1::ErrorPresenter& processPresenter() {
  static TBCoreDataStoreS1::ErrorPresenter presenter;
  return presenter;
}

// A library is its store file with SQLite's log and the log's index, when they are there: it is
// moved whole, or not at all.
const std::vector<std::string> kStoreCompanions = {"-wal", "-shm"};

fs::path companionOf(const fs::path& file, const char* suffix) { return file.string() + suffix; }

// The libraries kept aside beside the store file, newest first: "<store file>.corrupt-<yyyymmdd-hhmmss>"
// (with "-2", "-3"... for more in the same second), as this version and older ones keep a library
// they cannot read. Their companions and names of any other shape are not libraries.
std::vector<fs::path> keptLibraries(const fs::path& file) {
  const std::string prefix = file.filename().string() + ".corrupt-";
  std::vector<std::pair<std::pair<std::string, long>, fs::path>> found;
  std::error_code ec;
  for (fs::directory_iterator it(file.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() < prefix.size() + 15 || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string stamp = name.substr(prefix.size(), 15), rest = name.substr(prefix.size() + 15);
    bool wellFormed = stamp[8] == '-';
    for (std::size_t i = 0; i < stamp.size(); ++i)
      if (i != 8 && !std::isdigit(static_cast<unsigned char>(stamp[i]))) wellFormed = false;
    long n = 1;
    if (!rest.empty()) {
      wellFormed = wellFormed && rest.size() > 1 && rest.size() < 8 && rest[0] == '-' &&
                   std::all_of(rest.begin() + 1, rest.end(), [](unsigned char c) { return std::isdigit(c); });
      if (wellFormed) n = std::stol(rest.substr(1));
    }
    std::error_code typeError;
    if (wellFormed && it->is_regular_file(typeError)) found.push_back({{stamp, n}, it->path()});
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<fs::path> libraries;
  for (auto& [key, path] : found) libraries.push_back(std::move(path));
  return libraries;
}

// The metadata note naming the kept library the user was last told of (code 102 or 108): told
// once, not at every opening of the library.
constexpr const char* kToldOfKeptLibraryNote = "ToldOfKeptLibrary";

// The metadata note of the kept libraries found damaged by SQLite's integrity check, one a line:
// "<name>\t<what identifies the file unchanged>\t<the finding>". The check reads the whole file,
// seconds for a large one, and its verdict cannot change while the file stays as it was.
constexpr const char* kDamagedKeptLibrariesNote = "DamagedKeptLibraries";

// What tells a file unchanged since it was last looked at: its size and modification time, and its
// log's when it has one (its saves are read with it); empty when it cannot be examined.
std::string unchangedFileMark(const fs::path& file) {
  std::string mark;
  for (const fs::path& part : {file, companionOf(file, "-wal")}) {
    struct stat st {};
    if (::stat(part.c_str(), &st) != 0) {
      const int error = errno;
      if (part == file || error != ENOENT) return {};
      break;
    }
    if (!mark.empty()) mark += ' ';
    mark += std::to_string(st.st_size) + ' ' + std::to_string(st.st_mtim.tv_sec) + '.' +
            std::to_string(st.st_mtim.tv_nsec);
  }
  return mark;
}

// The findings of that note, by kept library name: what identified its file, and what was wrong.
std::map<std::string, std::pair<std::string, std::string>> damagedKeptLibraries(const std::string& note) {
  std::map<std::string, std::pair<std::string, std::string>> found;
  std::size_t start = 0;
  while (start < note.size()) {
    std::size_t end = note.find('\n', start);
    if (end == std::string::npos) end = note.size();
    const std::string line = note.substr(start, end - start);
    const auto first = line.find('\t'), second = first == std::string::npos ? first : line.find('\t', first + 1);
    if (second != std::string::npos)
      found[line.substr(0, first)] = {line.substr(first + 1, second - first - 1), line.substr(second + 1)};
    start = end + 1;
  }
  return found;
}

enum class Holding { NoFile, NoScans, Scans, Unreadable, Unknown };

struct LibraryState {
  Holding holding = Holding::Unknown;
  bool onceHeldScans = true;  // NoScans: it held scans once, and is the user's even when empty
  bool otherModel = false;    // Unreadable: written with another model, not damaged
  std::string damage;         // Scans, when asked: what SQLite's integrity check finds wrong
  std::string toldOf;         // the name of the kept library the user was last told of
  std::string damagedKept;    // the note of the kept libraries found damaged
};

// What a library holds, read without writing anything in it or beside it; with `checkIntegrity`,
// one that holds scans is checked by SQLite as well, told first to `checking`.
LibraryState whatLibraryHolds(const qv::ModelPtr& model, const qv::EntityDescription& scans, const fs::path& file,
                              bool checkIntegrity, const TBCoreDataStoreS1::LibraryCheck& checking = {}) {
  LibraryState state;
  std::error_code ec;
  const auto size = fs::file_size(file, ec);
  if (ec) {
    state.holding = fs::exists(file, ec) ? Holding::Unknown : Holding::NoFile;
    return state;
  }
  const auto logSize = fs::file_size(companionOf(file, "-wal"), ec);
  const bool hasLog = !ec && logSize > 0;
  if (size == 0 && !hasLog) {  // taken for a new library
    state.holding = Holding::NoScans;
    state.onceHeldScans = false;
    return state;
  }
  // A log whose index is gone cannot be read without writing one: its saves would go unseen.
  if (hasLog && !fs::exists(companionOf(file, "-shm"), ec)) return state;
  qv::StoreCoordinator probe(model);
  qv::Error error;
  const auto opened = probe.open(file, &error, [](const fs::path&) { return EACCES; });
  if (opened == qv::StoreCoordinator::OpenResult::Unreadable) {
    state.holding = Holding::Unreadable;
    const auto* version = qv::find(error.userInfo, qv::kStoredModelVersionKey);
    const std::string mark = version ? version->toString().value_or("") : "";
    state.otherModel = !mark.empty() && mark != probe.layoutMark() && mark != model->versionHash();
    return state;
  }
  if (opened != qv::StoreCoordinator::OpenResult::OpenedReadOnly) return state;
  qv::Error readError;
  const auto rows = probe.fetchRows(scans, qv::FetchRequest(scans.name()), 1, &readError);
  if (!readError.domain.empty()) return state;
  state.holding = rows.empty() ? Holding::NoScans : Holding::Scans;
  state.onceHeldScans = !rows.empty() || probe.onceHeldScans();
  state.toldOf = probe.note(kToldOfKeptLibraryNote).value_or("");
  state.damagedKept = probe.note(kDamagedKeptLibrariesNote).value_or("");
  if (checkIntegrity && state.holding == Holding::Scans) {
    if (checking) checking(file);
    if (!probe.passesIntegrityCheck(&state.damage) && state.damage.empty()) state.damage = "damaged";
    std::replace_if(state.damage.begin(), state.damage.end(), [](char c) { return c == '\t' || c == '\n'; }, ' ');
  }
  return state;
}

}  // namespace

TBCoreDataStoreS1::TBCoreDataStoreS1(Options options)
    : folder_(std::move(options.folder)), presenter_(std::move(options.presentError)),
      writeAccess_(options.writeAccess ? std::move(options.writeAccess) : WriteAccessProbe(&systemWriteAccess)),
      libraryStep_(std::move(options.libraryStep)), libraryCheck_(std::move(options.libraryCheck)) {
  qv::ModelPtr model = options.model ? options.model : qv::scanModel();
  coordinator_ = std::make_shared<qv::StoreCoordinator>(model);
  openStore();
  if (openError_) coordinator_->setUnavailable(*openError_);
  filesFolder_ = coordinator_->filesFolder().empty() ? folder_ : coordinator_->filesFolder();
  privateContext_ = std::make_shared<qv::ObjectContext>(qv::ObjectContext::ConcurrencyType::PrivateQueue,
                                                        qv::makeSerialQueue("com.quorvel.store.private-context"),
                                                        coordinator_, folder_, filesFolder_);
  mainContext_ = std::make_shared<qv::ObjectContext>(qv::ObjectContext::ConcurrencyType::MainQueue, qv::mainQueue(),
                                                     coordinator_, folder_, filesFolder_);
  // Each context's saves reach the other asynchronously, on the other's queue; only plain
  // snapshots travel, never the saving context's objects.
  auto& center = qv::NotificationCenter::defaultCenter();
  auto merger = [](const qv::ObjectContextPtr& into) {
    return [weakInto = std::weak_ptr<qv::ObjectContext>(into)](const qv::Notification& n) {
      auto save = qv::ContextSave::from(n);
      auto target = weakInto.lock();
      if (!save || !save->saved || !target) return;
      target->perform([target, saved = save->saved] { target->mergeChangesFromSave(*saved); });
    };
  };
  privateSaves_ = qv::ObserverRegistration(
      center, center.addObserver(qv::ObjectContext::kDidSaveNotification, privateContext_.get(), merger(mainContext_)));
  mainSaves_ = qv::ObserverRegistration(
      center, center.addObserver(qv::ObjectContext::kDidSaveNotification, mainContext_.get(), merger(privateContext_)));
}

TBCoreDataStoreS1::~TBCoreDataStoreS1() {
  privateSaves_.reset();
  mainSaves_.reset();
  // Closed now, not when the last queued task lets go of a context: the file is free for the
  // next instance at once, and late tasks find a closed store (nothing fetched, saves refused).
  coordinator_->close();
}

void TBCoreDataStoreS1::present(const qv::Error& error) {
  QVLogError("%s", error.text().c_str());
  ErrorPresenter presenter = presenter_;
  if (!presenter) {
    std::lock_guard lock(presenterMutex());
    presenter = processPresenter();
  }
  if (presenter) presenter(error);
}

qv::RenameStep TBCoreDataStoreS1::renameStep() const {
  if (!libraryStep_) return {};
  return [this](const fs::path& from, const fs::path& to, bool done) {
    libraryStep_("rename " + from.filename().string() + " to " + to.filename().string(), done);
  };
}

void TBCoreDataStoreS1::openStore() {
  std::error_code ec;
  const auto status = fs::status(folder_, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) {
    openError_ = qv::Error(qv::kPosixErrorDomain, ec.value(),
                           "Cannot examine the application library folder " + folder_.string() + ": " + ec.message(),
                           {{qv::Error::kFilePathKey, folder_.string()}});
    present(*openError_);
    return;
  }
  if (!fs::exists(status)) {
    fs::create_directories(folder_, ec);
    if (ec) {
      openError_ = qv::Error(qv::kPosixErrorDomain, ec.value(),
                             "Cannot create the application library folder " + folder_.string() + ": " + ec.message(),
                             {{qv::Error::kFilePathKey, folder_.string()}});
      present(*openError_);
      return;
    }
  } else if (!fs::is_directory(status)) {
    openError_ = qv::Error(qv::kScanErrorDomain, qv::kLibraryFolderIsAFileError,
                           qv::format("Expected a folder to store application data, found a file (%s).",
                                      qv::fileURLString(folder_).c_str()),
                           {{qv::Error::kFilePathKey, folder_.string()}});
    present(*openError_);
    return;
  }

  const fs::path file = persistentStoreURL();
  if (int strayError = 0; !setAsideStrayCompanions(file, &strayError)) {
    // Opening would replay that log into the new store file: the store stays closed.
    openError_ = qv::posixError(strayError, "The scan library's log lies beside no library and cannot be set aside");
    openError_->userInfo[qv::Error::kFilePathKey] = file.string() + "-wal";
    present(*openError_);
    return;
  }
  takeBackKeptLibrary(file);
  qv::Error error;
  auto result = coordinator_->open(file, &error, writeAccess_);
  if (result == qv::StoreCoordinator::OpenResult::Unreadable) {
    // SQLite's own opening has folded a log it could read; what is left moves with the file (a
    // log beside a file that holds no database was never opened, and goes with it whole).
    std::string why;
    if (!foldLog(file, &why)) QVLogWarn("The unreadable store file %s moves with its log: %s", file.c_str(), why.c_str());
    int moveError = 0;
    auto moved = qv::keepDamagedFileAside(file, kStoreCompanions, &moveError, renameStep());
    if (!moved) {
      // Never delete what cannot be moved: the store stays closed and the user is told.
      openError_ = error;
      openError_->userInfo[qv::Error::kUnderlyingErrorKey] =
          qv::posixError(moveError, "Cannot move the unreadable store file aside").text();
      present(*openError_);
      return;
    }
    movedStoreFilePath_ = *moved;
    QVLogError("The store file %s cannot be read (%s); moved it to %s and started a new one", file.c_str(),
               error.description.c_str(), moved->c_str());
    qv::Error reopenError;
    result = coordinator_->open(file, &reopenError, writeAccess_);
    if (result == qv::StoreCoordinator::OpenResult::Unreadable || result == qv::StoreCoordinator::OpenResult::Failed) {
      openError_ = reopenError;
      present(reopenError);
      QVLogVerbose("Data file: %s", file.c_str());
      return;
    }
    toldOfKeptLibrary_ = moved->filename().string();  // the new library's openings say no more of it
    present(qv::Error(qv::kScanErrorDomain, qv::kStoreFileMovedAsideError,
                      qv::format("The scan library could not be read. It was kept as \"%s\" and a new, empty library "
                                 "was started.", moved->filename().c_str()),
                      {{qv::Error::kFilePathKey, file.string()},
                       {qv::kMovedFilePathKey, moved->string()},
                       {qv::Error::kUnderlyingErrorKey, error.text()}}));
  } else if (result == qv::StoreCoordinator::OpenResult::Failed) {
    // The file is left as it is (a lock, a permission, a disk error is not its fault); the user
    // is told which file and why.
    openError_ = error;
    openError_->description = "The scan library " + file.string() + " could not be opened: " + error.description;
    present(*openError_);
    return;
  }
  if (result == qv::StoreCoordinator::OpenResult::OpenedReadOnly) {
    // Told once, here; each refused save repeats the reason to its caller.
    readOnlyError_ = coordinator_->writeProblem();
    if (readOnlyError_) present(*readOnlyError_);
  } else {
    qv::Error noteError;
    if (toldOfKeptLibrary_ && !coordinator_->setNote(kToldOfKeptLibraryNote, *toldOfKeptLibrary_, &noteError))
      QVLogWarn("Cannot note in the scan library what the user was told: %s", noteError.text().c_str());
    if (damagedKeptLibraries_ && !coordinator_->setNote(kDamagedKeptLibrariesNote, *damagedKeptLibraries_, &noteError))
      QVLogWarn("Cannot note in the scan library which kept libraries are damaged: %s", noteError.text().c_str());
  }
  QVLogDebug("Data file: %s", file.c_str());
}

bool TBCoreDataStoreS1::foldLog(const fs::path& file, std::string* why) {
  const std::string step = "fold the log of " + file.filename().string() + " into it";
  if (libraryStep_) libraryStep_(step, false);
  const bool folded = qv::StoreCoordinator::foldLogIntoFile(file, why);
  if (libraryStep_) libraryStep_(step, true);
  return folded;
}

bool TBCoreDataStoreS1::setAsideStrayCompanions(const fs::path& file, int* error) {
  // A log or an index under the store's name beside no store file (a crash between an older
  // program's renames, a file removed by hand) belongs to some other library: SQLite would replay
  // that log into whatever file next takes the name. Each is kept under a dated name of its own.
  struct stat st {};
  if (::lstat(file.c_str(), &st) == 0 || errno != ENOENT) return true;
  for (const auto& suffix : kStoreCompanions) {
    const fs::path stray = companionOf(file, suffix.c_str());
    if (::lstat(stray.c_str(), &st) != 0) continue;
    int err = 0;
    const auto aside = qv::keepDamagedFileAside(stray, {}, &err, renameStep());
    if (!aside) {
      QVLogError("The store's %s lies beside no store file and cannot be set aside: %s", stray.c_str(),
                 std::strerror(err));
      if (error) *error = err;
      return false;
    }
    QVLogWarn("The store's %s lay beside no store file; it is kept as %s, never read into another library",
              stray.filename().c_str(), aside->c_str());
  }
  return true;
}

void TBCoreDataStoreS1::takeBackKeptLibrary(const fs::path& file) {
  // An older program that takes this version's library for another model's keeps it aside whole
  // and starts an empty one; a library kept aside is never deleted. Back on this version, a
  // library that never held a scan beside a kept library that this version can read and that
  // holds scans is that library's successor, not a choice the user made: the kept one is taken
  // back. A library that once held scans is the user's, emptied or not.
  const auto kept = keptLibraries(file);
  if (kept.empty()) return;
  const auto scans = coordinator_->model()->entity("QVSDScanObject");
  if (!scans) return;  // not a library of scans: there is nothing to compare
  const LibraryState current = whatLibraryHolds(coordinator_->model(), *scans, file, false);
  if (current.holding == Holding::Scans || current.holding == Holding::Unknown) return;
  if (current.holding == Holding::NoScans && current.onceHeldScans) return;
  std::optional<fs::path> chosen;
  std::optional<fs::path> unopened;  // the newest kept library that cannot be taken back
  LibraryState unopenedState;
  // A kept file found damaged at an earlier opening and unchanged since is not checked again; a
  // file that changed is. The note names only files still there and still damaged.
  const auto damagedEarlier = damagedKeptLibraries(current.damagedKept);
  std::string damagedNow;
  for (const auto& library : kept) {
    const std::string name = library.filename().string(), mark = unchangedFileMark(library);
    const auto earlier = damagedEarlier.find(name);
    LibraryState state;
    if (!mark.empty() && earlier != damagedEarlier.end() && earlier->second.first == mark) {
      state.holding = Holding::Scans;
      state.damage = earlier->second.second;
    } else {
      state = whatLibraryHolds(coordinator_->model(), *scans, library, true, libraryCheck_);
    }
    if (state.holding == Holding::Scans && state.damage.empty()) {
      chosen = library;
      break;
    }
    if (state.holding == Holding::Scans && !mark.empty()) damagedNow += name + '\t' + mark + '\t' + state.damage + '\n';
    if ((state.holding == Holding::Unreadable || state.holding == Holding::Unknown || state.holding == Holding::Scans) &&
        !unopened) {
      unopened = library;
      unopenedState = state;
    }
  }
  if (damagedNow != current.damagedKept) damagedKeptLibraries_ = damagedNow;
  auto tellWhereItIs = [&](const fs::path& library, const std::string& why) {
    if (current.holding == Holding::Unreadable) return;  // the opening tells of the library it keeps now
    QVLogWarn("The scan library %s holds no scans; the library kept as %s %s", file.c_str(), library.c_str(), why.c_str());
    present(qv::Error(qv::kScanErrorDomain, qv::kKeptLibraryFoundError,
                      qv::format("The scan library holds no scans. The library kept earlier as \"%s\" %s; it is still "
                                 "there, in %s.",
                                 library.filename().c_str(), why.c_str(), library.parent_path().c_str()),
                      {{qv::Error::kFilePathKey, file.string()}, {qv::kKeptLibraryPathKey, library.string()}}));
  };
  if (!chosen) {
    // What cannot change by itself is told once: the library notes it once it is open.
    if (!unopened || unopened->filename().string() == current.toldOf) return;
    std::string why;
    if (unopenedState.holding == Holding::Scans)
      why = "holds scans but is damaged (" + unopenedState.damage + "), so it was not taken back";
    else if (unopenedState.holding == Holding::Unknown)
      why = "could not be read";
    else if (unopenedState.otherModel)
      why = "was written by another version of the program and cannot be opened by this one";
    else
      why = "is damaged and cannot be opened";
    tellWhereItIs(*unopened, why);
    if (current.holding != Holding::Unreadable) toldOfKeptLibrary_ = unopened->filename().string();
    return;
  }
  // Moved only where names can be changed and while no program has either library open.
  if (const int err = writeAccess_(folder_)) {
    tellWhereItIs(*chosen, std::string("holds scans but could not be taken back (") + std::strerror(err) + ")");
    return;
  }
  if (qv::StoreCoordinator::inUse(file) || qv::StoreCoordinator::inUse(*chosen)) {
    tellWhereItIs(*chosen, "holds scans but could not be taken back while another program has a library open");
    return;
  }
  // Each library moves as one file: its log is folded into it first, so that no crash between
  // two renames leaves a log under a name whose file is another library's. The library found
  // goes with its companions if its log cannot be folded (a damaged file): a crash then leaves
  // them beside no file, and they are set aside on their own at the next opening.
  std::string why;
  if (!foldLog(*chosen, &why)) {
    tellWhereItIs(*chosen, "holds scans but could not be taken back (" + why + ")");
    return;
  }
  std::optional<fs::path> setAside;
  if (current.holding != Holding::NoFile) {
    if (!foldLog(file, &why)) QVLogWarn("The scan library %s moves with its log: %s", file.c_str(), why.c_str());
    int err = 0;
    setAside = qv::keepDamagedFileAside(file, kStoreCompanions, &err, renameStep());
    if (!setAside) {
      tellWhereItIs(*chosen, std::string("holds scans but could not be taken back (") + std::strerror(err) + ")");
      return;
    }
  }
  // Nothing may lie under the store's name but the library taken back.
  int err = 0;
  if (!setAsideStrayCompanions(file, &err) ||
      (err = qv::moveFileWithCompanions(*chosen, file, kStoreCompanions, renameStep()))) {
    if (setAside && qv::moveFileWithCompanions(*setAside, file, kStoreCompanions, renameStep()) == 0) setAside.reset();
    if (!setAside) {
      tellWhereItIs(*chosen, std::string("holds scans but could not be taken back (") + std::strerror(err) + ")");
      return;
    }
    // Neither could go back: the store name is free, and a new library starts there, both kept.
    QVLogError("Could not take back the scan library %s (%s), nor put %s back in its place", chosen->c_str(),
               std::strerror(err), setAside->c_str());
    return;
  }
  takenBackStoreFilePath_ = *chosen;
  damagedKeptLibraries_.reset();  // the library taken back is the user's: it never takes one back
  if (current.holding == Holding::Unreadable) movedStoreFilePath_ = setAside;
  std::string message;
  if (current.holding == Holding::Unreadable)
    message = qv::format("The scan library could not be read. It was kept as \"%s\", and the library kept earlier as "
                         "\"%s\" was taken back.",
                         setAside->filename().c_str(), chosen->filename().c_str());
  else if (setAside)
    message = qv::format("The scan library held no scans, so the library kept earlier as \"%s\" was taken back. The "
                         "empty library was kept as \"%s\".",
                         chosen->filename().c_str(), setAside->filename().c_str());
  else
    message = qv::format("The scan library was missing, so the library kept earlier as \"%s\" was taken back.",
                         chosen->filename().c_str());
  QVLogInfo("Took back the scan library kept as %s%s%s", chosen->c_str(), setAside ? "; the one in its place is kept as " : "",
            setAside ? setAside->c_str() : "");
  qv::Dictionary info{{qv::Error::kFilePathKey, file.string()}, {qv::kKeptLibraryPathKey, chosen->string()}};
  if (setAside) info[qv::kMovedFilePathKey] = setAside->string();
  present(qv::Error(qv::kScanErrorDomain, qv::kKeptLibraryTakenBackError, message, info));
}

bool TBCoreDataStoreS1::hasCoordinator() const { return coordinator_->isOpen(); }

std::optional<qv::ObjectID> TBCoreDataStoreS1::objectIDFromString(const std::string& text) const {
  return mainContext_->objectIDFromString(text);
}

namespace {
std::atomic<TBCoreDataStoreS1*> madeDefaultStore{nullptr};
}  // namespace

TBCoreDataStoreS1& TBCoreDataStoreS1::defaultStore() {
  // Never destroyed: tasks still queued when the program ends may hold its contexts. The program
  // closes its file instead (`closeDefaultStore`), so that its log is folded in as it goes.
  static TBCoreDataStoreS1* store = [] {
    auto* made = new TBCoreDataStoreS1(Options{appLibraryDirectory(), nullptr, nullptr});
    madeDefaultStore = made;
    return made;
  }();
  return *store;
}

void TBCoreDataStoreS1::closeDefaultStore() {
  if (TBCoreDataStoreS1* store = madeDefaultStore.load()) store->close();
}

void TBCoreDataStoreS1::close() { coordinator_->close(); }

qv::ObjectContextPtr TBCoreDataStoreS1::mainQueueContext() { return defaultStore().mainContext(); }
qv::ObjectContextPtr TBCoreDataStoreS1::privateQueueContext() { return defaultStore().privateContext(); }

std::optional<qv::ObjectID> TBCoreDataStoreS1::managedObjectIDFromString(const std::string& text) {
  return defaultStore().objectIDFromString(text);
}

int TBCoreDataStoreS1::systemWriteAccess(const std::filesystem::path& path) {
  std::error_code ec;
  const int mode = fs::is_directory(path, ec) ? W_OK | X_OK : W_OK;
  return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0 ? 0 : errno;
}

std::filesystem::path TBCoreDataStoreS1::appLibraryDirectory() { return qv::paths::applicationLibraryPath(); }

void TBCoreDataStoreS1::setErrorPresenter(ErrorPresenter presenter) {
  std::lock_guard lock(presenterMutex());
  processPresenter() = std::move(presenter);
}
