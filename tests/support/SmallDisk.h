// A small file system of a test's own, to fill up: a tmpfs mounted in a private mount namespace (in
// a user namespace of its own too where the test does not run as root), which only a second run
// of the same test sees. Nothing is mounted where anyone else could see it, and the file system
// goes away with that run, however it ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace qv::test {

// Where the small file system is mounted, when this process is the run that sees it.
std::optional<std::filesystem::path> smallDiskFolder();

// Runs the current test again in a child process that sees a tmpfs of `bytes` mounted at a fresh
// folder (smallDiskFolder() there) and waits for it: a failure of that run fails this test. False,
// with the reason, when no such file system can be had here.
bool runOnSmallDisk(std::uint64_t bytes, std::string* whyNot);

// Fills the file system holding the folder with a file of its own until only about `bytes` are
// left free.
void fillDiskLeaving(const std::filesystem::path& folder, std::uint64_t bytes);

}  // namespace qv::test

// At the start of a test body: the rest of the body runs again in a child process whose
// smallDiskFolder() is a tmpfs of `bytes`; the test is skipped where none can be had.
#define QV_RUN_ON_A_SMALL_DISK(bytes)                                                   \
  if (!::qv::test::smallDiskFolder()) {                                                \
    std::string whyNoSmallDisk;                                                        \
    if (!::qv::test::runOnSmallDisk((bytes), &whyNoSmallDisk)) GTEST_SKIP() << whyNoSmallDisk; \
    return;                                                                            \
  }
