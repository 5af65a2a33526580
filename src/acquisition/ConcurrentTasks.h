// Runs a few independent pieces of work of one scan step at the same time.
#pragma once

#include <functional>
#include <vector>

namespace qv {

// Runs every task, some on the default global queue's threads and at least one on the calling
// thread, and returns when all have finished. The caller takes up any task no worker has started,
// so the call finishes even when every worker is busy (or waiting in a call like this one). The
// first exception a task throws is thrown again here, after all have finished.
void runConcurrently(const std::vector<std::function<void()>>& tasks);

}  // namespace qv
