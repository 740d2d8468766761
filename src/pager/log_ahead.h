// The log made ahead of the commit that needs it (Pager::start_log_ahead):
// the worker that makes it and what the worker leaves for the pager.
//
// Threads: the worker writes `made` and `hasher` and nothing else; the pager
// reads them only after joining it. The worker uses the pager's Vfs, which
// must allow calls from two threads at once (RealVfs is stateless).
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "pager/frame_hash.h"
#include "pager/vfs.h"

namespace zembrel::pager_detail {

struct LogAhead {
    std::thread worker;
    // The new log, its header written and its directory entry flushed, or
    // the error that stopped its making.
    Result<std::unique_ptr<VfsFile>> made;
    // The frame hasher, when the pager had none yet (its first use loads the
    // digest library's configuration, which takes milliseconds).
    std::unique_ptr<FrameHasher> hasher;
};

// Creates the log at `log`, which must be new (nothing planted at its name,
// a link or another file's second name, is ever written through), writes
// its header and, unless `mode` is kSyncNone, flushes its directory entry.
// An `unnamed` log (a private file's) gets no name at all, `log` only
// names it in messages.
// Errors: the Vfs's create error, "WAL header write failed: {}" (the file
// made is removed again).
Result<std::unique_ptr<VfsFile>> make_log_file(Vfs& vfs, const std::string& log, SyncMode mode, bool unnamed);

}  // namespace zembrel::pager_detail
