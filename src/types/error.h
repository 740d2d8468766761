// The one error channel of the engine: every fallible operation returns
// Result<T> (std::expected<T, EngineError>). Lower layers' texts are embedded
// unchanged in the messages of higher ones.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace zembrel {

enum class ErrorKind : unsigned char { Parse = 0, Execution = 1, Storage = 2, Type = 3 };

struct EngineError {
    ErrorKind kind = ErrorKind::Execution;
    std::string message;

    static EngineError parse(std::string msg) { return {ErrorKind::Parse, std::move(msg)}; }
    static EngineError execution(std::string msg) { return {ErrorKind::Execution, std::move(msg)}; }
    static EngineError storage(std::string msg) { return {ErrorKind::Storage, std::move(msg)}; }
    static EngineError type(std::string msg) { return {ErrorKind::Type, std::move(msg)}; }

    // "Parse error: {}", "Execution error: {}", "Storage error: {}", "Type error: {}".
    std::string display() const;
    // Kind name and quoted message, e.g. Storage("empty key"); only for fatal failures.
    std::string debug() const;

    bool operator==(const EngineError&) const = default;
};

template <class T>
using Result = std::expected<T, EngineError>;
using Status = std::expected<void, EngineError>;

inline std::unexpected<EngineError> fail(EngineError e) { return std::unexpected(std::move(e)); }
inline std::unexpected<EngineError> parse_error(std::string m) { return fail(EngineError::parse(std::move(m))); }
inline std::unexpected<EngineError> execution_error(std::string m) { return fail(EngineError::execution(std::move(m))); }
inline std::unexpected<EngineError> storage_error(std::string m) { return fail(EngineError::storage(std::move(m))); }
inline std::unexpected<EngineError> type_error(std::string m) { return fail(EngineError::type(std::move(m))); }

// The one check for programming errors: ends the process with
// "zembrel: internal invariant broken: {what}" on stderr. Only for states no
// file content and no caller input can bring about; anything those can reach
// returns an EngineError instead.
[[noreturn]] void invariant_failed(std::string_view what);
#define ZEMBREL_INVARIANT(condition, what)                        \
    do {                                                          \
        if (!(condition)) ::zembrel::invariant_failed(what);      \
    } while (0)

}  // namespace zembrel
