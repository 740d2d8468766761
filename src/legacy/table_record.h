// TableRecord: the byte form of one table in the legacy snapshot files and
// in the table-image records of their log. All integers little-endian; a
// string is a u32 byte length and that many bytes of UTF-8; a value is a
// row-record value (tag byte and payload, storage/row_record.h).
//
// TableRecord:
//   field         encoding
//   name          string
//   column count  u16
//   columns       column count column entries (below)
//   row count     u32
//   rows          row count rows of exactly column-count values each, in
//                 column order, with no count of their own
//
// Column entry:
//   field     encoding
//   name      string
//   type tag  u8: 0 Int, 1 Text, 2 Float, 3 Bool, 4 Pk, 5 Date, 6 DateTime,
//             7 Str followed by a u16 (the n of STRING(n))
//   nullable  u8: 0 false, anything else true (written 0 or 1)
//   default   u8: 0 none, 1 Today, 2 Literal followed by one value
//   salt      u8: 0 none, 1 followed by the salt as a string
//
// Row ids and the next row id are not part of the record: a decoded table
// has none and next row id 1 (the caller numbers the rows).
//
// The decoder trusts no count: a row count is checked against the bytes
// left (every value takes at least one byte) before anything is sized by it,
// and rows without columns are refused, since they take no bytes at all.
// Errors (Storage): "unexpected end of file", "invalid data type tag: {}",
// "invalid default tag: {}", "invalid salt tag: {}", "table record '{}' has
// {} rows but no columns", and the value and string errors of the row record.
#pragma once

#include <cstdint>
#include <string_view>

#include "storage/row_record.h"
#include "types/error.h"
#include "types/table.h"
#include "types/value.h"

namespace zembrel::storage {

// A record or file that ends before what it announces.
inline std::unexpected<EngineError> unexpected_eof() { return storage_error("unexpected end of file"); }

// Reads at the cursor and advances it; too few bytes left is "unexpected end
// of file" with the cursor unchanged.
Result<std::uint8_t> read_u8(Cursor& cursor);
Result<std::uint16_t> read_u16(Cursor& cursor);
Result<std::uint32_t> read_u32(Cursor& cursor);
Result<ByteView> read_bytes(Cursor& cursor, std::uint64_t count);

void put_u16(Bytes& out, std::uint16_t v);
void put_u32(Bytes& out, std::uint32_t v);
// A u32 length and the bytes; fails for 4 GiB or more.
Status put_string(Bytes& out, std::string_view s);

Result<Table> decode_table_record(Cursor& cursor);
// Appends the record of `table` under `name`. Refuses what the form cannot
// hold (more than 65535 columns, 2^32 rows or more, a row whose width is not
// the column count, a text of 4 GiB or more); `out` may hold a partial record then.
Status encode_table_record(Bytes& out, std::string_view name, const Table& table);

}  // namespace zembrel::storage
