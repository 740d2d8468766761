// The files of a legacy snapshot database and what is done with them: the
// snapshot at the path, its log at the sibling "wal" and the temporary file
// of an interrupted rewrite at the sibling "tmp" (for data/app.db:
// data/app.db.wal and data/app.db.tmp).
//
// A snapshot is never changed in place: a rewrite builds the whole image in
// memory, writes it to the temporary file, flushes it and renames it onto
// the path, and only then removes the log; the path always holds one
// complete snapshot. Leftovers of an interrupted rewrite are resolved by
// `recover_leftover_files`.
//
// Thread: the caller's; the caller holds the database's lock file.
#pragma once

#include <optional>
#include <string>

#include "storage/row_record.h"
#include "types/error.h"
#include "types/table.h"
#include "types/value.h"

namespace zembrel::storage {

// The file beside `path` named by its file name, a point and `suffix`.
std::string sibling_path(const std::string& path, const std::string& suffix);
// Flushes the directory holding `path`; every failure is ignored.
void fsync_parent_dir(const std::string& path);

// The whole file (read_regular_file, pager/vfs.h). "read failed: {}" with
// the operating-system error, or "not a regular file" for anything else (a
// device, a FIFO), which is never read.
Result<Bytes> read_whole_file(const std::string& path);

// Writes `db` as a version-3 snapshot at `path` by way of the temporary
// file, then removes the log. Errors: the image's refusals (nothing is
// touched then), "snapshot create failed: {}", "snapshot write failed: {}",
// "snapshot fsync failed: {}" (the temporary file stays), "snapshot rename
// failed: {}" (the temporary file stays).
Status write_snapshot(const Database& db, const std::string& path);

// Removes the temporary file; a log file that holds a complete, readable
// snapshot replaces the database file (a damaged one is removed). Returns
// the log file's bytes as they were read, none when it could not be read.
std::optional<Bytes> recover_leftover_files(const std::string& path);

}  // namespace zembrel::storage
