// Order-preserving key encoding of values: comparing two encoded keys byte by
// byte (shorter first on a common prefix) orders them as Value::key_cmp does,
// except that every Text key sorts before every Uuid key (key_cmp compares
// their texts). Every encoding is self-delimiting, so a key of several values
// is the plain concatenation of their encodings.
//
// One value (multi-byte numbers big-endian):
//   tag   kind      payload                                          length
//   0x00  Null      none                                             1
//   0x01  Bool      0x00 false, 0x01 true                            2
//   0x02  Int       value XOR 0x8000000000000000                     9
//   0x03  Float     IEEE bits; negative: all inverted, else sign set 9
//   0x04  Text      escaped bytes, then terminator 0x00 0x01         variable
//   0x05  Uuid      as Text                                          variable
//   0x06  Date      as Text                                          variable
//   0x07  DateTime  as Text                                          variable
// Escaping writes each 0x00 byte of the text as 0x00 0xFF.
//
// Keys built from these:
//   table key    Int(row id)
//   index key    the indexed values in index column order, then Int(row id)
//   catalog key  Text(table name)
//
// All functions are pure; decoders never read outside the given bytes and
// report bad input as Storage errors.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "types/value.h"

namespace zembrel::keycodec {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

enum Tag : std::uint8_t {
    kNull = 0x00, kBool = 0x01, kInt = 0x02, kFloat = 0x03,
    kText = 0x04, kUuid = 0x05, kDate = 0x06, kDateTime = 0x07,
};

// Appends the key encoding of one value.
void encode_value(const Value& value, Bytes& out);
// The length of that encoding, found without building it.
size_t encoded_length(const Value& value);
// Appends a tag byte, the escaped text and the terminator.
void encode_escaped(std::uint8_t tag, std::string_view text, Bytes& out);

// The key of a table row: Int holding the row id.
inline constexpr size_t kTableKeyLen = 9;
Bytes table_key(std::uint64_t rowid);
// The same in a fixed array, for lookups that must not allocate.
using TableKey = std::array<std::uint8_t, kTableKeyLen>;
inline TableKey table_key_array(std::uint64_t rowid) {
    const std::uint64_t v = rowid ^ 0x8000000000000000ull;
    TableKey out{};
    out[0] = kInt;
    for (size_t i = 0; i < 8; ++i) out[1 + i] = static_cast<std::uint8_t>(v >> (56 - 8 * i));
    return out;
}
// An index key: the values' encodings, then Int holding the row id.
Bytes index_key(std::span<const Value> values, std::uint64_t rowid);
// A catalog key: Text holding the table name.
Bytes catalog_key(std::string_view table_name);

struct Decoded {
    Value value;
    size_t consumed = 0;
};
// Decodes the first value of `bytes`.
Result<Decoded> decode_value(ByteView bytes);
// Decodes a key that holds exactly one value ("trailing bytes after key").
Result<Value> decode_key(ByteView bytes);

struct DecodedIndexKey {
    std::vector<Value> values;
    std::uint64_t rowid = 0;  // the Int payload taken as unsigned
    size_t consumed = 0;
};
// Decodes an index key of an index on n columns; bytes after the row id are
// not examined.
Result<DecodedIndexKey> decode_index_key(ByteView bytes, size_t n);
// The same into `values` (resized to n, their capacity reused) and `rowid`;
// returns the bytes consumed. On error both are unspecified.
Result<size_t> decode_index_key_into(ByteView bytes, size_t n, std::vector<Value>& values, std::uint64_t& rowid);
// The row id of an index key that is `prefix` and then the encoding of an
// Int alone (the row id); none for any other key. Equal bytes decode to
// equal values, so such a key holds the values `prefix` encodes.
std::optional<std::uint64_t> rowid_after_prefix(ByteView key, ByteView prefix);

// The row's values at the index's column positions, in index column order,
// copied; nothing when any of them is Null (such a row has no index entry and
// takes part in no unique check). A position outside the row is a broken
// catalog invariant and ends the process.
std::optional<std::vector<Value>> index_key_for_row(std::span<const Value> row, std::span<const size_t> positions);

}  // namespace zembrel::keycodec
