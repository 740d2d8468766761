#include "types/cell_array.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "types/huge_pages.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace zembrel {

namespace {

[[noreturn]] void out_of_memory() { throw std::bad_alloc(); }

}  // namespace

CellArray::CellArray(const CellArray& other) {
    reserve(other.size_);
    std::uninitialized_copy(other.begin(), other.end(), data_);
    size_ = other.size_;
}

CellArray& CellArray::operator=(const CellArray& other) {
    if (this != &other) {
        CellArray copy(other);
        *this = std::move(copy);
    }
    return *this;
}

CellArray::CellArray(CellArray&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_bytes_(std::exchange(other.mapped_bytes_, 0)) {}

CellArray& CellArray::operator=(CellArray&& other) noexcept {
    if (this != &other) {
        truncate(0);
        free_room();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        mapped_bytes_ = std::exchange(other.mapped_bytes_, 0);
    }
    return *this;
}

CellArray::~CellArray() {
    truncate(0);
    free_room();
}

void CellArray::free_room() noexcept {
#if defined(__linux__)
    if (mapped_bytes_ != 0) ::munmap(data_, mapped_bytes_);
    else ::operator delete(data_);
#else
    ::operator delete(data_);
#endif
    data_ = nullptr;
    capacity_ = mapped_bytes_ = 0;
}

void CellArray::reserve(size_t n) {
    if (n <= capacity_) return;
    const size_t bytes = n * sizeof(Value);
#if defined(__linux__)
    if (bytes >= kMapFrom) {
        const size_t mapped = huge_page_multiple(bytes);
        void* room = nullptr;
        if (mapped_bytes_ != 0) {
            // The pages move, the cells in them with their bytes.
            room = ::mremap(data_, mapped_bytes_, mapped, MREMAP_MAYMOVE);
            if (room == MAP_FAILED) out_of_memory();
            ::madvise(room, mapped, MADV_HUGEPAGE);
        } else {
            room = map_on_huge_pages(mapped);
            if (room == nullptr) out_of_memory();
            if (size_ != 0) std::memcpy(room, static_cast<void*>(data_), size_ * sizeof(Value));
            ::operator delete(data_);
        }
        data_ = static_cast<Value*>(room);
        mapped_bytes_ = mapped;
        capacity_ = mapped / sizeof(Value);
        return;
    }
#endif
    auto* room = static_cast<Value*>(::operator new(bytes));
    if (size_ != 0) std::memcpy(static_cast<void*>(room), static_cast<const void*>(data_), size_ * sizeof(Value));
    ::operator delete(data_);
    data_ = room;
    capacity_ = n;
}

void CellArray::grow_for(size_t n) {
    if (n > capacity_) reserve(std::max(n, 2 * capacity_));
}

void CellArray::push_back(Value v) {
    // Taken by value: `v` may have been one of the cells, which growing moves.
    grow_for(size_ + 1);
    ::new (static_cast<void*>(data_ + size_)) Value(std::move(v));
    ++size_;
}

Value& CellArray::emplace_back() {
    grow_for(size_ + 1);
    return *::new (static_cast<void*>(data_ + size_++)) Value();
}

void CellArray::append_nulls(size_t n) {
    grow_for(size_ + n);
    std::uninitialized_default_construct_n(data_ + size_, n);
    size_ += n;
}

std::span<Value> CellArray::append_to_construct(size_t n) {
    grow_for(size_ + n);
    const std::span<Value> cells(data_ + size_, n);
    size_ += n;
    return cells;
}

void CellArray::truncate(size_t n) {
    if (n >= size_) return;
    std::destroy(data_ + n, data_ + size_);
    size_ = n;
}

bool operator==(const CellArray& a, const CellArray& b) { return std::equal(a.begin(), a.end(), b.begin(), b.end()); }

}  // namespace zembrel
