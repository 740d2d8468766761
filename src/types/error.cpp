#include "types/error.h"

#include <cstdio>
#include <cstdlib>

#include "types/value.h"

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

std::string EngineError::display() const { return std::string(kind_name(kind)) + " error: " + message; }

std::string EngineError::debug() const {
    // The quoted form of the message is the Debug text of a Text value minus its kind name.
    std::string quoted = Value::text(message).debug();
    return std::string(kind_name(kind)) + quoted.substr(4);
}

void fatal(const std::string& what) {
    std::fputs(what.c_str(), stderr);
    std::fputc('\n', stderr);
    std::abort();
}

}  // namespace zembrel
