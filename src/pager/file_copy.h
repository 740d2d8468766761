// Copying a whole file for save-as, the cheapest way the platform offers: a
// copy-on-write clone (FICLONE), else an in-kernel copy (copy_file_range),
// else a plain read/write loop. The copy gets the source's permission bits
// and is flushed to stable storage before success.
//
// The copy never goes into the destination itself: it is built in a new
// file beside it (`scratch`), which the caller then renames onto the
// destination, so that a crash at any moment leaves the destination either
// as it was or the whole copy. The caller makes sure the destination is not
// the source itself under another name, which that rename would put out of
// reach (save-as refuses the database's own file before it takes a lock).
//
// Errors: a Storage error whose text is the file error alone (the caller
// wraps it): an operating-system error as "<description> (os error <n>)", or
// "the source path is neither a regular file nor a symlink to a regular
// file". A failure removes the
// scratch file it made. Thread: any; touches nothing but the files named.
#pragma once

#include <string>

#include "types/error.h"

namespace zembrel {

// Copies the file at `from` into `scratch`, which must not exist. The
// scratch file's directory entry is not flushed: the caller's rename is,
// with the directory.
Status copy_file(const std::string& from, const std::string& scratch);

}  // namespace zembrel
