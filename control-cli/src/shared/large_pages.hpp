// Large pages for large buffers, where the system offers them.
#pragma once

#include <cstddef>

namespace corvanelle {

// Asks the system to back the whole 2 MiB pages inside [data, data + bytes) with large pages
// where it can (Linux's transparent huge pages, for memory that asks for them): a reply of a
// few MiB then costs a handful of page faults instead of thousands, each of which costs about
// as much as the work on the values that fill its page. The memory used stays within the
// buffer; elsewhere, and for buffers without a whole large page, nothing is done. Advice
// only: the memory works the same whatever the answer.
void prefer_large_pages(void* data, std::size_t bytes);

}  // namespace corvanelle
