// Text encoded on several cores and written in order. A long export is cut into blocks of lines;
// each block is encoded into a buffer of its own, and the buffers go to the PieceWriter in block
// order while later blocks are still being encoded. Only a few blocks are in memory at a time, and
// the bytes are those a single thread would have written.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "formats/internal/PieceWriter.h"

namespace qv {

// Lines per block: enough that handing a block over costs nothing next to encoding it, few enough
// that the blocks in flight stay at a few megabytes each.
inline constexpr std::size_t kLinesPerBlock = 32768;

// One block's text, and what encoding it found that must be told once the block is written.
class TextBlock {
public:
  // Where the next line goes, with room for PieceWriter::kItemRoom characters; `advanceTo` then
  // takes them up to where the line ended.
  char* place() {
    if (text_.size() - used_ < PieceWriter::kItemRoom) grow();
    return text_.data() + used_;
  }
  void advanceTo(char* end) { used_ = static_cast<std::size_t>(end - text_.data()); }
  std::span<const std::uint8_t> bytes() const { return {reinterpret_cast<const std::uint8_t*>(text_.data()), used_}; }
  void clear() {
    used_ = 0;
    records = 0;
    skipped.clear();
  }

  std::uint64_t records = 0;            // records the block wrote
  std::vector<std::uint32_t> skipped;   // entries the block passed over that the caller reports, in order

private:
  void grow();
  std::vector<char> text_;  // kept from block to block: a slot's buffer grows once
  std::size_t used_ = 0;
};

// Encodes blocks 0 to count-1 with `encode` on up to `threads` threads (the calling thread among
// them; it alone finishes the work when no helper is free) and hands each block's bytes to `out`
// in block order, calling `written` with the block right after, on one thread at a time. Once `out`
// has failed, no further block is encoded or written. An exception from `encode` or `written`
// stops the work and is thrown again here.
void writeBlocksInOrder(PieceWriter& out, std::size_t count, int threads, const std::function<void(std::size_t block, TextBlock&)>& encode,
                        const std::function<void(const TextBlock&)>& written = {});

// `count` lines, line i written by `putLine(at, i)` at `at` (at most PieceWriter::kItemRoom
// characters; it returns the end of the line): straight into `out` when they fit in one block,
// else in blocks on the cores the process may use.
void writeLines(PieceWriter& out, std::size_t count, const std::function<char*(char* at, std::size_t line)>& putLine);

}  // namespace qv
