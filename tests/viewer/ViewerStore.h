// The store the viewer's tests work on: a real one in a temporary folder that keeps its errors to
// itself, and scans made in its default library.
#pragma once

#include <gtest/gtest.h>

#include "store/QVSDLibrary.h"
#include "store/QVSDScanObject.h"
#include "store/TBCoreDataStoreS1.h"
#include "support/QuietStore.h"

using qv::test::makeQuietStore;

// A new scan, filled by `fill(scan)` on the store's private context and saved there.
template <typename F>
qv::ObjectID addScanObject(TBCoreDataStoreS1& store, F fill) {
  qv::ObjectContext& context = *store.privateContext();
  qv::ObjectID id;
  context.performAndWait([&] {
    auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(context));
    fill(scan);
    ASSERT_TRUE(context.save());
    id = scan->objectID();
  });
  return id;
}

// The scans the library lists (the main screen's recent scans).
inline std::size_t scanCount(TBCoreDataStoreS1& store) {
  qv::ObjectContext& context = *store.privateContext();
  std::size_t n = 0;
  context.performAndWait(
      [&] { n = QVSDScanObject::scanObjectsSortedByLastOpenedDateInLibrary(QVSDLibrary::defaultLibraryInContext(context)).size(); });
  return n;
}
