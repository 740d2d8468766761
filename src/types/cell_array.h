// The cells of a table's rows: Values in one array, like a vector of them,
// except in how it grows and in one way of adding cells.
//
// Cells move as bytes (a Value's bits are its whole state; a text it
// borrows belongs to the table's arena, which stays with the table), so a
// large array grows by remapping its pages into a longer mapping instead of
// copying every cell into fresh memory while holding both: the first row a
// loaded table of a million rows takes costs a page, not a copy of the
// table. Large arrays are mappings of their own on 2 MiB pages where the
// system has them, and go back to the system whole when freed, whichever
// thread made them; small ones live on the heap.
//
// Thread: one thread at a time, except that threads may construct and
// fill distinct cells of append_to_construct meanwhile.
// Errors: running out of memory ends the process, as for a vector.
#pragma once

#include <cstddef>
#include <span>

#include "types/value.h"

namespace zembrel {

class CellArray {
public:
    // Arrays of at least this many bytes are mappings of their own.
    static constexpr size_t kMapFrom = size_t{1} << 20;

    CellArray() = default;
    CellArray(const CellArray& other);
    CellArray& operator=(const CellArray& other);
    CellArray(CellArray&& other) noexcept;
    CellArray& operator=(CellArray&& other) noexcept;
    ~CellArray();

    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    Value* data() { return data_; }
    const Value* data() const { return data_; }
    Value& operator[](size_t i) { return data_[i]; }
    const Value& operator[](size_t i) const { return data_[i]; }
    Value* begin() { return data_; }
    Value* end() { return data_ + size_; }
    const Value* begin() const { return data_; }
    const Value* end() const { return data_ + size_; }
    operator std::span<const Value>() const { return {data_, size_}; }  // NOLINT: read as the cells

    // Room for at least `n` cells; the cells keep their values (not their
    // addresses).
    void reserve(size_t n);
    // One more cell holding `v`; a Null one to fill.
    void push_back(Value v);
    Value& emplace_back();
    // `n` more Null cells.
    void append_nulls(size_t n);
    // `n` more cells, not yet constructed: the caller constructs every one
    // (std::uninitialized_default_construct, say) before anything else
    // reads, changes, moves or destroys the array.
    std::span<Value> append_to_construct(size_t n);
    // Keeps the first `n` cells (n <= size()).
    void truncate(size_t n);
    void clear() { truncate(0); }

    friend bool operator==(const CellArray& a, const CellArray& b);

private:
    // Grows the room to at least `n` cells, geometrically.
    void grow_for(size_t n);
    void free_room() noexcept;

    Value* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    size_t mapped_bytes_ = 0;  // the mapping holding the cells; 0: heap room
};

}  // namespace zembrel
