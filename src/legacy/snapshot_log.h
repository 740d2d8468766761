// The legacy snapshot log, magic "KRVW": changes appended beside a snapshot
// file between two rewrites. Only read, to replay it before a migration.
// All integers little-endian.
//
// Header, 38 bytes:
//   offset  size  field
//   0       4     magic "KRVW"
//   4       2     version 1
//   6       32    SHA-256 of the complete snapshot file this log extends
// Records from offset 38, back to back:
//   0       4     payload length L
//   4       32    SHA-256 of the payload
//   36      L     payload
// Payload, by its first byte:
//   1  a TableRecord (legacy/table_record.h): the table is put under the
//      record's own name, replacing one of that name
//   2  table name (string), row count (u32), values per row (u16), then
//      row count x values-per-row values: rows appended to the named table
//
// Replay never fails because of the log: a damaged, foreign or outdated log,
// or a record that cannot be applied, only shortens or cancels it. Each
// record applies whole or not at all, and nothing is sized by its counts
// before the bytes to back them are known to be there.
#pragma once

#include <cstddef>
#include <optional>

#include "storage/row_record.h"
#include "types/table.h"
#include "types/value.h"

namespace zembrel::storage {

// What a replay did with the log bytes it was handed.
enum class LogOutcome {
    Untouched,  // no log, or a complete snapshot file (dealt with before)
    Discarded,  // nothing applied: the log is to be removed
    Applied,    // at least one record applied: the snapshot is to be rewritten
};

// Applies the records of `log` to `db` when its header matches the
// snapshot file's exact bytes `snapshot`.
LogOutcome replay_snapshot_log(Database& db, std::optional<ByteView> log, ByteView snapshot);

}  // namespace zembrel::storage
