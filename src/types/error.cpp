#include "types/error.h"

#include <cstdio>
#include <cstdlib>

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

std::string EngineError::display() const {
    std::string out = kind_name(kind);
    out += " error: ";
    out += message;
    return out;
}

std::string EngineError::debug() const {
    std::string out = kind_name(kind);
    out += '(';
    out += quoted_debug_text(message);
    out += ')';
    return out;
}

void fatal(const std::string& what) {
    std::fputs(what.c_str(), stderr);
    std::fputc('\n', stderr);
    std::abort();
}

}  // namespace zembrel
