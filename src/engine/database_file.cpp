#include "engine/database_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "pager/file_names.h"
#include "pager/pager.h"
#include "types/text_format.h"

namespace zembrel {

namespace {

int open_retrying(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool try_flock(int fd) {
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The locked descriptor is still the file the name leads to; `held` is
// what it is.
bool still_named(int fd, const std::string& path, struct stat& held) {
    struct stat named;
    return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && same_file(held, named);
}

#if defined(__linux__) && defined(O_TMPFILE)
// Gives the unnamed file `fd` the name `path`, which must not exist.
bool link_unnamed(int fd, const std::string& path) {
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    if (::linkat(AT_FDCWD, proc, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    if (errno == EEXIST) return false;
    // Without /proc: the direct way, open to privileged processes only.
    return ::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0;
}
#endif

// A new lock file at `lock_path`, locked by this process before any other
// opener can reach it: made without a name and linked to it once locked.
// -1 with errno EEXIST when the name is taken meanwhile (a link planted there
// included), EWOULDBLOCK when another opener locked it first (only where the
// file system has no unnamed files: then it is named before it is locked,
// and stays should that opener fail), else the OS error.
int create_locked(const std::string& lock_path) {
#if defined(__linux__) && defined(O_TMPFILE)
    const int unnamed = open_retrying(parent_dir(lock_path), O_TMPFILE | O_RDWR);
    if (unnamed >= 0) {
        (void)try_flock(unnamed);  // nothing else can reach it yet
        if (link_unnamed(unnamed, lock_path)) return unnamed;
        const int err = errno;
        ::close(unnamed);
        if (err == EEXIST) {
            errno = err;
            return -1;
        }
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return -1;
    }
#endif
    int fd = open_retrying(lock_path, O_RDWR | O_CREAT | O_EXCL);
    if (fd < 0) return -1;
    if (!try_flock(fd)) {
        ::close(fd);
        errno = EWOULDBLOCK;
        return -1;
    }
    return fd;
}

// Why the lock file at `lock_path` could not be opened (errno `err`): what
// stands at its name when that is the reason, else the OS error.
std::string open_refusal(const std::string& lock_path, int err) {
    struct stat st;
    if (::lstat(lock_path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) return kSymlinkRefused;
        if (!S_ISREG(st.st_mode)) return kNotRegularFile;  // a folder, a socket, a device
    }
    return os_error_text(err);
}

// Why the lock file `st` describes may hold no note, or null: anything but a
// regular file, or a file that another name leads to too (a hard link to a
// file of the user's, whose bytes a note would overwrite).
const char* note_fault(const struct stat& st) {
    if (!S_ISREG(st.st_mode)) return kNotRegularFile;
    if (st.st_nlink != 1) return "it has more than one name";
    return nullptr;
}

}  // namespace

Result<FileLock> FileLock::acquire(const std::string& database_path) {
    const std::string file = resolve_links(database_path);
    const std::string lock_path = file + ".lock";
    const auto locked = [&] {
        return storage_error(format("database '{}' is locked by another process", database_path));
    };
    for (;;) {
        bool made = false;
        // Not through a link at its name (O_NOFOLLOW fails such an open with
        // ELOOP), and never waiting for a FIFO planted there to be read.
        int fd = open_retrying(lock_path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
        if (fd < 0 && errno == ENOENT) {
            fd = create_locked(lock_path);
            made = fd >= 0;
            if (fd < 0 && errno == EWOULDBLOCK) return locked();
            if (fd < 0 && errno == EEXIST) continue;  // another opener made it: lock theirs
        }
        if (fd < 0) return storage_error(format("lock file open failed: {} at '{}'", open_refusal(lock_path, errno), lock_path));
        if (!made && !try_flock(fd)) {
            ::close(fd);
            return locked();
        }
        struct stat held {};
        if (!made && !still_named(fd, lock_path, held)) {
            // A failed open removed the file after this one opened it.
            ::close(fd);
            continue;
        }
        // A device opens and locks like a file, yet it is none of this
        // database's: refused, as a folder or a socket there is. A FIFO can
        // carry the lock, and `note_fault` keeps notes out of it. A file this
        // acquire made is regular, which spares it the look that fills `held`.
        if (!made && !S_ISREG(held.st_mode) && !S_ISFIFO(held.st_mode)) {
            ::close(fd);
            return storage_error(format("lock file open failed: {} at '{}'", kNotRegularFile, lock_path));
        }
        // An empty lock file holds no note: the look that just found it
        // still named spares reading one. A note is only ever kept in a file
        // that can be no one else's: see `note_fault`.
        FileLock lock(fd, file, made ? lock_path : std::string(), made || held.st_size == 0,
                      made || note_fault(held) == nullptr);
        if (!lock.lock_database_file(file)) return locked();  // its release removes a lock file it made
        return lock;
    }
}

bool FileLock::lock_database_file(const std::string& path) {
    // Read-only and non-blocking: the descriptor only carries the lock, and
    // whatever the path leads to must not make the open wait.
    int fd = open_retrying(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return true;  // no file yet, or none this process may read: its own open says why
    struct stat now, held;
    if (file_fd_ >= 0 && ::fstat(fd, &now) == 0 && ::fstat(file_fd_, &held) == 0 && same_file(now, held)) {
        ::close(fd);
        return true;
    }
    if (!try_flock(fd)) {
        ::close(fd);
        return false;
    }
    if (file_fd_ >= 0) ::close(file_fd_);
    file_fd_ = fd;
    return true;
}

Status FileLock::hold_file(const std::string& database_path) {
    if (!held()) return {};
    struct stat named, locked;
    if (file_fd_ >= 0 && ::stat(database_path.c_str(), &named) == 0 && ::fstat(file_fd_, &locked) == 0 &&
        same_file(named, locked))
        return {};
    if (lock_database_file(resolve_links(database_path))) return {};
    return storage_error(format("database '{}' is locked by another process", database_path));
}

FileLock::FileLock(FileLock&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)),
      file_fd_(std::exchange(o.file_fd_, -1)),
      file_(std::exchange(o.file_, {})),
      made_(std::exchange(o.made_, {})),
      note_empty_(std::exchange(o.note_empty_, false)),
      note_file_(std::exchange(o.note_file_, false)) {}

FileLock& FileLock::operator=(FileLock&& o) noexcept {
    if (this != &o) {
        release();
        fd_ = std::exchange(o.fd_, -1);
        file_fd_ = std::exchange(o.file_fd_, -1);
        file_ = std::exchange(o.file_, {});
        made_ = std::exchange(o.made_, {});
        note_empty_ = std::exchange(o.note_empty_, false);
        note_file_ = std::exchange(o.note_file_, false);
    }
    return *this;
}

std::size_t FileLock::read_note(std::span<std::uint8_t> out) const {
    if (fd_ < 0 || note_empty_ || !note_file_ || out.empty()) return 0;
    ssize_t n;
    do {
        n = ::pread(fd_, out.data(), out.size(), 0);
    } while (n < 0 && errno == EINTR);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

Status FileLock::check_note_file() const {
    const std::string lock_path = file_ + ".lock";
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0)
        return storage_error(format("lock file write failed: {} at '{}'", os_error_text(fd_ < 0 ? EBADF : errno), lock_path));
    if (const char* fault = note_fault(st))
        return storage_error(format("lock file write refused: {} at '{}'", fault, lock_path));
    return {};
}

Status FileLock::write_note(std::span<const std::uint8_t> note) {
    const auto os_error = [this] {
        return storage_error(format("lock file write failed: {} at '{}'", os_error_text(errno), file_ + ".lock"));
    };
    if (auto st = check_note_file(); !st) return st;
    note_file_ = true;
    // Emptied first: a crash between the two steps leaves no note rather
    // than the new one with the old one's tail.
    if (::ftruncate(fd_, 0) != 0) return os_error();
    note_empty_ = false;
    for (std::size_t done = 0; done < note.size();) {
        const ssize_t n = ::pwrite(fd_, note.data() + done, note.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) return os_error();
        done += static_cast<std::size_t>(n);
    }
    int rc;
    do {
        rc = ::fdatasync(fd_);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return os_error();
    if (!made_.empty()) RealVfs().sync_dir(made_);  // a name made just now must outlive a crash too
    return {};
}

void FileLock::clear_note() {
    if (fd_ < 0 || note_empty_ || !note_file_) return;
    if (::ftruncate(fd_, 0) == 0) note_empty_ = true;
}

void FileLock::remove_file_on_release() {
    if (held()) made_ = file_ + ".lock";
}

void FileLock::release() {
    // The file's lock first: an opener that gets the lock file next finds
    // the file free too.
    if (file_fd_ >= 0) ::close(file_fd_);
    if (fd_ >= 0) {
        if (!made_.empty()) ::unlink(made_.c_str());
        ::close(fd_);
    }
    fd_ = -1;
    file_fd_ = -1;
    file_.clear();
    made_.clear();
    note_empty_ = false;
    note_file_ = false;
}

void ClosePageStore::operator()(PageStore* store) const {
    if (store->pager) (void)store->pager->rollback();
    delete store;
}

DatabaseFile::DatabaseFile() : vfs(std::make_shared<RealVfs>()) {}

void DatabaseFile::close() {
    page_store.reset();
    lock.release();
}

}  // namespace zembrel
