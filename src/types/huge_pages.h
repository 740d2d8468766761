// Large buffers filled soon after they are made (a loaded table's cells and
// texts) fault their memory in page by page; asking for 2 MiB pages for the
// part of the buffer they can cover makes one fault of each 512. Only a
// hint: where the system gives no such pages, nothing changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
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

// An allocator for buffers that are written before they are read. resize()
// leaves trivial items unwritten, so that the threads that then fill a
// buffer part by part fault its pages in, each its own part, rather than the
// calling thread zeroing all of it first. A large buffer is mapped for
// itself on 2 MiB bounds, wholly hinted for 2 MiB pages (a buffer from the
// heap has such pages only for the whole 2 MiB it happens to span), and
// unmapped when freed.
template <class T>
struct Unwritten : std::allocator<T> {
    static constexpr std::size_t kMapFrom = std::size_t{1} << 20;

    Unwritten() = default;
    template <class U>
    Unwritten(const Unwritten<U>&) noexcept {}

    T* allocate(std::size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (n * sizeof(T) >= kMapFrom) {
            const std::size_t bytes = mapped_bytes(n);
            void* p = ::mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) throw std::bad_alloc();
            // Keep the 2 MiB-aligned part only.
            const auto start = reinterpret_cast<std::uintptr_t>(p);
            const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
            if (first > start) ::munmap(p, first - start);
            if (const std::size_t tail = start + kHugePage - first) ::munmap(reinterpret_cast<void*>(first + bytes), tail);
            ::madvise(reinterpret_cast<void*>(first), bytes, MADV_HUGEPAGE);
            return reinterpret_cast<T*>(first);
        }
#endif
        return std::allocator<T>::allocate(n);
    }
    void deallocate(T* p, std::size_t n) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (n * sizeof(T) >= kMapFrom) {
            ::munmap(p, mapped_bytes(n));
            return;
        }
#endif
        std::allocator<T>::deallocate(p, n);
    }

    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

private:
    static std::size_t mapped_bytes(std::size_t n) { return (n * sizeof(T) + kHugePage - 1) & ~(kHugePage - 1); }
};

// A vector rebinds its allocator to its own items: it must stay this one.
static_assert(std::is_same_v<std::allocator_traits<Unwritten<int>>::rebind_alloc<int>, Unwritten<int>>);

// A buffer of items that are written before they are read.
template <class T>
using ScratchVector = std::vector<T, Unwritten<T>>;

}  // namespace zembrel
