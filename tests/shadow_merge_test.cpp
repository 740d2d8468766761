// Merge planning and conflict detection: net changes, conflict records and
// outcomes against a plain model over random histories, policy order and
// report lines, planning errors and their order, key texts, and the policy
// words.
#include <gtest/gtest.h>

#include <random>

#include "engine/engine.h"
#include "hash_column/hash_column.h"
#include "shadow/conflicts.h"
#include "shadow/merge_plan.h"
#include "shadow/session.h"
#include "types/merge_policy.h"

namespace zembrel::testing {
namespace {

using namespace shadow;
using Tag = ConflictKind::Tag;
using P = MergePolicy;

Column col(const char* name, DataTypeKind kind) { return {name, DataType::of(kind), std::nullopt, std::nullopt, true}; }
Row r(std::int64_t id, std::int64_t a, std::int64_t b) { return {Value::integer(id), Value::integer(a), Value::integer(b)}; }

// Tables t (id PK, a INT, b INT) holding the given rows, and keyless k (x INT).
Engine base_with(std::vector<Row> rows) {
    Engine e;
    Table t{"t", {col("id", DataTypeKind::Pk), col("a", DataTypeKind::Int), col("b", DataTypeKind::Int)}, std::move(rows), {}, 1};
    t.renumber_rowids();
    e.tables.database.tables["t"] = std::move(t);
    e.tables.database.tables["k"] = Table{"k", {col("x", DataTypeKind::Int)}, {}, {}, 1};
    return e;
}

// What the resolution writes for a key; none when the key is not resolved.
std::optional<std::optional<Row>> resolved_of(const MergeResolution& res, const MergeKey& key) {
    auto it = res.resolved.find(key);
    if (it == res.resolved.end()) return std::nullopt;
    return it->second;
}

ShadowOp ins(Row row) { return ShadowOp::insert("t", std::move(row)); }
ShadowOp upd(std::optional<Row> before, Row row) { return ShadowOp::update("t", Value::integer(1), std::move(before), std::move(row)); }
ShadowOp del(std::optional<Row> before) { return ShadowOp::remove("t", Value::integer(1), std::move(before)); }


TEST(MergePlanning, PolicyOrderAndReportLines) {
    Engine base = base_with({r(1, 5, 5)});
    for (const char* name : {"u", "v"}) {
        base.tables.database.tables[name] = base.tables.database.tables["t"];
        base.tables.database.tables[name].name = name;
    }
    base.tables.merge_policies = {{"t", " Manual "}, {"u", "bogus"}, {"v", "lww"}};  // bogus: the default applies
    std::vector<ShadowOp> ops;
    for (const char* name : {"v", "t", "u"}) ops.push_back(ShadowOp::update(name, Value::integer(1), r(1, 0, 0), r(1, 1, 6)));
    auto plan = MergePlan::fold_ops(base.tables.database, ops);
    ASSERT_TRUE(plan.has_value());
    auto lines = [&](SessionPolicies p) { return format_conflict_lines(plan->detect_conflicts(base.tables, p).conflicts); };
    EXPECT_EQ(lines({{{"V", P::Error}}, P::FieldMerge}),  // an override applies to its exact name only
              (std::vector<std::string>{"t[1]: update diverged (Skipped)", "u[1]: same columns edited on both sides: a, b (Aborted)",
                                        "v[1]: update diverged (Ours)"}));
    EXPECT_EQ(lines({{{"t", P::Error}, {"v", P::Manual}}, P::Lww}),
              (std::vector<std::string>{"t[1]: update diverged (Aborted)", "u[1]: update diverged (Ours)",
                                        "v[1]: update diverged (Skipped)"}));
    const auto aborted = aborted_conflicts(plan->detect_conflicts(base.tables, {{}, P::Error}).conflicts);
    ASSERT_EQ(aborted.size(), 1u);  // t and v keep their catalog policies
    EXPECT_EQ(aborted[0].table, "u");
}

// The rules, written plainly for one key.
struct Expected {
    std::optional<Tag> kind;
    MergeOutcome outcome = MergeOutcome::Aborted;
    std::optional<std::optional<Row>> resolved;
    std::vector<std::string> columns;  // of a same-columns clash
};

Expected model(const NetChange& n, const std::optional<Row>& cur, MergePolicy policy) {
    auto same = [](const Row& a, const Row& b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](auto& x, auto& y) { return Value::key_cmp(x, y) == 0; });
    };
    const bool inserted = n.before.kind == BeforeImage::Kind::Inserted, has_before = n.before.is_row();
    if (!n.row && inserted) return {};
    std::optional<Tag> kind;
    if (!n.row) {
        if (cur && has_before && !same(n.before.row, *cur)) kind = Tag::DeleteDiverged;
    } else if (!cur) {
        if (has_before) kind = Tag::UpdateOnDeletedRow;
    } else if (!same(*cur, *n.row)) {
        if (inserted) kind = Tag::InsertOnExistingPk;
        else if (has_before && !same(n.before.row, *cur)) kind = Tag::UpdateDiverged;
    }
    if (!kind) return {std::nullopt, MergeOutcome::Aborted, n.row, {}};
    if (policy == P::Lww) return {kind, MergeOutcome::Ours, n.row, {}};
    if (policy == P::Manual) return {kind, MergeOutcome::Skipped, {}, {}};
    if (policy == P::Error || *kind != Tag::UpdateDiverged) return {kind, MergeOutcome::Aborted, {}, {}};
    Row m = *n.row;
    std::vector<std::string> clash;
    for (size_t j = 0; j < m.size(); ++j) {
        const Value &b = n.before.row[j], &c = (*cur)[j], &s = (*n.row)[j];
        if (same({c}, {s}) || same({s}, {b})) m[j] = c;
        else if (!same({c}, {b})) clash.push_back(j == 1 ? "a" : j == 2 ? "b" : "id");
    }
    if (!clash.empty()) return {Tag::SameColumnsEdited, MergeOutcome::Aborted, {}, clash};
    return {kind, MergeOutcome::Merged, m, {}};
}

TEST(MergePlanning, RandomHistoriesAgainstModel) {
    std::mt19937_64 rng(42);
    std::set<std::pair<Tag, MergeOutcome>> seen;  // the series must reach every rule
    // Now and then a Float where an Int stood: the two never compare equal.
    auto row_for = [&](std::int64_t key) {
        Row row = r(key, std::int64_t(rng() % 3), std::int64_t(rng() % 2));
        if (rng() % 8 == 0) row[1] = Value::floating(double(row[1].as_int()));
        return row;
    };
    for (int round = 0; round < 300; ++round) {
        const MergePolicy policy = MergePolicy::Kind(rng() % 4);
        std::map<std::int64_t, Row> current;
        for (std::int64_t key = 1; key <= 4; ++key)
            if (rng() % 3) current[key] = row_for(key);
        std::vector<Row> rows;
        for (auto& [key, row] : current) rows.push_back(row);
        Engine base = base_with(rows);
        std::vector<ShadowOp> ops;
        std::map<std::int64_t, NetChange> nets;
        for (int i = 0, n = int(rng() % 12); i < n; ++i) {
            const std::int64_t key = 1 + std::int64_t(rng() % 4);
            const std::optional<Row> before = rng() % 4 ? std::optional<Row>(row_for(key)) : std::nullopt;
            const int kind = int(rng() % 3);
            ops.push_back(kind == 0   ? ShadowOp::insert("t", row_for(key))
                          : kind == 1 ? ShadowOp::update("t", Value::integer(key), before, row_for(key))
                                      : ShadowOp::remove("t", Value::integer(key), before));
            const BeforeImage first = kind == 0 ? BeforeImage::inserted() : before ? BeforeImage::of(*before) : BeforeImage::absent();
            nets.try_emplace(key, NetChange{std::nullopt, first}).first->second.row =
                kind == 2 ? std::nullopt : std::optional<Row>(ops.back().row);
        }
        auto plan = MergePlan::fold_ops(base.tables.database, ops);
        ASSERT_TRUE(plan.has_value());
        const MergeResolution res = plan->detect_conflicts(base.tables, SessionPolicies{{}, policy});
        ASSERT_EQ(plan->changes.size(), nets.size());
        size_t record = 0;
        std::uint64_t merged = 0;
        for (const auto& [k, net] : nets) {
            const MergeKey key{"t", std::to_string(k)};
            SCOPED_TRACE("round " + std::to_string(round) + " key " + key.key);
            ASSERT_EQ(plan->changes.at(key), net);
            const std::optional<Row> cur = current.contains(k) ? std::optional(current[k]) : std::nullopt;
            const Expected e = model(net, cur, policy);
            if (e.kind) {
                ASSERT_LT(record, res.conflicts.size());
                const ConflictRecord want{"t", key.key, net.row, net.before.is_row() ? std::optional(net.before.row) : std::nullopt,
                                          cur, ConflictKind{*e.kind, e.columns}, e.outcome};
                EXPECT_EQ(res.conflicts[record++], want);
                seen.emplace(*e.kind, e.outcome);
                merged += e.outcome == MergeOutcome::Merged;
            }
            EXPECT_EQ(resolved_of(res, key), e.resolved);
            EXPECT_EQ(res.skipped.contains(key), e.kind && e.outcome == MergeOutcome::Skipped);
        }
        EXPECT_EQ(record, res.conflicts.size());
        EXPECT_EQ(res.merged, merged);
    }
    EXPECT_EQ(seen.size(), 4u * 3 + 2);  // four kinds under lww, error and manual; field_merge's merge and clash
}

TEST(MergePlanning, ErrorsAndTheirOrder) {
    Engine base = base_with({});
    Database& db = base.tables.database;
    const TableFingerprints stale{{"t", 1}, {"zz", 2}}, current{{"t", schema_fingerprint(db.tables["t"].columns)}};
    const Row one{Value::integer(1)};
    struct Case {
        std::vector<ShadowOp> ops;
        TableFingerprints fingerprints;
        const char* error;  // empty: plans
    };
    const Case cases[] = {
        {{ShadowOp::insert("zz", {}), ins(r(1, 1, 1))}, stale,
         "schema divergence on 't': the shadow was written against a different schema (columns/types changed on main since the snapshot)"},
        {{ins(one), ShadowOp::insert("y", {}), ShadowOp::insert("x", {})}, current, "shadow references unknown table 'x'"},
        {{ins(r(1, 1, 1)), ins(one)}, current, "shadow row width mismatch on 't' — schema divergence"},
        {{ShadowOp::insert("k", {Value::integer(1), Value::integer(2)})}, {}, "shadow row width mismatch on 'k' — schema divergence"},
        {{upd(std::nullopt, one)}, {}, "shadow row width mismatch on 't' — schema divergence"},
        {{ShadowOp::update("k", Value::integer(1), std::nullopt, one)}, {}, "shadow Update/Delete on table 'k' without PK column"},
        {{ShadowOp::remove("k", Value::integer(1), std::nullopt)}, {}, "shadow Update/Delete on table 'k' without PK column"},
        // A delete's before-image may have any width; an unrecorded table never diverges.
        {{del(Row{})}, {{"u", 5}}, ""},
    };
    for (const Case& c : cases) {
        std::string got;
        if (auto st = check_schema_divergence(db, c.fingerprints, c.ops); !st) got = st.error().message;
        else if (auto plan = MergePlan::fold_ops(db, c.ops); !plan) got = plan.error().message;
        EXPECT_EQ(got, c.error);
    }
}

TEST(MergePlanning, KeyTextsKeylessInsertsAndRowIds) {
    Engine base = base_with({});
    Table& t = base.tables.database.tables["t"];
    t.rows = {r(7, 0, 0), {Value::text("7"), Value::integer(1), Value::integer(1)}, r(8, 0, 0)};
    t.rowids = {4};  // not one per row: renumbered by the fold
    t.next_rowid = 2;
    const std::vector<ShadowOp> ops = {
        ShadowOp::insert("k", {Value::integer(1)}),
        ShadowOp::update("t", Value::text("7"), std::nullopt, r(7, 5, 5)),  // keyed by its pk, not by its row
        ShadowOp::insert("k", {Value::integer(2)}),
        ShadowOp::remove("t", Value::integer(7), std::nullopt),  // an Int 7 and a Text "7" are one key
    };
    auto plan = MergePlan::fold_ops(base.tables.database, ops);
    ASSERT_TRUE(plan.has_value());
    EXPECT_EQ(plan->keyless_inserts, (std::vector<std::pair<std::string, Row>>{{"k", {Value::integer(1)}}, {"k", {Value::integer(2)}}}));
    EXPECT_EQ(plan->pk_columns, (std::map<std::string, std::optional<size_t>>{{"k", std::nullopt}, {"t", 0}}));
    EXPECT_EQ(plan->changes, (std::map<MergeKey, NetChange>{{{"t", "7"}, {std::nullopt, BeforeImage::absent()}}}));
    EXPECT_EQ(t.rowids, (std::vector<std::uint64_t>{1, 2, 3}));
    EXPECT_EQ(t.next_rowid, 4u);
    EXPECT_EQ(plan->base_row({"t", "7"}), (BaseRow{1, 2}));  // the later of two rows with one key text
}

// Texts recorded before their column became HASH meet the base hashed, in a
// merge and in a replay alike; a hash under the column's salt, and the base
// row's own text carried along unchanged (whatever wrote it), stay as they
// are. Before-images hashed so still match their base rows.
TEST(MergePlanning, ClearTextsOfHashColumnsAreHashed) {
    Column s = col("s", DataTypeKind::Text);
    s.salt = "salt";
    const std::string hx = *hash_column::hash_value("x", "salt");
    auto h = [](std::int64_t id, std::int64_t a, std::string text) {
        return Row{Value::integer(id), Value::integer(a), Value::text(std::move(text))};
    };
    Engine base;
    Table table{"h", {col("id", DataTypeKind::Pk), col("a", DataTypeKind::Int), s}, {h(1, 0, "legacy"), h(2, 0, hx)}, {}, 1};
    table.renumber_rowids();
    base.tables.database.tables["h"] = table;
    auto upd = [](Row before, Row row) {
        Value key = row[0];
        return ShadowOp::update("h", std::move(key), std::move(before), std::move(row));
    };
    const std::vector<ShadowOp> ops = {upd(h(1, 0, "legacy"), h(1, 5, "legacy")), upd(h(2, 0, "x"), h(2, 5, "x")),
                                       ShadowOp::insert("h", h(3, 0, hx)), ShadowOp::insert("h", h(4, 0, "x"))};
    const std::vector<Row> want = {h(1, 5, "legacy"), h(2, 5, hx), h(3, 0, hx), h(4, 0, hx)};

    auto plan = MergePlan::fold_ops(base.tables.database, ops);
    ASSERT_TRUE(plan.has_value()) << plan.error().display();
    std::vector<Row> rows;
    for (const auto& [key, change] : plan->changes) rows.push_back(change.row.value());
    EXPECT_EQ(rows, want);
    EXPECT_EQ(plan->changes.at({"h", "2"}).before, BeforeImage::of(h(2, 0, hx)));
    EXPECT_TRUE(plan->detect_conflicts(base.tables, {{}, P::Error}).conflicts.empty());

    Engine copy;
    copy.tables.database.tables["h"] = table;
    ASSERT_TRUE(replay_ops(copy, ops));
    EXPECT_EQ(copy.tables.database.tables["h"].rows, want);
}

TEST(MergePolicyWords, Parse) {
    const std::pair<const char*, std::optional<MergePolicy>> cases[] = {
        {"lww", P::Lww},  {"ERROR", P::Error},         {" \t Field-Merge\n", P::FieldMerge}, {"FIELDMERGE", P::FieldMerge},
        {"field_merge", P::FieldMerge}, {"\xE3\x80\x80manual\xC2\xA0", P::Manual},  // U+3000, U+00A0 are white space
        {"field merge", std::nullopt}, {"  ", std::nullopt}, {"lww\xFF", std::nullopt},
        {"MANUAL\xC4\xB0", std::nullopt},  // only ASCII letters are lowered
    };
    for (const auto& [text, policy] : cases) EXPECT_EQ(MergePolicy::parse(text), policy) << text;
    for (auto k : {P::Lww, P::Error, P::FieldMerge, P::Manual}) EXPECT_EQ(MergePolicy::parse(MergePolicy(k).word()), MergePolicy(k));
}

}  // namespace
}  // namespace zembrel::testing
