// The scratch files of save-as, and the record that owns them.
//
// Save-as builds its copy beside the destination (a rename does not cross
// file systems) under a name no one else holds, "<destination>.<uuid>.saving",
// with that name's log ("<destination>.<uuid>.saving.pwal") for an in-memory
// source, and renames the copy onto the destination once it is whole. A
// process killed meanwhile leaves them behind.
//
// Such a leftover is found by a record, never by its name: a user may keep a
// file of their own under any name. Before the copy exists, save-as records
// its UUID in the destination's lock file (database_file.h), which save-as
// holds and only the destination's holder writes, and flushes it. The next
// save-as onto the destination and the next open of it read the record (one
// bounded read of a file they already hold), remove exactly the files it
// names and clear it. Nothing unrecorded is ever removed, so at most one
// leftover per destination exists, and nothing at any other name stands in a
// save-as's way.
//
// A copy that someone holds open (a user rescuing it after a kill) is not
// removed under them: it stays with its record, and the next open tries
// again. A save-as meanwhile replaces that record with its own, and the held
// copy is then its holder's for good.
//
// The log never outlives the copy: it is made by the copy's pager after the
// copy exists, and every removal takes the log first.
//
// Thread: the lock's owner; touches only the files named.
#pragma once

#include <string>

#include "engine/database_file.h"
#include "types/error.h"

namespace zembrel {

// The scratch copy's path for a save-as onto `target` (a resolved path,
// file_names.h) whose record holds `uuid`.
std::string scratch_name(const std::string& target, const std::string& uuid);

// A scratch copy's path for `target` as long as every one is, for checking
// a destination before anything is made.
std::string scratch_name_shape(const std::string& target);

// Records a new scratch copy for the file `lock` holds (held), flushed, and
// returns the copy's path; nothing is made at that path. Only into a lock
// file that may hold a note (FileLock::write_note's refusals) and that is
// empty (or zeros only: a record a power cut emptied) or holds a record,
// else "lock file write refused: it holds other data at '{}'"; "lock file
// write failed: {} at '{}'" with the OS error.
Result<std::string> record_scratch(FileLock& lock);

// The recorded copy is gone (renamed onto the destination or removed): the
// record is cleared. A record that outlives a crash here names nothing.
void clear_scratch_record(FileLock& lock);

// Removes what a killed save-as onto the file `lock` holds left beside it,
// as its record names it, whichever of them are still there: the log, then
// the copy, then the lock file an open of the copy left; then clears the
// record, so that a removal killed half-way is finished by the next one.
// Nothing when the lock is not
// held or holds no valid record, nor while a handle holds the copy (a user
// rescuing it): its files and the record stay. Failures are ignored: a
// leftover that stays is tried again at the next open.
void remove_scratch_leftovers(FileLock& lock);

}  // namespace zembrel
