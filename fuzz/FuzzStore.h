// The store a fuzz target reads into, in its work folder ("library"); it is closed before the
// folder goes. One program makes one, named by its first call.
#pragma once

#include <cstdlib>

#include "FuzzSupport.h"
#include "store/TBCoreDataStoreS1.h"
#include "support/QuietStore.h"

namespace qv::fuzz {

inline TBCoreDataStoreS1& storeIn(const char* name) {
  static TBCoreDataStoreS1* made = [name] {
    quietLogs();
    auto* s = qv::test::makeQuietStore(workFolder(name) / "library").release();
    std::atexit([] { delete made; });
    return s;
  }();
  return *made;
}

}  // namespace qv::fuzz
