#include "shadow/session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>
#include <unordered_map>
#include <utility>

#include "engine/storage_open.h"
#include "executor/execute.h"
#include "pager/file_names.h"
#include "parser/parser.h"
#include "shadow/clear_texts.h"
#include "shadow/merge_plan.h"
#include "shadow/merge_record.h"
#include "types/text_format.h"
#include "types/uuid.h"

namespace zembrel::shadow {

namespace {

constexpr auto kLockRetryFor = std::chrono::seconds(10);
constexpr auto kLockRetryEvery = std::chrono::milliseconds(15);

bool branch_name_ok(std::string_view name) {
    if (name.empty() || name.size() > 64 || name.front() == '.') return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                        c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

// Whether anything stands at a branch log's name but an unwritten log: an
// empty regular file or one of zeros only records nothing (a first op
// killed between making the log and writing its header, or whose bytes a
// power cut lost) and opens as a branch without a log, as a missing one
// does: its first op writes the header into it (ShadowLog::create). A
// symbolic link there, dangling or not, is for the log's open to refuse.
bool log_recorded(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return false;
    return !(S_ISREG(st.st_mode) && (st.st_size == 0 || unwritten_log(path)));
}

Result<Engine> open_once(const std::string& path, const std::shared_ptr<Vfs>& vfs) {
    if (!vfs) return storage::open(path);
    auto present = storage::database_file_present(path);
    if (!present) return fail(present.error());
    if (*present) return Engine::open_page_file(path, vfs);
    return Engine::open_or_create_page_file(path, vfs);
}

// Rows are found by the display text of their key: a delete removes every
// row of its text, an update or insert replaces the last of them.
using KeyPositions = std::unordered_map<std::string, std::vector<std::size_t>>;

KeyPositions key_positions(const Table& table, std::size_t pk) {
    KeyPositions out;
    for (std::size_t i = 0; i < table.rows.size(); ++i)
        if (pk < table.rows[i].size()) out[table.rows[i][pk].display()].push_back(i);
    return out;
}

std::optional<std::size_t> pk_of(const Table& table) {
    for (std::size_t i = 0; i < table.columns.size(); ++i)
        if (table.columns[i].data_type.kind == DataTypeKind::Pk) return i;
    return std::nullopt;
}

void renumber_after_append(Table& table) {
    if (table.rowids.size() == table.rows.size()) return;
    const std::uint64_t n = table.rows.size();
    table.rowids.resize(n);
    for (std::uint64_t i = 0; i < n; ++i) table.rowids[i] = i + 1;
    if (table.next_rowid <= n) table.next_rowid = n + 1;
}

TableFingerprints fingerprints_of(const Database& database) {
    TableFingerprints out;
    for (const auto& [name, table] : database.tables) out.emplace(name, schema_fingerprint(table.columns));
    return out;
}

// The ops replayed onto a fresh copy of the base, after the schema check a
// merge makes: a table whose columns changed since the log was made would
// take rows of another shape, which no merge would accept either.
Status replay_checked(Engine& engine, const TableFingerprints& fingerprints, const std::vector<ShadowOp>& ops) {
    if (auto st = check_schema_divergence(engine.tables.database, fingerprints, ops); !st) return st;
    return replay_ops(engine, ops);
}

// The snapshot rebuilt from the base and the log's ops.
Result<Engine> rebuilt_snapshot(const std::string& base_path, std::optional<ShadowLog>& log) {
    ShadowFile file;
    if (log) {
        if (auto st = log->sync(); !st) return fail(st.error());
        auto read = ShadowFile::read(log->path());
        if (!read) return fail(read.error());
        file = std::move(*read);
    }
    auto engine = load_base_snapshot(base_path);
    if (!engine) return engine;
    if (auto st = replay_checked(*engine, file.table_fingerprints, ShadowFile::all_ops(file.entries)); !st)
        return fail(st.error());
    return engine;
}

bool is_dml(parser::StatementKind k) {
    return k == parser::StatementKind::Insert || k == parser::StatementKind::Update ||
           k == parser::StatementKind::Delete;
}

const std::string& dml_table(const parser::Statement& s) {
    if (auto* i = std::get_if<parser::Insert>(&s.node)) return i->table;
    if (auto* u = std::get_if<parser::Update>(&s.node)) return u->table;
    return std::get<parser::Delete>(s.node).table;
}

Result<ShadowOp> op_of(const Database& database, CapturedChange change) {
    if (!change.before) return ShadowOp::insert(std::move(change.table), std::move(*change.after));
    std::optional<std::size_t> pk;
    if (auto t = database.tables.find(change.table); t != database.tables.end()) pk = pk_of(t->second);
    const Row& keyed = change.after ? *change.after : *change.before;
    if (!pk || *pk >= keyed.size())
        return execution_error(change.after ? "update capture without PK" : "delete capture without PK");
    Value key = keyed[*pk];
    if (change.after)
        return ShadowOp::update(std::move(change.table), std::move(key), std::move(change.before),
                                std::move(*change.after));
    return ShadowOp::remove(std::move(change.table), std::move(key), std::move(change.before));
}

}  // namespace

std::string shadows_dir(const std::string& base_path) {
    const std::filesystem::path path(resolve_links(base_path));
    const std::string file = path.filename().string();
    if (file.empty() || file == "." || file == "..") return (path / ".shadows").string();
    std::filesystem::path dir = path;
    dir.replace_filename(file + ".shadows");
    return dir.string();
}

Result<std::string> branch_file_path(const std::string& base_path, std::string_view branch) {
    if (!branch_name_ok(branch))
        return execution_error(
            format("invalid branch name '{}' (use letters, digits, '_', '-', '.'; max 64 chars)", branch));
    return (std::filesystem::path(shadows_dir(base_path)) / (std::string(branch) + ".krvb")).string();
}

Result<Engine> open_database_with_retry(const std::string& path, const std::shared_ptr<Vfs>& vfs) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        auto engine = open_once(path, vfs);
        if (engine) return engine;
        if (engine.error().display().find("locked") == std::string::npos) return engine;
        if (std::chrono::steady_clock::now() - start >= kLockRetryFor) return engine;
        std::this_thread::sleep_for(kLockRetryEvery);
    }
}

namespace {

// The snapshot of an open base, which is consumed: its loaded state moves
// over whole, and dropping it releases the base's lock file.
Result<Engine> snapshot_of(Engine base) {
    if (auto st = base.load_all_tables(); !st) return fail(st.error());
    Engine copy;
    copy.tables.database = std::move(base.tables.database);
    copy.tables.mem_indexes = std::move(base.tables.mem_indexes);
    copy.tables.merge_policies = std::move(base.tables.merge_policies);
    base = Engine();
    copy.settings.skip_persist = true;
    copy.refresh_pk_indexes();
    for (const auto& [name, table] : copy.tables.database.tables) copy.tables.rebuild_secondary_indexes(name);
    return copy;
}

// The snapshot of the base taken by an opening session, after the merges
// that commits cut short left behind are settled (while the base's lock is
// held). An unsettled record of `own_record` fails the open.
Result<Engine> settled_snapshot(const std::string& base_path, const std::string& own_record) {
    auto base = open_database_with_retry(base_path);
    if (!base) return base;
    if (auto st = settle_unfinished_merges(*base, base_path, own_record); !st) return fail(st.error());
    return snapshot_of(std::move(*base));
}

}  // namespace

Result<Engine> load_base_snapshot(const std::string& path) {
    auto base = open_database_with_retry(path);
    if (!base) return base;
    return snapshot_of(std::move(*base));
}

Status replay_ops(Engine& engine, const std::vector<ShadowOp>& ops) {
    if (ops.empty()) return {};
    // Deleted rows are only marked while the ops run and leave at the end,
    // so that a delete costs the rows of its key, not a pass over the table.
    struct Replay {
        Table* table = nullptr;
        std::optional<std::size_t> pk;
        bool keyed = false;            // `positions` built
        KeyPositions positions;        // key text -> every live row holding it
        std::vector<bool> dead;
        bool deleted = false;
    };
    std::map<std::string, Replay> touched;
    ClearTextHasher clear_texts;
    for (const ShadowOp& op : ops) {
        auto state = touched.find(op.table);
        if (state == touched.end()) {
            Table* table = engine.tables.find_owned(op.table);
            if (table == nullptr) return execution_error(format("shadow references unknown table '{}'", op.table));
            Replay fresh;
            fresh.table = table;
            fresh.pk = pk_of(*table);
            state = touched.emplace(op.table, std::move(fresh)).first;
        }
        Replay& r = state->second;
        Table& table = *r.table;
        if (op.kind != ShadowOp::Kind::Insert && !r.pk) {
            const char* kind = op.kind == ShadowOp::Kind::Delete ? "Delete" : "Update";
            return execution_error(format("shadow {} on table '{}' without PK column", kind, op.table));
        }
        // A row of another width would break every reader of the table.
        if (op.kind != ShadowOp::Kind::Delete && op.row.size() != table.columns.size()) return width_mismatch(op.table);
        if (!r.pk) {
            Row row = op.row;
            if (auto st = clear_texts.hash(table, row, RowView()); !st) return st;
            table.rows.push_back(std::move(row));
            renumber_after_append(table);
            continue;
        }
        if (!r.keyed) {
            r.positions = key_positions(table, *r.pk);
            r.dead.assign(table.rows.size(), false);
            r.keyed = true;
        }
        std::string key = op.kind == ShadowOp::Kind::Insert ? op.row[*r.pk].display() : op.pk.display();
        auto at = r.positions.find(key);
        if (op.kind == ShadowOp::Kind::Delete) {
            if (at != r.positions.end()) {
                for (std::size_t i : at->second) r.dead[i] = true;
                r.positions.erase(at);
            }
            r.deleted = true;
            continue;
        }
        const std::optional<std::size_t> current =
            at != r.positions.end() ? std::optional<std::size_t>(at->second.back()) : std::nullopt;
        Row row = op.row;
        if (auto st = clear_texts.hash(table, row, current ? table.rows[*current] : RowView()); !st) return st;
        if (current) {
            table.rows.replace(*current, std::move(row));
        } else {
            table.rows.push_back(std::move(row));
            r.dead.push_back(false);
            r.positions[std::move(key)].push_back(table.rows.size() - 1);
            renumber_after_append(table);
        }
    }
    for (auto& [name, r] : touched) {
        if (r.deleted) {
            Table& table = *r.table;
            std::vector<std::size_t> dead;
            for (std::size_t i = 0; i < table.rows.size(); ++i)
                if (r.dead[i]) dead.push_back(i);
            table.rows.remove(dead);
            table.renumber_rowids();
        }
        engine.tables.rebuild_indexes(name);
    }
    return {};
}

Result<ShadowSession> ShadowSession::open(const std::string& base_path) {
    auto snapshot = settled_snapshot(base_path, "");
    if (!snapshot) return fail(snapshot.error());
    ShadowSession session;
    session.base_path = base_path;
    session.name = types::new_uuid();
    session.snapshot = std::move(*snapshot);
    return session;
}

Result<ShadowSession> ShadowSession::open_branch(const std::string& base_path, std::string_view branch) {
    auto path = branch_file_path(base_path, branch);
    if (!path) return fail(path.error());
    auto snapshot = settled_snapshot(base_path, merge_record_path(*path));
    if (!snapshot) return fail(snapshot.error());
    ShadowSession session;
    session.base_path = base_path;
    session.name = std::string(branch);
    session.branch = std::string(branch);
    session.snapshot = std::move(*snapshot);
    if (!log_recorded(*path)) return session;
    ShadowFile file;
    auto log = ShadowLog::open_existing(*path, &file);
    if (!log) return fail(log.error());
    std::vector<ShadowOp> ops = ShadowFile::all_ops(file.entries);
    if (auto st = replay_checked(session.snapshot, file.table_fingerprints, ops); !st) return fail(st.error());
    session.log = std::move(*log);
    session.pending = ops.size();
    session.unsealed = unsealed_count(file.entries);
    return session;
}

Status ShadowSession::refresh() {
    auto engine = rebuilt_snapshot(base_path, log);
    if (!engine) return fail(engine.error());
    snapshot = std::move(*engine);
    stale = false;
    needs_rebuild = false;
    return {};
}

Result<std::uint64_t> ShadowSession::seal(std::string_view author, std::string_view message) {
    if (!branch) return execution_error("seal() is for named branches; anonymous shadows merge on commit()");
    if (unsealed == 0 || !log) return execution_error("nothing to commit (no unsealed ops)");
    const std::time_t now = std::time(nullptr);
    SealRecord seal{std::string(author), std::string(message), now > 0 ? static_cast<std::uint64_t>(now) : 0,
                    unsealed};
    const std::uint64_t end = log->end();
    if (auto st = log->append_seal(seal); !st) return fail(st.error());
    if (auto st = log->sync(); !st) {
        // A seal that may not be durable must not close ops the caller sees unsealed.
        (void)log->truncate_to(end);
        return fail(st.error());
    }
    return std::exchange(unsealed, 0);
}

void ShadowSession::set_merge_policy(const std::optional<std::string>& table, MergePolicy policy) {
    if (table)
        policies.table_policies.insert_or_assign(*table, policy);
    else
        policies.default_policy = policy;
}

Result<ExecResult> ShadowSession::execute(std::string_view sql) {
    if (needs_rebuild) {
        if (auto st = refresh(); !st) return fail(st.error());
    } else if (stale) {
        auto engine = load_base_snapshot(base_path);
        if (!engine) return fail(engine.error());
        snapshot = std::move(*engine);
        stale = false;
    }
    auto statement = parser::parse_sql(sql);
    if (!statement) return fail(statement.error());
    const parser::StatementKind kind = statement->kind();
    if (kind == parser::StatementKind::Select || kind == parser::StatementKind::Explain)
        return executor::execute(snapshot, std::move(*statement));
    if (!is_dml(kind))
        return execution_error(
            "shadow sessions are DML-only: DDL, TRUNCATE and transactions must run on a classic exclusive "
            "connection (RFC GIT_MERGE §3.5)");
    // Whether the log's ops are in the base is open until a commit settles
    // its record; an op added meanwhile could not be told from them.
    if (commit_unsettled)
        return execution_error("the last commit of this shadow did not finish; commit again before changing rows");
    const std::string table_name = dml_table(*statement);
    const Table* table = snapshot.tables.find(table_name);
    if (table == nullptr) return execution_error(format("table '{}' not found in shadow snapshot", table_name));
    if (kind != parser::StatementKind::Insert && !pk_of(*table))
        return execution_error(
            format("shadow sessions require a PK column for UPDATE/DELETE (table '{}')", table_name));

    snapshot.change_capture.emplace();
    auto result = executor::execute(snapshot, std::move(*statement));
    std::vector<CapturedChange> changes = std::move(*snapshot.change_capture);
    snapshot.change_capture.reset();
    if (!result) return result;

    // Until every op is written the statement may still be taken back whole.
    const bool had_log = log.has_value();
    const std::uint64_t log_end = had_log ? log->end() : 0;
    const std::uint64_t pending_before = pending;
    const std::uint64_t unsealed_before = unsealed;
    auto take_back = [&](EngineError error) -> Result<ExecResult> {
        if (had_log) {
            (void)log->truncate_to(log_end);
        } else if (log) {
            log->remove_file();
            log.reset();
        }
        pending = pending_before;
        unsealed = unsealed_before;
        if (!refresh()) needs_rebuild = true;
        return fail(std::move(error));
    };
    for (CapturedChange& change : changes) {
        auto op = op_of(snapshot.tables.database, std::move(change));
        if (!op) return take_back(op.error());
        if (!log) {
            std::string path;
            if (branch) {
                auto p = branch_file_path(base_path, *branch);
                if (!p) return take_back(p.error());
                path = std::move(*p);
            } else {
                path = (std::filesystem::path(shadows_dir(base_path)) / (name + ".krvv")).string();
            }
            auto created = ShadowLog::create(path, branch ? *branch : name, fingerprints_of(snapshot.tables.database));
            if (!created) return take_back(created.error());
            log = std::move(*created);
        }
        if (auto st = op->encode(*log); !st) return take_back(st.error());
        ++pending;
        if (branch) ++unsealed;
    }
    return result;
}

}  // namespace zembrel::shadow
