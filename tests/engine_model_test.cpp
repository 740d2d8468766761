// Randomised differential test of statement execution and the page store
// against a small model kept by the test: random DDL, INSERTs (big texts that
// need overflow chains included), transactions, saves, closes and crash
// copies, each outcome checked against the model; after every reopen the file
// must hold exactly the model's last saved state, with index trees that match
// the rows and every page accounted for once. A second test injects write and
// sync failures and checks that the last commit always survives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bptree/bptree.h"
#include "test_util.h"
#include "fault_vfs.h"
#include "keycodec/keycodec.h"

namespace zembrel::testing {
namespace {

// ---------------------------------------------------------------- the model

struct MCol {
    std::string name;
    DataType type;
    bool not_null = false;
    std::optional<Value> def;  // literal default, already in stored form
    bool blob = false;         // takes big texts; never indexed
};

struct MTable {
    std::vector<MCol> cols;
    std::vector<Row> rows;
    std::optional<size_t> pk() const {
        for (size_t i = 0; i < cols.size(); ++i)
            if (cols[i].type.kind == DataTypeKind::Pk) return i;
        return std::nullopt;
    }
    std::optional<size_t> pos(const std::string& c) const {
        for (size_t i = 0; i < cols.size(); ++i)
            if (cols[i].name == c) return i;
        return std::nullopt;
    }
};

struct MIndex {
    std::string table;
    std::vector<std::string> cols;
    bool unique = false;
    bool operator==(const MIndex&) const = default;
};

struct State {
    std::map<std::string, MTable> tables;
    std::map<std::string, MIndex> indexes;
};

using KeySet = std::set<std::vector<Value>, KeyLess>;

std::optional<std::vector<Value>> key_of(RowView row, const std::vector<size_t>& positions) {
    std::vector<Value> key;
    for (size_t p : positions) {
        if (row[p].is_null()) return std::nullopt;
        key.push_back(row[p]);
    }
    return key;
}

std::vector<size_t> positions_of(const MTable& t, const std::vector<std::string>& cols) {
    std::vector<size_t> out;
    for (const auto& c : cols) out.push_back(*t.pos(c));
    return out;
}

// Whether `rows` repeat a key of the columns (keys holding a Null skipped).
bool has_duplicate(const std::vector<Row>& rows, const std::vector<size_t>& positions) {
    KeySet seen;
    for (const Row& r : rows) {
        auto k = key_of(r, positions);
        if (k && !seen.insert(*k).second) return true;
    }
    return false;
}

std::string sql_literal(const Value& v) {
    switch (v.kind()) {
        case ValueKind::Null: return "NULL";
        case ValueKind::Int: return std::to_string(v.as_int());
        case ValueKind::Bool: return v.as_bool() ? "TRUE" : "FALSE";
        case ValueKind::Float: {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.17g", v.as_float());
            return buf;
        }
        default: {
            std::string out = "'";
            for (char c : v.as_text()) out += (c == '\'' ? std::string("''") : std::string(1, c));
            return out + "'";
        }
    }
}

std::string describe_row(RowView r) {
    std::string s = "(";
    for (size_t i = 0; i < r.size(); ++i) {
        std::string d = r[i].debug();
        if (d.size() > 40) d = d.substr(0, 40) + "...";
        s += (i ? ", " : "") + d;
    }
    return s + ")";
}

// "" when the engine's table equals the model's, else what differs.
std::string diff_table(const Table& t, const MTable& m) {
    std::ostringstream out;
    if (t.columns.size() != m.cols.size()) return "column count differs";
    for (size_t i = 0; i < m.cols.size(); ++i) {
        const Column& c = t.columns[i];
        const MCol& mc = m.cols[i];
        bool pk = mc.type.kind == DataTypeKind::Pk;
        std::optional<Value> def;
        if (c.default_value && !c.default_value->is_today()) def = c.default_value->literal;
        if (c.name != mc.name || !(c.data_type == mc.type) || c.nullable != !(mc.not_null || pk) || def != mc.def)
            out << "column " << i << " differs (" << c.name << " " << c.data_type.display() << "); ";
    }
    if (t.rows.size() != m.rows.size()) out << "row count " << t.rows.size() << " vs model " << m.rows.size() << "; ";
    if (t.rowids.size() != t.rows.size()) out << "rowids/rows length differ; ";
    for (size_t i = 0; i < std::min(t.rows.size(), m.rows.size()); ++i) {
        if (t.rows[i] != m.rows[i]) {
            out << "row " << i << ": " << describe_row(t.rows[i]) << " vs model " << describe_row(m.rows[i]);
            break;
        }
    }
    return out.str();
}

// ------------------------------------------------------ page file structure

// Walks every tree of the page file (catalog, tables, indexes, overflow
// chains) and the free list: each page below page_count must be reached
// exactly once. Also checks every index tree against its table's rows.
class FileAudit {
public:
    explicit FileAudit(Engine& e) : e_(e), pager_(*e.file.page_store->pager), owner_(pager_.page_count()) {}

    std::string run() {
        mark(0, "header");
        tree(pager_.catalog_root(), "catalog");
        std::vector<std::string> names;
        for (const auto& [name, entry] : e_.file.page_store->catalog.entries()) names.push_back(name);
        std::sort(names.begin(), names.end());
        for (const auto& name : names) {
            const CatalogEntry& entry = *e_.file.page_store->catalog.get(name);
            tree(entry.root, "table " + name);
            for (const auto& ix : entry.indexes) {
                tree(ix.root, "index " + ix.name);
                check_index(name, ix);
            }
        }
        free_list();
        for (size_t p = 0; p < owner_.size() && errors_.size() < 20; ++p)
            if (owner_[p].empty()) errors_ += "page " + std::to_string(p) + " leaked; ";
        return errors_;
    }

private:
    void mark(uint64_t page, const std::string& what) {
        if (page >= owner_.size()) {
            errors_ += what + " uses page " + std::to_string(page) + " beyond page count; ";
            return;
        }
        if (!owner_[page].empty()) errors_ += "page " + std::to_string(page) + " used by " + owner_[page] + " and " + what + "; ";
        else owner_[page] = what;
    }
    uint64_t link_of(uint64_t page) {
        PageBuf buf{};
        if (auto st = pager_.read_page_into(page, buf); !st) {
            errors_ += st.error().display() + "; ";
            return 0;
        }
        uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | buf[i];
        return v;
    }
    void tree(uint64_t root, const std::string& what) {
        std::vector<uint64_t> stack{root};
        while (!stack.empty() && errors_.size() < 2000) {
            uint64_t page = stack.back();
            stack.pop_back();
            mark(page, what);
            PageBuf buf{};
            if (auto st = pager_.read_page_into(page, buf); !st) {
                errors_ += st.error().display() + "; ";
                return;
            }
            if (buf[0] == bpt::kLeafType) {
                auto leaf = BPlusTree::read_leaf(pager_, page);
                if (!leaf) {
                    errors_ += leaf.error().display() + "; ";
                    return;
                }
                for (const LeafCell& cell : leaf->cells) {
                    if (!cell.overflow) continue;
                    const size_t chunk = pager_.usable_page_size() - 8;
                    uint64_t p = cell.overflow_page;
                    for (size_t n = (cell.value_len + chunk - 1) / chunk; n > 0 && p != 0; --n) {
                        mark(p, what + " overflow");
                        p = link_of(p);
                    }
                }
            } else if (buf[0] == bpt::kInteriorType) {
                auto node = BPlusTree::read_interior(pager_, page);
                if (!node) {
                    errors_ += node.error().display() + "; ";
                    return;
                }
                for (const InteriorCell& c : node->cells) stack.push_back(c.child);
                stack.push_back(node->right_child);
            } else {
                errors_ += what + " page " + std::to_string(page) + " has type " + std::to_string(buf[0]) + "; ";
            }
        }
    }
    void free_list() {
        for (uint64_t p : free_list_pages(pager_)) mark(p, "free list");
    }
    // The index tree holds exactly one entry per row with no Null key.
    void check_index(const std::string& table, const IndexCatalogEntry& ix) {
        const Table* t = table_of(e_, table);
        if (t == nullptr) return;
        std::map<uint64_t, RowView> by_id;
        for (size_t i = 0; i < t->rows.size(); ++i) by_id[t->rowids[i]] = t->rows[i];
        size_t expected = 0;
        for (const RowView r : t->rows)
            if (key_of(r, ix.positions)) ++expected;
        auto cursor = BPlusTree::seek(pager_, ix.root, std::nullopt);
        if (!cursor) {
            errors_ += cursor.error().display() + "; ";
            return;
        }
        size_t found = 0;
        for (;;) {
            auto kv = cursor->next();
            if (!kv) {
                errors_ += kv.error().display() + "; ";
                return;
            }
            if (!*kv) break;
            ++found;
            auto dk = keycodec::decode_index_key((*kv)->key, ix.positions.size());
            if (!dk) {
                errors_ += "index " + ix.name + ": " + dk.error().display() + "; ";
                return;
            }
            auto it = by_id.find(dk->rowid);
            if (it == by_id.end() || key_of(it->second, ix.positions) != std::optional(dk->values)) {
                errors_ += "index " + ix.name + " holds a stale entry for row id " + std::to_string(dk->rowid) + "; ";
                return;
            }
        }
        if (found != expected)
            errors_ += "index " + ix.name + " has " + std::to_string(found) + " entries for " + std::to_string(expected) +
                       " keyed rows; ";
    }

    Engine& e_;
    Pager& pager_;
    std::vector<std::string> owner_;
    std::string errors_;
};

// ------------------------------------------------------------------ runner

enum class Expect { Ok, Fail };

struct Step {
    std::string sql;
    Expect expect = Expect::Ok;
    std::function<void(State&)> apply;  // on success
};

const char* const kTables[] = {"t0", "t1", "t2", "t3"};
const char* const kIndexes[] = {"i0", "i1", "i2", "i3", "i4", "i5"};

class Runner {
public:
    // `memory`: an in-memory database (its backing file through `vfs`),
    // never reopened; a failure must leave it at its last commit in place.
    Runner(uint64_t seed, std::shared_ptr<FaultVfs> vfs, bool memory = false)
        : rng_(seed), seed_(seed), vfs_(std::move(vfs)), memory_(memory) {
        path_ = dir_.path("model.db");
        if (memory_) {
            engine_.file.vfs = vfs_;
            if (auto store = engine_.ensure_page_store(); !store) ADD_FAILURE() << store.error().display();
        } else {
            engine_ = vfs_ ? must(Engine::create_page_file(path_, vfs_)) : must(storage::open(path_));
        }
        tune();
    }

    bool failed() const { return ::testing::Test::HasFailure(); }

    // One random action: a statement (with the save that follows it outside
    // a transaction), a reopen or a crash copy.
    void step() {
        ++steps_;
        int dice = pick(100);
        if (dice < 3 && !memory_) return reopen(false);
        if (dice < 5 && !memory_) return reopen(true);
        run_statement(generate());
    }

private:
    // ------------------------------------------------------- randomness
    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
    bool chance(int percent) { return static_cast<int>(pick(100)) < percent; }

    // A name from the pool; usually one that exists in `present` (or, with
    // want_present false, one that does not), sometimes any.
    template <class Map, size_t N>
    std::string name_from(const char* const (&pool)[N], const Map& present, bool want_present) {
        std::vector<std::string> fit;
        for (const char* n : pool)
            if (present.count(n) == (want_present ? 1u : 0u)) fit.push_back(n);
        if (fit.empty() || chance(10)) return pool[pick(N)];
        return fit[pick(fit.size())];
    }

    void tune() {
        // A small cache makes statements spill dirty pages into the log.
        if (engine_.file.page_store) engine_.file.page_store->pager->set_cache_capacity(vfs_ ? 3 : 48);
        // Every other engine loads and indexes tables of any size with
        // worker threads.
        engine_.tables.parallel_rows = ++tunes_ % 2 == 0 ? 1 : LoadedTables::kParallelRows;
    }

    std::string context() const {
        std::string s = "seed " + std::to_string(seed_) + ", step " + std::to_string(steps_) + "; recent:\n";
        for (const auto& t : trace_) s += "  " + (t.size() > 200 ? t.substr(0, 200) + "..." : t) + "\n";
        return s;
    }
    void note(std::string s) {
        trace_.push_back(std::move(s));
        if (trace_.size() > 25) trace_.erase(trace_.begin());
    }

    // -------------------------------------------------------- generators
    // A value for the column; `wild` allows values the column refuses
    // (Null into NOT NULL, texts too long for STRING(n)), which set `bad`.
    Value gen_value(const MCol& c, std::string& sql, bool wild, bool& bad) {
        if (chance(8) && (wild || !c.not_null || c.def)) {
            sql = "NULL";
            return Value::null();
        }
        // Mostly distinct values; a few from a small range collide in unique indexes.
        int k = static_cast<int>(chance(20) ? pick(10) : pick(1000));
        switch (c.type.kind) {
            case DataTypeKind::Int:
                if (chance(10)) k = -k;
                sql = std::to_string(k);
                return Value::integer(k);
            case DataTypeKind::Float:
                if (chance(30)) {
                    sql = std::to_string(k);
                    return Value::floating(k);
                }
                sql = std::to_string(k) + ".25";
                return Value::floating(k + 0.25);
            case DataTypeKind::Bool:
                sql = k % 2 ? "TRUE" : "FALSE";
                return Value::boolean(k % 2);
            case DataTypeKind::Date: {
                int day = k % 28 + 1, month = k / 28 % 12 + 1;
                std::string d = "20" + std::to_string(10 + k / 336) + (month < 10 ? "-0" : "-") + std::to_string(month) +
                                (day < 10 ? "-0" : "-") + std::to_string(day);
                sql = "'" + d + "'";
                return Value::date(d);
            }
            case DataTypeKind::Str: {
                size_t len = 1 + pick(c.type.size);
                if (wild && chance(20)) {
                    len = c.type.size + 1 + pick(3);
                    bad = true;
                }
                std::string s = std::to_string(k);
                s.resize(len, 'z');
                sql = "'" + s + "'";
                return Value::text(s);
            }
            default: {
                std::string s;
                if (c.blob && chance(25)) {
                    size_t len = 1000 + pick(2100);
                    for (size_t i = 0; i < len; ++i) s += static_cast<char>('a' + (i * 7 + k) % 26);
                } else {
                    s = "s" + std::to_string(k) + (c.blob ? "x" : "");
                }
                sql = "'" + s + "'";
                return Value::text(s);
            }
        }
    }

    Step gen_create_table() {
        std::string name = name_from(kTables, cur_.tables, false);
        Step st;
        if (cur_.tables.count(name)) {
            st.sql = "CREATE TABLE " + name + " (a INT)";
            st.expect = Expect::Fail;
            return st;
        }
        MTable t;
        size_t ncols = 1 + pick(4);
        std::optional<size_t> pk_at;
        if (chance(40)) pk_at = pick(ncols + 1);
        for (size_t i = 0; i <= ncols; ++i) {
            if (pk_at == i) t.cols.push_back(MCol{"id", DataType::of(DataTypeKind::Pk), false, std::nullopt, false});
            if (i == ncols) break;
            MCol c;
            c.name = "c" + std::to_string(i);
            switch (pick(6)) {
                case 0: c.type = DataType::of(DataTypeKind::Int); break;
                case 1: c.type = DataType::of(DataTypeKind::Text); break;
                case 2: c.type = DataType::of(DataTypeKind::Float); break;
                case 3: c.type = DataType::of(DataTypeKind::Bool); break;
                case 4: c.type = DataType::of(DataTypeKind::Date); break;
                default: c.type = DataType::str(static_cast<uint16_t>(3 + pick(6))); break;
            }
            c.not_null = chance(20);
            if (chance(25)) {
                switch (c.type.kind) {
                    case DataTypeKind::Int: c.def = Value::integer(7); break;
                    case DataTypeKind::Text: c.def = Value::text("dflt"); break;
                    case DataTypeKind::Float: c.def = Value::floating(2.5); break;
                    case DataTypeKind::Bool: c.def = Value::boolean(true); break;
                    case DataTypeKind::Date: c.def = Value::date("2020-02-02"); break;
                    default: c.def = Value::text("d"); break;
                }
            }
            t.cols.push_back(c);
        }
        if (chance(40)) t.cols.push_back(MCol{"blob", DataType::of(DataTypeKind::Text), false, std::nullopt, true});
        st.sql = "CREATE TABLE " + name + " (";
        for (size_t i = 0; i < t.cols.size(); ++i) {
            const MCol& c = t.cols[i];
            st.sql += (i ? ", " : "") + c.name + " " + c.type.display();
            if (c.not_null) st.sql += " NOT NULL";
            if (c.def) {
                Value shown = c.def->kind() == ValueKind::Date ? Value::text(c.def->as_text()) : *c.def;
                st.sql += " DEFAULT (" + sql_literal(shown) + ")";
            }
        }
        st.sql += ")";
        st.apply = [name, t](State& s) { s.tables[name] = t; };
        return st;
    }

    Step gen_insert() {
        std::string name = name_from(kTables, cur_.tables, true);
        Step st;
        auto it = cur_.tables.find(name);
        if (it == cur_.tables.end()) {
            st.sql = "INSERT INTO " + name + " VALUES (1)";
            st.expect = Expect::Fail;
            return st;
        }
        const MTable& t = it->second;
        std::vector<size_t> listed;
        bool with_list = chance(35);
        for (size_t i = 0; i < t.cols.size(); ++i)
            if (t.cols[i].type.kind != DataTypeKind::Pk && (!with_list || chance(70))) listed.push_back(i);
        if (listed.empty()) {
            for (size_t i = 0; i < t.cols.size(); ++i)
                if (t.cols[i].type.kind != DataTypeKind::Pk) listed.push_back(i);
            with_list = false;
        }
        if (with_list) std::shuffle(listed.begin(), listed.end(), rng_);
        size_t nrows = chance(70) ? 1 + pick(5) : 1 + pick(20);
        bool bad = false, wild = chance(15);
        std::vector<Row> rows;
        st.sql = "INSERT INTO " + name;
        if (with_list) {
            st.sql += " (";
            for (size_t i = 0; i < listed.size(); ++i) st.sql += (i ? ", " : "") + t.cols[listed[i]].name;
            st.sql += ")";
        }
        st.sql += " VALUES ";
        for (size_t r = 0; r < nrows; ++r) {
            Row row(t.cols.size());
            std::vector<bool> given(t.cols.size(), false);
            st.sql += r ? ", (" : "(";
            for (size_t i = 0; i < listed.size(); ++i) {
                std::string lit;
                const MCol& c = t.cols[listed[i]];
                Value v = gen_value(c, lit, wild, bad);
                if (v.is_null() && c.def) v = *c.def;  // an explicit NULL takes the default
                row[listed[i]] = v;
                given[listed[i]] = true;
                st.sql += (i ? ", " : "") + lit;
            }
            st.sql += ")";
            for (size_t i = 0; i < t.cols.size(); ++i) {
                const MCol& c = t.cols[i];
                if (c.type.kind == DataTypeKind::Pk) continue;
                if (!given[i] && c.def) row[i] = *c.def;
                if (row[i].is_null() && c.not_null) bad = true;
            }
            rows.push_back(std::move(row));
        }
        // Unique indexes: the new keys against the old rows and each other.
        for (const auto& [iname, ix] : cur_.indexes) {
            if (ix.table != name || !ix.unique) continue;
            auto pos = positions_of(t, ix.cols);
            KeySet keys;
            for (const Row& r : t.rows)
                if (auto k = key_of(r, pos)) keys.insert(*k);
            for (const Row& r : rows)
                if (auto k = key_of(r, pos); k && !keys.insert(*k).second) bad = true;
        }
        st.expect = bad ? Expect::Fail : Expect::Ok;
        st.apply = [this, name, rows](State& s) {
            MTable& mt = s.tables.at(name);
            const Table* et = table_of(engine_, name);
            auto pk = mt.pk();
            size_t first = et ? et->rows.size() - std::min(et->rows.size(), rows.size()) : 0;
            for (size_t i = 0; i < rows.size(); ++i) {
                Row r = rows[i];
                // Generated keys cannot be predicted: take the engine's.
                if (pk && et && first + i < et->rows.size()) r[*pk] = et->rows[first + i][*pk];
                mt.rows.push_back(std::move(r));
            }
        };
        return st;
    }

    Step gen_create_index() {
        std::string iname = name_from(kIndexes, cur_.indexes, false);
        std::string tname = name_from(kTables, cur_.tables, true);
        Step st;
        bool unique = chance(50);
        auto it = cur_.tables.find(tname);
        std::vector<std::string> cols;
        if (it != cur_.tables.end()) {
            std::vector<std::string> candidates;
            for (const MCol& c : it->second.cols)
                if (!c.blob && (c.type.kind != DataTypeKind::Pk || chance(5))) candidates.push_back(c.name);
            std::shuffle(candidates.begin(), candidates.end(), rng_);
            size_t n = std::min<size_t>(candidates.size(), chance(70) ? 1 : 2);
            cols.assign(candidates.begin(), candidates.begin() + n);
        }
        if (cols.empty()) cols.push_back("c0");
        st.sql = std::string("CREATE ") + (unique ? "UNIQUE " : "") + "INDEX " + iname + " ON " + tname + " (";
        for (size_t i = 0; i < cols.size(); ++i) st.sql += (i ? ", " : "") + cols[i];
        st.sql += ")";
        bool fail = cur_.indexes.count(iname) || it == cur_.tables.end();
        if (!fail) {
            const MTable& t = it->second;
            for (const auto& c : cols)
                if (!t.pos(c) || t.cols[*t.pos(c)].type.kind == DataTypeKind::Pk) fail = true;
            for (const auto& [n, ix] : cur_.indexes)
                if (ix.table == tname && ix.cols == cols) fail = true;
            if (!fail && unique && has_duplicate(t.rows, positions_of(t, cols))) fail = true;
        }
        // Inside a transaction too the check is against the rows it sees:
        // the index reaches the file only with the COMMIT of those rows.
        st.expect = fail ? Expect::Fail : Expect::Ok;
        st.apply = [iname, tname, cols, unique](State& s) { s.indexes[iname] = MIndex{tname, cols, unique}; };
        return st;
    }

    // ------------------------------------------ UPDATE, DELETE, ALTER
    // Three-valued truth: 0 false, 1 true, 2 unknown.
    using Truth3 = int;
    struct MCond {
        enum Kind { Cmp, IsNull, Not, And, Or } kind = Cmp;
        size_t col = 0;
        std::string op;  // "=", "<>", "<", ">"
        Value lit;
        std::vector<MCond> kids;
    };
    static Truth3 eval_cond(const MCond& c, const Row& row) {
        switch (c.kind) {
            case MCond::IsNull: return row[c.col].is_null() ? 1 : 0;
            case MCond::Not: {
                Truth3 t = eval_cond(c.kids[0], row);
                return t == 2 ? 2 : 1 - t;
            }
            case MCond::And: {
                Truth3 a = eval_cond(c.kids[0], row), b = eval_cond(c.kids[1], row);
                if (a == 0 || b == 0) return 0;
                return a == 1 && b == 1 ? 1 : 2;
            }
            case MCond::Or: {
                Truth3 a = eval_cond(c.kids[0], row), b = eval_cond(c.kids[1], row);
                if (a == 1 || b == 1) return 1;
                return a == 0 && b == 0 ? 0 : 2;
            }
            default: {
                if (row[c.col].is_null() || c.lit.is_null()) return 2;
                auto o = Value::sql_cmp(row[c.col], c.lit);
                bool r = c.op == "=" ? o == 0 : c.op == "<>" ? o != 0 : c.op == "<" ? o < 0 : c.op == ">" ? o > 0
                         : c.op == "<=" ? o <= 0 : o >= 0;
                return r ? 1 : 0;
            }
        }
    }

    // A condition over the table's columns (values often taken from its rows,
    // so that index lookups hit), with its SQL text.
    MCond gen_cond(const MTable& t, std::string& sql, int depth = 0) {
        MCond c;
        if (depth < 2 && chance(25)) {
            c.kind = chance(50) ? MCond::And : MCond::Or;
            std::string a, b;
            c.kids.push_back(gen_cond(t, a, depth + 1));
            c.kids.push_back(gen_cond(t, b, depth + 1));
            sql = "(" + a + (c.kind == MCond::And ? " AND " : " OR ") + b + ")";
            return c;
        }
        if (depth < 2 && chance(15)) {
            c.kind = MCond::Not;
            std::string a;
            c.kids.push_back(gen_cond(t, a, depth + 1));
            sql = "NOT (" + a + ")";
            return c;
        }
        std::vector<size_t> cols;
        for (size_t i = 0; i < t.cols.size(); ++i)
            if (!t.cols[i].blob) cols.push_back(i);
        if (cols.empty()) cols.push_back(0);
        c.col = cols[pick(cols.size())];
        const MCol& col = t.cols[c.col];
        if (chance(15)) {
            c.kind = MCond::IsNull;
            sql = col.name + " IS NULL";
            return c;
        }
        static const char* const kOps[] = {"=", "=", "=", "<>", "<", ">", "<=", ">="};
        c.op = kOps[pick(8)];
        if (!t.rows.empty() && (col.type.kind == DataTypeKind::Pk || chance(60))) {
            c.lit = t.rows[pick(t.rows.size())][c.col];
        } else {
            bool bad = false;
            std::string lit;
            c.lit = gen_value(col, lit, false, bad);
        }
        Value shown = c.lit;
        if (shown.kind() == ValueKind::Date || shown.kind() == ValueKind::Uuid) shown = Value::text(shown.as_text());
        sql = col.name + " " + c.op + " " + sql_literal(shown);
        return c;
    }

    // Positions of the rows a WHERE passes (all without one).
    static std::vector<size_t> matching(const MTable& t, const std::optional<MCond>& where) {
        std::vector<size_t> out;
        for (size_t i = 0; i < t.rows.size(); ++i)
            if (!where || eval_cond(*where, t.rows[i]) == 1) out.push_back(i);
        return out;
    }

    bool unique_clash(const std::string& table, const MTable& t) const {
        for (const auto& [iname, ix] : cur_.indexes)
            if (ix.table == table && ix.unique && has_duplicate(t.rows, positions_of(t, ix.cols))) return true;
        return false;
    }

    Step gen_update() {
        std::string name = name_from(kTables, cur_.tables, true);
        auto it = cur_.tables.find(name);
        if (it == cur_.tables.end()) return Step{"UPDATE " + name + " SET a = 1", Expect::Fail, nullptr};
        const MTable& t = it->second;
        Step st;
        st.sql = "UPDATE " + name + " SET ";
        std::vector<std::pair<size_t, Value>> sets;
        bool bad = false, wild = chance(10);
        size_t n = 1 + pick(2);
        for (size_t k = 0; k < n; ++k) {
            size_t i = pick(t.cols.size());
            const MCol& c = t.cols[i];
            std::string lit;
            if (c.type.kind == DataTypeKind::Pk) {
                bad = true;
                lit = "'x'";
            } else {
                Value v = gen_value(c, lit, wild, bad);
                if (v.is_null() && c.def) v = *c.def;
                if (v.is_null() && c.not_null) bad = true;
                sets.emplace_back(i, v);
            }
            st.sql += (k ? ", " : "") + c.name + " = " + lit;
        }
        std::optional<MCond> where;
        if (chance(85)) {
            std::string w;
            where = gen_cond(t, w);
            st.sql += " WHERE " + w;
        }
        MTable after = t;
        for (size_t p : matching(t, where))
            for (const auto& [i, v] : sets) after.rows[p][i] = v;
        if (!bad && unique_clash(name, after)) bad = true;
        st.expect = bad ? Expect::Fail : Expect::Ok;
        st.apply = [name, after](State& s) { s.tables[name] = after; };
        return st;
    }

    Step gen_delete() {
        std::string name = name_from(kTables, cur_.tables, true);
        auto it = cur_.tables.find(name);
        if (it == cur_.tables.end()) return Step{"DELETE FROM " + name, Expect::Fail, nullptr};
        const MTable& t = it->second;
        Step st;
        st.sql = "DELETE FROM " + name;
        std::optional<MCond> where;
        if (chance(90)) {
            std::string w;
            where = gen_cond(t, w);
            st.sql += " WHERE " + w;
        }
        MTable after = t;
        after.rows.clear();
        std::vector<size_t> gone = matching(t, where);
        for (size_t i = 0, g = 0; i < t.rows.size(); ++i) {
            if (g < gone.size() && gone[g] == i) ++g;
            else after.rows.push_back(t.rows[i]);
        }
        st.apply = [name, after](State& s) { s.tables[name] = after; };
        return st;
    }

    Step gen_alter() {
        std::string name = name_from(kTables, cur_.tables, true);
        auto it = cur_.tables.find(name);
        if (it == cur_.tables.end()) return Step{"ALTER TABLE " + name + " DROP COLUMN c0", Expect::Fail, nullptr};
        const MTable& t = it->second;
        Step st;
        const int action = static_cast<int>(pick(100));
        if (action < 35) {
            MCol c;
            c.name = chance(10) ? t.cols[pick(t.cols.size())].name : "a" + std::to_string(pick(6));
            c.type = chance(50) ? DataType::of(DataTypeKind::Int) : DataType::str(static_cast<uint16_t>(3 + pick(4)));
            c.not_null = chance(30);
            if (chance(50)) c.def = c.type.kind == DataTypeKind::Int ? Value::integer(9) : Value::text("n");
            st.sql = "ALTER TABLE " + name + " ADD COLUMN " + c.name + " " + c.type.display();
            if (c.not_null) st.sql += " NOT NULL";
            if (c.def) st.sql += " DEFAULT (" + sql_literal(*c.def) + ")";
            bool fail = t.pos(c.name).has_value() || (c.not_null && !c.def && !t.rows.empty());
            st.expect = fail ? Expect::Fail : Expect::Ok;
            st.apply = [name, c](State& s) {
                MTable& mt = s.tables.at(name);
                mt.cols.push_back(c);
                for (Row& r : mt.rows) r.push_back(c.def ? *c.def : Value::null());
            };
            return st;
        }
        if (action < 65) {
            size_t i = pick(t.cols.size());
            // A table left with its Pk column only could take no INSERT text.
            size_t plain = 0;
            for (const MCol& c : t.cols) plain += c.type.kind == DataTypeKind::Pk ? 0 : 1;
            if (plain == 1 && t.pk() && t.cols[i].type.kind != DataTypeKind::Pk) return gen_update();
            std::string col = chance(5) ? "zz" : t.cols[i].name;
            st.sql = "ALTER TABLE " + name + " DROP COLUMN " + col;
            bool fail = col == "zz" || t.cols[i].type.kind == DataTypeKind::Pk || t.cols.size() == 1;
            st.expect = fail ? Expect::Fail : Expect::Ok;
            st.apply = [this, name, col](State& s) {
                MTable& mt = s.tables.at(name);
                size_t p = *mt.pos(col);
                mt.cols.erase(mt.cols.begin() + static_cast<std::ptrdiff_t>(p));
                for (Row& r : mt.rows) r.erase(r.begin() + static_cast<std::ptrdiff_t>(p));
                for (auto ix = s.indexes.begin(); ix != s.indexes.end();) {
                    bool gone = ix->second.table == name &&
                                std::find(ix->second.cols.begin(), ix->second.cols.end(), col) != ix->second.cols.end();
                    ix = gone ? s.indexes.erase(ix) : std::next(ix);
                }
            };
            return st;
        }
        if (action < 90) {
            size_t i = pick(t.cols.size());
            const MCol& old = t.cols[i];
            MCol c = old;
            c.def.reset();
            c.not_null = chance(30);
            const bool textual = old.type.kind == DataTypeKind::Text || old.type.kind == DataTypeKind::Str;
            if (textual && !old.blob && chance(70))
                c.type = chance(30) ? DataType::of(DataTypeKind::Text) : DataType::str(static_cast<uint16_t>(2 + pick(6)));
            else if (chance(15))
                c.type = old.type.kind == DataTypeKind::Int ? DataType::of(DataTypeKind::Float) : DataType::of(DataTypeKind::Int);
            st.sql = "ALTER TABLE " + name + " MODIFY COLUMN " + c.name + " " + c.type.display() + (c.not_null ? " NOT NULL" : "");
            bool fail = old.type.kind == DataTypeKind::Pk || (!(old.type == c.type) && !(textual && (c.type.kind == DataTypeKind::Text || c.type.kind == DataTypeKind::Str)));
            for (const Row& r : t.rows) {
                if (c.not_null && r[i].is_null()) fail = true;
                if (c.type.kind == DataTypeKind::Str && r[i].kind() == ValueKind::Text && r[i].as_text().size() > c.type.size) fail = true;
            }
            st.expect = fail ? Expect::Fail : Expect::Ok;
            st.apply = [name, i, c](State& s) { s.tables.at(name).cols[i] = c; };
            return st;
        }
        static const char* const kWords[] = {"lww", "Field-Merge", "manual", "bogus", "DEFAULT"};
        std::string word = kWords[pick(5)];
        st.sql = "ALTER TABLE " + name + " SET MERGE POLICY " + (word == "DEFAULT" ? word : "'" + word + "'");
        st.expect = word == "bogus" ? Expect::Fail : Expect::Ok;
        return st;
    }

    Step gen_drop_index() {
        std::string iname = name_from(kIndexes, cur_.indexes, true);
        Step st{"DROP INDEX " + iname, cur_.indexes.count(iname) ? Expect::Ok : Expect::Fail, nullptr};
        st.apply = [iname](State& s) { s.indexes.erase(iname); };
        return st;
    }

    Step gen_drop_table() {
        std::string name = name_from(kTables, cur_.tables, true);
        Step st{"DROP TABLE " + name, cur_.tables.count(name) ? Expect::Ok : Expect::Fail, nullptr};
        st.apply = [name](State& s) {
            s.tables.erase(name);
            std::erase_if(s.indexes, [&](const auto& kv) { return kv.second.table == name; });
        };
        return st;
    }

    Step gen_truncate() {
        std::string name = name_from(kTables, cur_.tables, true);
        Step st{"TRUNCATE TABLE " + name, cur_.tables.count(name) ? Expect::Ok : Expect::Fail, nullptr};
        st.apply = [name](State& s) { s.tables.at(name).rows.clear(); };
        return st;
    }

    Step gen_transaction() {
        if (!in_txn_) {
            Step st{"BEGIN", Expect::Ok, nullptr};
            st.apply = [this](State& s) {
                in_txn_ = true;
                txn_base_ = s;
            };
            return st;
        }
        if (chance(5)) return Step{"BEGIN", Expect::Fail, nullptr};
        if (chance(50)) {
            Step st{"COMMIT", Expect::Ok, nullptr};
            st.apply = [this](State&) { in_txn_ = false; };
            return st;
        }
        Step st{"ROLLBACK", Expect::Ok, nullptr};
        st.apply = [this](State& s) { rollback_model(s); };
        return st;
    }

    // Tables and index definitions return to their state at BEGIN.
    void rollback_model(State& s) {
        s = txn_base_;
        in_txn_ = false;
    }

    Step generate() {
        int d = static_cast<int>(pick(100));
        if (d < 30) return gen_insert();
        if (d < 43) return gen_update();
        if (d < 50) return gen_delete();
        if (d < 55) return gen_alter();
        if (d < 62) return gen_create_table();
        if (d < 64) return gen_drop_table();
        if (d < 66) return gen_truncate();
        if (d < 76) return gen_create_index();
        if (d < 80) return gen_drop_index();
        if (d < 82 && !in_txn_) return Step{"COMMIT", Expect::Fail, nullptr};
        return gen_transaction();
    }

    // ------------------------------------------------------------ running
    void run_statement(Step st) {
        note(st.sql);
        const uint64_t injected_before = vfs_ ? vfs_->injected() : 0;
        if (vfs_ && chance(40)) arm_fault();
        auto r = run(engine_, st.sql);
        const bool injected = vfs_ && vfs_->injected() != injected_before;
        if (vfs_) vfs_->clear();
        if (injected) return after_injected_statement(r.has_value());

        if (r && st.expect == Expect::Fail) {
            ADD_FAILURE() << "succeeded, model expected failure: " << st.sql << "\n" << context();
            return;
        }
        if (!r && st.expect == Expect::Ok) {
            ADD_FAILURE() << "failed: " << r.error().display() << "\n" << context();
            return;
        }
        if (r && st.apply) st.apply(cur_);
        if (!r) note("  -> " + r.error().display());
        if (engine_.in_transaction() != in_txn_) {
            ADD_FAILURE() << "transaction state differs after " << st.sql << "\n" << context();
            return;
        }
        check_memory();
        // Where the key trees are restored or kept rather than rebuilt.
        if (st.sql == "ROLLBACK" || st.sql == "COMMIT") {
            if (std::string d = compare_index_content(); !d.empty()) ADD_FAILURE() << d << "\n" << context();
        }
        if (!in_txn_) save();
    }

    void arm_fault() {
        // The backing file is read back too: its evicted committed pages.
        FaultOp op = chance(70) ? FaultOp::Write : memory_ && chance(50) ? FaultOp::Read : FaultOp::Sync;
        vfs_->fail_nth(op, 1 + pick(op == FaultOp::Write ? 5 : 2), "", chance(25));
    }

    void save() {
        const uint64_t injected_before = vfs_ ? vfs_->injected() : 0;
        if (vfs_ && chance(15)) arm_fault();
        auto st = storage::save(engine_);
        const bool injected = vfs_ && vfs_->injected() != injected_before;
        if (!injected) {
            if (vfs_) vfs_->clear();
            if (!st) {
                ADD_FAILURE() << "save failed: " << st.error().display() << "\n" << context();
                return;
            }
            committed_ = cur_;
            if (std::string d = FileAudit(engine_).run(); !d.empty())
                ADD_FAILURE() << "page file after a statement: " << d << "\n" << context();
            return;
        }
        note(std::string("  save with an injected fault -> ") + (st ? "ok" : st.error().display()));
        if (memory_) return after_memory_save(st.has_value());
        if (!st && chance(50)) {
            // The engine stays usable: the next save makes everything durable.
            vfs_->clear();
            if (auto again = storage::save(engine_); !again) {
                ADD_FAILURE() << "save after a failed save: " << again.error().display() << "\n" << context();
                return;
            }
            committed_ = cur_;
            return;
        }
        // Maybe durable, maybe not: the file must hold one of the two states.
        State before = committed_;
        drop_engine_with_fault();
        open_healthy();
        if (failed()) return;
        if (st) {
            committed_ = cur_;
        } else {
            std::string as_new = compare_file(cur_);
            committed_ = as_new.empty() ? cur_ : before;
        }
        cur_ = committed_;
        full_check("after a save with an injected fault");
    }

    // An in-memory save that met an injected fault: done, or failed and
    // then (as the auto-save does) returned to the last commit.
    void after_memory_save(bool saved) {
        vfs_->clear();
        if (saved) {
            committed_ = cur_;
        } else {
            if (auto st = engine_.reset_to_last_commit(); !st)
                ADD_FAILURE() << "reset after a failed save: " << st.error().display() << "\n" << context();
            cur_ = committed_;
        }
        full_check("after an in-memory save with an injected fault");
    }

    // A statement hit an injected failure. Either it failed before any page
    // changed and changed nothing (an open transaction stays open), or the
    // engine went back to its last commit; a reopen must show the last commit.
    // In memory that last commit must be there without a reopen.
    void after_injected_statement(bool succeeded) {
        note(std::string("  injected fault -> ") + (succeeded ? "ok" : "failed"));
        if (!succeeded && engine_.in_transaction()) {
            if (!in_txn_) ADD_FAILURE() << "a failed statement opened a transaction\n" << context();
            if (std::string d = compare_loaded(cur_, false); !d.empty())
                ADD_FAILURE() << "memory after a failed statement: " << d << "\n" << context();
        } else if (!succeeded) {
            if (auto st = engine_.load_all_tables(); !st) {
                ADD_FAILURE() << "load after failure: " << st.error().display() << "\n" << context();
                return;
            }
            std::string d = compare_loaded(committed_, true);
            if (!d.empty()) ADD_FAILURE() << "memory after a failed statement: " << d << "\n" << context();
        }
        if (memory_) {
            if (!succeeded && engine_.in_transaction()) return;  // memory checked above
            // What a reopen shows of a file: the last commit, here in place.
            if (succeeded) {
                if (auto st = engine_.reset_to_last_commit(); !st)
                    ADD_FAILURE() << "reset to the last commit: " << st.error().display() << "\n" << context();
            }
            cur_ = committed_;
            in_txn_ = false;
            full_check("after an injected fault in memory");
            return;
        }
        drop_engine_with_fault();
        open_healthy();
        cur_ = committed_;
        in_txn_ = false;
        full_check("after an injected statement failure");
    }

    void drop_engine_with_fault() {
        // Half the time the disk keeps failing while the handle closes.
        if (chance(50)) vfs_->fail_nth(chance(50) ? FaultOp::Write : FaultOp::Sync, 1, "", true);
        engine_ = Engine();
        vfs_->clear();
    }

    void open_healthy() {
        vfs_ = std::make_shared<FaultVfs>();
        engine_ = must(Engine::open_page_file(path_, vfs_));
        tune();
    }

    void reopen(bool crash) {
        note(crash ? "-- crash copy" : "-- reopen");
        if (crash) {
            // The files as a crash would leave them: whatever the open engine
            // wrote so far (uncommitted log frames included).
            std::string copy = dir_.path("crash" + std::to_string(++crashes_) + ".db");
            std::filesystem::copy_file(path_, copy);
            if (std::filesystem::exists(path_ + ".pwal")) std::filesystem::copy_file(path_ + ".pwal", copy + ".pwal");
            Engine reopened = vfs_ ? must(Engine::open_page_file(copy, vfs_)) : must(storage::open(copy));
            engine_ = std::move(reopened);
            path_ = copy;
        } else {
            engine_ = Engine();
            engine_ = vfs_ ? must(Engine::open_page_file(path_, vfs_)) : must(storage::open(path_));
        }
        tune();
        cur_ = committed_;
        in_txn_ = false;
        full_check(crash ? "after a crash copy" : "after a reopen");
    }

    // ------------------------------------------------------------- checks
    // "" when every table the engine has in memory equals the model's, and
    // (with all) every model table is in memory.
    std::string compare_loaded(const State& s, bool all) {
        std::string out;
        for (const auto& [name, t] : engine_.tables.database.tables) {
            auto it = s.tables.find(name);
            if (it == s.tables.end()) out += "table " + name + " should not exist; ";
            else if (std::string d = diff_table(t, it->second); !d.empty()) out += "table " + name + ": " + d + "; ";
        }
        for (const auto& [name, t] : s.tables) {
            if (engine_.tables.database.tables.count(name)) continue;
            if (all || !engine_.file.page_store || !engine_.file.page_store->catalog.contains(name))
                out += "table " + name + " missing; ";
        }
        std::map<std::string, MIndex> mem;
        for (const auto& [name, ix] : engine_.tables.mem_indexes) mem[name] = MIndex{ix.table, ix.columns, ix.unique};
        if (mem != s.indexes) out += "in-memory index definitions differ; ";
        return out;
    }

    // "" when the key trees kept up statement by statement (and restored by
    // ROLLBACK) hold what a rebuild from the rows gives: the primary-key tree
    // exactly, every secondary index at least every entry (stale ids of
    // rows gone may linger there).
    std::string compare_index_content() {
        LoadedTables rebuilt = engine_.tables;
        std::string out;
        for (const auto& [name, table] : engine_.tables.database.tables) {
            rebuilt.rebuild_indexes(name);
            auto live_pk = engine_.tables.pk_indexes.find(name);
            auto want_pk = rebuilt.pk_indexes.find(name);
            if ((live_pk == engine_.tables.pk_indexes.end()) != (want_pk == rebuilt.pk_indexes.end())) {
                out += "primary-key index of " + name + " present in one only; ";
            } else if (live_pk != engine_.tables.pk_indexes.end()) {
                std::vector<std::pair<std::string, uint64_t>> a, b;
                live_pk->second.tree.for_each([&](const Value& k, uint64_t id) { return a.emplace_back(k.debug(), id), true; });
                want_pk->second.tree.for_each([&](const Value& k, uint64_t id) { return b.emplace_back(k.debug(), id), true; });
                if (a != b) out += "primary-key index of " + name + " differs from a rebuild; ";
            }
        }
        for (const auto& [name, want] : rebuilt.mem_indexes) {
            const MemIndex* live = engine_.tables.mem_indexes.get(name);
            if (live == nullptr) continue;
            for (const auto& [key, ids] : want.map()) {
                const RowIdList* have = live->find(key);
                for (uint64_t id : ids)
                    if (have == nullptr || std::find(have->begin(), have->end(), id) == have->end()) {
                        out += "index " + name + " lacks " + debug_values(key) + " of row " + std::to_string(id) + "; ";
                        return out;
                    }
            }
        }
        return out;
    }

    void check_memory() {
        std::string d = compare_loaded(cur_, false);
        if (d.empty()) d = check_memory_indexes();
        if (!d.empty()) ADD_FAILURE() << d << "\n" << context();
    }

    // Both in-memory index families hold exactly the rows' keys under their ids.
    std::string check_memory_indexes() {
        for (const auto& [name, t] : engine_.tables.database.tables) {
            std::optional<size_t> pk;
            for (size_t c = 0; c < t.columns.size() && !pk; ++c)
                if (t.columns[c].data_type.kind == DataTypeKind::Pk) pk = c;
            auto entry = engine_.tables.pk_indexes.find(name);
            if (pk.has_value() != (entry != engine_.tables.pk_indexes.end())) return "pk index presence of " + name;
            if (pk) {
                if (entry->second.pk_column != *pk || entry->second.tree.size() != t.rows.size())
                    return "pk index of " + name + " differs in size or column";
                for (size_t i = 0; i < t.rows.size(); ++i)
                    if (entry->second.tree.find(t.rows[i][*pk]) != std::optional<uint64_t>(t.rowids[i]))
                        return "pk index of " + name + " misses row " + std::to_string(i);
            }
        }
        for (const auto& [iname, ix] : engine_.tables.mem_indexes) {
            const Table* t = table_of(engine_, ix.table);
            if (t == nullptr) continue;
            std::vector<size_t> positions;
            for (const auto& c : ix.columns) {
                auto p = t->column_index(c);
                if (!p) return "index " + iname + " names a missing column";
                positions.push_back(*p);
            }
            if (positions != ix.positions) return "index " + iname + " has stale positions";
            std::map<std::vector<Value>, std::vector<uint64_t>, KeyLess> want, have;
            for (size_t i = 0; i < t->rows.size(); ++i)
                if (auto k = key_of(t->rows[i], positions)) want[*k].push_back(t->rowids[i]);
            for (const auto& [k, ids] : ix.map()) {
                auto sorted = ids;
                std::sort(sorted.begin(), sorted.end());
                have[k] = sorted;
            }
            if (want != have) return "index " + iname + " does not match the rows of " + ix.table;
        }
        return "";
    }

    // "" when a freshly opened engine's file equals the state.
    std::string compare_file(const State& s) {
        if (auto st = engine_.load_all_tables(); !st) return "load_all_tables: " + st.error().display();
        std::string out = compare_loaded(s, true);
        std::map<std::string, MIndex> stored;
        for (const auto& [table, entry] : engine_.file.page_store->catalog.entries())
            for (const auto& ix : entry.indexes) stored[ix.name] = MIndex{table, ix.columns, ix.unique};
        if (stored != s.indexes) out += "stored index definitions differ; ";
        return out;
    }

    void full_check(const char* when) {
        if (failed()) return;
        if (std::string d = compare_file(committed_); !d.empty()) {
            ADD_FAILURE() << when << ": " << d << "\n" << context();
            return;
        }
        if (std::string d = FileAudit(engine_).run(); !d.empty()) {
            ADD_FAILURE() << when << ", page file: " << d << "\n" << context();
            return;
        }
        probe_unique(when);
    }

    // Re-inserting a stored row's key into a unique index must still fail.
    void probe_unique(const char* when) {
        for (const auto& [iname, ix] : committed_.indexes) {
            if (!ix.unique) continue;
            const MTable& t = committed_.tables.at(ix.table);
            auto pos = positions_of(t, ix.cols);
            for (const Row& row : t.rows) {
                if (!key_of(row, pos)) continue;
                std::string sql = "INSERT INTO " + ix.table + " (", vals;
                bool first = true;
                for (size_t i = 0; i < t.cols.size(); ++i) {
                    if (t.cols[i].type.kind == DataTypeKind::Pk) continue;
                    sql += (first ? "" : ", ") + t.cols[i].name;
                    vals += (first ? "" : ", ") + sql_literal(row[i].kind() == ValueKind::Date ? Value::text(row[i].as_text()) : row[i]);
                    first = false;
                }
                sql += ") VALUES (" + vals + ")";
                auto r = run(engine_, sql);
                if (r || r.error().display().find("unique constraint violated") == std::string::npos) {
                    ADD_FAILURE() << when << ": duplicate under unique index " << iname << " -> "
                                  << (r ? "accepted" : r.error().display()) << "\n" << context();
                    return;
                }
                break;
            }
        }
        check_memory();
    }

    std::mt19937_64 rng_;
    uint64_t tunes_ = 0;
    uint64_t seed_;
    TempDir dir_;
    std::string path_;
    std::shared_ptr<FaultVfs> vfs_;
    bool memory_ = false;
    Engine engine_;
    State cur_, committed_, txn_base_;
    bool in_txn_ = false;
    std::vector<std::string> trace_;
    size_t steps_ = 0;
    int crashes_ = 0;
};

TEST(EngineModel, RandomStatementsMatchTheModelAcrossReopensAndCrashes) {
    for (uint64_t seed : {1, 2, 3, 4, 5, 6}) {
        Runner runner(seed, nullptr);
        for (int i = 0; i < 800 && !runner.failed(); ++i) runner.step();
        if (runner.failed()) break;
    }
}

TEST(EngineModel, InjectedWriteAndSyncFailuresKeepTheLastCommit) {
    for (uint64_t seed : {11, 12, 13, 14}) {
        Runner runner(seed, std::make_shared<FaultVfs>());
        for (int i = 0; i < 500 && !runner.failed(); ++i) runner.step();
        if (runner.failed()) break;
    }
    // An in-memory database, whose commits keep pages in the cache and write
    // its backing file only on eviction.
    for (uint64_t seed : {21, 22, 23}) {
        Runner runner(seed, std::make_shared<FaultVfs>(), true);
        for (int i = 0; i < 500 && !runner.failed(); ++i) runner.step();
        if (runner.failed()) break;
    }
}

}  // namespace
}  // namespace zembrel::testing
