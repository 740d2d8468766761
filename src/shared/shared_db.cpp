#include "shared/shared_db.h"

#include <sys/stat.h>

#include <utility>

#include "executor/execute.h"
#include "parser/fast_path.h"
#include "parser/parser.h"
#include "shared/statement_tables.h"

namespace zembrel {

namespace {

Result<parser::Statement> parse(std::string_view sql) {
    if (auto st = parser::fast_insert::try_parse(sql)) return std::move(*st);
    if (auto st = parser::fast_select::try_parse(sql)) return std::move(*st);
    return parser::parse_sql(sql);
}

}  // namespace

SharedDb::SharedDb(Engine engine) : engine_(std::move(engine)) { remember_commit(); }

Result<std::unique_ptr<SharedDb>> SharedDb::open(const std::string& path) {
    struct stat meta {};
    auto engine = ::stat(path.c_str(), &meta) == 0 ? Engine::open_page_file(path) : Engine::create_page_file(path);
    if (!engine) return fail(engine.error());
    return std::make_unique<SharedDb>(std::move(*engine));
}

Result<ExecResult> SharedDb::execute(std::string_view sql) {
    auto statement = parse(sql);
    if (!statement) return fail(statement.error());
    return execute(std::move(*statement));
}

Result<ExecResult> SharedDb::execute(parser::Statement statement) {
    switch (statement.kind()) {
        case parser::StatementKind::Begin:
        case parser::StatementKind::Commit:
        case parser::StatementKind::Rollback: return execution_error(std::string(kSharedTransactionRefusal));
        case parser::StatementKind::Select: {
            auto snapshot = take_snapshot();
            if (!snapshot) return fail(snapshot.error());
            return run_on_snapshot(*snapshot, std::move(statement));
        }
        default: return write(std::move(statement));
    }
}

Result<ReadSnapshot> SharedDb::take_snapshot() {
    std::lock_guard lock(mutex_);
    return ReadSnapshot::take(engine_);
}

Result<ExecResult> SharedDb::run_on_snapshot(ReadSnapshot& snapshot, parser::Statement statement) {
    Engine reader;
    if (auto st = snapshot.load_tables(reader, shared::tables_named_in(statement)); !st) return fail(st.error());
    return executor::execute_statement(reader, std::move(statement));
}

Result<ExecResult> SharedDb::write(parser::Statement statement) {
    std::lock_guard lock(mutex_);
    auto result = executor::execute(engine_, std::move(statement));
    if (!result) {
        // The execute step leaves memory as before or returns to the last
        // commit itself; pages it left changed must not ride along with the
        // next statement's commit.
        if (changed_since_commit()) (void)engine_.reset_to_last_commit();
        return result;
    }
    if (PageStore* store = engine_.page_store()) {
        // Fails only when the commit is not durable (a failed checkpoint
        // after it is no failure), so undoing here can never undo a
        // statement that is stored.
        if (auto committed = store->pager->commit(); !committed) {
            (void)engine_.reset_to_last_commit();
            return fail(committed.error());
        }
    }
    remember_commit();
    return result;
}

void SharedDb::remember_commit() {
    const PageStore* store = engine_.page_store();
    committed_pager_ = store != nullptr ? store->pager.get() : nullptr;
    committed_changes_ = committed_pager_ != nullptr ? committed_pager_->change_count() : 0;
}

bool SharedDb::changed_since_commit() const {
    const PageStore* store = engine_.page_store();
    const Pager* pager = store != nullptr ? store->pager.get() : nullptr;
    if (pager != committed_pager_) return pager != nullptr;
    return pager != nullptr && pager->change_count() != committed_changes_;
}

}  // namespace zembrel
