#include "engine/database_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

// The locked descriptor is still the file the name leads to.
bool still_named(int fd, const std::string& path) {
    struct stat held, named;
    return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

}  // namespace

Result<FileLock> FileLock::acquire(const std::string& database_path) {
    std::string lock_path = database_path + ".lock";
    for (;;) {
        bool made = true;
        int fd = open_retrying(lock_path, O_WRONLY | O_CREAT | O_EXCL);
        if (fd < 0 && errno == EEXIST) {
            // Also the way through a dangling symbolic link, which the open
            // then creates the target of: that file is not ours to remove.
            made = false;
            fd = open_retrying(lock_path, O_WRONLY | O_CREAT);
        }
        if (fd < 0) return storage_error(format("lock file open failed: {}", os_error_text(errno)));
        int rc;
        do {
            rc = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            ::close(fd);
            return storage_error(format("database '{}' is locked by another process", database_path));
        }
        if (still_named(fd, lock_path)) return FileLock(fd, made ? lock_path : std::string());
        // A failed open removed the file after this one opened it.
        ::close(fd);
    }
}

FileLock& FileLock::operator=(FileLock&& o) noexcept {
    if (this != &o) {
        release();
        fd_ = o.fd_;
        made_ = std::move(o.made_);
        o.fd_ = -1;
        o.made_.clear();
    }
    return *this;
}

void FileLock::release() {
    if (fd_ >= 0) {
        if (!made_.empty()) ::unlink(made_.c_str());
        ::close(fd_);
    }
    fd_ = -1;
    made_.clear();
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
