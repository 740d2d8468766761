// Internal helpers of the B+tree: reading pages from either a Pager or a read
// snapshot, bounded descents and overflow-chain reads shared by the live and
// the snapshot readers.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "bptree/page_layout.h"
#include "pager/pager.h"

namespace zembrel::bpt {

// A page being looked at through a PageSource: pinned in the pager's cache
// (no copy), or a copy read from the snapshot into a buffer reused by the
// next load. Holds at most one pin; must not outlive the source's Pager.
class SourcePage {
public:
    const uint8_t* data() const { return ref_ ? ref_.data() : buf_->data(); }

private:
    friend struct PageSource;
    PageRef ref_;
    std::unique_ptr<PageBuf> buf_;
};

// Where pages come from: exactly one of the two pointers is set.
struct PageSource {
    Pager* pager = nullptr;
    const PagerSnapshot* snapshot = nullptr;

    // Copies the page into `out`.
    Status read(uint64_t page, PageBuf& out) const;
    // Makes `out` show the page, dropping what it showed before.
    Status load(uint64_t page, SourcePage& out) const;
    size_t usable() const;
    uint64_t page_count() const;
};

// From `root` down to the leaf that would hold `key` (the left-most leaf
// without a key). Bounded by the page count, so a loop is an error.
Result<uint64_t> descend(const PageSource& src, uint64_t root, std::optional<ByteSpan> key);
// The same, leaving the leaf's index in `leaf_index` so that a caller about
// to look at the leaf need not validate it a second time.
Result<uint64_t> descend(const PageSource& src, uint64_t root, std::optional<ByteSpan> key, PageIndex& leaf_index);

// Rebuilds the pinned page from `cells`, which may lie on that very page
// (they are assembled aside first). The cells must fit.
void rewrite_page(PageRef& ref, size_t usable, uint8_t type, uint64_t link, std::span<const ByteSpan> cells);

// Allocates a page and assembles `cells` (which must fit) into it; returns
// its number.
Result<uint64_t> new_page(Pager& pager, uint8_t type, uint64_t link, std::span<const ByteSpan> cells);

// The leaf cell of (key, value) as insert stores it: inline in `inline_cell`,
// or (its value moved to a new overflow chain first) in `chained_cell`.
Result<ByteSpan> encode_cell(Pager& pager, ByteSpan key, ByteSpan value, std::array<uint8_t, kMaxInlineCell>& inline_cell,
                             std::vector<uint8_t>& chained_cell);
// Inserts the encoded leaf cell of `key` (replacing an equal key's cell and
// its chain), splitting up from the leaf; returns the root.
Result<uint64_t> insert_cell(Pager& pager, uint64_t root, ByteSpan key, ByteSpan encoded);

// Reads `length` bytes of the chain starting at `first`.
Result<std::vector<uint8_t>> read_chain(const PageSource& src, uint64_t first, uint32_t length);

// Frees the chain of a value of `length` bytes starting at `first`. With
// `seen`, a page met twice (a damaged tree sharing pages) is an error
// instead of a second push onto the free list.
Status free_chain(Pager& pager, uint64_t first, uint32_t length, std::unordered_set<uint64_t>* seen);

}  // namespace zembrel::bpt
