// The buffered file writer the exports share.
#include "formats/internal/PieceWriter.h"

#include <charconv>
#include <cmath>

#include "formats/internal/NumberText.h"

namespace qv {

PieceWriter::PieceWriter(const ByteSink& sink) : sink_(sink) {
  // Room for the last item that crosses the limit, so that appending never reallocates.
  piece_.reserve(kPieceBytes + 4096);
}

PieceWriter& PieceWriter::bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kPieceBytes) {
    piece_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return handOverWhenFull();
  }
  // A block as large as a piece goes out as it is, after what came before it.
  handOver();
  if (!failed_) failed_ = !sink_(bytes);
  return *this;
}

PieceWriter& PieceWriter::fixed(float value, int decimals) {
  text::appendFixed(piece_, value, decimals);
  return handOverWhenFull();
}

PieceWriter& PieceWriter::fixed(double value, int decimals) {
  text::appendFixed(piece_, value, decimals);
  return handOverWhenFull();
}

PieceWriter& PieceWriter::shortest(float value) {
  if (!std::isfinite(value)) {
    text::appendShortest(piece_, value);
  } else {
    char buffer[32];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (ec == std::errc()) piece_.append(buffer, end);
  }
  return handOverWhenFull();
}

PieceWriter& PieceWriter::integer(std::uint64_t value) {
  char buffer[24];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  piece_.append(buffer, end);
  return handOverWhenFull();
}

void PieceWriter::handOver() {
  if (!failed_ && !piece_.empty()) failed_ = !sink_({reinterpret_cast<const std::uint8_t*>(piece_.data()), piece_.size()});
  piece_.clear();
}

void PieceWriter::finish() { handOver(); }

bool writeFileInPieces(const std::filesystem::path& target, const std::function<void(PieceWriter&)>& produce, Error* error) {
  return writeFileAtomically(
      target,
      [&](const ByteSink& sink) {
        PieceWriter writer(sink);
        produce(writer);
        writer.finish();
      },
      error);
}

}  // namespace qv
