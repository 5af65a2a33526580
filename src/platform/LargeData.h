// Buffers of many megabytes: a scan's points read from the store, a file read whole.
//
// Memory fresh from the system is mapped one 4 KiB page at a time, at the first write to each page.
// For a buffer of tens of megabytes those faults cost more than filling it (on a virtual machine,
// several times more), so a large buffer asks for huge pages and has all its pages mapped in one
// call before it is filled.
#pragma once

#include <cstddef>

#include "platform/Value.h"

namespace qv {

// `size` zero bytes; a large buffer's memory is mapped at once, in huge pages where the system has them.
Data zeroedData(std::size_t size);

// Maps the pages of `size` bytes at `data`, not yet written, in one call (huge pages are asked
// for only when `hugePages`, for memory that is the buffer's own mapping). Does nothing for a small
// buffer or where the system cannot; the bytes are left as they are.
void mapPagesAhead(void* data, std::size_t size, bool hugePages);

}  // namespace qv
