// Sort run files: one sorted chunk of rows of an external sort, in a private
// spill directory under the temporary directory.
//
// Layout: the rows one after another, nothing before the first record or
// after the last. One record:
//
//   | Offset | Size | Field                                               |
//   |--------|------|-----------------------------------------------------|
//   | 0      | 4    | length L of the JSON text, u32 little-endian        |
//   | 4      | L    | the row as a JSON array: "[" values joined "," "]"  |
//
// Values are externally tagged as in the catalog: {"Int":5}, {"Text":"a"},
// {"Float":1.5}, {"Bool":true}, "Null", {"Uuid":".."}, {"Date":".."},
// {"DateTime":".."}. A Float that is not finite (no JSON number can hold it)
// is written as its IEEE-754 bit pattern in 16 lower-case hex digits,
// {"Float":"7ff0000000000000"}, so a spilled sort returns exactly the values
// an in-memory one does. An empty row is "[]".
//
// Every error is a Storage EngineError: "create sort run: {}", "encode sort
// row: {}", "sort row too large", "write sort row: {}", "open sort run: {}",
// "read sort run: {}", "read sort row body: {}", "decode sort row: {}".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "types/error.h"
#include "types/value.h"

namespace zembrel::sort_spill {

// Appends one record (length and JSON text) for the row.
Status encode_record(std::string& out, const Row& row);
// The row of one record's JSON text.
Result<Row> decode_row(std::string_view json);

// Creates (or truncates, mode 0666) the file and writes one record per row
// in the given order. The file is closed on every path.
Status write_run(const std::string& path, std::span<const Row* const> rows);

// A run file open for reading, front to back, with its own read buffer.
// Move-only; closes the file when released.
class RunReader {
public:
    static Result<RunReader> open(const std::string& path);
    RunReader(RunReader&& other) noexcept;
    RunReader& operator=(RunReader&& other) noexcept;
    RunReader(const RunReader&) = delete;
    RunReader& operator=(const RunReader&) = delete;
    ~RunReader();

    // The next row; none at the clean end of the run. A record cut short
    // (also inside its length) is an error.
    Result<std::optional<Row>> read_row();

private:
    explicit RunReader(int fd) : fd_(fd) {}
    // Makes `n` bytes available from pos_; false at end of file before them.
    Result<bool> fill(size_t n, const char* what);

    int fd_ = -1;
    std::vector<char> buf_;
    size_t pos_ = 0;
    size_t end_ = 0;
    uint64_t unread_ = 0;  // bytes of the file not yet read into buf_
};

}  // namespace zembrel::sort_spill
