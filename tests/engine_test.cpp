// Engine lifecycle: create, open, lock, release, settings from the
// environment, lazy loading, materializing and storage::open / save.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>

#include "pagestore/parallel_rows.h"
#include "fault_vfs.h"
#include "test_util.h"

namespace zembrel::testing {
namespace {

namespace fs = std::filesystem;

std::string locked_text(const std::string& path) {
    return "Storage error: database '" + path + "' is locked by another process";
}

TEST(EngineLifecycle, SecondOpenOfALockedFileFailsUntilRelease) {
    TempDir dir;
    std::string path = dir.path("app.db");
    {
        Engine first = must(Engine::create_page_file(path));
        EXPECT_TRUE(fs::exists(path + ".lock"));
        auto again = Engine::open_page_file(path);
        ASSERT_FALSE(again);
        EXPECT_EQ(again.error().display(), locked_text(path));
        auto created = Engine::create_page_file(path);
        ASSERT_FALSE(created);
        EXPECT_EQ(created.error().display(), locked_text(path));
        auto via_storage = storage::open(path);
        ASSERT_FALSE(via_storage);
        EXPECT_EQ(via_storage.error().display(), locked_text(path));

        // Moving the engine moves the lock with it.
        Engine moved = std::move(first);
        EXPECT_FALSE(Engine::open_page_file(path));
    }
    auto reopened = Engine::open_page_file(path);
    ASSERT_TRUE(reopened) << reopened.error().display();
    EXPECT_TRUE(fs::exists(path + ".lock"));
}

TEST(EngineLifecycle, CreateOnAnExistingPathLeavesTheFileAlone) {
    TempDir dir;
    std::string path = dir.path("taken.db");
    { std::ofstream(path) << "hello"; }
    auto engine = Engine::create_page_file(path);
    ASSERT_FALSE(engine);
    EXPECT_EQ(engine.error().kind, ErrorKind::Storage);
    std::ifstream in(path);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "hello");
    // The lock was let go on failure, and the lock file it made went with it.
    EXPECT_FALSE(fs::exists(path + ".lock"));
    fs::remove(path);
    EXPECT_TRUE(Engine::create_page_file(path));
}

TEST(EngineLifecycle, StorageOpenChoosesByTheFirstBytes) {
    TempDir dir;
    std::string fresh = dir.path("fresh.db");
    {
        Engine e = must(storage::open(fresh));
        ASSERT_TRUE(e.file.page_store);
        EXPECT_EQ(e.file.path, fresh);
    }
    EXPECT_TRUE(storage::open(fresh));  // reopened as a page file

    // An empty file is a page file no one wrote yet; anything else is a
    // legacy database: read (and refused) or migrated.
    struct Case { const char* name; std::string bytes; const char* error; };
    for (const Case& c : {Case{"empty", "", nullptr},
                          Case{"krv", "KRV", "Storage error: parse failed: syntax error while parsing value - invalid literal; last read: 'K' at line 1 column 1"},
                          Case{"json", "{\"tables\":{}}", nullptr}}) {
        std::string path = dir.path(c.name);
        { std::ofstream(path, std::ios::binary) << c.bytes; }
        auto e = storage::open(path);
        if (c.error) {
            ASSERT_FALSE(e) << c.name;
            EXPECT_EQ(e.error().display(), c.error) << c.name;
        } else {
            ASSERT_TRUE(e) << c.name;
            EXPECT_TRUE(e->file.page_store);
        }
    }
}

// A first open killed at any step, between the create of the file and its
// first page included, leaves a database that the next open takes: made
// anew when nothing of it reached the disk, opened when it did.
TEST(EngineLifecycle, AFirstOpenKilledAtAnyStepLeavesADatabaseThatOpens) {
    bool left_empty = false;
    uint64_t crash_at = 1;
    for (;; ++crash_at) {
        SCOPED_TRACE(::testing::Message() << "crash at step " << crash_at);
        TempDir dir;
        const std::string path = dir.path("first.db");
        std::fflush(nullptr);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            auto vfs = std::make_shared<WatchedVfs>();
            vfs->on_change = [&, steps = uint64_t(0)]() mutable {
                if (++steps == crash_at) ::_exit(0);
            };
            ::_exit(storage::open(path, vfs) ? 3 : 4);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        if (fs::exists(path) && fs::file_size(path) == 0) left_empty = true;
        {
            Engine e = must(storage::open(path));
            EXPECT_TRUE(e.page_store()->catalog.entries().empty());
            ok(e, "CREATE TABLE t (n INT)");
            ok(e, "INSERT INTO t VALUES (1)");
            ASSERT_TRUE(storage::save(e));
        }
        Engine again = must(storage::open(path));
        auto rows = ok(again, "SELECT n FROM t");
        EXPECT_EQ(std::get<Rows>(rows).rows.size(), 1u);
        if (WEXITSTATUS(status) != 0) {
            EXPECT_EQ(WEXITSTATUS(status), 3);
            break;
        }
    }
    EXPECT_TRUE(left_empty);  // the kill between the create and the first page was met
    EXPECT_GT(crash_at, 3u);

    // An empty file whose first page cannot be written (a full disk) stays
    // empty, not half a page, for the next open to make.
    TempDir dir;
    const std::string path = dir.path("full.db");
    write_file(path, {});
    auto vfs = std::make_shared<FaultVfs>();
    vfs->fail_nth(FaultOp::Write, 1, "full.db", false, ENOSPC);
    EXPECT_FALSE(storage::open(path, vfs));
    EXPECT_EQ(fs::file_size(path), 0u);
    EXPECT_TRUE(storage::open(path));
}

// A first page that a power cut lost after the file had grown leaves one
// page of zeros: a new database, by either open, as an empty file is. Nothing
// else that is no database is taken for one, and an open that cannot finish
// making the database (its log cannot be made: a folder the process may not
// write) leaves the file as it found it.
TEST(EngineLifecycle, APageOfZerosIsANewDatabaseAndNothingElseIs) {
    TempDir dir;
    const std::vector<std::uint8_t> zeros(kPageSize, 0);
    for (bool shared_road : {false, true}) {
        const std::string path = dir.path(shared_road ? "zeros-shared.db" : "zeros.db");
        write_file(path, zeros);
        {
            Engine e = must(shared_road ? Engine::open_page_file(path) : storage::open(path));
            ok(e, "CREATE TABLE t (n INT)");
            ASSERT_TRUE(storage::save(e));
        }
        Engine again = must(storage::open(path));
        EXPECT_EQ(again.page_store()->catalog.size(), 1u);
    }

    std::vector<std::uint8_t> one_byte = zeros;
    one_byte[2000] = 1;
    for (const auto& bytes : {std::vector<std::uint8_t>(2 * kPageSize, 0), one_byte}) {
        const std::string path = dir.path("not-a-database");
        write_file(path, bytes);
        EXPECT_FALSE(storage::open(path));
        EXPECT_FALSE(Engine::open_page_file(path));
        EXPECT_EQ(read_file(path), bytes);
    }

    for (const auto& bytes : {std::vector<std::uint8_t>(), zeros}) {
        const std::string path = dir.path(bytes.empty() ? "unwritable-empty.db" : "unwritable-zeros.db");
        write_file(path, bytes);
        auto vfs = std::make_shared<FaultVfs>();
        vfs->fail_nth(FaultOp::Create, 1, ".pwal", true, EACCES);
        auto refused = storage::open(path, vfs);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().display(),
                  "Storage error: create failed for '" + wal_path_for(path) + "': Permission denied (os error 13)");
        EXPECT_EQ(read_file(path), bytes);
        EXPECT_FALSE(fs::exists(wal_path_for(path)));
        EXPECT_TRUE(storage::open(path));
    }
}

// A checkpointed log that cannot be removed (a folder the process may not
// write) keeps every later write out: the failure says so, rather than the
// "File exists" of the log it cannot make, and a write once the log can go
// succeeds.
TEST(EngineLifecycle, ALogThatCannotBeRemovedIsNamedByTheWritesItStops) {
    TempDir dir;
    const std::string path = dir.path("stuck.db");
    leave_unclosed_database(path);
    auto vfs = std::make_shared<FaultVfs>();
    vfs->fail_nth(FaultOp::Remove, 1, ".pwal", true, EACCES);
    Engine e = must(storage::open(path, vfs));
    EXPECT_TRUE(fs::exists(wal_path_for(path)));
    auto rows = ok(e, "SELECT n FROM o");
    EXPECT_EQ(std::get<Rows>(rows).rows.size(), 5u);  // the log was read all the same
    ok(e, "INSERT INTO o VALUES (6)");
    Status st = storage::save(e);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().display(), "Storage error: old log '" + wal_path_for(path) +
                                        "' is still there and cannot be removed: Permission denied (os error 13)");
    vfs->clear();
    (void)e.reset_to_last_commit();
    ok(e, "INSERT INTO o VALUES (7)");
    ASSERT_TRUE(storage::save(e));
    e = Engine();
    Engine reopened = must(storage::open(path));
    EXPECT_EQ(std::get<Rows>(ok(reopened, "SELECT n FROM o")).rows.size(), 6u);
}

// No one reopens an in-memory database's backing file after a crash: its
// commits skip the log and the flushes, while a database file keeps them.
TEST(EngineLifecycle, OnlyTheBackingFileOfAnInMemoryDatabaseSkipsTheFlushes) {
    Engine memory;
    ok(memory, "CREATE TABLE t (id PK, name TEXT)");
    ASSERT_TRUE(memory.page_store());
    EXPECT_EQ(memory.page_store()->pager->sync_mode(), kSyncNone);
    EXPECT_TRUE(memory.page_store()->pager->is_private());
    TempDir dir;
    Engine file = must(storage::open(dir.path("f.db")));
    EXPECT_EQ(file.page_store()->pager->sync_mode(), kSyncFull);
    EXPECT_FALSE(file.page_store()->pager->is_private());
}

TEST(EngineLifecycle, ForceNestedJoinFromTheEnvironment) {
    struct Case { const char* value; bool on; };
    const Case cases[] = {{"1", true},     {"true", true},   {"TRUE", true},   {"tRuE", true}, {"yes", false},
                          {"0", false},    {"2", false},     {"true ", false}, {" 1", false},  {"", false}};
    for (const Case& c : cases) {
        ::setenv("ZEMBREL_FORCE_NESTED_JOIN", c.value, 1);
        EXPECT_EQ(Engine().settings.force_nested_join, c.on) << "'" << c.value << "'";
    }
    ::unsetenv("ZEMBREL_FORCE_NESTED_JOIN");
    EXPECT_FALSE(Engine().settings.force_nested_join);
}

TEST(EngineLifecycle, TablesLoadLazilyAfterReopen) {
    TempDir dir;
    std::string path = dir.path("lazy.db");
    {
        Engine e = must(storage::open(path));
        ok(e, "CREATE TABLE b (id PK, n INT)");
        ok(e, "CREATE TABLE a (n INT, s TEXT)");
        ok(e, "CREATE UNIQUE INDEX a_s ON a (s)");
        ok(e, "INSERT INTO a VALUES (1, 'x'), (2, 'y'), (3, NULL)");
        ok(e, "INSERT INTO b VALUES (10)");
        ASSERT_TRUE(storage::save(e));
    }
    Engine e = must(storage::open(path));
    EXPECT_TRUE(e.tables.database.tables.empty());
    EXPECT_EQ(e.file.page_store->catalog.size(), 2u);
    // Index definitions are known before their table is loaded.
    ASSERT_TRUE(e.tables.mem_indexes.get("a_s"));
    EXPECT_EQ(e.tables.mem_indexes.get("a_s")->table, "a");

    // A writing statement loads only the table it names.
    EXPECT_EQ(err(e, "INSERT INTO a VALUES (4, 'x')"),
              "Execution error: unique constraint violated: duplicate key [Text(\"x\")]");
    ASSERT_NE(table_of(e, "a"), nullptr);
    EXPECT_EQ(table_of(e, "b"), nullptr);
    EXPECT_EQ(table_of(e, "a")->rows.size(), 3u);
    EXPECT_EQ(table_of(e, "a")->rowids, (std::vector<uint64_t>{1, 2, 3}));
}

// A stored row narrower or wider than its table (damage, or a catalog that
// lost step with the rows) is refused at load, before any index reads it.
TEST(EngineLifecycle, ARowOfTheWrongWidthIsAStorageError) {
    TempDir dir;
    std::string path = dir.path("width.db");
    {
        Engine e = must(storage::open(path));
        ok(e, "CREATE TABLE t (a INT, b INT)");
        ok(e, "CREATE INDEX tb ON t (b)");
        ok(e, "INSERT INTO t VALUES (1, 2), (3, 4)");
        std::vector<Column> wider = table_of(e, "t")->columns;
        wider.push_back(wider.back());
        wider.back().name = "c";
        ASSERT_TRUE(e.page_store()->set_table_columns("t", wider));
        ASSERT_TRUE(storage::save(e));
    }
    Engine e = must(storage::open(path));
    EXPECT_EQ(err(e, "INSERT INTO t VALUES (5, 6, 7)"), "Storage error: row 1 of table 't' holds 2 values for 3 columns");
    EXPECT_EQ(table_of(e, "t"), nullptr);
}

TEST(EngineLifecycle, MaterializeWritesEveryTableWithItsIndexes) {
    TempDir dir;
    ::setenv("TMPDIR", dir.root().c_str(), 1);
    Engine e;
    Table t;
    t.name = "t";
    t.columns = {Column{"a", DataType::of(DataTypeKind::Int), std::nullopt, std::nullopt, true}};
    t.rows = {{Value::integer(10)}, {Value::integer(20)}};
    t.rowids = {3, 7};
    t.next_rowid = 8;
    e.tables.database.tables.emplace("t", std::move(t));
    e.tables.mem_indexes.insert(MemIndex("ta", "t", {"a"}, {0}, true));
    e.tables.rebuild_index("ta");
    ASSERT_TRUE(e.materialize_tables());
    ASSERT_TRUE(e.file.page_store);
    const CatalogEntry* entry = e.file.page_store->catalog.get("t");
    ASSERT_NE(entry, nullptr);
    ASSERT_EQ(entry->indexes.size(), 1u);
    EXPECT_TRUE(entry->indexes[0].unique);
    // Memory follows the stored numbering.
    EXPECT_EQ(table_of(e, "t")->rowids, (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(err(e, "INSERT INTO t VALUES (20)"),
              "Execution error: unique constraint violated: duplicate key [Int(20)]");
    ::unsetenv("TMPDIR");
}

// Copies filled table by table get their primary-key trees in one pass; row
// ids that do not match the rows are renumbered first.
TEST(EngineLifecycle, RefreshPkIndexesCoversEveryTable) {
    Engine e;
    Table t;
    t.name = "t";
    t.columns = {Column{"id", DataType::of(DataTypeKind::Pk), std::nullopt, std::nullopt, false}};
    t.rows = {{Value::uuid("a")}, {Value::uuid("b")}};
    e.tables.database.tables.emplace("t", std::move(t));
    e.refresh_pk_indexes();
    ASSERT_TRUE(e.tables.pk_indexes.contains("t"));
    EXPECT_EQ(e.tables.pk_indexes.at("t").tree.len, 2u);
    EXPECT_EQ(table_of(e, "t")->rowids, (std::vector<uint64_t>{1, 2}));
}

// Large tables load with worker threads; small ones, and a large one
// whose pages the threads will not take (damage, long values), the
// sequential way. Both must leave the same rows, ids, key trees and errors.
constexpr size_t kSequential = std::numeric_limits<size_t>::max();

// Everything loading table t leaves in memory, or the error it fails with.
// The entries of each of t's trees, counted the sequential way or, where
// that road takes the tree, by worker threads.
std::string tree_counts(Engine& e, bool parallel) {
    PageStore& store = *e.page_store();
    const CatalogEntry* entry = store.catalog.get("t");
    std::vector<uint64_t> roots{entry->root};
    for (const IndexCatalogEntry& ix : entry->indexes) roots.push_back(ix.root);
    std::string out;
    for (uint64_t root : roots) {
        const std::optional<uint64_t> counted = parallel ? count_entries_in_parallel(store, root, 3) : std::nullopt;
        auto n = counted ? Result<uint64_t>(*counted) : BPlusTree::count_entries(*store.pager, root);
        out += n ? "entries " + std::to_string(*n) + "\n" : "entries: " + n.error().display() + "\n";
    }
    return out;
}

std::string load_picture(Engine& e, size_t parallel_rows) {
    const std::string counts = tree_counts(e, parallel_rows != kSequential);
    e.tables.forget_table("t");
    e.rebuild_name_maps();  // the index definitions went with the table
    e.tables.parallel_rows = parallel_rows;
    if (auto st = e.ensure_table_loaded("t"); !st) return "error: " + st.error().display() + "\n" + counts;
    const Table* t = table_of(e, "t");
    if (t == nullptr) return "not loaded";
    std::string out = "next " + std::to_string(t->next_rowid) + "\n";
    for (size_t i = 0; i < t->rows.size(); ++i) {
        out += std::to_string(t->rowids.at(i));
        for (const Value& v : t->rows[i]) out += " " + v.display();
        out += "\n";
    }
    e.tables.pk_indexes.at("t").tree.for_each([&](const Value& key, uint64_t id) {
        out += "pk " + key.display() + " " + std::to_string(id) + "\n";
        return true;
    });
    for (const char* name : {"t_n", "t_s", "t_sf"}) {
        for (const auto& [key, ids] : e.tables.mem_indexes.get(name)->map()) {
            out += name;
            for (const Value& v : key) out += " " + v.display();
            for (uint64_t id : ids) out += " #" + std::to_string(id);
            out += "\n";
        }
    }
    return out + counts;
}

std::string load_picture(const std::string& path, size_t parallel_rows) {
    Engine e = must(storage::open(path));
    return load_picture(e, parallel_rows);
}

// A table of `rows` rows over some hundreds of leaves, saved at `path`.
void write_load_table(const std::string& path, int rows) {
    Engine e = must(storage::open(path));
    ok(e, "CREATE TABLE t (id PK, n INT, s TEXT, f FLOAT, note TEXT)");
    ok(e, "CREATE UNIQUE INDEX t_n ON t (n)");
    ok(e, "CREATE INDEX t_s ON t (s)");
    ok(e, "CREATE INDEX t_sf ON t (s, f)");
    std::mt19937 rng(7);
    for (int done = 0; done < rows;) {
        std::string insert = "INSERT INTO t (n, s, f, note) VALUES ";
        for (int k = 0; k < 500 && done < rows; ++k, ++done) {
            const std::string s = rng() % 9 == 0 ? "NULL" : "'group " + std::to_string(rng() % 50) + "'";
            insert += (k ? ", (" : "(") + std::to_string(done * 7 % rows) + ", " + s + ", " +
                      std::to_string(done) + ".25, '" + std::string(rng() % 60, 'x') + "')";
        }
        ok(e, insert);
    }
    ok(e, "DELETE FROM t WHERE n > 4000 AND n < 4500");
    ASSERT_TRUE(storage::save(e));
}

// The table's leaves in chain order.
std::vector<uint64_t> leaves_of_t(Engine& e) {
    Pager& pager = *e.page_store()->pager;
    std::vector<uint64_t> leaves;
    auto leaf = BPlusTree::leftmost_leaf_page(pager, e.page_store()->catalog.get("t")->root);
    PageBuf page;
    for (uint64_t at = leaf ? *leaf : 0; at != 0; at = le::get64(page.data() + 4)) {
        leaves.push_back(at);
        if (!pager.read_page_into(at, page)) break;
    }
    return leaves;
}

TEST(EngineLifecycle, ParallelLoadLeavesWhatTheSequentialLoadLeaves) {
    TempDir dir;
    const std::string path = dir.path("parallel.db");
    write_load_table(path, 6000);
    const std::string sequential = load_picture(path, kSequential);
    ASSERT_EQ(sequential.substr(0, 5), "next ");
    EXPECT_EQ(load_picture(path, 1), sequential);
    {
        // Every tree of a clean file is counted by the threads.
        Engine e = must(storage::open(path));
        const CatalogEntry* entry = e.page_store()->catalog.get("t");
        EXPECT_TRUE(count_entries_in_parallel(*e.page_store(), entry->root, 3).has_value());
        for (const IndexCatalogEntry& ix : entry->indexes)
            EXPECT_TRUE(count_entries_in_parallel(*e.page_store(), ix.root, 3).has_value()) << ix.name;
    }

    // Pages the cache or the log hold, committed or not, come from there.
    Engine e = must(storage::open(path));
    e.page_store()->pager->set_cache_capacity(3);
    ok(e, "UPDATE t SET note = 'changed' WHERE n > 1000 AND n < 3000");
    ok(e, "INSERT INTO t (n, s) VALUES (-1, 'new')");
    const std::string changed = load_picture(e, kSequential);
    EXPECT_NE(changed, sequential);
    EXPECT_EQ(load_picture(e, 1), changed);
    ASSERT_TRUE(storage::save(e));
    EXPECT_EQ(load_picture(e, 1), changed);

    // Leaves changed in place, whose bytes in the file are those of valid
    // but stale leaves: they must come from the cache and the log.
    {
        Pager& pager = *e.page_store()->pager;
        const std::vector<uint64_t> leaves = leaves_of_t(e);
        for (size_t k : {size_t{5}, size_t{6}, size_t{90}, leaves.size() - 1}) {
            PageBuf page;
            ASSERT_TRUE(pager.read_page_into(leaves.at(k), page));
            auto* x = std::search_n(page.begin(), page.end(), 8, uint8_t{'x'});
            ASSERT_NE(x, page.end()) << "leaf " << k;
            *x = 'q';
            ASSERT_TRUE(pager.write_page(leaves[k], page));
        }
        const auto reads = pager.page_file_reads();
        ASSERT_TRUE(reads.has_value());
        EXPECT_TRUE(std::ranges::binary_search(reads->held, leaves[90]));
        EXPECT_LT(leaves[90], reads->pages);
    }
    const std::string in_place = load_picture(e, kSequential);
    EXPECT_NE(in_place, changed);
    EXPECT_EQ(load_picture(e, 1), in_place);

    // A value in an overflow chain sends the table the sequential way.
    ok(e, "UPDATE t SET note = '" + std::string(5000, 'y') + "' WHERE n = 700");
    const std::string overflowing = load_picture(e, kSequential);
    EXPECT_NE(overflowing, in_place);
    EXPECT_NE(overflowing.find(std::string(5000, 'y')), std::string::npos);
    EXPECT_EQ(load_picture(e, 1), overflowing);
}

// Damage in several runs of leaves reports what the sequential road meets
// first; a leaf linked past its neighbour loads what the chain holds.
TEST(EngineLifecycle, ParallelLoadMeetsDamageAsTheSequentialLoadDoes) {
    TempDir dir;
    const std::string clean = dir.path("clean.db");
    write_load_table(clean, 6000);
    std::vector<uint64_t> leaves;
    bool crc = false;
    {
        Engine e = must(storage::open(clean));
        leaves = leaves_of_t(e);
        crc = e.page_store()->pager->crc_in_file();
    }
    ASSERT_GT(leaves.size(), 150u);
    const std::vector<uint8_t> original = read_file(clean);
    // Changes a page's bytes, its checksum following unless `stale`.
    using Edit = std::function<void(uint8_t* page, size_t leaf)>;
    struct Case {
        const char* what;
        Edit edit;
        bool stale = false;
    };
    const std::vector<Case> cases = {
        {"checksum", [](uint8_t* page, size_t) { page[40] ^= 0x5a; }, true},
        // Only the checksum tells this page from a valid one.
        {"checksum of a text",
         [](uint8_t* page, size_t) {
             uint8_t* x = std::search_n(page, page + kPageSize, 8, uint8_t{'x'});
             if (x != page + kPageSize) *x = 'q';
         },
         true},
        {"value count", [](uint8_t* page, size_t) { ++page[12 + 7 + 9]; }},
        {"cell count", [](uint8_t* page, size_t) { page[2] = 0xff; }},
        {"one cell more", [](uint8_t* page, size_t) { le::put16(page + 2, static_cast<uint16_t>(le::get16(page + 2) + 1)); }},
        {"one cell less", [](uint8_t* page, size_t) { le::put16(page + 2, static_cast<uint16_t>(le::get16(page + 2) - 1)); }},
        {"page type", [](uint8_t* page, size_t) { page[0] = 3; }},
        {"key", [](uint8_t* page, size_t) { page[12 + 7] = 0x77; }},
        {"link past a leaf", [&](uint8_t* page, size_t k) { le::put64(page + 4, leaves[k + 2]); }},
        {"link to nowhere", [](uint8_t* page, size_t) { le::put64(page + 4, 1u << 30); }},
    };
    for (const Case& c : cases) {
        // Leaf 64 starts a run that the count before the load (which stops
        // at the first damage, the leaves before it cached) leaves to be
        // read straight from the file.
        for (const std::vector<size_t>& damaged : {std::vector<size_t>{100, 40}, std::vector<size_t>{0, 140},
                                                   std::vector<size_t>{64}, std::vector<size_t>{leaves.size() - 1}}) {
            std::vector<uint8_t> bytes = original;
            for (size_t k : damaged) {
                if (k + 2 >= leaves.size() && std::string(c.what) == "link past a leaf") continue;
                uint8_t* page = bytes.data() + leaves[k] * kPageSize;
                c.edit(page, k);
                if (crc && !c.stale) le::put32(page + kPageSize - 4, page_crc(page));
            }
            const std::string path = dir.path("damaged.db");
            write_file(path, bytes);
            const std::string sequential = load_picture(path, kSequential);
            EXPECT_EQ(load_picture(path, 1), sequential) << c.what << " at leaf " << damaged[0];

            // The same damage under an open engine whose log and cache hold
            // newer copies of the first leaves: the runs holding those come
            // through the pager, the damaged ones straight from the file.
            write_file(path, original);
            Engine e = must(storage::open(path));
            e.page_store()->pager->set_cache_capacity(3);
            ok(e, "UPDATE t SET note = 'changed' WHERE f < 900");
            ok(e, "UPDATE t SET s = 'other' WHERE f > 1000 AND f < 1100");
            const auto held = e.page_store()->pager->page_file_reads();
            ASSERT_TRUE(held.has_value());
            ASSERT_TRUE(std::ranges::binary_search(held->held, leaves[0]));
            {
                std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
                for (size_t k : damaged) {
                    file.seekp(static_cast<std::streamoff>(leaves[k] * kPageSize));
                    file.write(reinterpret_cast<const char*>(bytes.data() + leaves[k] * kPageSize), kPageSize);
                }
            }
            const std::string held_sequential = load_picture(e, kSequential);
            EXPECT_EQ(load_picture(e, 1), held_sequential) << c.what << " at leaf " << damaged[0] << ", log in use";
            if (damaged[0] == 0) continue;  // the first leaf's copy in the log hides its damage
            EXPECT_EQ(held_sequential.substr(0, 6) == "error:", sequential.substr(0, 6) == "error:") << c.what;
        }
    }
}

// A loaded table's long texts live in its arena; every way a table leaves
// memory (forgotten, dropped, rolled back, the engine closed) gives the
// arena's chunks back, and the rows read the same after every change.
TEST(EngineLifecycle, LoadedTextsGoBackWithTheirTable) {
    TempDir dir;
    const std::string path = dir.path("arena.db");
    const std::string note = "a note long enough to live outside the value ";
    {
        Engine e = must(storage::open(path));
        ok(e, "CREATE TABLE t (id PK, n INT, s TEXT, d DATE)");
        ok(e, "CREATE INDEX t_s ON t (s)");
        std::string insert = "INSERT INTO t (n, s, d) VALUES ";
        for (int i = 0; i < 300; ++i)
            insert += (i ? ", (" : "(") + std::to_string(i) + ", '" + note + std::to_string(i) + "', '2024-01-02')";
        ok(e, insert);
        ASSERT_TRUE(storage::save(e));
        ASSERT_TRUE(count_entries_in_parallel(*e.page_store(), e.page_store()->catalog.get("t")->root, 2));
    }
    const size_t chunks = TextArena::live_chunks(), bytes = TextArena::live_bytes();
    for (int round = 0; round < 40; ++round) {
        {
            Engine e = must(storage::open(path));
            // Every way out, after the sequential load and after the threaded
            // one, whose texts lie in room shared by its threads.
            if ((round / 4) % 2 == 1) e.tables.parallel_rows = 1;
            ok(e, "INSERT INTO t (n, s, d) VALUES (-1, 'x', '2024-01-03')");
            EXPECT_GT(TextArena::live_chunks(), chunks);
            const Table* t = table_of(e, "t");
            ASSERT_NE(t, nullptr);
            EXPECT_EQ(t->rows[5][2].text_store(), Value::TextStore::Borrowed);
            EXPECT_EQ(t->rows[5][2].as_text(), note + "5");
            switch (round % 4) {
                case 0:
                    ok(e, "UPDATE t SET s = 'short' WHERE n < 100");
                    ok(e, "DELETE FROM t WHERE n > 250");
                    EXPECT_EQ(std::get<Rows>(ok(e, "SELECT s FROM t WHERE n = 120")).rows.at(0)[0].as_text(), note + "120");
                    e.tables.forget_table("t");
                    break;
                case 1:
                    ok(e, "BEGIN");
                    ok(e, "DELETE FROM t WHERE n > 10");
                    ok(e, "UPDATE t SET n = 7 WHERE n < 5");
                    ok(e, "ROLLBACK");
                    EXPECT_EQ(std::get<Rows>(ok(e, "SELECT COUNT(*) FROM t WHERE s > 'a'")).rows.at(0)[0], Value::integer(301));
                    EXPECT_EQ(std::get<Rows>(ok(e, "SELECT s FROM t WHERE n = 299")).rows.at(0)[0].as_text(), note + "299");
                    break;
                case 2: ok(e, "DROP TABLE t"); break;
                default: break;  // closed with the table loaded
            }
        }
        EXPECT_EQ(TextArena::live_chunks(), chunks) << "round " << round;
        EXPECT_EQ(TextArena::live_bytes(), bytes) << "round " << round;
    }
}

}  // namespace
}  // namespace zembrel::testing
