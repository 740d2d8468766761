// Tying an Engine to the database file at a path.
//
// `open` works on the file `path` leads to (symbolic links resolved; the
// files beside it are named after that file) and decides by one read of
// its first page: a path whose metadata cannot be read becomes a new page
// file (or, should another opener have made it by the time the lock is
// taken, opens as that one left it), what `database_file_present` refuses
// is refused before anything is made (it never blocks, on a FIFO neither),
// a file beginning with "KRVP", an empty one or one page of zeros is opened
// as a page file, and any other regular file is looked at again under the
// lock: a legacy database (a snapshot file with its log, or the JSON
// document; src/legacy) is migrated into a page file in place before an
// engine is returned; a file of no format is refused with the legacy
// reader's error, and nothing beside it is touched. No open returns an
// engine on a legacy file. The returned Engine holds the file's lock
// (database_file.h) until it is destroyed.
//
// Migration, with the path's lock held from before any file is touched:
//   0. a taken backup name (below, step 3) fails the open at once, before
//      anything is changed or built;
//   1. leftovers of an interrupted snapshot rewrite are resolved, the file is
//      read and parsed, a matching snapshot log is replayed (and the snapshot
//      rewritten with it);
//   2. the page file is built beside it at path + ".migrate" (a leftover one
//      is removed first), every table numbered 1..n, and checkpointed so the
//      page file alone holds every page;
//   3. the legacy file gets its second name path + ".bak", then the page file
//      is renamed onto the path. At every moment the path holds either the
//      legacy file or the finished page file. Where the file system has no
//      hard links the legacy file is renamed onto ".bak" instead, and put
//      back when the final rename fails; an open that finds no file at the
//      path but both ".migrate" (a regular file with one name) and ".bak"
//      beside it finishes that rename. Nothing at ".bak" is ever replaced:
//      anything there but the legacy file itself (a user's own backup)
//      fails the open with "backup failed: File exists (os error 17)",
//      leaving the legacy file as it was for the next open to try again;
//   4. the page file is opened at its final name, under the lock held since 1.
// Errors: "open failed: {}", "read failed: {}", "backup failed: {}",
// "migrate rename failed: {}", and those of the legacy readers, the snapshot
// rewrite, creating, filling and opening the page file.
//
// `save` makes the engine's mirrored changes durable: with a page store the
// pager commits; without one but with a path a version-3 snapshot is
// written there; an in-memory engine without a store writes nothing. The
// engine stays usable after a failed save.
//
// `save_as` builds the engine that takes over from `engine` at `path`, the
// file that path leads to (symbolic links resolved):
//   - refused with the Execution error "cannot save as while a transaction
//     is active" when a transaction is open, and with "cannot save as onto
//     the database's own file" when path leads to the engine's own file
//     (by any name, a hard link included);
//   - a destination whose files cannot be made fails with "create failed
//     for '{}': {}" (path and the OS error) before anything is touched: a
//     path the system cannot follow (a loop or an over-long chain of links,
//     a file where a folder should be), a folder that is missing or that
//     the effective user may not write into, a name too long for the
//     scratch copy's names beside it, and anything but a regular file at
//     path ("create failed for '{}': not a regular file");
//   - the path's lock is taken first: a file another handle holds is never
//     touched ("database '{}' is locked by another process"; a link at the
//     lock file's name: "lock file open failed: symbolic link refused at
//     '{}'"), and what a killed save-as left beside it, as the lock file's
//     record names it, is removed (save_as_scratch.h); the new copy is
//     recorded there before it is made ("lock file write failed: {}");
//   - a file database (path and page store) is checkpointed and its page
//     file copied ("copy failed: {}"), then the copy opened at `path`;
//   - otherwise every table, index definition and merge policy moves into a
//     new page file, committed, then opened at `path` (which must not exist:
//     "create failed for '{}': {}"). On failure the tables move back and
//     `engine` is as it was.
//   Either way the new file is built beside `path` under the recorded
//   scratch name (save_as_scratch.h) and renamed onto it once complete and
//   flushed, after a log that an earlier database left at `path` was folded
//   into its file or removed: a crash leaves `path` as it was or holding the
//   whole copy (save_as.cpp).
// On success the caller replaces `engine` by the result (the old engine's
// files are released when it is destroyed).
//
// Thread: the thread that owns the engine.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "engine/engine.h"
#include "pager/vfs.h"
#include "types/error.h"

namespace zembrel::storage {

// Whether a database file stands at `path` for an open to take: true for a
// regular file (links followed), false when there is none (or its metadata
// cannot be read: the create that follows says why). Refused before anything
// is made, as no database can be there: anything but a regular file (a
// FIFO, a device, a socket, a folder), "open failed for '{}': not a regular
// file", and a path through more symbolic links than the system follows,
// "open failed for '{}': Too many levels of symbolic links (os error 40)".
Result<bool> database_file_present(const std::string& path);

Result<Engine> open(const std::string& path);
// The same through another file system (tests inject faults and crashes).
Result<Engine> open(const std::string& path, std::shared_ptr<Vfs> vfs);
// Both are refused while a transaction is open.
Status save(Engine& engine);
Result<Engine> save_as(Engine& engine, const std::string& path);

// A file built whole and then reopened (migration, save-as) would start each
// table's row ids at the persisted hint; these carry the live counters (n +
// 1) of the built file's catalog over to the reopened one.
using RowidCounters = std::map<std::string, uint64_t>;
RowidCounters live_rowid_counters(const Engine& built);
void restore_rowid_counters(Engine& reopened, const RowidCounters& counters);

// The last step of a legacy open: `legacy` holds the tables read (no page
// store), `lock` is the path's lock (held: its file names the database).
Result<Engine> migrate_to_page_file(const std::string& path, Engine legacy, FileLock lock,
                                    std::shared_ptr<Vfs> vfs);

}  // namespace zembrel::storage
