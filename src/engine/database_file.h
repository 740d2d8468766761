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

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "pagestore/page_store.h"
#include "pager/vfs.h"
#include "types/error.h"

namespace zembrel {

// The one writer's claim on a database file: an exclusive flock on the lock
// file beside it (the resolved path + ".lock", file_names.h) and one on the
// database file itself, both held until release.
//
// The lock file keeps out every opener that reaches the file by this name
// or through a symbolic link, before the file exists and while it is being
// replaced (migration, save-as); the lock on the file keeps out one that
// comes through a hard link, whose lock file has another name.
//
// The lock file is opened without following a symbolic link at its name
// (a link there is refused: the engine writes into no file it did not
// make). It holds nothing but, for a while, the holder's note (`read_note`,
// `write_note`): save-as records there the scratch copy it is about to make
// (save_as_scratch.h). A note is read, written and cleared only in a lock
// file that can be no one else's: a regular file with one name. Whatever
// else stands at the lock file's name (a user's file, another file's hard
// link, a FIFO) still carries the lock, and its bytes stay as they are.
//
// A lock file belongs to its database once a database is open under it
// (`keep_file`) and stays on disk after release. One that this acquire made
// is given its name only once it is locked, so no other opener can hold it
// while this one does not; an open under it that fails removes it on
// release, while still holding it: an acquire that opened it in the
// meantime finds its name gone (or leading to another file) and starts
// over, so two holders never meet, and when every open of a path fails, no
// lock file they made remains. A lock file that was there before stays.
class FileLock {
public:
    FileLock() = default;
    // Takes both locks for the database file at `database_path` (links
    // resolved), the lock file opened for reading and writing, created with
    // mode 0666 when missing, never truncated on open; the database file's
    // lock only when the file exists (a create takes it with `hold_file`).
    // flock locks belong to the open file description, so a second open in
    // the same process is refused like one from another process. Errors:
    // "lock file open failed: {} at '{}'" with the lock file's path and the
    // OS error, or what stands at its name: "symbolic link refused", "not a
    // regular file" (a folder, a socket, a device); "database '{}' is locked
    // by another process" ({} is `database_path` as given).
    static Result<FileLock> acquire(const std::string& database_path);
    ~FileLock() { release(); }
    FileLock(FileLock&& o) noexcept;
    FileLock& operator=(FileLock&& o) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool held() const { return fd_ >= 0; }
    // The file the lock was taken for (the database path, links resolved,
    // when it was acquired); empty when not held.
    const std::string& file() const { return file_; }
    // Locks the file that `database_path` leads to now, in place of the
    // one locked before: for a file that a create made or a rename put
    // there under this lock. Nothing when the lock is not held, when no
    // file is there, or when it is the file already locked (one lookup).
    // Error: "database '{}' is locked by another process".
    Status hold_file(const std::string& database_path);
    // A database is open under the lock: its file stays after release.
    void keep_file() { made_.clear(); }
    // The holder's note: up to `out.size()` bytes from the start of the lock
    // file, the count read; 0 when there is none or it cannot be read, and
    // without a read when the lock file was empty when acquired (or made by
    // the acquire) or may hold no note. One read, bounded.
    std::size_t read_note(std::span<std::uint8_t> out) const;
    // Makes `note` the lock file's whole content, flushed (with the lock
    // file's name, when this acquire made it) before it returns; only into
    // a lock file that may hold a note, asked of the file now. Errors:
    // "lock file write refused: {} at '{}'" with "not a regular file" or "it
    // has more than one name" and the lock file's path, "lock file write
    // failed: {} at '{}'" with the OS error and the lock file's path.
    Status write_note(std::span<const std::uint8_t> note);
    // Empties the lock file, without a flush; failures are ignored.
    void clear_note();
    // The database is gone: its lock file goes on release too, while still
    // held, as one this acquire made does.
    void remove_file_on_release();
    void release();

private:
    FileLock(int fd, std::string file, std::string made, bool note_empty, bool note_file)
        : fd_(fd), file_(std::move(file)), made_(std::move(made)), note_empty_(note_empty), note_file_(note_file) {}
    // Locks the file at `path` (links resolved) in place of the one locked
    // before; false when another holder has it.
    bool lock_database_file(const std::string& path);
    // The refusal of `write_note` for a lock file that may hold no note.
    Status check_note_file() const;
    int fd_ = -1;       // the lock file
    int file_fd_ = -1;  // the database file, once it exists
    std::string file_;
    // The lock file's path while this lock made it and no database claimed it.
    std::string made_;
    // The lock file is known to hold no note: it was empty when acquired,
    // or the holder emptied it.
    bool note_empty_ = false;
    // The lock file may hold a note: a regular file with one name when
    // acquired (or made by the acquire), or one a note was written into.
    bool note_file_ = false;
};

// Rolls uncommitted pages back before the store (and its pager) goes.
struct ClosePageStore {
    void operator()(PageStore* store) const;
};
using PageStorePtr = std::unique_ptr<PageStore, ClosePageStore>;

struct DatabaseFile {
    // The file the caller's path leads to (symbolic links resolved); none
    // for an in-memory database.
    std::optional<std::string> path;
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
