// Copying a whole file for save-as, the cheapest way the platform offers: a
// copy-on-write clone (FICLONE), else an in-kernel copy (copy_file_range),
// else a plain read/write loop. The copy gets the source's permission bits
// and is flushed to stable storage before success.
//
// The copy never goes into the destination itself: it is built in a new
// file beside it (`scratch`), which the caller then renames onto the
// destination, so that a crash at any moment leaves the destination either
// as it was or the whole copy. The copy is refused when the destination is
// the source itself under another name (a link or a second path), which that
// rename would put out of reach.
//
// Errors: a Storage error whose text is the file error alone (the caller
// wraps it): an operating-system error as "<description> (os error <n>)", or
// "the source path is neither a regular file nor a symlink to a regular
// file", or "source and destination are the same file". A failure removes the
// scratch file it made. Thread: any; touches nothing but the files named.
#pragma once

#include <string>

#include "types/error.h"

namespace zembrel {

// Copies the file at `from` into `scratch`, which must not exist, for it to
// replace `to`. The scratch file's directory entry is not flushed: the
// caller's rename is, with the directory.
Status copy_file(const std::string& from, const std::string& to, const std::string& scratch);

}  // namespace zembrel
