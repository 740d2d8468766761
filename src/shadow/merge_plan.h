// Merge planning: the first stage of a shadow merge (the commit and the
// conflict report). The ops a log holds are checked against the base
// database's current schemas and folded, per table and primary key, into one
// net change each: the row as the shadow left it and what the shadow knew of
// the row before its first op.
//
// Rows are matched by the display text of their primary-key value, never by
// value: an Int 7 and a Text "7" are one key. A table's primary-key column is
// its first column of type Pk; a table without one is keyless, and its
// inserts are only appended, never folded or compared.
//
// Every failure is an Execution error, in a fixed order: schema divergence
// (tables in name order), tables missing from the base (in name order), then
// the first offending op in log order. Nothing is compared or written before
// planning succeeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/loaded_tables.h"
#include "shadow/shadow_log.h"
#include "types/error.h"
#include "types/table.h"
#include "types/value.h"

namespace zembrel::shadow {

struct MergeResolution;  // shadow/conflicts.h
struct SessionPolicies;  // shadow/conflicts.h

// (table name, key text), ordered by table name and then key text, each
// byte by byte.
struct MergeKey {
    std::string table;
    std::string key;

    auto operator<=>(const MergeKey&) const = default;
};

// What the shadow knew of a key before its first op.
struct BeforeImage {
    enum class Kind : std::uint8_t {
        Inserted,  // the first op inserted the key: the base had no such row as far as the shadow knew
        Absent,    // the first op carried no before-image (version-1 logs)
        Row,       // the first op's before-image, in `row`
    };
    Kind kind = Kind::Absent;
    zembrel::Row row;  // only for Kind::Row

    static BeforeImage inserted() { return {Kind::Inserted, {}}; }
    static BeforeImage absent() { return {Kind::Absent, {}}; }
    static BeforeImage of(zembrel::Row row) { return {Kind::Row, std::move(row)}; }
    bool is_row() const { return kind == Kind::Row; }
    bool operator==(const BeforeImage&) const = default;
};

// The net effect of every op on one merge key.
struct NetChange {
    std::optional<Row> row;  // as the shadow left it; none when the key ends deleted
    BeforeImage before;      // of the first op on the key

    bool operator==(const NetChange&) const = default;
};

// Where the base holds the row of a key.
struct BaseRow {
    std::size_t position = 0;  // in the table's row list
    std::uint64_t rowid = 0;

    bool operator==(const BaseRow&) const = default;
};

// The first column of type Pk, if any.
std::optional<std::size_t> pk_column_of(const Table& table);

// Fails with "schema divergence on '{}': ..." for the first table (in name
// order) that an op names, that the fingerprint map records and that the
// base holds with a different fingerprint. Tables without a recorded
// fingerprint (logs of versions 1 and 2) and tables the base lacks pass.
Status check_schema_divergence(const Database& database, const TableFingerprints& fingerprints,
                               const std::vector<ShadowOp>& ops);

// The Execution error "shadow row width mismatch on '{}' — schema
// divergence": a recorded row whose width is not its table's.
std::unexpected<EngineError> width_mismatch(const std::string& table);

// Owned by the merge operation that built it; positions in `base_keys`
// refer to the Database it was folded against, which must not change while
// the plan is used.
struct MergePlan {
    // Inserts into keyless tables, in op order; never folded.
    std::vector<std::pair<std::string, Row>> keyless_inserts;
    // Every table any op names.
    std::set<std::string> tables;
    // Position of each touched table's primary-key column; none when keyless.
    std::map<std::string, std::optional<std::size_t>> pk_columns;
    // One net change per merge key.
    std::map<MergeKey, NetChange> changes;
    // For each touched keyed table: key text -> where the base holds that
    // key's row (the later row when two share a key text). Only the keys
    // that `changes` names are kept; no other key is ever looked up.
    std::map<std::string, std::map<std::string, BaseRow>> base_keys;

    // Folds the ops (in log order) against the base database; the clear
    // texts of net rows, before-images and keyless inserts at HASH columns
    // are hashed (shadow/clear_texts.h). Errors: "shadow references
    // unknown table '{}'" (checked for every table before any op), "shadow
    // row width mismatch on '{}' — schema divergence" (an insert or update
    // row whose width is not the table's column count), "shadow
    // Update/Delete on table '{}' without PK column", "column '{}': hashing
    // failed: {}". On success a touched keyed table whose row-id list is not
    // as long as its rows has been renumbered 1..n (next row id raised to
    // n + 1 when not above it); on failure the database is unchanged.
    static Result<MergePlan> fold_ops(Database& database, const std::vector<ShadowOp>& ops);

    // Conflict detection (shadow/conflicts.cpp): compares every net change
    // with the base engine's loaded tables, whose Database must be the one
    // the plan was folded against, and resolves the conflicts by the merge
    // policies (the session's, then the base's merge-policy words). A net change that
    // inserted a key and deleted it again resolves to nothing: the base's own
    // row under that key, if any, is kept. Cannot fail; changes nothing.
    MergeResolution detect_conflicts(const LoadedTables& base, const SessionPolicies& policies) const;

    // The base row of a merge key, if the base holds one.
    std::optional<BaseRow> base_row(const MergeKey& key) const;
};

}  // namespace zembrel::shadow
