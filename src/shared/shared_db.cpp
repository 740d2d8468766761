#include "shared/shared_db.h"

#include <algorithm>
#include <condition_variable>
#include <utility>

#include "engine/storage_open.h"
#include "executor/execute.h"
#include "planner/access_path.h"
#include "planner/table_source.h"
#include "planner/table_names.h"
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

// One decode of a table, which the readers that need the same version wait
// for. Finished exactly once; none when the decode failed or found no table.
struct SharedDb::PendingVersion {
    std::mutex mutex;
    std::condition_variable finished_cv;
    bool finished = false;
    PublishedPtr version;

    void finish(PublishedPtr decoded) {
        {
            std::lock_guard lock(mutex);
            finished = true;
            version = std::move(decoded);
        }
        finished_cv.notify_all();
    }
    PublishedPtr wait() {
        std::unique_lock lock(mutex);
        finished_cv.wait(lock, [this] { return finished; });
        return version;
    }
};

// What one reader borrows, and what it must decode or wait for first.
struct SharedDb::ReadPlan {
    struct Named {
        std::string table;
        std::shared_ptr<PendingVersion> pending;
    };
    std::vector<PublishedPtr> ready;
    std::vector<Named> decodes;  // registered by this reader: it finishes them
    std::vector<Named> waits;    // registered by others
};

SharedDb::SharedDb(Engine engine) : engine_(std::move(engine)) { remember_commit(); }

Result<std::unique_ptr<SharedDb>> SharedDb::open(const std::string& path) {
    auto present = storage::database_file_present(path);
    if (!present) return fail(present.error());
    auto engine = *present ? Engine::open_page_file(path)
                           : Engine::open_or_create_page_file(path, std::make_shared<RealVfs>());
    if (!engine) return fail(engine.error());
    return std::make_unique<SharedDb>(std::move(*engine));
}

Result<ExecResult> SharedDb::execute(std::string_view sql, RowSink* sink) {
    auto statement = parse(sql);
    if (!statement) return fail(statement.error());
    return execute(std::move(*statement), sink);
}

Result<ExecResult> SharedDb::execute(parser::Statement statement, RowSink* sink) {
    switch (statement.kind()) {
        case parser::StatementKind::Begin:
        case parser::StatementKind::Commit:
        case parser::StatementKind::Rollback: return execution_error(std::string(kSharedTransactionRefusal));
        case parser::StatementKind::Select: return read(std::move(statement), sink);
        default: return write(std::move(statement), sink);
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

Result<SharedDb::Taken> SharedDb::take_current(const std::vector<std::string>& names) {
    Taken taken;
    std::lock_guard lock(mutex_);
    for (const std::string& name : names) {
        auto it = versions_.find(name);
        if (it != versions_.end() && it->second.version) taken.ready.push_back(it->second.version);
        else taken.missing.push_back({name, it != versions_.end() ? it->second.changes : 0});
    }
    if (taken.missing.empty()) return taken;
    // Taken with the versions, so every table the reader reads from it
    // (through the page road, or decoded) is as of the same commit as
    // those it borrows.
    auto snapshot = ReadSnapshot::take(engine_);
    if (!snapshot) return fail(snapshot.error());
    taken.snapshot.emplace(std::move(*snapshot));
    taken.commits = commits_.load(std::memory_order_relaxed);
    taken.published = published_.load(std::memory_order_relaxed);
    return taken;
}

Result<SharedDb::Versions> SharedDb::versions_of_missing(Taken& taken) {
    ReadPlan plan;
    Versions out;
    std::vector<std::string> own;  // changed since the snapshot: decoded for this reader alone
    {
        std::lock_guard lock(mutex_);
        for (const Taken::Missing& missing : taken.missing) {
            VersionSlot& slot = versions_[missing.table];
            // A slot's content is the same for one change count, whoever
            // decoded it from whichever snapshot.
            if (slot.changes != missing.changes) {
                own.push_back(missing.table);
            } else if (slot.version) {
                plan.ready.push_back(slot.version);
            } else if (slot.pending) {
                plan.waits.push_back({missing.table, slot.pending});
            } else {
                slot.pending = std::make_shared<PendingVersion>();
                plan.decodes.push_back({missing.table, slot.pending});
            }
        }
    }
    ReadSnapshot& snapshot = *taken.snapshot;
    // Decodes first, waits after: a reader finishes all it registered
    // before it waits for anyone, so no two readers wait for each other.
    for (size_t i = 0; i < plan.decodes.size(); ++i) {
        auto version = decode(snapshot, plan.decodes[i].table);
        std::lock_guard lock(mutex_);
        // A failed decode fails the statement, and gives up the decodes it
        // did not get to: their waiters decode for themselves.
        const size_t settled = version ? i + 1 : plan.decodes.size();
        for (size_t j = i; j < settled; ++j)
            settle(plan.decodes[j].table, plan.decodes[j].pending, version ? *version : nullptr);
        if (!version) return fail(version.error());
        if (*version) plan.ready.push_back(std::move(*version));
        else out.complete = false;
    }
    for (const ReadPlan::Named& w : plan.waits) {
        PublishedPtr version = w.pending->wait();
        // Its decoder failed or found no table: see for ourselves.
        if (!version) own.push_back(w.table);
        else plan.ready.push_back(std::move(version));
    }
    for (const std::string& table : own) {
        // Never published, so no commit would mark it: superseded at once,
        // and no lane keeps it beyond this statement.
        auto version = decode(snapshot, table);
        if (!version) return fail(version.error());
        if (*version) {
            (*version)->superseded.store(true, std::memory_order_relaxed);
            plan.ready.push_back(std::move(*version));
        } else {
            out.complete = false;
        }
    }
    out.ready = std::move(plan.ready);
    return out;
}

namespace {

// An engine that reads exactly the given versions (and whatever page store
// it is given later).
template <class Version>
Engine borrowing(const std::vector<Version>& versions, const std::vector<Version>& more = {}) {
    Engine engine;
    for (const auto* list : {&versions, &more})
        for (const Version& version : *list) engine.tables.borrow({version, &version->version});
    return engine;
}

// A one-table SELECT without joins, subqueries or ORDER BY, with a WHERE:
// the shape whose WHERE a seek may answer alone.
const parser::SelectStatement* seek_shaped(const parser::Statement& statement) {
    const auto* s = std::get_if<parser::SelectStatement>(&statement.node);
    if (s == nullptr || !s->joins.empty() || s->order_by || !s->where_clause || shared::has_subquery(*s)) return nullptr;
    return s;
}

// The path the engine would read the statement's table by.
std::optional<planner::AccessPath> seek_path(Engine& engine, const parser::SelectStatement& s) {
    const planner::TableSource source = planner::table_source(engine, s.from.name);
    if (source.kind == planner::TableSource::Kind::Missing) return std::nullopt;
    const planner::BoundTable from{s.from.name, *source.columns, s.from.alias, 0};
    // With aggregates: the WHERE's path alone, which every SELECT without
    // ORDER BY takes.
    return planner::plan_access_path(engine, s, from, true);
}

// Whether the statement reads the tables its engine has no version of (read
// from the page file) by index seeks alone. Such a read costs the pages of
// a few paths, where waiting for a decode of the table (or doing it) costs
// a whole read of it. A Pk value is not such a read: the page file has no
// Pk tree, and the page road finds a Pk value by reading the table whole;
// nor are scans, joins and the rest.
bool page_road_serves(Engine& reader, const parser::Statement& statement) {
    const parser::SelectStatement* s = seek_shaped(statement);
    if (s == nullptr || !planner::table_source(reader, s->from.name).in_page_file()) return false;
    auto path = seek_path(reader, *s);
    return path && path->in_page_file && path->kind != planner::AccessPath::Kind::PrimaryKey;
}

// The lane this thread had last; new threads take lanes in turn, so up to
// kLanes threads start on one each.
size_t& home_lane(size_t lanes) {
    static std::atomic<size_t> next{0};
    thread_local size_t mine = next.fetch_add(1, std::memory_order_relaxed) % lanes;
    return mine;
}

}  // namespace

SharedDb::ReaderLane* SharedDb::lock_lane(std::unique_lock<std::mutex>& lock) {
    size_t& home = home_lane(kLanes);
    for (size_t step = 0; step < kLanes; ++step) {
        const size_t i = (home + step) % kLanes;
        lock = std::unique_lock(lanes_[i].mutex, std::try_to_lock);
        if (lock) {
            home = i;
            return &lanes_[i];
        }
    }
    return nullptr;
}

bool SharedDb::lane_fits(ReaderLane& lane, const std::vector<std::string>& names,
                         const parser::Statement& statement) const {
    bool unheld = false;
    for (const std::string& name : names) {
        auto it = std::find_if(lane.held.begin(), lane.held.end(),
                               [&](const PublishedPtr& held) { return held->version.table.name == name; });
        if (it == lane.held.end()) {
            unheld = true;
            continue;
        }
        // Acquire: a reader that sees no mark sees nothing the commit after
        // it changed.
        if ((*it)->superseded.load(std::memory_order_acquire)) return false;
    }
    if (!unheld) return true;
    // Acquire, as the mark above: the snapshot is as of the last commit.
    const PageStore* store = lane.engine.page_store();
    return store != nullptr && store->pager->read_only() &&
           lane.snapshot_commits == commits_.load(std::memory_order_acquire) &&
           lane.snapshot_published == published_.load(std::memory_order_acquire) &&
           page_road_serves(lane.engine, statement);
}

void SharedDb::refill_lane(ReaderLane& lane, std::vector<PublishedPtr> versions, std::vector<PublishedPtr>& dropped) {
    auto replaced = std::stable_partition(lane.held.begin(), lane.held.end(), [&](const PublishedPtr& held) {
        return !is_superseded(held) && std::none_of(versions.begin(), versions.end(), [&](const PublishedPtr& fresh) {
            return fresh->version.table.name == held->version.table.name;
        });
    });
    std::move(replaced, lane.held.end(), std::back_inserter(dropped));
    lane.held.erase(replaced, lane.held.end());
    for (PublishedPtr& fresh : versions) lane.held.push_back(std::move(fresh));
    lane.engine = borrowing(lane.held);
}

Result<ExecResult> SharedDb::read(parser::Statement statement, RowSink* sink) {
    const std::vector<std::string> names = shared::tables_named_in(statement);
    std::unique_lock<std::mutex> lane_lock;
    ReaderLane* lane = lock_lane(lane_lock);
    // Runs on the lane. Versions a commit superseded meanwhile go at once,
    // not when the lane next misses, and so does a snapshot a commit
    // outdated, or a page store of its own the statement gave the engine
    // (naming a table the handle has no version of).
    auto run_on_lane = [&] {
        auto result = executor::execute_statement(lane->engine, std::move(statement), sink);
        std::vector<PublishedPtr> dropped;
        const PageStore* store = lane->engine.page_store();
        if (store != nullptr && !store->pager->read_only()) {
            lane->engine = Engine();
            lane->held.clear();
        } else if (std::any_of(lane->held.begin(), lane->held.end(), is_superseded) ||
                   (store != nullptr && lane->snapshot_commits != commits_.load(std::memory_order_relaxed))) {
            refill_lane(*lane, {}, dropped);
        }
        lane_lock.unlock();  // the dropped versions are freed after it goes
        return result;
    };
    if (lane != nullptr && lane_fits(*lane, names, statement)) return run_on_lane();
    if (auto answered = read_on_writer(statement, sink)) return std::move(*answered);

    auto taken = take_current(names);
    if (!taken) return fail(taken.error());
    // Taken together under the mutex, the named versions are as of one
    // commit, whatever the lane kept of other tables.
    Engine own;
    Engine* reader = &own;
    if (lane != nullptr) {
        std::vector<PublishedPtr> replaced;
        refill_lane(*lane, taken->ready, replaced);
        reader = &lane->engine;
    } else {
        own = borrowing(taken->ready);
    }
    if (taken->missing.empty()) {
        if (lane != nullptr) return run_on_lane();
        return executor::execute_statement(own, std::move(statement), sink);
    }
    // The tables without a version are read from the snapshot's pages: by
    // the page road, when its index seeks alone answer the statement (a few
    // pages, and no reader waits for a decode); else from their versions,
    // decoded once per change (see page_road_serves for why).
    if (auto st = taken->snapshot->lend_pages(*reader, kSnapshotCachePages); !st) return fail(st.error());
    if (lane != nullptr) {
        lane->snapshot_commits = taken->commits;
        lane->snapshot_published = taken->published;
    }
    if (page_road_serves(*reader, statement)) {
        if (lane == nullptr) return executor::execute_statement(own, std::move(statement), sink);
        return run_on_lane();
    }
    auto versions = versions_of_missing(*taken);
    if (!versions) return fail(versions.error());
    if (lane == nullptr || !versions->complete) {
        // A private engine, with the snapshot's pages for a table the
        // snapshot lacks (so that its lookups fail as a plain handle's).
        Engine missing = borrowing(taken->ready, versions->ready);
        if (auto st = taken->snapshot->lend_pages(missing, kSnapshotCachePages); !st) return fail(st.error());
        if (lane != nullptr) lane_lock.unlock();
        return executor::execute_statement(missing, std::move(statement), sink);
    }
    // The versions taken first go in again: a commit since may have
    // superseded one of them, which the lane would drop otherwise.
    std::vector<PublishedPtr> replaced, all = std::move(taken->ready);
    all.insert(all.end(), versions->ready.begin(), versions->ready.end());
    refill_lane(*lane, std::move(all), replaced);
    return run_on_lane();
}

std::optional<Result<ExecResult>> SharedDb::read_on_writer(parser::Statement& statement, RowSink* sink) {
    const parser::SelectStatement* s = seek_shaped(statement);
    if (s == nullptr) return std::nullopt;
    std::optional<Result<ExecResult>> out;
    {
        std::lock_guard lock(mutex_);
        if (engine_.tables.find_owned(s->from.name) == nullptr) return std::nullopt;
        VersionSlot& slot = versions_[s->from.name];
        if (slot.version || (!slot.pending && slot.writer_reads >= kWriterReadsBeforeDecode)) return std::nullopt;
        auto path = seek_path(engine_, *s);
        if (!path || path->in_page_file || path->kind != planner::AccessPath::Kind::PrimaryKey) return std::nullopt;
        ++slot.writer_reads;
        // Without the sink: its rows go to it after the mutex, so that no
        // caller's code runs under it.
        out = executor::execute_statement(engine_, std::move(statement), nullptr);
    }
    if (sink != nullptr && *out) {
        if (auto* rows = std::get_if<Rows>(&**out)) {
            for (const Row& row : rows->rows) sink->row(row);
            rows->rows = {};
        }
    }
    return out;
}

void SharedDb::release_lane_snapshots(std::vector<Engine>& dropped) {
    for (ReaderLane& lane : lanes_) {
        std::unique_lock lane_lock(lane.mutex, std::try_to_lock);
        const PageStore* store = lane_lock ? lane.engine.page_store() : nullptr;
        if (store == nullptr) continue;
        // The engine goes whole, with what it read through the store.
        dropped.push_back(std::move(lane.engine));
        lane.engine = borrowing(lane.held);
    }
}

void SharedDb::empty_stale_lanes(std::vector<PublishedPtr>& dropped) {
    for (ReaderLane& lane : lanes_) {
        // A lane in use is left to its reader, which replaces the versions
        // at its next statement; waiting here would hold every writer.
        std::unique_lock lane_lock(lane.mutex, std::try_to_lock);
        if (lane_lock && std::any_of(lane.held.begin(), lane.held.end(), is_superseded))
            refill_lane(lane, {}, dropped);
    }
}

Result<SharedDb::PublishedPtr> SharedDb::decode(ReadSnapshot& snapshot, const std::string& table) {
    auto decoded = snapshot.decode_table(table);
    if (!decoded) return fail(decoded.error());
    if (!*decoded) return PublishedPtr();
    decoded_.fetch_add(1, std::memory_order_relaxed);
    return std::make_shared<const Published>(std::move(**decoded));
}

void SharedDb::settle(const std::string& table, const std::shared_ptr<PendingVersion>& pending,
                      PublishedPtr version) {
    auto it = versions_.find(table);
    // Still the decode of the current version (a commit that changed the
    // table since has dropped it): publish. Else no commit would mark it.
    const bool current = it != versions_.end() && it->second.pending == pending;
    if (version && !current) version->superseded.store(true, std::memory_order_relaxed);
    if (it != versions_.end()) {
        VersionSlot& slot = it->second;
        if (current) {
            slot.pending.reset();
            slot.version = version;
            // Release: pairs with lane_fits' acquire.
            if (version) published_.fetch_add(1, std::memory_order_release);
        }
        if (!slot.version && !slot.pending && slot.changes == 0) versions_.erase(it);
    }
    pending->finish(std::move(version));
}

std::optional<std::vector<std::string>> SharedDb::tables_changed_by(const parser::Statement& statement) const {
    if (statement.kind() == parser::StatementKind::Explain) return std::vector<std::string>();
    if (auto* drop = std::get_if<parser::DropIndex>(&statement.node)) {
        if (const MemIndex* index = engine_.tables.mem_indexes.get(drop->name))
            return std::vector<std::string>{index->table};
        return std::nullopt;
    }
    return planner::table_names(statement);
}

void SharedDb::mark_changed(const std::optional<std::vector<std::string>>& tables,
                            std::vector<PublishedPtr>& dropped) {
    if (tables && tables->empty()) return;
    // Release: pairs with lane_fits' acquire.
    commits_.fetch_add(1, std::memory_order_release);
    auto change = [&](VersionSlot& slot) {
        ++slot.changes;
        if (slot.version) {
            // Release: pairs with lane_fits' acquire.
            slot.version->superseded.store(true, std::memory_order_release);
            dropped.push_back(std::move(slot.version));
        }
        slot.version.reset();
        slot.pending.reset();
        slot.writer_reads = 0;
    };
    if (!tables) {
        for (auto& [name, slot] : versions_) change(slot);
    } else {
        for (const std::string& name : *tables) change(versions_[name]);
    }
    empty_stale_lanes(dropped);
}

Result<ExecResult> SharedDb::write(parser::Statement statement, RowSink* sink) {
    // Declared before the lock: dropped versions and readers' engines are
    // freed after it goes.
    std::vector<PublishedPtr> dropped;
    std::vector<Engine> dropped_readers;
    std::lock_guard lock(mutex_);
    const auto changed = tables_changed_by(statement);
    auto result = executor::execute(engine_, std::move(statement), sink);
    if (!result) {
        // The execute step leaves memory as before or returns to the last
        // commit itself; pages it left changed must not ride along with the
        // next statement's commit.
        if (changed_since_commit()) (void)engine_.reset_to_last_commit();
        return result;
    }
    if (PageStore* store = engine_.page_store()) {
        // Readers between statements give up their snapshots first, so
        // that they do not hold off the checkpoint the commit may run.
        release_lane_snapshots(dropped_readers);
        // Fails only when the commit is not durable (a failed checkpoint
        // after it is no failure), so undoing here can never undo a
        // statement that is stored.
        if (auto committed = store->pager->commit(); !committed) {
            (void)engine_.reset_to_last_commit();
            mark_changed(changed, dropped);  // whatever reached the log, no version is trusted
            return fail(committed.error());
        }
    }
    mark_changed(changed, dropped);
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
