// A store in a temporary library folder, and running test code on the contexts' queues.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Queue.h"
#include "store/TBCoreDataStoreS1.h"
#include "support/TempFolder.h"

class StoreTest : public ::testing::Test {
protected:
  void SetUp() override { store = openStore(); }
  void TearDown() override {
    store.reset();
    qv::drainMainQueue();
  }

  std::filesystem::path libraryFolder() const { return temp.path() / "Quorvel"; }

  // A store instance on the folder, as a new run of the application would open it; whether a
  // path may be written is the system's answer unless the test gives its own.
  std::unique_ptr<TBCoreDataStoreS1> openStore(std::filesystem::path folder = {},
                                               TBCoreDataStoreS1::WriteAccessProbe writeAccess = {}) {
    TBCoreDataStoreS1::Options options;
    options.folder = folder.empty() ? libraryFolder() : folder;
    options.presentError = [this](const qv::Error& e) { presented.push_back(e); };
    options.writeAccess = std::move(writeAccess);
    return std::make_unique<TBCoreDataStoreS1>(std::move(options));
  }

  // Closes the store as the end of a run does; what opens next is up to the test.
  void closeStore() {
    store.reset();
    qv::drainMainQueue();  // merges still queued for the old main context
  }

  // Closes the store and opens the folder again in a fresh instance.
  void reopen() {
    store.reset();
    qv::drainMainQueue();  // merges still queued for the old main context
    store = openStore();
  }

  // Runs the code on the main queue (as the screens do) and waits for it.
  void onMain(const std::function<void()>& code) {
    bool ran = false;
    qv::mainQueue()->async([&] {
      code();
      ran = true;
    });
    while (!ran) qv::drainMainQueue();
  }
  void onPrivate(const std::function<void()>& code) { store->privateContext()->performAndWait(code); }

  // Lets the queued merges run: the private queue's by waiting for it, the main queue's by draining.
  void settle() {
    store->privateContext()->performAndWait([] {});
    qv::drainMainQueue();
    store->privateContext()->performAndWait([] {});
  }

  qv::ObjectContext& mainContext() { return *store->mainContext(); }
  qv::ObjectContext& privateContext() { return *store->privateContext(); }

  static void writeFile(const std::filesystem::path& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary);
    out << contents;
  }
  static std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  qv::test::TempFolder temp;
  std::vector<qv::Error> presented;
  std::unique_ptr<TBCoreDataStoreS1> store;
};
