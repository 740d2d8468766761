// Copying a whole file for save-as, the cheapest way the platform offers: a
// copy-on-write clone (FICLONE), else an in-kernel copy (copy_file_range),
// else a plain read/write loop. The copy gets the source's permission bits
// and is flushed to stable storage, with its directory entry, before success.
//
// The destination is created when missing and emptied when present, but only
// after it has been checked not to be the source itself under another name
// (a link or a second path), which the emptying would destroy.
//
// Errors: a Storage error whose text is the file error alone (the caller
// wraps it): an operating-system error as "<description> (os error <n>)", or
// "the source path is neither a regular file nor a symlink to a regular
// file", or "source and destination are the same file". A failure may leave
// a partial destination behind. Thread: any; touches nothing but the two files.
#pragma once

#include <string>

#include "types/error.h"

namespace zembrel {

Status copy_file(const std::string& from, const std::string& to);

}  // namespace zembrel
