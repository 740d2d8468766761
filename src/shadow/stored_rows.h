// Rows of a shadow's ops as the base stores them, for the merge and for a
// replay onto a fresh copy of the base.
//
// A shadow records rows as its snapshot's columns held them. A column that
// the base has made HASH since holds every text hashed under its salt, while
// a text the shadow recorded before that is clear: it is hashed here, as the
// ALTER hashed the base's own texts, so that no clear text reaches a HASH
// column and a before-image still equals the base row it was taken from. A
// text already in the form of a hash under the column's salt was written
// while the column was HASH (a salt never changes, and did not exist before)
// and is kept.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "types/error.h"
#include "types/value.h"

namespace zembrel::shadow {

// One per merge or replay: it remembers each table's HASH columns and the
// hash of every text it made, so equal texts are hashed once.
class StoredRows {
public:
    enum class Width : bool { Any, Exact };

    // A copy of `row`, recorded for `table`, with its clear texts at HASH
    // columns hashed. Errors (Execution): with Width::Exact, a row whose
    // width is not the table's column count, "shadow row width mismatch on
    // '{}' — schema divergence"; "column '{}': hashing failed: {}".
    Result<Row> of(const Table& table, const Row& row, Width width = Width::Exact);

private:
    struct HashColumn {
        std::size_t position = 0;
        std::string name;
        std::string salt;
        std::string prefix;  // of every hash under the salt
        std::unordered_map<std::string, std::string> hashes;
    };
    std::vector<HashColumn>& hash_columns(const Table& table);

    std::map<std::string, std::vector<HashColumn>> tables_;
};

}  // namespace zembrel::shadow
