// Legacy databases: every snapshot version and the JSON document migrate to
// page files with the same rows; the snapshot log replays record by record;
// the readers' messages; a failure or a crash at any step of a migration
// leaves the data at the path; save and save-as at the engine level.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "test_util.h"
#include "fault_vfs.h"
#include "legacy/legacy_files.h"
#include "legacy/snapshot_file.h"
#include "legacy_files_util.h"

namespace zembrel::testing {
namespace {

namespace fs = std::filesystem;
using namespace legacy;

bool starts_with(const Bytes& b, const char* magic) { return b.size() >= 4 && std::memcmp(b.data(), magic, 4) == 0; }

// The migrated engine holds exactly `db`'s tables and rows, numbered 1..n.
void expect_tables(Engine& e, const Database& db) {
    ASSERT_TRUE(e.load_all_tables().has_value());
    ASSERT_EQ(e.page_store()->catalog.size(), db.tables.size());
    for (const auto& [name, want] : db.tables) {
        SCOPED_TRACE(name);
        const Table* got = table_of(e, name);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got->columns, want.columns);
        EXPECT_EQ(got->rows, want.rows);
        for (size_t i = 0; i < got->rowids.size(); ++i) EXPECT_EQ(got->rowids[i], i + 1);
        EXPECT_EQ(got->next_rowid, want.rows.size() + 1);
        const CatalogEntry* entry = e.page_store()->catalog.get(name);
        EXPECT_TRUE(entry->indexes.empty());
        EXPECT_FALSE(entry->merge_policy.has_value());
    }
}

TEST(LegacyOpen, EveryFormMigratesWithItsRows) {
    const Database db = sample_database();
    // Row ids of the whole unsigned range, out of order; the largest of all
    // in the second document.
    Database high_ids = db;
    Table& people = high_ids.tables.at("people");
    for (size_t i = 0; i < people.rows.size(); ++i)
        people.rowids.push_back(i % 2 ? UINT64_MAX - 1 - i : (uint64_t{1} << 63) + i);
    people.next_rowid = 3;
    Database max_id = high_ids;
    max_id.tables.at("people").rowids[7] = UINT64_MAX;
    const std::pair<const char*, Bytes> forms[] = {
        {"v1", snapshot_v1(db)},
        {"v2", snapshot_v2(db)},
        {"v3", snapshot_v3(db)},
        {"json object", to_bytes(json_document(db))},
        {"json array", to_bytes(json_document(db, true))},
        // Each record is what its chain holds: lengths past the pages, chains
        // that come back to their start, a page that serves two entries.
        {"v3, loose chains",
         with_entry(relinked(snapshot_v3(db), 0xFFFFFFFF, [](uint32_t first) { return first; }), "B", 1, 0xFFFFFFFF)},
        {"json, row ids at and above 2^63", to_bytes(json_document(high_ids))},
        {"json array, the largest row id", to_bytes(json_document(max_id, true))},
    };
    for (const auto& [what, bytes] : forms) {
        SCOPED_TRACE(what);
        TempDir dir;
        const std::string path = dir.path("app.db");
        write_file(path, bytes);
        {
            Engine e = must(storage::open(path));
            EXPECT_TRUE(starts_with(read_file(path), "KRVP"));
            EXPECT_EQ(read_file(path + ".bak"), bytes);
            EXPECT_FALSE(fs::exists(path + ".migrate"));
            EXPECT_FALSE(fs::exists(path + ".migrate.pwal"));
            expect_tables(e, db);
            // The migrated file takes new rows and indexes like any other.
            ok(e, "INSERT INTO B (x, y) VALUES (1, 'ab')");
            ok(e, "CREATE UNIQUE INDEX people_name ON people (name)");
            ASSERT_TRUE(storage::save(e).has_value());
        }
        Engine again = must(storage::open(path));
        ASSERT_TRUE(again.load_all_tables().has_value());
        EXPECT_EQ(table_of(again, "people")->rows, db.tables.at("people").rows);
        EXPECT_EQ(table_of(again, "B")->rowids, std::vector<uint64_t>{1});
        EXPECT_EQ(again.page_store()->catalog.get("people")->indexes.size(), 1u);
        EXPECT_FALSE(fs::exists(wal_path_for(path + ".migrate")));
    }
}

TEST(LegacyOpen, LogReplaysRecordByRecord) {
    const Database db = sample_database();
    const Bytes snap = snapshot_v3(db);
    Table extra;
    extra.name = "extra";
    extra.columns = {col("v", DataType::of(DataTypeKind::Text))};
    extra.rows = {{Value::text("e1")}};
    Table empty_cols;
    empty_cols.name = "z";
    const std::vector<Row> two = {{Value::integer(1), Value::text("a")}, {Value::integer(2), Value::null()}};
    Database other;
    other.tables["other"] = extra;

    struct Record {
        Bytes payload;
        bool good_digest = true;
    };
    auto log_of = [](const Bytes& over, const std::vector<Record>& records) {
        Bytes l = log_header(over);
        for (const Record& r : records) append_log_record(l, r.payload, r.good_digest);
        return l;
    };
    Bytes damaged = snapshot_v3(other);
    damaged[5000] ^= 1;
    struct Case {
        const char* what;
        Bytes log;
        std::vector<std::string> tables;  // after the open
        size_t b_rows;
    };
    const Case cases[] = {
        {"third digest bad: two applied",
         log_of(snap, {{table_image_payload(extra)}, {row_append_payload("B", two, 2, 2)}, {row_append_payload("B", two, 2, 2), false}}),
         {"B", "extra", "people"}, 2},
        {"header of another snapshot: nothing", log_of(snapshot_v3(other), {{table_image_payload(extra)}}), {"B", "people"}, 0},
        {"width differs from the columns: stops there",
         log_of(snap, {{row_append_payload("B", two, 2, 2)}, {row_append_payload("B", {{Value::integer(3)}}, 1, 1)}, {table_image_payload(extra)}}),
         {"B", "people"}, 2},
        {"rows of no values with a huge count: refused",
         log_of(snap, {{table_image_payload(empty_cols)}, {row_append_payload("z", {}, 0, 0xFFFFFFFF)}}), {"B", "people", "z"}, 0},
        {"huge count, few bytes: refused", log_of(snap, {{row_append_payload("B", two, 2, 0xFFFFFFFF)}}), {"B", "people"}, 0},
        {"unknown table: nothing", log_of(snap, {{row_append_payload("nope", two, 2, 2)}}), {"B", "people"}, 0},
        {"a complete snapshot in the log replaces the file", snapshot_v3(other), {"other"}, 0},
        {"a damaged snapshot in the log is dropped", damaged, {"B", "people"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.path("app.db");
        write_file(path, snap);
        write_file(path + ".wal", c.log);
        write_file(path + ".tmp", {1, 2, 3});
        Engine e = must(storage::open(path));
        ASSERT_TRUE(e.load_all_tables().has_value());
        std::vector<std::string> names;
        for (const auto& [name, t] : e.page_store()->catalog.entries()) names.push_back(name);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, c.tables);
        if (const Table* b = table_of(e, "B")) {
            EXPECT_EQ(b->rows.size(), c.b_rows);
        }
        EXPECT_FALSE(fs::exists(path + ".wal"));
        EXPECT_FALSE(fs::exists(path + ".tmp"));
        // The backup is the state the migration started from, as a snapshot.
        auto backup = storage::parse_snapshot(read_file(path + ".bak"));
        ASSERT_TRUE(backup.has_value());
        EXPECT_EQ(backup->tables.size(), c.tables.size());
    }
}

TEST(LegacyOpen, LockedDatabaseLeavesEveryFileAlone) {
    TempDir dir;
    const std::string path = dir.path("app.db");
    const Bytes snap = snapshot_v3(sample_database());
    write_file(path, snap);
    write_file(path + ".wal", {9, 9, 9, 9});
    write_file(path + ".tmp", {1});
    auto held = FileLock::acquire(path);
    ASSERT_TRUE(held.has_value());
    auto opened = storage::open(path);
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error().display(), "Storage error: database '" + path + "' is locked by another process");
    EXPECT_EQ(read_file(path), snap);
    EXPECT_EQ(read_file(path + ".wal"), (Bytes{9, 9, 9, 9}));
    EXPECT_EQ(read_file(path + ".tmp"), Bytes{1});
    EXPECT_FALSE(fs::exists(path + ".bak"));
}

// One family: what the legacy reader says about bytes it cannot take.
TEST(LegacyReader, Messages) {
    const Database db = sample_database();
    const Bytes v3 = snapshot_v3(db);
    Database people_only;
    people_only.tables["people"] = db.tables.at("people");
    auto v3_with = [&](auto change) {
        Bytes b = v3;
        change(b);
        return b;
    };
    auto resealed = [&](auto change) {
        Bytes b = v3;
        change(b);
        reseal(b);
        return b;
    };
    auto v1_table = [](std::initializer_list<uint8_t> after_name) {
        Bytes b = {'K', 'R', 'V', 'D', 1, 0, 1, 0, 0, 0, 1, 0, 0, 0, 't'};
        b.reserve(b.size() + after_name.size());  // g++ 12 -O3 warns falsely on the insert without it
        b.insert(b.end(), after_name);
        return b;
    };
    Bytes truncated = v3;
    truncated.resize(v3.size() - 4096);
    Bytes padded = v3;
    padded.resize(v3.size() + 4096, 0);
    const std::string len = std::to_string(v3.size());
    const std::string json_row =
        R"({"tables":{"t":{"name":"t","columns":[{"name":"a","data_type":"Int"}],"rows":[[{"Int":1}],[]]}}})";

    const std::pair<Bytes, std::string> cases[] = {
        {{}, "parse failed: EOF while parsing a value at line 1 column 0"},
        {to_bytes("KRVD\x03"), "parse failed: syntax error while parsing value - invalid literal; last read: 'K' at line 1 column 1"},
        {to_bytes("\xff{}"), "read failed: invalid utf-8 sequence of 1 bytes from index 0"},
        {v3_with([](Bytes& b) { b.resize(4095); }), "file too small for paged format"},
        {v3_with([](Bytes& b) { le::put32(b.data() + 6, 8192); }), "unsupported page size: 8192"},
        {truncated, "file truncated: fewer bytes than page count"},
        {padded, "file length mismatch: header says " + len + ", got " + std::to_string(v3.size() + 4096)},
        {v3_with([](Bytes& b) { b[4096 + 100] ^= 1; }), "checksum mismatch: file is corrupt"},
        {v3_with([](Bytes& b) { b[60] ^= 1; }), "checksum mismatch: file is corrupt"},
        {v3_with([](Bytes& b) { le::put16(b.data() + 4, 4); }), "unsupported format version: 4"},
        {resealed([](Bytes& b) { le::put16(b.data() + 54, 400); }), "unexpected end of file"},
        {resealed([](Bytes& b) { le::put32(b.data() + 56 + 5, 99); }), "page 99 out of bounds"},
        {resealed([](Bytes& b) { le::put32(b.data() + 56 + 9, 0); }), "unexpected end of file"},
        // A record is what its chain holds; short, it does not decode.
        {resealed([](Bytes& b) { le::put32(b.data() + 4096 * 2, 0); }), "unexpected end of file"},
        {resealed([](Bytes& b) { le::put32(b.data() + 4096 * 2, 2); }), "unexpected end of file"},
        // A chain over every data page still has its next link checked.
        {relinked(snapshot_v3(people_only), 0xFFFFFFFF, [](uint32_t) { return 99; }), "page 99 out of bounds"},
        {{'K', 'R', 'V', 'D', 1, 0, 1, 0, 0}, "unexpected end of file"},
        {v1_table({1, 0, 1, 0, 0, 0, 'a', 9, 0, 0, 0}), "invalid data type tag: 9"},
        {v1_table({1, 0, 1, 0, 0, 0, 'a', 0, 1, 3, 0}), "invalid default tag: 3"},
        {v1_table({1, 0, 1, 0, 0, 0, 'a', 0, 1, 0, 2}), "invalid salt tag: 2"},
        {v1_table({1, 0, 1, 0, 0, 0, 'a', 0, 1, 2, 9, 0}), "invalid value tag: 9"},
        {v1_table({1, 0, 1, 0, 0, 0, 'a', 0, 1, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1}), "unexpected end of file"},
        {v1_table({0, 0, 0xFF, 0xFF, 0xFF, 0xFF}), "table record 't' has 4294967295 rows but no columns"},
        {{'K', 'R', 'V', 'D', 1, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0xFF}, "invalid UTF-8: invalid utf-8 sequence of 1 bytes from index 0"},
        {to_bytes("[]"), "parse failed: invalid length 0, expected struct Database with 1 element at line 1 column 2"},
        {to_bytes("[{},{}]"), "parse failed: invalid length 2, expected struct Database with 1 element at line 1 column 7"},
        {to_bytes("{\"tables\":{},\n \"tables\":{}}"), "parse failed: duplicate field `tables` at line 2 column 9"},
        {to_bytes("{}"), "parse failed: missing field `tables` at line 1 column 2"},
        {to_bytes("5"), "parse failed: invalid type: integer `5`, expected struct Database at line 1 column 1"},
        {to_bytes("{\"tables\":{\"t\":{\"name\":\"t\",\"columns\":[]}}}"),
         "parse failed: missing field `rows` at line 1 column 40"},
        {to_bytes("{\"tables\":{\"t\":[\"t\",[]]}}"),
         "parse failed: invalid length 2, expected struct Table with 5 elements at line 1 column 23"},
        {to_bytes("{\"tables\":{}} x"), "parse failed: trailing characters at line 1 column 15"},
        {to_bytes(json_row), "parse failed: row 2 of table 't' has 0 values for 1 columns at line 1 column 94"},
        {to_bytes(R"({"tables":{"t":["t",[],[[],[]],[4,4]]}})"),
         "parse failed: duplicate row id 4 in table 't' at line 1 column 37"},
        {to_bytes("{\"x\":" + std::string(200, '[')), "parse failed: recursion limit exceeded at line 1 column 132"},
    };
    for (const auto& [bytes, want] : cases) {
        auto got = storage::parse_snapshot(bytes);
        if (got) {
            ADD_FAILURE() << "accepted, wanted: " << want;
            continue;
        }
        EXPECT_EQ(got.error().message, want);
        EXPECT_EQ(got.error().kind, ErrorKind::Storage);
    }
}

TEST(LegacyReader, JsonRowIdsAreKeptOrRenumbered) {
    auto read = [](const char* doc) {
        auto db = storage::parse_snapshot(to_bytes(doc));
        EXPECT_TRUE(db.has_value()) << (db ? "" : db.error().message);
        return db ? db->tables.at("t") : Table();
    };
    // Ids that match the rows stay; the counter rises above them.
    Table kept = read(R"({"tables":{"t":{"name":"t","columns":[],"rows":[[],[]],"rowids":[9,5],"next_rowid":3}}})");
    EXPECT_EQ(kept.rowids, (std::vector<uint64_t>{9, 5}));
    EXPECT_EQ(kept.next_rowid, 10u);
    // Ids are unsigned 64-bit; above the largest of all no new id fits, so
    // such a list goes and the rows are numbered later.
    Table high = read(R"({"tables":{"t":["t",[],[[],[]],[18446744073709551614,9223372036854775808],3]}})");
    EXPECT_EQ(high.rowids, (std::vector<uint64_t>{UINT64_MAX - 1, uint64_t{1} << 63}));
    EXPECT_EQ(high.next_rowid, UINT64_MAX);
    Table top = read(R"({"tables":{"t":["t",[],[[]],[18446744073709551615]]}})");
    EXPECT_TRUE(top.rowids.empty());
    // Under another key the record keeps its own name; the later key wins.
    auto db = storage::parse_snapshot(to_bytes(R"({"x":1,"tables":{"a":["b",[],[]],"a":["c",[],[[]]]}})"));
    ASSERT_TRUE(db.has_value());
    EXPECT_EQ(db->tables.at("a").name, "c");
    EXPECT_EQ(db->tables.at("a").rows.size(), 1u);
    EXPECT_TRUE(storage::parse_snapshot(to_bytes("[{}]")).has_value());
}

TEST(LegacySnapshot, WriterRoundTripsAndRefusesAnOversizedHeader) {
    TempDir dir;
    const std::string path = dir.path("snap.db");
    Engine e;
    e.tables.database = sample_database();
    e.file.path = path;
    ASSERT_TRUE(storage::save(e).has_value());
    const Bytes written = read_file(path);
    EXPECT_EQ(written, snapshot_v3(e.tables.database));
    auto back = storage::parse_snapshot(written);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->tables.at("people").rows, e.tables.database.tables.at("people").rows);
    // A record of exactly one page's payload takes one page; one byte more takes two.
    Database empty;
    EXPECT_EQ(snapshot_v3(empty).size(), 4096u);

    for (int i = 0; i < 40; ++i) e.tables.database.tables["t" + std::string(100, 'a' + i % 26) + std::to_string(i)];
    auto refused = storage::save(e);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().message, "header overflow: 4677 bytes (max 4096)");
    EXPECT_FALSE(fs::exists(path + ".tmp"));
    EXPECT_EQ(read_file(path), written);
}

// ------------------------------------------------- failures and crashes

size_t people_rows_at(const std::string& path) {
    auto e = storage::open(path);
    if (!e) {
        ADD_FAILURE() << e.error().display();
        return 0;
    }
    auto loaded = e->load_all_tables();
    EXPECT_TRUE(loaded.has_value()) << (loaded ? "" : loaded.error().display());
    const Table* t = table_of(*e, "people");
    return t ? t->rows.size() : 0;
}

TEST(LegacyMigration, AFailureAtAnyStepKeepsTheData) {
    const Bytes snap = snapshot_v3(sample_database());
    struct Scenario {
        FaultOp op;
        bool without_links;  // the rename fallback runs
    };
    const Scenario scenarios[] = {{FaultOp::Create, false}, {FaultOp::Write, false}, {FaultOp::Sync, false},
                                  {FaultOp::Remove, false}, {FaultOp::Rename, false}, {FaultOp::Rename, true},
                                  {FaultOp::Link, false},   {FaultOp::Open, false},  {FaultOp::Read, false}};
    int failed_opens = 0;
    for (const Scenario& s : scenarios) {
        for (uint64_t n = 1;; ++n) {
            SCOPED_TRACE(::testing::Message() << "op " << int(s.op) << " call " << n << " links " << !s.without_links);
            TempDir dir;
            const std::string path = dir.path("app.db");
            write_file(path, snap);
            auto vfs = std::make_shared<FaultVfs>();
            if (s.without_links) vfs->fail_nth(FaultOp::Link, 1, "", true, EPERM);
            vfs->fail_nth(s.op, n);
            {
                auto opened = storage::open(path, vfs);
                if (!opened) ++failed_opens;
                // The legacy file, or the finished page file.
                const Bytes now = read_file(path);
                if (!starts_with(now, "KRVP")) {
                    EXPECT_EQ(now, snap);
                }
                // Nothing of the migration's own stays, unless a removal
                // itself was what failed.
                if (s.op != FaultOp::Remove) {
                    for (const char* leftover : {".migrate", ".migrate.lock", ".migrate.pwal"})
                        EXPECT_FALSE(std::filesystem::exists(path + leftover)) << leftover;
                    if (!opened) {
                        EXPECT_FALSE(std::filesystem::exists(path + ".lock"));
                    }
                }
            }
            EXPECT_EQ(people_rows_at(path), 60u);
            if (vfs->calls(s.op) < n) break;
        }
    }
    EXPECT_GT(failed_opens, 5);
}

TEST(LegacyMigration, ACrashAtAnyStepKeepsTheData) {
    const Bytes snap = snapshot_v3(sample_database());
    for (bool links : {true, false}) {
        uint64_t crash_at = 1;
        for (;; ++crash_at) {
            SCOPED_TRACE(::testing::Message() << "crash at step " << crash_at << " links " << links);
            TempDir dir;
            const std::string path = dir.path("app.db");
            write_file(path, snap);
            pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                // Ends the process at its `crash_at`th change to the file system.
                auto vfs = std::make_shared<WatchedVfs>();
                vfs->links = links;
                vfs->on_change = [&, steps = uint64_t(0)]() mutable {
                    if (++steps == crash_at) ::_exit(0);
                };
                auto opened = storage::open(path, vfs);
                ::_exit(opened ? 3 : 4);  // ran to the end without reaching the crash
            }
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(people_rows_at(path), 60u);
            if (WEXITSTATUS(status) != 0) {
                EXPECT_EQ(WEXITSTATUS(status), 3);
                break;
            }
        }
        EXPECT_GT(crash_at, 10u);
    }
}

// A conversion never replaces a file at the backup name (a user's own
// backup): the open fails before anything is changed or built, the log
// beside the file and the temporary file included, with hard links or
// without, and converts once the name is free, its log with it.
TEST(LegacyMigration, NeverReplacesABackupOfTheUsersOwn) {
    const Bytes snap = snapshot_v3(sample_database());
    const Bytes mine = {'m', 'i', 'n', 'e'}, scratch = {1, 2, 3};
    Table extra;
    extra.name = "extra";
    extra.columns = {col("v", DataType::of(DataTypeKind::Text))};
    extra.rows = {{Value::text("e1")}};
    Bytes log = log_header(snap);
    append_log_record(log, table_image_payload(extra));
    for (bool links : {true, false}) {
        SCOPED_TRACE(links ? "hard links" : "no hard links");
        TempDir dir;
        const std::string path = dir.path("app.db");
        write_file(path, snap);
        write_file(path + ".bak", mine);
        write_file(path + ".wal", log);
        write_file(path + ".tmp", scratch);
        auto vfs = std::make_shared<WatchedVfs>();
        vfs->links = links;
        std::size_t created = 0;
        vfs->on_create = [&](const std::string&) { ++created; };
        auto refused = storage::open(path, vfs);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().display(), "Storage error: backup failed: File exists (os error 17)");
        EXPECT_EQ(read_file(path), snap);
        EXPECT_EQ(read_file(path + ".bak"), mine);
        EXPECT_EQ(read_file(path + ".wal"), log);
        EXPECT_EQ(read_file(path + ".tmp"), scratch);
        EXPECT_EQ(created, 0u) << "a page file was built for a refused conversion";
        for (const char* leftover : {".migrate", ".migrate.lock", ".migrate.pwal", ".lock"})
            EXPECT_FALSE(fs::exists(path + leftover)) << leftover;
        fs::rename(path + ".bak", dir.path("mine.bak"));
        {
            Engine e = must(storage::open(path, vfs));
            EXPECT_NE(e.page_store()->catalog.get("extra"), nullptr) << "the log was not converted with the file";
        }
        EXPECT_EQ(people_rows_at(path), 60u);
        EXPECT_FALSE(fs::exists(path + ".wal"));
    }
}

// The clean-up of the older format's leftovers runs only beside a file in
// that format: next to a file that is no database of any kind, `.tmp` and
// `.wal` may be a user's own.
TEST(LegacyOpen, NoCleanUpBesideAFileOfNoFormat) {
    TempDir dir;
    const std::string path = dir.path("app.db");
    const Bytes zeros(8192, 0), text = {'n', 'o', 't', 'e', 's'}, scratch = {1, 2, 3};
    for (const Bytes& bytes : {zeros, text}) {
        write_file(path, bytes);
        write_file(path + ".tmp", scratch);
        write_file(path + ".wal", scratch);
        EXPECT_FALSE(storage::open(path).has_value());
        EXPECT_EQ(read_file(path), bytes);
        EXPECT_EQ(read_file(path + ".tmp"), scratch);
        EXPECT_EQ(read_file(path + ".wal"), scratch);
    }
}

// An interrupted migration is finished only with a regular file of one
// name: a hard link at the migration name to a user's database would make
// the path a second name of that file.
TEST(LegacyMigration, AHardLinkAtTheMigrationNameIsNotMovedIn) {
    TempDir dir;
    const std::string path = dir.path("app.db"), users = dir.path("users.db");
    {
        Engine e = must(storage::open(users));
        ok(e, "CREATE TABLE mine (n INT)");
        ok(e, "INSERT INTO mine VALUES (1)");
        ASSERT_TRUE(storage::save(e));
    }
    write_file(path + ".bak", snapshot_v3(sample_database()));
    fs::create_hard_link(users, path + ".migrate");
    {
        Engine e = must(storage::open(path));
        EXPECT_TRUE(e.page_store()->catalog.entries().empty());
        ok(e, "CREATE TABLE other (n INT)");
        ASSERT_TRUE(storage::save(e));
    }
    EXPECT_EQ(fs::hard_link_count(users), 2u);
    Engine e = must(storage::open(users));
    EXPECT_EQ(e.page_store()->catalog.size(), 1u);
    EXPECT_NE(e.page_store()->catalog.get("mine"), nullptr);
}

// ------------------------------------------------------------- save-as


// The lock and transaction refusals and the routes' basics are in
// capi_save_test.c; here what the C interface cannot reach.
TEST(SaveAs, InMemoryKeepsEverythingOrGivesItBack) {
    TempDir dir;
    auto vfs = std::make_shared<FaultVfs>();
    Engine mem;
    mem.file.vfs = vfs;
    mem.settings.skip_persist = true;  // memory only: no backing file to agree with
    ok(mem, "CREATE TABLE t (id PK, name TEXT)");
    ok(mem, "CREATE UNIQUE INDEX t_name ON t (name)");
    ok(mem, "INSERT INTO t (name) VALUES ('a'), ('b')");
    mem.tables.merge_policies["t"] = "field_merge";
    // Ids with gaps, as deletes leave them; the new file numbers the rows 1..n.
    const std::vector<uint64_t> ids = {5, 9};
    mem.tables.find_owned("t")->rowids = ids;
    mem.tables.find_owned("t")->next_rowid = 10;
    mem.tables.rebuild_indexes("t");

    // Every failure while the new file is filled gives the tables back as they were.
    const std::string path = dir.path("saved.db");
    for (uint64_t n = 1;; ++n) {
        fs::remove(path);
        vfs->clear();
        vfs->fail_nth(FaultOp::Write, n, "saved.db");
        auto saved = storage::save_as(mem, path);
        if (saved) {
            mem = std::move(*saved);
            break;
        }
        ASSERT_NE(table_of(mem, "t"), nullptr);
        EXPECT_EQ(table_of(mem, "t")->rowids, ids);
        EXPECT_EQ(err(mem, "INSERT INTO t (name) VALUES ('b')").rfind("Execution error: unique", 0), 0u);
    }
    mem = Engine();
    Engine reopened = must(storage::open(path));
    const CatalogEntry* entry = reopened.page_store()->catalog.get("t");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->merge_policy, std::optional<std::string>("field_merge"));
    ASSERT_EQ(entry->indexes.size(), 1u);
    EXPECT_TRUE(entry->indexes[0].unique);
    ASSERT_TRUE(reopened.load_all_tables().has_value());
    EXPECT_EQ(table_of(reopened, "t")->rows.size(), 2u);
}

TEST(SaveAs, FileRouteCopiesWhatTheLogHolds) {
    TempDir dir;
    const std::string src = dir.path("src.db");
    Engine e = must(storage::open(src));
    ok(e, "CREATE TABLE t (a INT)");
    ok(e, "INSERT INTO t VALUES (1)");  // in the page cache only, not saved

    // Another name of the source itself, a symbolic or a hard link: refused
    // before it could be emptied.
    const std::string alias = dir.path("alias.db"), hard = dir.path("hard.db");
    fs::create_symlink(src, alias);
    fs::create_hard_link(src, hard);
    for (const std::string& name : {src, alias, hard}) {
        auto same = storage::save_as(e, name);
        ASSERT_FALSE(same.has_value());
        EXPECT_EQ(same.error().display(), "Execution error: cannot save as onto the database's own file");
        EXPECT_TRUE(starts_with(read_file(src), "KRVP"));
    }
    fs::remove(hard);

    const std::string dst = dir.path("dst.db");
    write_file(dst + ".pwal", {7, 7, 7});  // a stale log must not be replayed over the copy
    e = must(storage::save_as(e, dst));
    // A destination that is a link to another file: the copy goes where the
    // link leads, which an open through it then finds.
    const std::string elsewhere = dir.path("elsewhere.db"), link = dir.path("link.db");
    write_file(elsewhere, {1, 2, 3});
    fs::create_symlink(elsewhere, link);
    e = must(storage::save_as(e, link));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(starts_with(read_file(elsewhere), "KRVP"));
    e = Engine();
    for (const std::string& p : {dst, link}) {
        Engine copy = must(storage::open(p));
        ASSERT_TRUE(copy.load_all_tables().has_value());
        EXPECT_EQ(table_of(copy, "t")->rows.size(), 1u);
    }
}

// The tables of the database at `path` with their row counts ("a:40 b:3"),
// "absent", or why it does not open.
std::string contents_at(const std::string& path) {
    if (!fs::exists(path)) return "absent";
    auto e = Engine::open_page_file(path);
    if (!e) return e.error().display();
    if (auto st = e->load_all_tables(); !st) return st.error().display();
    std::string out;
    for (const auto& [name, table] : e->tables.database.tables)
        out += (out.empty() ? "" : " ") + name + ":" + std::to_string(table.rows.size());
    return out;
}

void fill_source(Engine& e) {
    ok(e, "CREATE TABLE a (id PK, s TEXT)");
    ok(e, "CREATE UNIQUE INDEX a_s ON a (s)");
    for (int i = 0; i < 40; ++i)
        ok(e, "INSERT INTO a (s) VALUES ('" + std::to_string(i) + std::string(300, 'x') + "')");
    ok(e, "CREATE TABLE b (n INT)");
    ok(e, "INSERT INTO b VALUES (1), (2), (3)");
}

// The in-memory route's copy gets a log beside it: a link planted at that
// name the moment the copy exists is refused, not written through; the
// file it leads to keeps its bytes, the tables stay with the engine, and
// the next try is not hindered.
TEST(SaveAs, TheCopysLogIsNotMadeThroughALinkPlantedAtItsName) {
    TempDir dir;
    const std::string victim = dir.path("victim"), dest = dir.path("dest.db");
    write_file(victim, {1, 2, 3});
    auto vfs = std::make_shared<WatchedVfs>();
    Engine mem;
    mem.file.vfs = vfs;
    ok(mem, "CREATE TABLE t (a INT)");
    ok(mem, "INSERT INTO t VALUES (1)");
    std::string planted;
    vfs->on_create = [&](const std::string& p) {
        if (!p.ends_with(".saving")) return;
        planted = wal_path_for(p);
        fs::create_symlink(victim, planted);
    };
    auto saved = storage::save_as(mem, dest);
    ASSERT_FALSE(saved.has_value());
    EXPECT_EQ(saved.error().display(), "Storage error: create failed for '" + planted + "': symbolic link refused");
    EXPECT_EQ(read_file(victim), Bytes({1, 2, 3}));
    EXPECT_FALSE(fs::exists(dest));
    EXPECT_EQ(err(mem, "CREATE TABLE t (a INT)"), "Execution error: table 't' already exists");

    vfs->on_create = [](const std::string&) {};
    mem = must(storage::save_as(mem, dest));
    mem = Engine();
    EXPECT_EQ(contents_at(dest), "t:1");
    EXPECT_EQ(read_file(victim), Bytes({1, 2, 3}));
}

// The scratch copy a save-as onto `dest` recorded in its lock file, or "".
std::string recorded_scratch(const std::string& dest) {
    const Bytes lock = fs::exists(dest + ".lock") ? read_file(dest + ".lock") : Bytes();
    if (lock.size() != 40 || !starts_with(lock, "KRVS")) return "";
    return dest + "." + std::string(lock.begin() + 4, lock.end()) + ".saving";
}

// The files beside `dest` that a save-as onto it may leave: "<dest>.*.saving"
// and their logs.
std::vector<std::string> scratch_beside(const std::string& dest) {
    std::vector<std::string> out;
    const std::string stem = fs::path(dest).filename().string() + ".";
    for (const auto& entry : fs::directory_iterator(fs::path(dest).parent_path())) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(stem) && (name.ends_with(".saving") || name.ends_with(".saving.pwal")))
            out.push_back(entry.path().string());
    }
    return out;
}

// A clean-up of a save-as's leftovers killed after removing the copy left
// its log or its lock file, and the record: the next open removes whatever
// of them is there, and only then clears the record.
TEST(SaveAs, AnInterruptedCleanUpIsFinishedByTheNextOpen) {
    const std::string uuid = "0b9a2d4e-5f61-4c7a-8e3b-2d1f0a9c8b7e";
    for (int left = 1; left <= 3; ++left) {  // bit 0: the copy's lock file; bit 1: its log
        SCOPED_TRACE(left);
        TempDir dir;
        const std::string dest = dir.path("dest.db");
        must(storage::open(dest)) = Engine();
        const std::string scratch = dest + "." + uuid + ".saving";
        const std::string record = "KRVS" + uuid;
        write_file(dest + ".lock", Bytes(record.begin(), record.end()));
        if (left & 1) write_file(scratch + ".lock", {});
        if (left & 2) write_file(wal_path_for(scratch), {1, 2, 3});
        must(storage::open(dest)) = Engine();
        EXPECT_FALSE(fs::exists(scratch + ".lock"));
        EXPECT_FALSE(fs::exists(wal_path_for(scratch)));
        EXPECT_EQ(fs::file_size(dest + ".lock"), 0u);
    }
}

// A process killed at any change it makes to the file system during a
// save-as leaves the destination as it was (absent, or the old database
// with every row, those only its log held included) or holding the whole
// copy, never the copy with the old database's log replayed over it; by
// both routes. The next save-as there is not hindered by what a kill left.
TEST(SaveAs, ACrashAtAnyStepLeavesTheOldDatabaseOrTheWholeCopy) {
    const std::string copy = "a:40 b:3";
    int recorded_leftovers = 0;  // kills that left a scratch copy: the record was put to use
    for (bool from_file : {false, true}) {
        for (bool old_there : {false, true}) {
            const std::string before = old_there ? "o:5 p:20" : "absent";
            uint64_t crash_at = 1;
            for (;; ++crash_at) {
                SCOPED_TRACE(::testing::Message() << "from file " << from_file << " old there " << old_there
                                                  << " crash at step " << crash_at);
                TempDir dir;
                const std::string src = dir.path("src.db"), dest = dir.path("dest.db");
                if (from_file) {
                    Engine e = must(storage::open(src));
                    fill_source(e);
                    ASSERT_TRUE(storage::save(e));
                }
                if (old_there) leave_unclosed_database(dest);
                std::fflush(nullptr);
                pid_t pid = ::fork();
                ASSERT_GE(pid, 0);
                if (pid == 0) {
                    auto vfs = std::make_shared<WatchedVfs>();
                    auto opened = from_file ? storage::open(src, vfs) : Result<Engine>(Engine());
                    if (!opened) ::_exit(5);
                    if (!from_file) {
                        opened->file.vfs = vfs;
                        fill_source(*opened);
                    }
                    vfs->on_change = [&, steps = uint64_t(0)]() mutable {
                        if (++steps == crash_at) ::_exit(0);
                    };
                    ::_exit(storage::save_as(*opened, dest) ? 3 : 4);
                }
                int status = 0;
                ASSERT_EQ(::waitpid(pid, &status, 0), pid);
                ASSERT_TRUE(WIFEXITED(status));
                const int outcome = WEXITSTATUS(status);
                // What the kill left is the one copy the record names.
                const std::string recorded = recorded_scratch(dest);
                for (const std::string& left : scratch_beside(dest))
                    EXPECT_TRUE(left == recorded || left == wal_path_for(recorded)) << left;
                recorded_leftovers += !scratch_beside(dest).empty();
                const std::string found = contents_at(dest);
                if (outcome == 0) {
                    EXPECT_TRUE(found == before || found == copy) << found;
                } else {
                    // Ran to the end: an in-memory database never replaces a file.
                    EXPECT_EQ(outcome, !from_file && old_there ? 4 : 3);
                    EXPECT_EQ(found, outcome == 3 ? copy : before);
                    break;
                }
                if (from_file || found == "absent") {
                    Engine again = from_file ? must(storage::open(src)) : Engine();
                    if (!from_file) fill_source(again);
                    auto saved = storage::save_as(again, dest);
                    ASSERT_TRUE(saved) << saved.error().display();
                    *saved = Engine();
                    EXPECT_EQ(contents_at(dest), copy);
                }
                // Gone with the next open of the destination or save-as onto it.
                EXPECT_TRUE(scratch_beside(dest).empty());
                EXPECT_EQ(recorded_scratch(dest), "");
            }
            // The file route's copy is no step of the file layer, its rename
            // is, and so is folding an old log; the in-memory route builds
            // its file through it, and refuses an old one before any step.
            EXPECT_GT(crash_at, from_file ? (old_there ? 5u : 1u) : (old_there ? 0u : 5u));
        }
    }
    EXPECT_GT(recorded_leftovers, 0);
}

}  // namespace
}  // namespace zembrel::testing
