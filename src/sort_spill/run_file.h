// Sort run files: one sorted run of rows of an external sort, in a file
// without a name in the temporary directory (pager/temp_dir.h). A run is
// written and read back through the one open file, never reopened by name,
// so it goes with its last handle however the process ends, a kill
// included.
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
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pager/vfs.h"
#include "storage/row_record.h"
#include "types/error.h"
#include "types/table.h"
#include "types/value.h"

namespace zembrel::sort_spill {

// Appends one record (length and row record) for the row.
Status encode_record(storage::Bytes& out, RowView row);
// The row of one record's bytes (after the length).
Result<Row> decode_row(storage::ByteView record);

// A new, empty run file without a name in the directory `dir`; `name` is
// the name it would have there, for messages (and for the moment it takes
// to remove it where the file system cannot create a file without one).
// The caller owns the file; it vanishes when closed. "create sort run: {}"
// on failure, {} being temp_dir_fault's text when the directory cannot
// take a new file, else the file layer's.
Result<std::unique_ptr<VfsFile>> create_run(const std::string& dir, const std::string& name);

// Writes one record per row, in the given order, from the start of `file`
// (a new, empty one), in chunks of about 1 MiB. The file stays open.
Status write_run(VfsFile& file, std::span<const RowView> rows);

// A run file read front to back through its own buffer (about 1 MiB, or
// one record when larger). Move-only; owns the file and closes it, so the
// run vanishes, when released.
class RunReader {
public:
    // Reads the run that `file` holds from its start; "open sort run: {}"
    // when its length cannot be read.
    static Result<RunReader> open(std::unique_ptr<VfsFile> file);

    // The next row; none at the clean end of the run. A record cut short
    // (also inside its length) is an error.
    Result<std::optional<Row>> read_row();

private:
    RunReader(std::unique_ptr<VfsFile> file, uint64_t length) : file_(std::move(file)), unread_(length) {}
    // Makes `n` bytes available from pos_; false at end of file before them.
    Result<bool> fill(size_t n, const char* what);

    std::unique_ptr<VfsFile> file_;
    std::vector<std::uint8_t> buf_;
    size_t pos_ = 0;
    size_t end_ = 0;
    uint64_t offset_ = 0;  // where in the file buf_'s next bytes come from
    uint64_t unread_ = 0;  // bytes of the file not yet read into buf_
};

}  // namespace zembrel::sort_spill
