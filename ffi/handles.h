// The records behind the opaque C handles.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "executor/exec_result.h"
#include "shadow/session.h"
#include "shared/shared_db.h"

struct zembrel_db {
    zembrel::Engine engine;
    // The error slot: the last failure's text; none after a successful
    // call. Handed out by pointer until the next call that sets it.
    std::optional<std::string> last_error;
};

struct zembrel_result {
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
    std::optional<std::string> message;  // none for a row result
};

// A shared handle: any number of threads may call it at once. The slot has
// its own mutex, never held together with the database's.
struct zembrel_shared {
    std::unique_ptr<zembrel::SharedDb> db;
    std::mutex slot_mutex;
    std::optional<std::string> last_error;  // guarded by slot_mutex
};

struct zembrel_shadow {
    zembrel::shadow::ShadowSession session;
    // The error slot, as zembrel_db's; it also carries the conflict report.
    std::optional<std::string> last_error;
};

namespace zembrel::ffi {

// A result set of the rows' cell texts (a text holding a NUL byte becomes "").
zembrel_result* new_rows_result(const Rows& rows);
// A result set holding the outcome's message.
zembrel_result* new_message_result(const ExecResult& result);

}  // namespace zembrel::ffi
