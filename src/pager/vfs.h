// The file layer: the one door through which the page store touches the file
// system. `Vfs` opens and removes files, `VfsFile` is one open file. Every
// failure is a Storage error whose text names the operation and carries the
// operating-system error as "<description> (os error <n>)".
//
// Ownership: a `Vfs` is shared (std::shared_ptr) between the pager, its log and
// its snapshots; a `VfsFile` has exactly one owner and closes on destruction.
// Threads: `RealVfs` is stateless and may be used from any thread; a `VfsFile`
// is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "types/error.h"

namespace zembrel {

// Durability of a flush: 0 full, 1 barrier, 2 plain fsync. On platforms
// without the full or barrier flush, modes 0 and 1 fall back to fsync.
// 3 skips the flush: for a file that no one opens again after a crash (the
// backing file of an in-memory database, whose pager is private), whose
// writes need ordering within this process only, which the operating
// system's cache already gives.
using SyncMode = std::uint8_t;
inline constexpr SyncMode kSyncFull = 0;
inline constexpr SyncMode kSyncBarrier = 1;
inline constexpr SyncMode kSyncPlain = 2;
inline constexpr SyncMode kSyncNone = 3;

class VfsFile {
public:
    virtual ~VfsFile() = default;
    // Debug form: "RealFile(...)".
    virtual std::string describe() const = 0;
    // Fills the whole buffer from `offset`; a file that ends first is the error
    // "read failed: failed to fill whole buffer".
    virtual Status read_at(std::span<std::uint8_t> buffer, std::uint64_t offset) = 0;
    // Writes every byte at `offset`, extending the file if needed (a gap reads as zeros).
    virtual Status write_at(std::span<const std::uint8_t> bytes, std::uint64_t offset) = 0;
    // Shortens or extends the file ("truncate failed: {}").
    virtual Status set_len(std::uint64_t length) = 0;
    // Current length in bytes ("stat failed: {}").
    virtual Result<std::uint64_t> len() = 0;
    // Flushes to stable storage ("fsync failed: {}").
    virtual Status sync(SyncMode mode) = 0;
    // Starts writing the bytes written in [offset, offset + length) to the
    // disk and returns without waiting for them, so that a later `sync` has
    // less left to wait for. A hint: nothing becomes durable through it (a
    // crash may keep any part of unflushed writes, with or without it), and
    // it cannot fail; a write error it meets is the next `sync`'s to report.
    // The default does nothing.
    virtual void start_writeback(std::uint64_t offset, std::uint64_t length);
    // A second handle on this same open file, for a reader on another
    // thread: never reopened by name, so it serves a file that has none
    // (Vfs::create_unnamed). Errors: "open failed for '{}': {}"; the default
    // has no way to do it (EOPNOTSUPP).
    virtual Result<std::unique_ptr<VfsFile>> duplicate();
};

class Vfs {
public:
    virtual ~Vfs() = default;
    // Debug form: "RealVfs".
    virtual std::string describe() const = 0;
    // The opens and creates below never follow a symbolic link at `path`
    // itself; they refuse it ("... failed for '{}': symbolic link refused").
    // Read-write, existing file only ("open failed for '{}': {}").
    virtual Result<std::unique_ptr<VfsFile>> open(const std::string& path) = 0;
    // Read-write, the file must not exist ("create failed for '{}': {}").
    virtual Result<std::unique_ptr<VfsFile>> create_new(const std::string& path) = 0;
    // Read-write, created or emptied ("create failed for '{}': {}").
    virtual Result<std::unique_ptr<VfsFile>> create_truncate(const std::string& path) = 0;
    // Read only, existing file only ("open failed for '{}': {}").
    virtual Result<std::unique_ptr<VfsFile>> open_read_only(const std::string& path) = 0;
    // Read-write, a new file in the directory of `path` that no name leads
    // to: it goes with its last handle however the process ends, a kill
    // included. `path` names it in messages ("create failed for '{}': {}").
    // The default creates `path` (create_new) and removes the name at once.
    virtual Result<std::unique_ptr<VfsFile>> create_unnamed(const std::string& path);
    // True when the path's metadata can be read (symbolic links followed); any failure is false.
    virtual bool exists(const std::string& path) = 0;
    // Whether anything is at the name itself, a symbolic link included
    // (dangling or not: the open that follows refuses it); only a missing
    // path (ENOENT, ENOTDIR) is false; any other failure is the error "stat
    // failed for '{}': {}". Used where "cannot tell" must not be mistaken for
    // "absent" (an existing but unreadable log, a link planted at its name).
    virtual Result<bool> exists_checked(const std::string& path) = 0;
    // Unlinks the file; the error carries only the operating-system error.
    virtual Status remove(const std::string& path) = 0;
    // Moves `from` onto `to` (replacing it) in one step; the error carries
    // only the operating-system error.
    virtual Status rename(const std::string& from, const std::string& to) = 0;
    // The same, but `to` must not exist: whatever stands there (a user's
    // file, a link) stays, and the move fails with EEXIST's text. The
    // default asks first and then renames; RealVfs moves in one step where
    // the file system can.
    virtual Status rename_new(const std::string& from, const std::string& to);
    // Gives the file at `from` the second name `to`, which must not exist;
    // the error carries only the operating-system error.
    virtual Status hard_link(const std::string& from, const std::string& to) = 0;
    // Makes the directory entry of `path` durable by flushing its parent
    // directory ("." for a bare file name). Every failure is ignored.
    virtual void sync_dir(const std::string& path) = 0;
};

// "<strerror text> (os error <n>)".
std::string os_error_text(int errnum);

// Every open and create of the file layer refuses a symbolic link at the name
// it is given, with this reason in place of the OS error: "open failed for
// '<path>': symbolic link refused". The file the link leads to is untouched.
inline constexpr const char* kSymlinkRefused = "symbolic link refused";

// Why the engine refuses a path that is there but is no file of its kind (a
// FIFO, a device, a socket, a folder): it never opens such a thing as a
// database, which could block or read without end.
inline constexpr const char* kNotRegularFile = "not a regular file";

// Why an open or create of `path` without following a link failed with
// errno `err`: kSymlinkRefused when a symbolic link at the name itself was
// the cause (O_NOFOLLOW reports it as ELOOP, O_CREAT|O_EXCL as EEXIST,
// dangling or not), else the OS error ("<description> (os error <n>)").
std::string open_failure_reason(const std::string& path, int err);

// The whole regular file at `path`, no longer than it was when opened:
// opened without following a symbolic link at the name and without waiting
// (a FIFO), and only read when it is a regular file. Error: the OS error
// alone ("<description> (os error <n>)"), or kNotRegularFile.
Result<std::vector<std::uint8_t>> read_regular_file(const std::string& path);

class RealFile final : public VfsFile {
public:
    // Takes ownership of an open descriptor.
    explicit RealFile(int fd, std::string path = {});
    ~RealFile() override;
    RealFile(const RealFile&) = delete;
    RealFile& operator=(const RealFile&) = delete;

    std::string describe() const override;
    Status read_at(std::span<std::uint8_t> buffer, std::uint64_t offset) override;
    Status write_at(std::span<const std::uint8_t> bytes, std::uint64_t offset) override;
    Status set_len(std::uint64_t length) override;
    Result<std::uint64_t> len() override;
    Status sync(SyncMode mode) override;
    void start_writeback(std::uint64_t offset, std::uint64_t length) override;
    Result<std::unique_ptr<VfsFile>> duplicate() override;

private:
    int fd_;
    std::string path_;
};

class RealVfs final : public Vfs {
public:
    std::string describe() const override;
    Result<std::unique_ptr<VfsFile>> open(const std::string& path) override;
    Result<std::unique_ptr<VfsFile>> create_new(const std::string& path) override;
    Result<std::unique_ptr<VfsFile>> create_truncate(const std::string& path) override;
    Result<std::unique_ptr<VfsFile>> open_read_only(const std::string& path) override;
    // An O_TMPFILE file where the file system has them, else the default's
    // name for as long as it takes to remove it.
    Result<std::unique_ptr<VfsFile>> create_unnamed(const std::string& path) override;
    bool exists(const std::string& path) override;
    Result<bool> exists_checked(const std::string& path) override;
    Status remove(const std::string& path) override;
    Status rename(const std::string& from, const std::string& to) override;
    Status rename_new(const std::string& from, const std::string& to) override;
    Status hard_link(const std::string& from, const std::string& to) override;
    void sync_dir(const std::string& path) override;
};

}  // namespace zembrel
