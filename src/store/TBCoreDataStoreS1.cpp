// Opening the store (folder, file, recovery of an unreadable file), the contexts and their merging.
#include "store/TBCoreDataStoreS1.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>

#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/Queue.h"
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

std::string timestamp() {
  const std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y%m%d-%H%M%S", &local);
  return buffer;
}

// Moves the store file and its write-ahead log aside under one dated name, so that nothing the
// user saved is lost and SQLite still finds the log beside the moved file.
std::optional<fs::path> moveAside(const fs::path& file, qv::Error* error) {
  const std::string base = file.string() + ".corrupt-" + timestamp();
  fs::path target = base;
  std::error_code ec;
  for (int n = 2; fs::exists(target, ec); ++n) target = base + "-" + std::to_string(n);
  fs::rename(file, target, ec);
  if (ec) {
    if (error) *error = qv::posixError(ec.value(), "Cannot move the unreadable store file aside");
    return std::nullopt;
  }
  for (const char* suffix : {"-wal", "-shm"}) {
    const fs::path companion = file.string() + suffix;
    if (fs::exists(companion, ec)) {
      fs::rename(companion, target.string() + suffix, ec);
      if (ec) fs::remove(companion, ec);  // a log left behind would be replayed into the new store
    }
  }
  return target;
}

}  // namespace

TBCoreDataStoreS1::TBCoreDataStoreS1(Options options)
    : folder_(std::move(options.folder)), presenter_(std::move(options.presentError)),
      writeAccess_(options.writeAccess ? std::move(options.writeAccess) : WriteAccessProbe(&systemWriteAccess)) {
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
  qv::Error error;
  auto result = coordinator_->open(file, &error, writeAccess_);
  if (result == qv::StoreCoordinator::OpenResult::Unreadable) {
    qv::Error moveError;
    auto moved = moveAside(file, &moveError);
    if (!moved) {
      // Never delete what cannot be moved: the store stays closed and the user is told.
      openError_ = error;
      openError_->userInfo[qv::Error::kUnderlyingErrorKey] = moveError.text();
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
  }
  QVLogDebug("Data file: %s", file.c_str());
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
