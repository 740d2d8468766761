// Bringing an Engine into being and taking it down: Engine::new, the lock
// file, creating and opening page files, the backing page file of an
// in-memory database, and the release.
//
// The lock file is path + ".lock", opened write-only (created with mode
// 0666, never truncated, never read or written) and held with
// flock(LOCK_EX | LOCK_NB) for the Engine's life. flock locks belong to the
// open file description, so a second open of the same database in the same
// process is refused just like one from another process.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "engine/catalog_store.h"
#include "engine/engine.h"
#include "types/text_format.h"
#include "types/uuid.h"

namespace zembrel {

namespace {

// "1", or "true" in any letter case; anything else (blanks included) is off.
bool env_flag_on(const char* value) {
    if (value == nullptr) return false;
    std::string_view v(value);
    if (v == "1") return true;
    if (v.size() != 4) return false;
    static constexpr std::string_view kTrue = "true";
    for (size_t i = 0; i < 4; ++i) {
        char c = v[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kTrue[i]) return false;
    }
    return true;
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

// Discards uncommitted pages, then closes the store (the pager's final
// checkpoint only copies what is committed).
void close_page_store(std::unique_ptr<PageStore>& store) {
    if (!store) return;
    if (store->pager) (void)store->pager->rollback();
    store.reset();
}

}  // namespace

Engine::Engine() : vfs(std::make_shared<RealVfs>()) {
    force_nested_join = env_flag_on(std::getenv("ZEMBREL_FORCE_NESTED_JOIN"));
}

Engine::~Engine() {
    if (temp_page_file) {
        std::string file = std::move(*temp_page_file);
        temp_page_file.reset();
        close_page_store(page_store);
        // The backing file is private to this engine: remove it and any log
        // a failed final checkpoint left behind.
        ::unlink(file.c_str());
        ::unlink(wal_path_for(file).c_str());
    }
    close_page_store(page_store);
    if (lock_fd >= 0) {
        ::close(lock_fd);  // after the store's release, so no other opener races its checkpoint
        lock_fd = -1;
    }
}

Engine::Engine(Engine&& o) noexcept
    : path(std::move(o.path)),
      page_store(std::move(o.page_store)),
      temp_page_file(std::move(o.temp_page_file)),
      change_capture(std::move(o.change_capture)),
      pk_indexes(std::move(o.pk_indexes)),
      mem_indexes(std::move(o.mem_indexes)),
      txn_changed_tables(std::move(o.txn_changed_tables)),
      table_sync_modes(std::move(o.table_sync_modes)),
      merge_policies(std::move(o.merge_policies)),
      row_cache(std::move(o.row_cache)),
      database(std::move(o.database)),
      txn_snapshot(std::move(o.txn_snapshot)),
      sort_run_rows(o.sort_run_rows),
      lock_fd(std::exchange(o.lock_fd, -1)),
      skip_persist(o.skip_persist),
      force_nested_join(o.force_nested_join),
      vfs(o.vfs),
      catalog_stale(o.catalog_stale) {
    // A moved-from optional stays engaged; the source must own nothing.
    o.path.reset();
    o.temp_page_file.reset();
    o.change_capture.reset();
    o.txn_snapshot.reset();
}

Engine& Engine::operator=(Engine&& o) noexcept {
    if (this != &o) {
        this->~Engine();
        new (this) Engine(std::move(o));
    }
    return *this;
}

Result<int> Engine::acquire_lock_file(const std::string& path) {
    std::string lock_path = path + ".lock";
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
        return storage_error(format("database '{}' is locked by another process", path));
    }
    return fd;
}

Result<Engine> Engine::create_page_file(const std::string& path) {
    return create_page_file(path, std::make_shared<RealVfs>());
}

Result<Engine> Engine::create_page_file(const std::string& path, std::shared_ptr<Vfs> vfs) {
    auto fd = acquire_lock_file(path);
    if (!fd) return fail(fd.error());
    Engine engine;
    engine.lock_fd = *fd;  // released with the engine on every failure below
    engine.vfs = vfs;
    auto pager = Pager::create(std::move(vfs), path);
    if (!pager) return fail(pager.error());
    engine.page_store = std::make_unique<PageStore>();
    engine.page_store->pager = std::move(*pager);
    engine.path = path;
    return engine;
}

Result<Engine> Engine::open_page_file(const std::string& path) {
    return open_page_file(path, std::make_shared<RealVfs>());
}

Result<Engine> Engine::open_page_file(const std::string& path, std::shared_ptr<Vfs> vfs) {
    auto fd = acquire_lock_file(path);
    if (!fd) return fail(fd.error());
    Engine engine;
    engine.lock_fd = *fd;
    engine.vfs = vfs;
    // Header, log replay and checkpoint are the pager's.
    auto pager = Pager::open(std::move(vfs), path);
    if (!pager) return fail(pager.error());
    auto entries = load_catalog_entries(**pager);
    if (!entries) return fail(entries.error());
    engine.page_store = std::make_unique<PageStore>();
    engine.page_store->pager = std::move(*pager);
    for (auto& [name, entry] : *entries) engine.page_store->catalog.put(std::move(name), std::move(entry));
    engine.path = path;
    engine.rebuild_name_maps();
    return engine;
}

Result<PageStore*> Engine::ensure_page_store() {
    if (page_store) {
        if (catalog_stale) {
            if (auto st = reload_catalog(); !st) return fail(st.error());
        }
        return page_store.get();
    }
    std::string file = join_path(temp_dir(), format("zembrel-mem-{}.krvp", types::new_uuid()));
    auto pager = Pager::create(vfs ? vfs : std::make_shared<RealVfs>(), file);
    if (!pager) return fail(pager.error());
    page_store = std::make_unique<PageStore>();
    page_store->pager = std::move(*pager);
    temp_page_file = std::move(file);
    return page_store.get();
}

}  // namespace zembrel
