// Blocks encoded side by side, written one after another.
#include "formats/internal/OrderedBlocks.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>

#include "platform/Cores.h"
#include "platform/ParallelFor.h"

namespace qv {

void TextBlock::grow() { text_.resize(std::max(2 * text_.size(), used_ + PieceWriter::kItemRoom + (std::size_t{1} << 20))); }

namespace {

// What the threads of one writeBlocksInOrder share. Block b is encoded into slot b % slots.size(),
// and only once block b - slots.size() has been written, which freed that slot.
struct Pipeline {
  struct Slot {
    TextBlock block;
    bool ready = false;  // encoded, not yet written
  };

  Pipeline(PieceWriter& out, std::size_t count, std::size_t window, const std::function<void(std::size_t, TextBlock&)>& encode,
           const std::function<void(const TextBlock&)>& written)
      : out(out), count(count), encode(encode), written(written), slots(window) {}

  PieceWriter& out;
  std::size_t count;
  const std::function<void(std::size_t, TextBlock&)>& encode;
  const std::function<void(const TextBlock&)>& written;
  std::vector<Slot> slots;
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t nextToEncode = 0;
  std::size_t nextToWrite = 0;
  bool writing = false;  // one thread at a time hands blocks to `out`
  bool stopped = false;
  std::exception_ptr failure;

  // Every thread alike: write the next block when it is ready and nobody is writing, else encode
  // the next block when its slot is free, else wait for one of those to change. Whoever writes
  // or encodes does so without the lock.
  void participate() {
    std::unique_lock lock(mutex);
    while (!stopped && nextToWrite < count) {
      Slot& head = slots[nextToWrite % slots.size()];
      if (!writing && head.ready) {
        writing = true;
        lock.unlock();
        const bool ok = attempt([&] {
          out.bytes(head.block.bytes());
          if (written) written(head.block);
        });
        lock.lock();
        head.ready = false;
        writing = false;
        ++nextToWrite;
        if (!ok || out.failed()) stopped = true;
        changed.notify_all();
      } else if (nextToEncode < count && nextToEncode < nextToWrite + slots.size()) {
        const std::size_t block = nextToEncode++;
        Slot& slot = slots[block % slots.size()];
        lock.unlock();
        const bool ok = attempt([&] {
          slot.block.clear();
          encode(block, slot.block);
        });
        lock.lock();
        slot.ready = true;
        if (!ok) stopped = true;
        if (!ok || block == nextToWrite) changed.notify_all();
      } else {
        changed.wait(lock);
      }
    }
  }

  template <typename F>
  bool attempt(F&& f) {
    try {
      f();
      return true;
    } catch (...) {
      std::lock_guard lock(mutex);
      if (!failure) failure = std::current_exception();
      return false;
    }
  }
};

}  // namespace

void writeBlocksInOrder(PieceWriter& out, std::size_t count, int threads, const std::function<void(std::size_t, TextBlock&)>& encode,
                        const std::function<void(const TextBlock&)>& written) {
  if (count == 0 || out.failed()) return;
  threads = std::max(threads, 1);
  // Two blocks beyond one a thread: a thread that finishes a block finds another free slot while
  // the oldest is being written.
  Pipeline pipeline(out, count, std::min(count, static_cast<std::size_t>(threads) + 2), encode, written);
  parallelFor(static_cast<std::size_t>(threads), threads, [&](std::size_t) { pipeline.participate(); });
  if (pipeline.failure) std::rethrow_exception(pipeline.failure);
}

void writeLines(PieceWriter& out, std::size_t count, const std::function<char*(char*, std::size_t)>& putLine) {
  if (count <= kLinesPerBlock) {
    for (std::size_t i = 0; i < count && !out.failed(); ++i) out.advanceTo(putLine(out.place(), i));
    return;
  }
  const std::size_t blocks = (count + kLinesPerBlock - 1) / kLinesPerBlock;
  writeBlocksInOrder(out, blocks, usableCores(), [&](std::size_t block, TextBlock& into) {
    const std::size_t end = std::min(count, (block + 1) * kLinesPerBlock);
    for (std::size_t i = block * kLinesPerBlock; i < end; ++i) into.advanceTo(putLine(into.place(), i));
  });
}

}  // namespace qv
