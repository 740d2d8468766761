// Large buffers filled soon after they are made (a loaded table's cells and
// texts) fault their memory in page by page; asking for 2 MiB pages for the
// part of the buffer they can cover makes one fault of each 512. Only a
// hint: where the system gives no such pages, nothing changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace zembrel {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Hints 2 MiB pages for the whole 2 MiB pages within [p, p + bytes), which
// must not have been touched yet to take effect.
inline void advise_huge_pages(void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes < kHugePage) return;
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (start + bytes) & ~(kHugePage - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

// v.reserve(n), the new room hinted as above.
template <class T>
void reserve_huge(std::vector<T>& v, std::size_t n) {
    if (n <= v.capacity()) return;
    v.reserve(n);
    advise_huge_pages(v.data() + v.size(), (v.capacity() - v.size()) * sizeof(T));
}

}  // namespace zembrel
