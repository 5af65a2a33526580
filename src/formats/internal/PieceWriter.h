// A file made as it is written: text, numbers and bytes gather in a buffer of about a megabyte
// that goes to the disk each time it fills. A writer then never holds its whole file in memory,
// nor copies it a second time on the way out, and the disk is busy while the next piece is made.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
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
    piece_.append(text);
    return handOverWhenFull();
  }
  PieceWriter& character(char c) {
    piece_ += c;
    return handOverWhenFull();
  }
  PieceWriter& bytes(std::span<const std::uint8_t> bytes);
  // A scalar's bytes as they lie in memory (little-endian on every machine we build for).
  template <typename T>
  PieceWriter& scalar(T value) {
    char b[sizeof(T)];
    std::memcpy(b, &value, sizeof(T));
    piece_.append(b, sizeof(T));
    return handOverWhenFull();
  }
  // As printf's "%.<decimals>f" prints the value in the C locale (qv::text::appendFixed).
  PieceWriter& fixed(float value, int decimals);
  PieceWriter& fixed(double value, int decimals);
  // The shortest text that reads back to the same float ("0.1", "1e-07"); a value that is not
  // finite as qv::text::appendShortest writes it.
  PieceWriter& shortest(float value);
  PieceWriter& integer(std::uint64_t value);

  // The sink refused a piece: nothing more is written, and the producer may stop.
  bool failed() const { return failed_; }
  // Hands over what is left; called once the file is complete.
  void finish();

private:
  PieceWriter& handOverWhenFull() {
    if (piece_.size() >= kPieceBytes) handOver();
    return *this;
  }
  void handOver();

  const ByteSink& sink_;
  std::string piece_;
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
