// Shared handles: one database used by several threads at once. The error
// slot is per handle (last store wins); what zembrel_errmsg_shared hands out
// is a copy owned by the calling thread, so another thread's next error
// cannot free it under the caller.
#include <cstdlib>
#include <cstring>
#include <new>

#include "c_text.h"
#include "handles.h"
#include "zembrel.h"

using namespace zembrel;

namespace {

// The calling thread's copy of the last text it was handed. Plain values
// (no destructor of their own), so they stay usable while the thread exits.
enum class CopyState : unsigned char { Fresh, Alive, Released };
thread_local char* t_copy = nullptr;
thread_local CopyState t_copy_state = CopyState::Fresh;

// Frees the copy when its thread exits; later calls on that thread get NULL.
struct CopyRelease {
    bool armed = false;
    ~CopyRelease() {
        std::free(t_copy);
        t_copy = nullptr;
        t_copy_state = CopyState::Released;
    }
};
thread_local CopyRelease t_copy_release;

// Unlike the other handles' slots, a message that cannot be handed out
// whole (it holds a NUL byte) is kept as "", not as no message.
void store_error(zembrel_shared* db, std::optional<std::string> text) {
    std::string stored = text ? std::move(*text) : std::string();
    std::lock_guard lock(db->slot_mutex);
    db->last_error = std::move(stored);
    db->slot_filled.store(true, std::memory_order_relaxed);
}

void clear_error(zembrel_shared* db) {
    // Most calls find the slot empty and leave without the lock, so that
    // readers succeeding side by side do not meet here. A call that sees it
    // empty while another fills it comes first in the "last store wins".
    if (!db->slot_filled.load(std::memory_order_relaxed)) return;
    std::lock_guard lock(db->slot_mutex);
    db->last_error.reset();
    db->slot_filled.store(false, std::memory_order_relaxed);
}

// Runs one statement; on failure fills the slot and returns none. The
// database's mutex is released inside execute, before the slot is touched.
std::optional<ExecResult> run_shared(zembrel_shared* db, const char* sql, RowSink* sink = nullptr) {
    auto text = ffi::text_arg(sql);
    if (!text) {
        store_error(db, "invalid SQL string");
        return std::nullopt;
    }
    auto result = db->db->execute(*text, sink);
    if (!result) {
        store_error(db, ffi::c_safe(result.error().display()));
        return std::nullopt;
    }
    clear_error(db);
    return std::move(*result);
}

}  // namespace

extern "C" {

zembrel_shared* zembrel_open_shared(const char* path) noexcept {
    auto text = ffi::text_arg(path);
    if (!text) return nullptr;
    auto db = SharedDb::open(std::string(*text));
    if (!db) return nullptr;
    auto* handle = new zembrel_shared();
    handle->db = std::move(*db);
    return handle;
}

int zembrel_exec_shared(zembrel_shared* db, const char* sql) noexcept {
    if (db == nullptr) return 1;
    return run_shared(db, sql) ? 0 : 1;
}

zembrel_result* zembrel_query_shared(zembrel_shared* db, const char* sql) noexcept {
    if (db == nullptr) return nullptr;
    ffi::ResultBuilder cells;
    auto result = run_shared(db, sql, &cells);
    if (!result) return nullptr;
    if (auto* rows = std::get_if<Rows>(&*result)) return cells.finish(rows->columns);
    return ffi::new_message_result(*result);
}

const char* zembrel_errmsg_shared(zembrel_shared* db) noexcept {
    if (db == nullptr) return nullptr;
    if (t_copy_state == CopyState::Released) return nullptr;  // the thread is exiting: nowhere to keep a copy
    char* copy = nullptr;
    {
        std::lock_guard lock(db->slot_mutex);
        if (db->last_error) {
            const std::string& text = *db->last_error;
            copy = static_cast<char*>(std::malloc(text.size() + 1));
            if (copy == nullptr) std::abort();
            std::memcpy(copy, text.c_str(), text.size() + 1);
        }
    }
    if (t_copy_state == CopyState::Fresh) {
        t_copy_release.armed = true;  // first use registers its release at thread exit
        t_copy_state = CopyState::Alive;
    }
    std::free(t_copy);
    t_copy = copy;
    return copy;
}

void zembrel_close_shared(zembrel_shared* db) noexcept { delete db; }

}  // extern "C"
