// Sort run files: one sorted run of rows of an external sort, in a private
// spill directory under the temporary directory.
//
// Layout: the rows one after another, nothing before the first record or
// after the last. One record:
//
//   | Offset | Size | Field                                                 |
//   |--------|------|-------------------------------------------------------|
//   | 0      | 4    | length L of the row record, u32 little-endian         |
//   | 4      | L    | the row as a row record (storage/row_record.h): a u16 |
//   |        |      | value count, then a tag and a payload per value       |
//
// The row record holds every value exactly (a Float by its IEEE-754 bits,
// non-finite ones included, and texts byte for byte), so a spilled sort
// returns exactly the values an in-memory one does, and it is read back
// without a text parser. A record must end with its last value. A row of
// more than 65535 values, or with a text of 4 GiB or more, cannot be
// written ("sort row too large").
//
// Every error is a Storage EngineError: "create sort run: {}", "sort row too
// large", "write sort row: {}", "open sort run: {}",
// "read sort run: {}", "read sort row body: {}", "decode sort row: {}".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "storage/row_record.h"
#include "types/error.h"
#include "types/table.h"
#include "types/value.h"

namespace zembrel::sort_spill {

// Appends one record (length and row record) for the row.
Status encode_record(storage::Bytes& out, RowView row);
// The row of one record's bytes (after the length).
Result<Row> decode_row(storage::ByteView record);

// Creates (or truncates, mode 0666) the file and writes one record per row
// in the given order. The file is closed on every path.
Status write_run(const std::string& path, std::span<const RowView> rows);

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
