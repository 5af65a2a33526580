// What earlier runs left behind: scans whose data is gone, and intermediate files and folders in
// the application library folder that no stored record refers to.
#pragma once

#include <filesystem>
#include <functional>

class TBCoreDataStoreS1;

namespace qv::screens {

// Queues the clean-up on the store's private-queue context and returns at once; `done`, when
// given, runs on that context's queue once it is over. Stale scans are deleted and saved first;
// files go only after that save, and only those the library is known not to name: a save or a
// lookup that fails, or a store that is closed or read-only, leaves every file. Every file-system
// or store failure is otherwise ignored (logged): what could not go stays for the next launch.
void removeIntermediateFiles(TBCoreDataStoreS1& store, std::function<void()> done = {});

}  // namespace qv::screens
