// The records behind the opaque C handles.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "executor/exec_result.h"
#include "shadow/session.h"

struct zembrel_db {
    zembrel::Engine engine;
    // The error slot: the last failure's text or the auto-save note; none
    // after a successful call. Handed out by pointer until the next call.
    std::optional<std::string> last_error;
};

struct zembrel_result {
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
    std::optional<std::string> message;  // none for a row result
};

struct zembrel_shadow {
    zembrel::shadow::ShadowSession session;
    // The error slot, as zembrel_db's; it also carries the conflict report.
    std::optional<std::string> last_error;
};

namespace zembrel::ffi {

// A caller-owned result set of an outcome: the cells of a row result as
// texts, else no columns or rows and the outcome's message.
zembrel_result* new_result_set(ExecResult result);

}  // namespace zembrel::ffi
