// A file made as it is written: text, numbers and bytes gather in a buffer of about a megabyte
// that goes to the disk each time it fills. A writer then never holds its whole file in memory,
// nor copies it a second time on the way out, and the disk is busy while the next piece is made.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "formats/internal/AtomicFile.h"
#include "platform/Error.h"

namespace qv {

class PieceWriter {
public:
  static constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

  explicit PieceWriter(const ByteSink& sink);
  PieceWriter(const PieceWriter&) = delete;
  PieceWriter& operator=(const PieceWriter&) = delete;

  PieceWriter& text(std::string_view text) {
    if (text.size() > kItemRoom) return block({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    std::memcpy(at_, text.data(), text.size());
    at_ += text.size();
    return handOverWhenFull();
  }
  PieceWriter& character(char c) {
    *at_++ = c;
    return handOverWhenFull();
  }
  PieceWriter& bytes(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return *this;  // an empty list may have no storage at all
    if (bytes.size() > kItemRoom) return block(bytes);
    std::memcpy(at_, bytes.data(), bytes.size());
    at_ += bytes.size();
    return handOverWhenFull();
  }
  // A scalar's bytes as they lie in memory (little-endian on every machine we build for).
  template <typename T>
  PieceWriter& scalar(T value) {
    std::memcpy(at_, &value, sizeof(T));
    at_ += sizeof(T);
    return handOverWhenFull();
  }
  // As printf's "%.<decimals>f" prints the value in the C locale (qv::text::appendFixed).
  PieceWriter& fixed(float value, int decimals);
  PieceWriter& fixed(double value, int decimals);
  // The shortest text that reads back to the same float ("0.1", "1e-07"); a value that is not
  // finite as qv::text::appendShortest writes it.
  PieceWriter& shortest(float value);
  PieceWriter& integer(std::uint64_t value);

  // For a writer that makes a short line itself: at most kItemRoom characters may be written at
  // `place()`, and `advanceTo` then takes them up to where the writing ended.
  char* place() { return at_; }
  PieceWriter& advanceTo(char* end) {
    at_ = end;
    return handOverWhenFull();
  }

  // The sink refused a piece: nothing more is written, and the producer may stop.
  bool failed() const { return failed_; }
  // Hands over what is left; called once the file is complete.
  void finish();

  // Every item but a long text or block is written straight into the buffer, which keeps this
  // much room beyond a full piece: one number or short line always fits without a check.
  static constexpr std::size_t kItemRoom = 4096;

private:
  PieceWriter& handOverWhenFull() {
    if (static_cast<std::size_t>(at_ - buffer_.get()) >= kPieceBytes) handOver();
    return *this;
  }
  void handOver();
  // A long block goes out as it is, after what came before it.
  PieceWriter& block(std::span<const std::uint8_t> bytes);

  const ByteSink& sink_;
  std::unique_ptr<char[]> buffer_;
  char* at_ = nullptr;
  bool failed_ = false;
};

// writeFileAtomically for a file that `produce` writes through a PieceWriter.
bool writeFileInPieces(const std::filesystem::path& target, const std::function<void(PieceWriter&)>& produce, Error* error);

// The same bytes gathered in memory (a std::string or qv::Data), for callers that want them whole;
// room for `expectedBytes` is made at once.
template <typename Bytes>
Bytes collectPieces(const std::function<void(PieceWriter&)>& produce, std::size_t expectedBytes = 0) {
  Bytes out;
  out.reserve(expectedBytes);
  const ByteSink sink = [&out](std::span<const std::uint8_t> piece) {
    out.insert(out.end(), piece.begin(), piece.end());
    return true;
  };
  PieceWriter writer(sink);
  produce(writer);
  writer.finish();
  return out;
}

}  // namespace qv
