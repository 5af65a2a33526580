// Buffers mapped ahead of their first write.
#include "platform/LargeData.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

// Both requests are newer than some C libraries' headers; a kernel that does not know them says
// EINVAL, and the pages are then mapped as they are written, as always.
#ifndef MADV_HUGEPAGE
#define MADV_HUGEPAGE 14
#endif
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace qv {

namespace {

// Below this the faults cost little, and mapping ahead is not worth a system call.
constexpr std::size_t kMapAheadBytes = std::size_t{1} << 20;
// The C library gives a request this large a mapping of its own, never a piece of the shared heap:
// only such memory may be marked for huge pages, since the mark would outlive the buffer in a heap.
constexpr std::size_t kOwnMappingBytes = std::size_t{32} << 20;
constexpr std::uintptr_t kHugePageBytes = std::uintptr_t{2} << 20;

std::uintptr_t roundUp(std::uintptr_t value, std::uintptr_t step) { return (value + step - 1) / step * step; }
std::uintptr_t roundDown(std::uintptr_t value, std::uintptr_t step) { return value / step * step; }

}  // namespace

void mapPagesAhead(void* data, std::size_t size, bool hugePages) {
  if (!data || size < kMapAheadBytes) return;
  static const auto pageBytes = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const auto end = begin + size;
  if (hugePages) {
    // Only whole huge pages inside the buffer, so that no neighbouring memory is marked.
    const auto first = roundUp(begin, kHugePageBytes), last = roundDown(end, kHugePageBytes);
    if (first < last) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
  const auto first = roundUp(begin, pageBytes), last = roundDown(end, pageBytes);
  if (first < last) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
}

Data zeroedData(std::size_t size) {
  Data data;
  if (size >= kMapAheadBytes) {
    data.reserve(size);
    mapPagesAhead(data.data(), size, size >= kOwnMappingBytes);
  }
  data.resize(size);
  return data;
}

}  // namespace qv
