// Index keys of many rows at once, kept in one flat buffer: the input of
// index rebuilds, index builds and batched index appends. Building checks
// what can be checked before a page changes: every key's length against the
// B+tree's 1024-byte limit and, when asked, the uniqueness of the rows'
// index values under Value::key_cmp.
//
// Index key of a row with id r: the key encodings of the row's values at the
// index's positions (index order), then the key encoding of Int(r) (9
// bytes). A row with a Null at any position has no key.
//
// Pure in-memory code: no pager, no catalog. Thread: any.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "types/error.h"
#include "types/value.h"

namespace zembrel {

class KeyBatch {
public:
    struct Ref {
        uint64_t offset = 0;
        uint32_t length = 0;
        uint32_t row = 0;  // position of the key's row in the input list
    };

    size_t size() const { return refs_.size(); }
    bool empty() const { return refs_.empty(); }
    std::span<const uint8_t> key(size_t i) const {
        return std::span<const uint8_t>(bytes_.data() + refs_[i].offset, refs_[i].length);
    }
    uint32_t row(size_t i) const { return refs_[i].row; }

    // Appends a key for row position `row`.
    void add(std::span<const uint8_t> key, uint32_t row);
    // Overwrites the row-id suffix (last 9 bytes) of key i.
    void set_rowid(size_t i, uint64_t rowid);
    // Sorts the keys by byte order (shorter first on a common prefix).
    void sort();

private:
    std::vector<uint8_t> bytes_;
    std::vector<Ref> refs_;
};

// The length of a row's key in an index over `positions`, computed without
// building it; nothing when the row has no key (a Null, or a position
// outside the row). Cheap enough to run on every row a statement writes: a
// few bytes of arithmetic per value, a scan of the bytes of texts only.
std::optional<size_t> index_key_length(std::span<const Value> row, std::span<const size_t> positions);
// The one limit on index keys: Storage "key length {} exceeds maximum {}"
// for a key longer than a B+tree key may be.
Status check_index_key_length(size_t length);
// Both together: refuses a row whose key in an index over `positions` the
// page store could not hold. Statements call this before they change a row,
// so that neither the mirroring nor a COMMIT meets such a key later.
Status check_row_index_key(std::span<const Value> row, std::span<const size_t> positions);

// Whether both rows reach every position and hold equal values there: a
// change from one to the other leaves an index over `positions` as it is.
bool same_values_at(std::span<const Value> a, std::span<const Value> b, std::span<const size_t> positions);

enum class UniqueCheck {
    None,
    // CREATE UNIQUE INDEX: "unique index '{}': duplicate key {}".
    Build,
    // A rebuild of an existing unique index: "unique constraint violated:
    // duplicate key {}".
    Rebuild,
};

// The index keys of `rows` (unsorted, in row order). Row ids come from
// `rowids` (parallel to rows) or, when it is empty, are 1, 2, ... by
// position. Checks, reporting the first failing row in row order as a build
// that inserts row by row would meet it: a repeated key (with `check`, the
// duplicate's values in list form) before a key longer than 1024 bytes
// (Storage "key length {} exceeds maximum {}"). A position outside a row
// fails with a Storage error instead of reading past it.
Result<KeyBatch> collect_index_keys(std::string_view index_name, std::span<const size_t> positions,
                                    std::span<const Row> rows, std::span<const uint64_t> rowids,
                                    UniqueCheck check);

}  // namespace zembrel
