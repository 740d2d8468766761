// A table's persistent description in the page file's catalog, and its JSON
// form. One catalog record per table: key = key encoding of Text(table name),
// value = the entry's compact JSON text (UTF-8, no trailing newline):
//
//   {"columns":[Column,...],           the table's columns, in table order
//    "root":N,                         root page of the table's tree
//    "rowid_hint":N,                   persisted bound above every row id handed out
//    "indexes":[{"name":"..","columns":["..",...],"root":N,"unique":B},...],
//    "merge_policy":"..",              only when a policy is set
//    "shadow_merges":{"<log stem>":"<merge id>",...}}   only when there are any
//
// (Column forms: schema_json.h.) Readers also take each record as an array
// of its stored fields by position (entry: columns, root, rowid_hint,
// indexes, merge_policy; index: name, columns, column, root, unique) and the
// older one-column index form "column":"name"; unknown keys are skipped.
// "shadow_merges" is read by key only, so an entry's array form keeps its
// five fields; a reader that skips the key loses nothing of the table.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "types/value.h"

namespace zembrel {

struct IndexCatalogEntry {
    std::string name;
    std::vector<std::string> columns;  // indexed column names, in key order
    std::string column;                // older one-column form; read, never written
    std::vector<std::size_t> positions;  // in memory only: position of each name in the table
    std::uint64_t root = 0;
    bool unique = false;

    bool operator==(const IndexCatalogEntry&) const = default;
};

struct CatalogEntry {
    std::optional<std::size_t> pk_column;  // in memory only: first Pk column
    std::vector<Column> columns;
    std::vector<IndexCatalogEntry> indexes;
    std::optional<std::string> merge_policy;  // lww, error, field_merge or manual; stored unchecked
    // Shadow merges that wrote into this table, by the stem of the merged
    // log's file name: the id of the last such merge that may still be
    // unsettled. Saved in the same commit as the merged rows, it tells a
    // later open whether a merge that was cut short reached the file
    // (shadow/merge_record.h).
    std::map<std::string, std::string> shadow_merges;
    std::uint64_t root = 0;
    std::uint64_t rowid_counter = 0;  // in memory only: the next row id to hand out
    // How many ids were handed out so far: an upper bound of the rows, unless the counter is damaged.
    std::uint64_t ids_handed_out() const { return rowid_counter > 0 ? rowid_counter - 1 : 0; }
    std::uint64_t rowid_hint = 0;

    // The stored fields as one compact JSON line (first buffer allocation 128
    // bytes). A value that cannot be written (a non-finite Float default, a
    // text that is not UTF-8) gives Storage "catalog encode failed: {}".
    Result<std::string> to_json() const;

    // The stored fields read from one catalog value; the derived fields stay
    // at their defaults. Errors: the JSON reader's text (Storage), ending
    // with " at line {} column {}".
    static Result<CatalogEntry> from_json(std::string_view bytes);

    // Fills the in-memory fields of a freshly read entry: pk_column, each
    // index's final column list (the stored list, or the one-column form when
    // that list is empty) and its positions, and rowid_counter = rowid_hint.
    // An index naming a column the table does not have is refused with
    // Storage "index '{}' names unknown column '{}'" (an index built over a
    // guessed column would answer seeks and unique checks wrongly).
    Status derive_fields();

    // The entry holds an index tree of that name.
    bool has_index(std::string_view index_name) const {
        for (const IndexCatalogEntry& ix : indexes)
            if (ix.name == index_name) return true;
        return false;
    }

    bool operator==(const CatalogEntry&) const = default;
};

// Position of the first Pk column, if any.
std::optional<std::size_t> first_pk_column(std::span<const Column> columns);
// Position of the column named `name` (compared byte for byte), if any.
std::optional<std::size_t> column_position(std::span<const Column> columns, std::string_view name);

}  // namespace zembrel
