// The row record: the stored form of a Row, the value under a row's key in a
// table tree. The value encoding alone (without the count) is shared with the
// legacy snapshot readers. All multi-byte numbers are little-endian.
//
// Record:
//   offset  size      field
//   0       2         value count, unsigned 16-bit (at most 65535)
//   2       variable  the values, each a tag byte and a payload
//
// Value:
//   tag  kind      payload
//   0    Null      none
//   1    Int       8 bytes, signed 64-bit
//   2    Float     8 bytes, IEEE 754 bit pattern
//   3    Bool      1 byte, written 0 or 1 (read: non-zero is true)
//   4    Text      unsigned 32-bit byte length, then the UTF-8 bytes
//   5    Uuid      as Text
//   6    Date      as Text
//   7    DateTime  as Text
//
// Decoders never read outside the given bytes; every failure is a Storage
// error. Encoders refuse what the form cannot hold (more than 65535 values,
// a text of 4 GiB or more) instead of writing a wrapped count.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "types/value.h"

namespace zembrel::storage {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

constexpr size_t kMaxRecordValues = 65535;
constexpr std::uint64_t kMaxRecordText = 0xFFFFFFFFULL;  // bytes

// A read position in a byte string; decoders advance `pos` past what they read.
struct Cursor {
    ByteView bytes;
    size_t pos = 0;

    size_t remaining() const { return bytes.size() - pos; }
};

// Appends one value in record form. Fails only for a text of 4 GiB or more
// (nothing is appended then).
Status encode_value(Bytes& out, const Value& value);

// The whole record of a row: count, then each value. The buffer starts with
// room for 4096 bytes.
Result<Bytes> encode_row(std::span<const Value> row);
// The byte length encode_row would produce, with the same refusals (too many
// values, a text too long), without encoding.
Result<std::uint64_t> encoded_row_size(std::span<const Value> row);
// Appends the record of a row to `out` (for callers that reuse a buffer); on
// failure `out` is left as it was.
Status encode_row_into(Bytes& out, std::span<const Value> row);

// Decodes a record; bytes after the last value are ignored.
Result<Row> decode_row(ByteView bytes);
// The same into `row` (emptied first, its capacity reused); on failure the
// row holds the values decoded before the bad one. With an arena, texts
// longer than Value::kInlineText are stored there and the row's values
// borrow them: the row must not outlive the arena (a loaded table's rows
// and its own arena).
Status decode_row_into(ByteView bytes, Row& row, TextArena* arena = nullptr);
// The number of values a record holds, from its header; none when the record
// is too short to have one.
std::optional<size_t> row_value_count(ByteView bytes);
// Decodes a record of exactly cells.size() values (row_value_count; another
// count is a broken invariant) into `cells`, in place; on failure the cells
// before the bad value hold the decoded ones. The arena as for decode_row_into.
Status decode_row_cells(ByteView bytes, std::span<Value> cells, TextArena* arena = nullptr);
// Decodes one tagged value at the cursor and advances it.
Result<Value> decode_value(Cursor& cursor);
// Reads an unsigned 32-bit length and that many bytes of UTF-8 text.
Result<std::string> decode_string(Cursor& cursor);

}  // namespace zembrel::storage
