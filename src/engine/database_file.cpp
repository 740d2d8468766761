#include "engine/database_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "pager/pager.h"
#include "types/text_format.h"

namespace zembrel {

Result<FileLock> FileLock::acquire(const std::string& database_path) {
    std::string lock_path = database_path + ".lock";
    int fd;
    do {
        fd = ::open(lock_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return storage_error(format("lock file open failed: {}", os_error_text(errno)));
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return storage_error(format("database '{}' is locked by another process", database_path));
    }
    return FileLock(fd);
}

FileLock& FileLock::operator=(FileLock&& o) noexcept {
    if (this != &o) {
        release();
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

void FileLock::release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

BackingFile& BackingFile::operator=(BackingFile&& o) noexcept {
    if (this != &o) {
        remove();
        path_ = std::move(o.path_);
        o.path_.reset();
    }
    return *this;
}

void BackingFile::remove() {
    if (!path_) return;
    ::unlink(path_->c_str());
    ::unlink(wal_path_for(*path_).c_str());
    path_.reset();
}

void ClosePageStore::operator()(PageStore* store) const {
    if (store->pager) (void)store->pager->rollback();
    delete store;
}

DatabaseFile::DatabaseFile() : vfs(std::make_shared<RealVfs>()) {}

void DatabaseFile::close() {
    page_store.reset();
    backing_file.remove();
    lock.release();
}

std::string temp_dir() {
    const char* dir = std::getenv("TMPDIR");
    if (dir != nullptr && *dir != '\0') return dir;
    return "/tmp";
}

std::string join_path(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

}  // namespace zembrel
