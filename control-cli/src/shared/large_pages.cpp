#include "shared/large_pages.hpp"

#include <sys/mman.h>
#include <cstdint>

namespace corvanelle {

void prefer_large_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kLargePage = std::uintptr_t{2} << 20;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + kLargePage - 1) & ~(kLargePage - 1);
    const std::uintptr_t last = (start + bytes) & ~(kLargePage - 1);
    if (last > first) {
        (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
#endif
}

}  // namespace corvanelle
