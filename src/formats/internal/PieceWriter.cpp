// The buffered file writer the exports share.
#include "formats/internal/PieceWriter.h"

#include <charconv>

#include "formats/internal/NumberText.h"
#include "platform/LargeData.h"

namespace qv {

PieceWriter::PieceWriter(const ByteSink& sink)
    : sink_(sink), buffer_(new char[kPieceBytes + kItemRoom]), at_(buffer_.get()) {
  mapPagesAhead(buffer_.get(), kPieceBytes + kItemRoom, false);
}

PieceWriter& PieceWriter::block(std::span<const std::uint8_t> bytes) {
  handOver();
  if (!failed_) failed_ = !sink_(bytes);
  return *this;
}

PieceWriter& PieceWriter::fixed(float value, int decimals) {
  at_ = text::writeFixed(at_, value, decimals);
  return handOverWhenFull();
}

PieceWriter& PieceWriter::fixed(double value, int decimals) {
  at_ = text::writeFixed(at_, value, decimals);
  return handOverWhenFull();
}

PieceWriter& PieceWriter::shortest(float value) {
  at_ = text::writeShortest(at_, value);
  return handOverWhenFull();
}

PieceWriter& PieceWriter::integer(std::uint64_t value) {
  at_ = std::to_chars(at_, at_ + kItemRoom, value).ptr;
  return handOverWhenFull();
}

void PieceWriter::handOver() {
  const auto size = static_cast<std::size_t>(at_ - buffer_.get());
  if (!failed_ && size > 0) failed_ = !sink_({reinterpret_cast<const std::uint8_t*>(buffer_.get()), size});
  at_ = buffer_.get();
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
