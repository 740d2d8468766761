#include "legacy/legacy_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "legacy/snapshot_file.h"
#include "pager/vfs.h"

namespace zembrel::storage {

namespace {

int open_retrying(const std::string& path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// 0 or the errno of the failed write.
int write_all(int fd, const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        size_t chunk = std::min<size_t>(bytes.size() - done, 2147483647);
        ssize_t n = ::write(fd, bytes.data() + done, chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

// The durable flush: the full flush where the platform has one, falling back
// to fsync as the file layer does. 0 or the errno.
int durable_flush(int fd) {
#ifdef F_FULLFSYNC
    for (;;) {
        if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
        if (errno != EINTR) break;
    }
#endif
    for (;;) {
        if (::fsync(fd) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

}  // namespace

std::string sibling_path(const std::string& path, const std::string& suffix) { return path + "." + suffix; }

void fsync_parent_dir(const std::string& path) { RealVfs().sync_dir(path); }

Result<Bytes> read_whole_file(const std::string& path) {
    auto bytes = read_regular_file(path);
    if (!bytes) return storage_error("read failed: " + bytes.error().message);
    return std::move(*bytes);
}

Status write_snapshot(const Database& db, const std::string& path) {
    auto image = encode_snapshot_image(db);
    if (!image) return fail(image.error());
    const std::string tmp = sibling_path(path, "tmp");
    // Never through a link planted at the temporary name.
    int fd = open_retrying(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0666);
    if (fd < 0) return storage_error("snapshot create failed: " + os_error_text(errno));
    if (int err = write_all(fd, *image)) {
        ::close(fd);
        return storage_error("snapshot write failed: " + os_error_text(err));
    }
    if (int err = durable_flush(fd)) {
        ::close(fd);
        return storage_error("snapshot fsync failed: " + os_error_text(err));
    }
    ::close(fd);
    if (::rename(tmp.c_str(), path.c_str()) != 0) return storage_error("snapshot rename failed: " + os_error_text(errno));
    fsync_parent_dir(path);
    ::unlink(sibling_path(path, "wal").c_str());
    return {};
}

std::optional<Bytes> recover_leftover_files(const std::string& path) {
    const std::string log = sibling_path(path, "wal");
    std::optional<Bytes> log_bytes;
    struct stat st;
    if (::stat(log.c_str(), &st) == 0) {
        if (auto bytes = read_whole_file(log)) log_bytes = std::move(*bytes);
    }
    ::unlink(sibling_path(path, "tmp").c_str());
    if (log_bytes && has_snapshot_magic(*log_bytes)) {
        if (parse_snapshot(*log_bytes)) {
            if (::rename(log.c_str(), path.c_str()) == 0) fsync_parent_dir(path);
        } else {
            ::unlink(log.c_str());
        }
    }
    return log_bytes;
}

}  // namespace zembrel::storage
