// The legacy snapshot file, magic "KRVD": a complete image of the tables,
// rewritten as a whole on every save. Versions 1 and 2 are only read;
// version 3 is read and written. All integers little-endian. Each table is a
// TableRecord (legacy/table_record.h). Snapshots hold tables only: no
// indexes, no merge policies, no row ids.
//
// Version 3 (written): 4096-byte pages; page 0 is the header:
//   offset  size  field
//   0       4     magic "KRVD"
//   4       2     version 3
//   6       4     page size 4096
//   10      4     page count, page 0 included
//   14      8     file length in bytes (page count x 4096)
//   22      32    SHA-256 of the whole file with these 32 bytes taken as zero
//   54      2     table count
//   56            directory: table count entries of
//                   name (u32 length + UTF-8), first page (u32), record length (u32)
//                 zero bytes up to 4096 (56 + sum(12 + name length) <= 4096)
// Data pages 1 .. page count - 1:
//   0       4     next page of the same record, 0 on its last page
//   4       4092  the next 4092 bytes of the record, zero-padded on the last page
// Each record takes its own run of pages, at least one.
//
// Version 2: as version 3 without file length and digest: table count (u16)
// at 14, directory from 16.
// Version 1: magic at 0, version 1 (u16) at 4, table count (u32) at 6, then
// the TableRecords back to back from 10. No pages.
//
// Bytes that are not a snapshot (fewer than 6, or another magic) are the
// legacy JSON database (legacy/json_database.h).
//
// The reader trusts no field: every page it follows is checked against the
// file; a record is what its page chain holds, up to the directory's length
// (a length past the chain's end leaves it short, and it is refused only if
// it then does not decode); and a chain is followed for at most as many
// pages as the file has data pages, so no loop of page links makes a record
// larger than the file.
// Errors (Storage): "file too small for paged format", "unsupported page
// size: {}", "file truncated: fewer bytes than page count", "file length
// mismatch: header says {}, got {}", "checksum mismatch: file is corrupt",
// "unsupported format version: {}", "page {} out of bounds", "unexpected end
// of file", the TableRecord errors, and those of the JSON database.
#pragma once

#include <array>
#include <cstdint>

#include "storage/row_record.h"
#include "types/error.h"
#include "types/table.h"
#include "types/value.h"

namespace zembrel::storage {

inline constexpr std::size_t kSnapshotPageSize = 4096;
inline constexpr std::size_t kSnapshotPagePayload = 4092;

using Digest = std::array<std::uint8_t, 32>;

// SHA-256 of an image of at least 4096 bytes, bytes 22..53 counted as zero.
Digest image_checksum(ByteView image);
// SHA-256 of any bytes.
Digest sha256(ByteView bytes);

// A snapshot of any version, or the JSON database.
Result<Database> parse_snapshot(ByteView bytes);

// Whether `bytes` begin with the snapshot magic "KRVD".
bool has_snapshot_magic(ByteView bytes);

// Whether a file whose first bytes are `head` may be a legacy database at
// all: the snapshot magic, or the JSON document (an object or an array
// after white space; a head of white space alone may still be one).
// Anything else is no database of that format, and nothing beside it is
// its leftover.
bool legacy_database_start(ByteView head);

// The version-3 image of the tables, in the map's (byte) order of names.
// "header overflow: {} bytes (max 4096)" when the directory does not fit
// into page 0; the record encoder's refusals.
Result<Bytes> encode_snapshot_image(const Database& db);

}  // namespace zembrel::storage
