#include "engine/storage_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pagestore/page_store.h"
#include "pager/vfs.h"

namespace zembrel::storage {

namespace {

constexpr char kPageFileMagic[4] = {'K', 'R', 'V', 'P'};

}  // namespace

Result<Engine> open(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Engine::create_page_file(path);

    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return storage_error("open failed: " + os_error_text(errno));
    // A short or failed read leaves the rest zero, which matches no magic.
    char head[4] = {0, 0, 0, 0};
    ssize_t n;
    do {
        n = ::read(fd, head, sizeof head);
    } while (n < 0 && errno == EINTR);
    ::close(fd);

    if (std::memcmp(head, kPageFileMagic, sizeof head) == 0) return Engine::open_page_file(path);
    // Older snapshot formats are migrated by a later version; until then they
    // are refused before any file is touched.
    return storage_error("unsupported database file format");
}

Status save(Engine& engine) {
    if (engine.file.page_store) return engine.file.page_store->pager->commit();
    return {};
}

}  // namespace zembrel::storage
