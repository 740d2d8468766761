// The records behind the opaque C handles.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"

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
