// Texts a shadow recorded in a column that the base has made HASH since.
//
// A shadow records rows as its snapshot's columns held them. A column made
// HASH holds every text hashed under its salt (the ALTER hashed the texts
// the base held), while a text the shadow recorded before that is clear. It
// is hashed before the rows meet the base's (in a merge, or a replay onto a
// fresh copy), so that no clear text reaches a HASH column and a
// before-image still equals the base row it was taken from. Two kinds of
// text are kept as they are: one in the form of a hash under the column's
// salt (written while the column was HASH; a salt never changes, and did not
// exist before), and the very text the base row under the same key holds in
// that column (its own value, whatever wrote it, carried along unchanged).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "types/error.h"
#include "types/table.h"
#include "types/value.h"

namespace zembrel::shadow {

// One per merge or replay: it remembers each table's HASH columns and the
// hash of every text it made, so equal texts are hashed once.
class ClearTextHasher {
public:
    // Hashes, in place, the clear texts of `row` (recorded for `table`) at
    // its HASH columns; `base_row` is the row the base holds under the same
    // key, if any. Error (Execution): "column '{}': hashing failed: {}".
    Status hash(const Table& table, Row& row, RowView base_row);

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
