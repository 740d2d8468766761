#include "types/error.h"

#include <cstdio>
#include <cstdlib>

#include "types/text_format.h"
#include "types/utf8.h"

namespace zembrel {

namespace {
const char* kind_name(ErrorKind k) {
    switch (k) {
        case ErrorKind::Parse: return "Parse";
        case ErrorKind::Execution: return "Execution";
        case ErrorKind::Storage: return "Storage";
        case ErrorKind::Type: return "Type";
    }
    return "Execution";
}
}  // namespace

std::string EngineError::display() const { return format("{} error: {}", kind_name(kind), message); }

std::string EngineError::debug() const { return format("{}({})", kind_name(kind), quoted_debug_text(message)); }

void invariant_failed(std::string_view what) {
    std::fprintf(stderr, "zembrel: internal invariant broken: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
}

}  // namespace zembrel
