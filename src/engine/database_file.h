// The open database file of an Engine: its path, the lock file and the page
// store (for an in-memory database, over its temporary backing page file,
// which has no name and goes with the store: Pager::create_private).
//
// Release order matters and is fixed here, whatever moves happened before:
// uncommitted pages are rolled back and the page store closed first (its
// closing checkpoint only copies what is committed), and only then is the
// lock let go, so no other opener races the closing checkpoint.
//
// Ownership: an Engine owns one DatabaseFile; it is move-only. Thread: the
// owning engine's.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "pagestore/page_store.h"
#include "pager/vfs.h"
#include "types/error.h"

namespace zembrel {

// An exclusive flock on path + ".lock", held until destruction.
//
// A lock file belongs to its database once a database is open under it
// (`keep_file`) and stays on disk after release. One that this acquire
// created for an open that then failed is removed on release, while still
// held: an acquire that locked it in the meantime finds its name gone (or
// leading to another file) and starts over, so two holders never meet.
class FileLock {
public:
    FileLock() = default;
    // Opens the lock file beside `database_path` (created with mode 0666,
    // never truncated, read or written) and locks it with
    // flock(LOCK_EX | LOCK_NB). flock locks belong to the open file
    // description, so a second open in the same process is refused like one
    // from another process. Errors: "lock file open failed: {}", "database
    // '{}' is locked by another process".
    static Result<FileLock> acquire(const std::string& database_path);
    ~FileLock() { release(); }
    FileLock(FileLock&& o) noexcept : fd_(o.fd_), made_(std::move(o.made_)) { o.fd_ = -1; o.made_.clear(); }
    FileLock& operator=(FileLock&& o) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool held() const { return fd_ >= 0; }
    // A database is open under the lock: its file stays after release.
    void keep_file() { made_.clear(); }
    void release();

private:
    FileLock(int fd, std::string made) : fd_(fd), made_(std::move(made)) {}
    int fd_ = -1;
    // The lock file's path while this lock made it and no database claimed it.
    std::string made_;
};

// Rolls uncommitted pages back before the store (and its pager) goes.
struct ClosePageStore {
    void operator()(PageStore* store) const;
};
using PageStorePtr = std::unique_ptr<PageStore, ClosePageStore>;

struct DatabaseFile {
    std::optional<std::string> path;  // none for an in-memory database
    // The file system the page store goes through (tests inject faults here).
    std::shared_ptr<Vfs> vfs;
    // Declared in release order, so that a defaulted move assignment lets the
    // old store and lock go in that order too.
    PageStorePtr page_store;  // none until created or opened
    FileLock lock;
    // The in-memory catalog could not be read back after a failed write and
    // is empty: nothing may use it (an empty catalog would let a write make
    // stored tables anew over their data) until it has been read again.
    bool catalog_stale = false;

    DatabaseFile();
    // Releases in declaration order rather than the reverse.
    ~DatabaseFile() { close(); }
    DatabaseFile(DatabaseFile&&) noexcept = default;
    DatabaseFile& operator=(DatabaseFile&&) noexcept = default;
    DatabaseFile(const DatabaseFile&) = delete;
    DatabaseFile& operator=(const DatabaseFile&) = delete;

    // Releases the store and the lock, in that order.
    void close();
};

}  // namespace zembrel
