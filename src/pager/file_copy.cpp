#include "pager/file_copy.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "pager/vfs.h"

namespace zembrel {

namespace {

// Closes on scope exit.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

std::unexpected<EngineError> os_failure(int err) { return storage_error(os_error_text(err)); }

int open_retrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The fallback of the fallback: read and write until the source ends.
Status byte_copy(int in, int out) {
    std::vector<char> buf(1 << 20);
    off_t at = 0;
    for (;;) {
        ssize_t n = ::pread(in, buf.data(), buf.size(), at);
        if (n < 0) {
            if (errno == EINTR) continue;
            return os_failure(errno);
        }
        if (n == 0) return {};
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::pwrite(out, buf.data() + done, static_cast<size_t>(n - done), at + done);
            if (w < 0) {
                if (errno == EINTR) continue;
                return os_failure(errno);
            }
            if (w == 0) return storage_error("failed to write whole buffer");
            done += w;
        }
        at += n;
    }
}

// True when the copy is complete; false when the kernel cannot copy between
// these files at all (nothing has been written then), so the caller falls back.
Result<bool> kernel_copy(int in, int out) {
#ifdef __linux__
    bool copied_any = false;
    for (;;) {
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            bool unsupported = errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL ||
                               errno == EBADF || errno == EPERM;
            if (unsupported && !copied_any) return false;
            return os_failure(errno);
        }
        if (n == 0) return true;
        copied_any = true;
    }
#else
    (void)in;
    (void)out;
    return false;
#endif
}

// True when the destination now shares the source's blocks.
bool clone(int in, int out) {
#if defined(__linux__) && defined(FICLONE)
    return ::ioctl(out, FICLONE, in) == 0;
#else
    (void)in;
    (void)out;
    return false;
#endif
}

}  // namespace

Status copy_file(const std::string& from, const std::string& scratch) {
    Fd in{open_retrying(from.c_str(), O_RDONLY)};
    if (in.fd < 0) return os_failure(errno);
    struct stat src;
    if (::fstat(in.fd, &src) != 0) return os_failure(errno);
    if (!S_ISREG(src.st_mode))
        return storage_error("the source path is neither a regular file nor a symlink to a regular file");
    const mode_t perms = src.st_mode & 07777;

    Fd out{open_retrying(scratch.c_str(), O_WRONLY | O_CREAT | O_EXCL, perms)};
    if (out.fd < 0) return os_failure(errno);
    auto fill = [&]() -> Status {
        if (::fchmod(out.fd, perms) != 0) return os_failure(errno);
        if (!clone(in.fd, out.fd)) {
            auto copied = kernel_copy(in.fd, out.fd);
            if (!copied) return fail(copied.error());
            if (!*copied) {
                if (auto st = byte_copy(in.fd, out.fd); !st) return st;
            }
        }
        int rc;
        do {
            rc = ::fsync(out.fd);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) return os_failure(errno);
        return {};
    };
    Status st = fill();
    if (!st) ::unlink(scratch.c_str());
    return st;
}

}  // namespace zembrel
