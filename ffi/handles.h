// The records behind the opaque C handles.
#pragma once

#include <atomic>
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

// A row result keeps its cell texts in a few large blocks, each text
// followed by its NUL, so that building it allocates per block rather than
// per cell; a text never moves once placed, so the accessors hand out
// pointers to it.
struct zembrel_result {
    std::vector<std::string> columns;
    std::vector<std::unique_ptr<char[]>> blocks;
    std::vector<const char*> cells;      // row after row
    std::vector<size_t> row_starts;      // each row's first index in `cells`, then the number of cells
    std::optional<std::string> message;  // none for a row result

    size_t row_count() const { return row_starts.empty() ? 0 : row_starts.size() - 1; }
};

// A shared handle: any number of threads may call it at once. The slot has
// its own mutex, never held together with the database's.
struct zembrel_shared {
    std::unique_ptr<zembrel::SharedDb> db;
    std::mutex slot_mutex;
    std::optional<std::string> last_error;  // guarded by slot_mutex
    // Whether last_error holds a text: written under slot_mutex, read
    // without it by calls that would clear an empty slot.
    std::atomic<bool> slot_filled{false};
};

struct zembrel_shadow {
    zembrel::shadow::ShadowSession session;
    // The error slot, as zembrel_db's; it also carries the conflict report.
    std::optional<std::string> last_error;
};

namespace zembrel::ffi {

// Builds a row result set as the rows come: each row's cell texts (a text
// holding a NUL byte becomes "") are placed at once, the row not kept.
class ResultBuilder final : public RowSink {
public:
    void row(RowView row) override;
    // The result set, with these column names; the builder is spent.
    zembrel_result* finish(const std::vector<std::string>& columns);

private:
    void place(std::string_view text);

    zembrel_result rs_;
    char* free_ = nullptr;  // the unused end of the last block
    size_t room_ = 0;
    size_t next_block_ = 4096;
    std::string scratch_;  // a cell's text that is not a stored text
};

// A result set of the rows' cell texts, built as above.
zembrel_result* new_rows_result(const Rows& rows);
// A result set holding the outcome's message.
zembrel_result* new_message_result(const ExecResult& result);

}  // namespace zembrel::ffi
