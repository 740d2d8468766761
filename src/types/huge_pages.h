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

// The mappings of large scratch buffers (see Unwritten below) freed during
// a run of passes on one thread, kept for the buffers the run makes next:
// pages the system zeroed and faulted in once serve again instead of being
// handed back and faulted in afresh (the sorts behind one table's key trees
// each map buffers of about the same sizes). While one lives on a thread,
// the large buffers that thread frees go to it, and the ones it makes come
// from the smallest kept mapping large enough, the rest of which stays
// kept. Kept pages count in the process's memory: release() hands them back
// (before a step that grows the heap, so that they never add to its peak),
// and so does the end. Made, used and ended by one thread; scopes nest, the
// innermost serves. Never allocates: past kMost mappings, a freed one goes
// back to the system.
class ScratchReuse {
public:
    ScratchReuse() : outer_(std::exchange(current_, this)) {}
    ~ScratchReuse() {
        release();
        current_ = outer_;
    }
    ScratchReuse(const ScratchReuse&) = delete;
    ScratchReuse& operator=(const ScratchReuse&) = delete;

    void release() noexcept {
        for (std::size_t i = 0; i < count_; ++i) unmap(kept_[i]);
        count_ = 0;
    }
    // The calling thread's innermost one, or none.
    static ScratchReuse* current() noexcept { return current_; }
    // release() on the calling thread's one, if any, when it keeps at
    // least `bytes`.
    static void release_current(std::size_t bytes = 0) noexcept {
        if (current_ != nullptr && current_->kept_bytes() >= bytes) current_->release();
    }
    std::size_t kept_bytes() const noexcept {
        std::size_t sum = 0;
        for (std::size_t i = 0; i < count_; ++i) sum += kept_[i].bytes;
        return sum;
    }

    // A kept stretch of `bytes` (a multiple of kHugePage), or null.
    void* take(std::size_t bytes) noexcept {
        std::size_t best = count_;
        for (std::size_t i = 0; i < count_; ++i)
            if (kept_[i].bytes >= bytes && (best == count_ || kept_[i].bytes < kept_[best].bytes)) best = i;
        if (best == count_) return nullptr;
        Stretch& s = kept_[best];
        void* p = s.at;
        s.at = static_cast<char*>(s.at) + bytes;
        s.bytes -= bytes;
        if (s.bytes == 0) s = kept_[--count_];
        return p;
    }
    void keep(void* p, std::size_t bytes) noexcept {
        // Joined with the kept stretches it borders, so that buffers carved
        // from one mapping give it back whole.
        Stretch joined{p, bytes};
        for (std::size_t i = 0; i < count_;) {
            Stretch& s = kept_[i];
            if (static_cast<char*>(s.at) + s.bytes == joined.at) joined = Stretch{s.at, s.bytes + joined.bytes};
            else if (static_cast<char*>(joined.at) + joined.bytes == s.at) joined.bytes += s.bytes;
            else {
                ++i;
                continue;
            }
            s = kept_[--count_];
        }
        if (count_ == kMost) unmap(kept_[--count_]);
        kept_[count_++] = joined;
    }

private:
    struct Stretch {
        void* at;
        std::size_t bytes;
    };
    static constexpr std::size_t kMost = 16;
    static void unmap(const Stretch& s) noexcept {
#if defined(__linux__)
        ::munmap(s.at, s.bytes);
#else
        (void)s;
#endif
    }

    static inline thread_local ScratchReuse* current_ = nullptr;
    ScratchReuse* outer_;
    Stretch kept_[kMost];
    std::size_t count_ = 0;
};

// `bytes` rounded up to whole 2 MiB pages.
inline std::size_t huge_page_multiple(std::size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

// A fresh mapping of `bytes` (a multiple of kHugePage) on 2 MiB bounds,
// wholly hinted for 2 MiB pages, to be unmapped with munmap; null when the
// system refuses it.
inline void* map_on_huge_pages(std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    void* p = ::mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    // Keep the 2 MiB-aligned part only.
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    if (first > start) ::munmap(p, first - start);
    if (const std::size_t tail = start + kHugePage - first) ::munmap(reinterpret_cast<void*>(first + bytes), tail);
    ::madvise(reinterpret_cast<void*>(first), bytes, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(first);
#else
    (void)bytes;
    return nullptr;
#endif
}

// An allocator for buffers that are written before they are read. resize()
// leaves trivial items unwritten, so that the threads that then fill a
// buffer part by part fault its pages in, each its own part, rather than the
// calling thread zeroing all of it first. A large buffer is mapped for
// itself on 2 MiB bounds, wholly hinted for 2 MiB pages (a buffer from the
// heap has such pages only for the whole 2 MiB it happens to span), and
// unmapped when freed, or kept by the thread's ScratchReuse when it has one.
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
            if (ScratchReuse* reuse = ScratchReuse::current())
                if (void* kept = reuse->take(bytes)) return static_cast<T*>(kept);
            void* p = map_on_huge_pages(bytes);
            if (p == nullptr) throw std::bad_alloc();
            return static_cast<T*>(p);
        }
#endif
        return std::allocator<T>::allocate(n);
    }
    void deallocate(T* p, std::size_t n) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (n * sizeof(T) >= kMapFrom) {
            if (ScratchReuse* reuse = ScratchReuse::current()) reuse->keep(p, mapped_bytes(n));
            else ::munmap(p, mapped_bytes(n));
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
    static std::size_t mapped_bytes(std::size_t n) { return huge_page_multiple(n * sizeof(T)); }
};

// A vector rebinds its allocator to its own items: it must stay this one.
static_assert(std::is_same_v<std::allocator_traits<Unwritten<int>>::rebind_alloc<int>, Unwritten<int>>);

// A buffer of items that are written before they are read.
template <class T>
using ScratchVector = std::vector<T, Unwritten<T>>;

}  // namespace zembrel
