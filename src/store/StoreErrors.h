// Codes of the application's error domain that the object store and its files report.
#pragma once

namespace qv {

// A file stands where the application library folder should be.
inline constexpr int kLibraryFolderIsAFileError = 101;
// The store file could not be read and was moved aside; a new, empty store was started. This is
// told to the user (the old scans are still in the moved file), not a failure of the store.
inline constexpr int kStoreFileMovedAsideError = 102;
// The store cannot be opened (no permission, locked, disk error): fetches find nothing and saves fail.
inline constexpr int kStoreUnavailableError = 103;
// A save, fetch or load failed in the store file itself.
inline constexpr int kStoreOperationError = 104;
// A vertex data file is missing, unreadable, inconsistent with its slices, or cannot be written.
inline constexpr int kVertexFileError = 105;
// The store file can be read but not written (its permissions, a read-only disk): scans can be
// opened, and every save fails with this error, which names the file and the reason.
inline constexpr int kStoreReadOnlyError = 106;
// The library found held no scans (or was missing) and a library kept aside beside it, which held
// scans, was taken back in its place; the one found is kept aside in turn. Told, not a failure.
inline constexpr int kKeptLibraryTakenBackError = 107;
// The library found holds no scans and a library kept aside beside it cannot be opened or taken
// back: the user is told where it is. Told, not a failure.
inline constexpr int kKeptLibraryFoundError = 108;

// The detail key carrying SQLite's own result code.
inline constexpr const char* kSQLiteResultCodeKey = "SQLiteResultCode";
// The detail key carrying the path a store file was moved to.
inline constexpr const char* kMovedFilePathKey = "MovedFilePath";
// The detail key carrying the model mark of a store file written with another model (one that
// another version can open, unlike a damaged file).
inline constexpr const char* kStoredModelVersionKey = "StoredModelVersion";
// The detail key carrying the path of a library kept aside that was taken back or is still kept.
inline constexpr const char* kKeptLibraryPathKey = "KeptLibraryPath";

}  // namespace qv
