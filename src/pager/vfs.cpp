// POSIX implementation of the file layer.
#include "pager/vfs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "pager/file_names.h"

namespace zembrel {

namespace {

constexpr std::size_t kMaxIo = 2147483647;  // per read/write call

int errno_value() { return errno; }

std::string errno_text() { return os_error_text(errno_value()); }

// Flushes with fsync, repeating on EINTR. Returns 0 or the errno.
int plain_fsync(int fd) {
    for (;;) {
        if (::fsync(fd) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

// Flushes a file's bytes and the metadata needed to read them back (its
// length, its blocks), repeating on EINTR. Returns 0 or the errno. Unlike
// fsync it skips a change of the modification time alone, which otherwise
// costs a journal commit on every flush of a file overwritten in place.
int data_sync(int fd) {
    for (;;) {
#if defined(__linux__)
        if (::fdatasync(fd) == 0) return 0;
#else
        if (::fsync(fd) == 0) return 0;
#endif
        if (errno != EINTR) return errno;
    }
}

// Never through a symbolic link at the name itself: every file opened here is
// one the engine made, or makes, beside a database, and a link planted at its
// name would have the engine write into whatever it points to. (A database's
// own path is resolved before it gets here, file_names.h.)
Result<std::unique_ptr<VfsFile>> open_with(const std::string& path, int flags, const char* what) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return storage_error(std::string(what) + " failed for '" + path + "': " + open_failure_reason(path, errno_value()));
    return std::unique_ptr<VfsFile>(new RealFile(fd, path));
}

}  // namespace

std::string open_failure_reason(const std::string& path, int err) {
    struct stat st {};
    if ((err == ELOOP || err == EEXIST) && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        return kSymlinkRefused;
    return os_error_text(err);
}

Result<std::vector<std::uint8_t>> read_regular_file(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return storage_error(errno_text());
    RealFile file(fd, path);  // closes it
    struct stat st {};
    if (::fstat(fd, &st) != 0) return storage_error(errno_text());
    // A device may read without end, a FIFO wait for ever: only a regular
    // file has a length to read up to.
    if (!S_ISREG(st.st_mode)) return storage_error(kNotRegularFile);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {  // a file cut short meanwhile is read as far as it goes
        const ssize_t n = ::read(fd, bytes.data() + done, std::min(bytes.size() - done, kMaxIo));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return storage_error(errno_text());
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

std::string os_error_text(int errnum) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not live in buf.
    const char* text = ::strerror_r(errnum, buf, sizeof buf);
    return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

RealFile::RealFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

RealFile::~RealFile() {
    if (fd_ >= 0) ::close(fd_);  // a failed close has nothing left to tell anyone
}

std::string RealFile::describe() const { return "RealFile(fd " + std::to_string(fd_) + ", '" + path_ + "')"; }

Status RealFile::read_at(std::span<std::uint8_t> buffer, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return storage_error("read failed: " + os_error_text(EINVAL));
    std::size_t done = 0;
    while (done < buffer.size()) {
        std::size_t want = std::min(buffer.size() - done, kMaxIo);
        ssize_t n = ::pread(fd_, buffer.data() + done, want, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return storage_error("read failed: " + errno_text());
        }
        if (n == 0) return storage_error("read failed: failed to fill whole buffer");
        done += static_cast<std::size_t>(n);
    }
    return {};
}

Status RealFile::write_at(std::span<const std::uint8_t> bytes, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return storage_error("write failed: " + os_error_text(EINVAL));
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t want = std::min(bytes.size() - done, kMaxIo);
        ssize_t n = ::pwrite(fd_, bytes.data() + done, want, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return storage_error("write failed: " + errno_text());
        }
        if (n == 0) return storage_error("write failed: failed to write whole buffer");
        done += static_cast<std::size_t>(n);
    }
    return {};
}

Status RealFile::set_len(std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return storage_error("truncate failed: " + os_error_text(EINVAL));
    for (;;) {
        if (::ftruncate(fd_, static_cast<off_t>(length)) == 0) return {};
        if (errno != EINTR) return storage_error("truncate failed: " + errno_text());
    }
}

Result<std::uint64_t> RealFile::len() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return storage_error("stat failed: " + errno_text());
    return static_cast<std::uint64_t>(st.st_size);
}

Status RealFile::sync(SyncMode mode) {
    // Linux has neither the full nor the barrier flush: both fall back to
    // the plain flush, as a refused full/barrier flush would elsewhere. What
    // the page file and its log rely on is their bytes and their length.
    if (mode == kSyncNone) return {};
    int err = data_sync(fd_);
    if (err != 0) return storage_error("fsync failed: " + os_error_text(err));
    return {};
}

void VfsFile::start_writeback(std::uint64_t, std::uint64_t) {}

void RealFile::start_writeback(std::uint64_t offset, std::uint64_t length) {
#if defined(__linux__)
    // Out of range for the call: the hint is dropped, as any failure of it is.
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    if (offset > kMax || length > kMax - offset) return;
    (void)::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
#else
    (void)offset;
    (void)length;
#endif
}

Result<std::unique_ptr<VfsFile>> VfsFile::duplicate() {
    return storage_error("open failed for '" + describe() + "': " + os_error_text(EOPNOTSUPP));
}

Result<std::unique_ptr<VfsFile>> RealFile::duplicate() {
    // pread and pwrite never move the shared file position, so the two
    // handles do not disturb each other.
    const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return storage_error("open failed for '" + path_ + "': " + errno_text());
    return std::unique_ptr<VfsFile>(new RealFile(fd, path_));
}

Result<std::unique_ptr<VfsFile>> Vfs::create_unnamed(const std::string& path) {
    auto file = create_new(path);
    if (!file) return file;
    if (auto st = remove(path); !st) return storage_error("create failed for '" + path + "': " + st.error().message);
    return file;
}

Status Vfs::rename_new(const std::string& from, const std::string& to) {
    auto there = exists_checked(to);
    if (!there) return fail(there.error());
    if (*there) return storage_error(os_error_text(EEXIST));
    return rename(from, to);
}

std::string RealVfs::describe() const { return "RealVfs"; }

Result<std::unique_ptr<VfsFile>> RealVfs::open(const std::string& path) { return open_with(path, O_RDWR, "open"); }

Result<std::unique_ptr<VfsFile>> RealVfs::create_new(const std::string& path) {
    return open_with(path, O_RDWR | O_CREAT | O_EXCL, "create");
}

Result<std::unique_ptr<VfsFile>> RealVfs::create_truncate(const std::string& path) {
    return open_with(path, O_RDWR | O_CREAT | O_TRUNC, "create");
}

Result<std::unique_ptr<VfsFile>> RealVfs::open_read_only(const std::string& path) {
    return open_with(path, O_RDONLY, "open");
}

Result<std::unique_ptr<VfsFile>> RealVfs::create_unnamed(const std::string& path) {
#if defined(__linux__) && defined(O_TMPFILE)
    std::string dir = parent_dir(path);
    if (dir.empty()) dir = ".";
    int fd;
    do {
        // O_EXCL: no one can give it a name later either.
        fd = ::open(dir.c_str(), O_TMPFILE | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) return std::unique_ptr<VfsFile>(new RealFile(fd, path));
    // Refused by the file system (or kernel) rather than for the directory's sake.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return storage_error("create failed for '" + path + "': " + errno_text());
#endif
    return Vfs::create_unnamed(path);
}

bool RealVfs::exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

Result<bool> RealVfs::exists_checked(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) return true;
    if (errno == ENOENT || errno == ENOTDIR) return false;
    return storage_error("stat failed for '" + path + "': " + errno_text());
}

Status RealVfs::remove(const std::string& path) {
    if (::unlink(path.c_str()) != 0) return storage_error(errno_text());
    return {};
}

Status RealVfs::rename(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return storage_error(errno_text());
    return {};
}

Status RealVfs::rename_new(const std::string& from, const std::string& to) {
#if defined(__linux__) && defined(RENAME_NOREPLACE)
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
    // Refused by the file system (or kernel) rather than for the names' sake.
    if (errno != EINVAL && errno != ENOSYS) return storage_error(errno_text());
#endif
    return Vfs::rename_new(from, to);
}

Status RealVfs::hard_link(const std::string& from, const std::string& to) {
    if (::link(from.c_str(), to.c_str()) != 0) return storage_error(errno_text());
    return {};
}

void RealVfs::sync_dir(const std::string& path) {
    std::string dir = parent_dir(path);
    if (dir.empty()) return;
    int fd;
    do {
        fd = ::open(dir.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return;
    (void)plain_fsync(fd);
    ::close(fd);
}

}  // namespace zembrel
