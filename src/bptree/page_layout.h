// Byte layouts of B+tree pages, with no pager involved: validating a copy of
// a page, finding and decoding its cells, and assembling page images from
// encoded cells. All integers are little-endian. U = usable bytes of a page
// (4092 with page checksums, whose last four bytes are reserved, else 4096).
//
// Leaf page (type 1):
//   offset  size  field
//   0       1     page type: 1
//   1       1     zero
//   2       2     cell count
//   4       8     page number of the next leaf to the right; 0 = last leaf
//   12      ...   cells in ascending key order, packed; zero up to U
// Leaf cell:
//   0       2     key length K (at most 1024)
//   2       4     total value length V
//   6       1     overflow flag: 0 = inline, otherwise (written as 1) chained
//   7       K     key bytes
//   7+K     V|8   inline value bytes, or the first overflow page number
//
// Interior page (type 2): as the leaf, but offset 4 holds the right-most
// child's page number. Interior cell:
//   0       2     key length K
//   2       8     child page number (keys smaller than this cell's key)
//   10      K     key bytes
//
// Overflow page (no type byte):
//   0       8     next overflow page; 0 = last
//   8       D     value bytes, D = U - 8 (less only at the end of the value)
//
// Every reader here checks lengths against U before touching bytes, so a
// damaged page yields a Storage error, never an out-of-bounds read. Page
// arguments point at kPageSize bytes (a pinned cache page or a copy).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pager/le_bytes.h"
#include "pager/pager.h"
#include "types/error.h"

namespace zembrel {

// One leaf entry, decoded and owning its bytes.
struct LeafCell {
    std::vector<uint8_t> key;
    std::vector<uint8_t> value;   // the inline value; empty when `overflow`
    uint64_t overflow_page = 0;   // first page of the chain when `overflow`
    uint32_t value_len = 0;       // total value length, inline or chained
    bool overflow = false;

    // Bytes the cell takes on its page.
    size_t size() const { return 7 + key.size() + (overflow ? 8 : value.size()); }
};

// One routing entry of an interior page: `child` holds the keys below `key`.
struct InteriorCell {
    std::vector<uint8_t> key;
    uint64_t child = 0;

    size_t size() const { return 10 + key.size(); }
};

namespace bpt {

constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxKeyLen = 1024;
constexpr size_t kMaxInlineCell = 2000;  // a larger leaf cell moves its value out
constexpr size_t kLeafCellHead = 7;
constexpr size_t kInteriorCellHead = 10;
constexpr uint8_t kLeafType = 1;
constexpr uint8_t kInteriorType = 2;

using ByteSpan = std::span<const uint8_t>;

constexpr size_t usable_bytes(bool checksums) { return checksums ? 4092 : 4096; }
constexpr size_t overflow_chunk(bool checksums) { return usable_bytes(checksums) - 8; }

inline uint16_t get_u16(const uint8_t* p) { return le::get16(p); }
inline uint32_t get_u32(const uint8_t* p) { return le::get32(p); }
inline uint64_t get_u64(const uint8_t* p) { return le::get64(p); }
inline void put_u16(uint8_t* p, uint16_t v) { le::put16(p, v); }
inline void put_u32(uint8_t* p, uint32_t v) { le::put32(p, v); }
inline void put_u64(uint8_t* p, uint64_t v) { le::put64(p, v); }

// "b+tree page {} is damaged: {}".
std::unexpected<EngineError> damaged(uint64_t page_no, const std::string& what);

// Byte order of keys: unsigned bytes over the common length, then length.
int compare_keys(ByteSpan a, ByteSpan b);

// Where one cell lies on a page copy (validated to lie within U). No member
// initializers: a CellRefs buffer of them must cost nothing to create.
struct CellRef {
    uint16_t offset;
    uint16_t size;
    uint16_t key_len;
};

// Most cells a page can hold: each takes at least the 7-byte leaf head.
constexpr size_t kMaxCellsPerPage = (kPageSize - kHeaderSize) / kLeafCellHead;

// The cells of one page, in page order, held inline so that looking at a
// page never allocates (every descent indexes each page it passes). Copies
// move only the cells in use.
class CellRefs {
public:
    CellRefs() {}  // leaves the buffer uninitialized on purpose
    CellRefs(const CellRefs& other) : count_(other.count_) { copy_from(other); }
    CellRefs& operator=(const CellRefs& other) {
        count_ = other.count_;
        copy_from(other);
        return *this;
    }

    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const CellRef& operator[](size_t i) const { return refs_[i]; }
    const CellRef* begin() const { return refs_; }
    const CellRef* end() const { return refs_ + count_; }
    void clear() { count_ = 0; }
    // The caller checks the page's cell count against kMaxCellsPerPage first.
    void push_back(const CellRef& c) { refs_[count_++] = c; }
    // Replaces `removed` (0 or 1) refs at `pos` by `inserted` (none: null)
    // and moves the offsets of the refs after them by `shift` bytes.
    void splice(size_t pos, size_t removed, const CellRef* inserted, std::ptrdiff_t shift) {
        const size_t added = inserted != nullptr ? 1 : 0;
        const size_t tail = count_ - pos - removed;
        for (size_t i = 0; i < tail; ++i) {
            // Walks the direction that never overwrites a ref not yet moved.
            const size_t k = added > removed ? tail - 1 - i : i;
            refs_[pos + added + k] = refs_[pos + removed + k];
        }
        if (inserted != nullptr) refs_[pos] = *inserted;
        count_ = count_ - removed + added;
        for (size_t i = pos + added; i < count_; ++i)
            refs_[i].offset = static_cast<uint16_t>(static_cast<std::ptrdiff_t>(refs_[i].offset) + shift);
    }

private:
    void copy_from(const CellRefs& other) {
        for (size_t i = 0; i < count_; ++i) refs_[i] = other.refs_[i];
    }
    size_t count_ = 0;
    CellRef refs_[kMaxCellsPerPage];
};

// The validated shape of a leaf or interior page copy. `link` is the next
// leaf of a leaf and the right-most child of an interior page.
struct PageIndex {
    uint8_t type = 0;
    uint64_t link = 0;
    CellRefs cells;
    size_t used = kHeaderSize;  // header plus cell bytes
};

// Validates a leaf or interior page into `out` (reusable: its old content
// is replaced; unspecified after an error); any other type byte fails with
// "invalid b+tree page type: {}".
Status index_page(const uint8_t* page, size_t usable, uint64_t page_no, PageIndex& out);
// As index_page, but only accepts the one type; errors "page {} is not a
// leaf" / "page {} is not an interior node".
Status index_leaf(const uint8_t* page, size_t usable, uint64_t page_no, PageIndex& out);
Status index_interior(const uint8_t* page, size_t usable, uint64_t page_no, PageIndex& out);

inline ByteSpan cell_bytes(const uint8_t* page, const CellRef& c) {
    return ByteSpan(page + c.offset, c.size);
}
ByteSpan cell_key(const uint8_t* page, uint8_t type, const CellRef& c);
uint64_t interior_child(const uint8_t* page, const CellRef& c);
// The cell's value as stored: for an inline cell the bytes, for a chained
// cell nothing (see leaf_cell_overflow / leaf_cell_value_len).
ByteSpan leaf_inline_value(const uint8_t* page, const CellRef& c);
bool leaf_cell_overflow(const uint8_t* page, const CellRef& c);
uint32_t leaf_cell_value_len(const uint8_t* page, const CellRef& c);
uint64_t leaf_cell_first_overflow(const uint8_t* page, const CellRef& c);

LeafCell decode_leaf_cell(const uint8_t* page, const CellRef& c);
InteriorCell decode_interior_cell(const uint8_t* page, const CellRef& c);

// First cell whose key is not smaller than `key` (== cell count when none).
size_t lower_bound(const uint8_t* page, const PageIndex& idx, ByteSpan key);
// The same, looked for from cell `hint` on when the key lies past it
// (galloping: a key a few cells on costs a few comparisons), else below it.
// For readers whose keys mostly rise: the hint is where the last one was.
size_t lower_bound_from(const uint8_t* page, const PageIndex& idx, ByteSpan key, size_t hint);
// First cell whose key is greater than `key`: the routing choice of an
// interior page (== cell count means the right-most child).
size_t upper_bound(const uint8_t* page, const PageIndex& idx, ByteSpan key);

// Encoded cells, appended to `out`.
void encode_leaf_cell(std::vector<uint8_t>& out, const LeafCell& cell);
void encode_interior_cell(std::vector<uint8_t>& out, ByteSpan key, uint64_t child);

// Views of cells laid end to end in `bytes`, cut by their sizes.
std::vector<ByteSpan> cell_spans(std::span<const uint8_t> bytes, std::span<const size_t> sizes);

// Writes header and the concatenated cells into bytes 0..usable of `page`
// (the rest of that range zeroed; bytes past `usable` left alone). The cells
// must fit: 12 plus their sizes at most `usable`.
void assemble_page(uint8_t* page, size_t usable, uint8_t type, uint64_t link,
                   std::span<const ByteSpan> cells);

// Replaces, in place, `removed` (0 or 1) cells at position `pos` of the
// indexed page by `inserted` (empty: none), giving the bytes assemble_page
// would give for the resulting cell list. `inserted` must not lie on the
// page and the result must fit: idx.used - removed sizes + inserted size at
// most `usable`.
void splice_cells(uint8_t* page, size_t usable, const PageIndex& idx, size_t pos, size_t removed, ByteSpan inserted);
// The same, bringing `idx` along to the page's new cells (as index_page
// would give them), so that a run of splices need not index the page anew.
void splice_cells_indexed(uint8_t* page, size_t usable, PageIndex& idx, size_t pos, size_t removed, ByteSpan inserted);

// Encodes the inline leaf cell (key, value) into `out`, which holds at least
// 7 + key + value bytes; returns the cell's size.
size_t encode_inline_leaf_cell(uint8_t* out, ByteSpan key, ByteSpan value);

// Split choice over cells of the given sizes that do not fit one page.
// Leaf: the left part is the shortest prefix reaching half the bytes (never
// all cells); when a half would not fit, the nearest point where both do.
// Returns the number of cells kept on the left, or 0 when no point fits.
size_t choose_leaf_split(std::span<const size_t> sizes, size_t usable);
// Interior: the middle cell p = c / 2 goes up; when a half would not fit,
// the nearest p with both halves non-empty and fitting. Returns p, or 0
// when none fits.
size_t choose_interior_split(std::span<const size_t> sizes, size_t usable);

}  // namespace bpt
}  // namespace zembrel
