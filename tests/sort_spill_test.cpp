// The external sort: a spilled sort returns exactly what an in-memory one
// does (non-finite floats included, ties in input order), runs end where
// the rows held reach the memory budget, its run files never show in the
// temporary directory and are closed after the end, after an error and
// after an early release, a process killed mid-sort leaves nothing, and an
// unusable temporary directory is named in the error. Run files: round
// trip and damaged records.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <thread>

#include "test_util.h"
#include "executor/select.h"
#include "operators/sort_cell.h"
#include "sort_spill/external_sort.h"
#include "sort_spill/run_file.h"

using namespace zembrel;
using namespace zembrel::testing;
namespace fs = std::filesystem;

namespace {

// Points TMPDIR at a private directory, or at `dir` as given (which may be
// missing), for the test's lifetime.
class TmpDirScope {
public:
    explicit TmpDirScope(std::optional<std::string> dir = std::nullopt) : path_(dir ? *dir : own_.root()) {
        const char* old = std::getenv("TMPDIR");
        if (old != nullptr) old_ = old;
        setenv("TMPDIR", path_.c_str(), 1);
    }
    ~TmpDirScope() {
        if (old_) setenv("TMPDIR", old_->c_str(), 1);
        else unsetenv("TMPDIR");
    }
    // Everything in the directory: run files and an in-memory engine's
    // backing file have no name, so there should never be anything.
    size_t entries() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(path_), fs::directory_iterator()));
    }

private:
    TempDir own_;
    std::string path_;
    std::optional<std::string> old_;
};

// Descriptors this process has open: a run file without a name is gone
// exactly when its descriptor is closed.
size_t open_files() {
    return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

std::vector<Row> select_rows(Engine& engine, const std::string& sql) {
    ExecResult r = ok(engine, sql);
    auto* rows = std::get_if<Rows>(&r);
    return rows ? rows->rows : std::vector<Row>{};
}

// Fails after yielding `good` rows.
class FailingSource final : public operators::Operator {
public:
    explicit FailingSource(int good) : good_(good) {}
    Result<RowView> next() override {
        if (good_-- <= 0) return storage_error("source broke");
        row_ = {Value::integer(good_)};
        return RowView(row_);
    }

private:
    int good_;
    Row row_;
};

TEST(ExternalSort, SpilledSortEqualsInMemorySortIncludingNonFiniteFloats) {
    TmpDirScope tmp;
    Engine engine;
    ok(engine, "CREATE TABLE t (id INT, k FLOAT, s TEXT)");
    std::mt19937_64 rng(7);
    std::string insert = "INSERT INTO t VALUES ";
    for (int i = 0; i < 150; ++i) {
        insert += (i ? ", (" : "(") + std::to_string(i) + ", " + std::to_string(static_cast<int>(rng() % 9)) + ".5, " +
                  (rng() % 4 == 0 ? std::string("NULL") : "'s" + std::to_string(rng() % 5) + "\"q'") + ")";
    }
    ok(engine, insert);
    Table& t = engine.tables.database.tables.at("t");
    const double specials[] = {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN()};
    for (size_t i = 0; i < t.rows.size(); i += 7) t.rows.cells(i)[1] = Value::floating(specials[(i / 7) % 4]);
    for (size_t i = 3; i < t.rows.size(); i += 11) t.rows.cells(i)[1] = Value();

    for (const char* order : {"k", "k DESC", "s, k DESC", "s DESC"}) {
        for (const char* limit : {"", " LIMIT 5", " LIMIT 40"}) {
            const std::string sql = std::string("SELECT * FROM t ORDER BY ") + order + limit;
            engine.settings.sort_budget = 1 << 20;
            const std::vector<Row> in_memory = select_rows(engine, sql);
            for (uint64_t budget : {100, 700}) {
                engine.settings.sort_budget = budget;
                EXPECT_EQ(select_rows(engine, sql), in_memory) << sql << " with a budget of " << budget;
            }
        }
    }
    // Ties keep insertion order: ids ascend within equal keys, also with
    // one run per row.
    engine.settings.sort_budget = 1;
    const std::vector<Row> by_s = select_rows(engine, "SELECT s, id FROM t ORDER BY s");
    for (size_t i = 1; i < by_s.size(); ++i) {
        if (Value::sql_cmp(by_s[i - 1][0], by_s[i][0]) == 0) {
            EXPECT_LT(by_s[i - 1][1].as_int(), by_s[i][1].as_int());
        }
    }
    EXPECT_EQ(tmp.entries(), 0u);
}

// Hands out copies of the rows it holds, as a source whose rows do not stay
// valid: the sort must keep copies, and counts their bytes.
class CopiedRows final : public operators::Operator {
public:
    explicit CopiedRows(std::vector<Row> rows) : rows_(std::move(rows)) {}
    Result<RowView> next() override {
        if (next_ == rows_.size()) return RowView();
        current_ = rows_[next_++];
        return RowView(current_);
    }
    Row take(RowView) override { return std::move(current_); }

private:
    std::vector<Row> rows_;
    size_t next_ = 0;
    Row current_;
};

TEST(ExternalSort, RunsEndWhereTheBytesHeldReachTheBudget) {
    TmpDirScope tmp;
    // Every 40th row carries a 100 KiB text and key 0; the others a few bytes
    // and keys 0..4. A budget below one large row and far above 39 small
    // ones ends every run at a large row.
    std::vector<Row> rows;
    for (int i = 0; i < 400; ++i) {
        const bool large = i % 40 == 39;
        rows.push_back({Value::integer(large ? 0 : i % 5), Value::integer(i),
                        Value::text(std::string(large ? 100'000 : i % 7, static_cast<char>('a' + i % 26)))});
    }
    std::vector<Row> expected = rows;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const Row& a, const Row& b) { return a[0].as_int() < b[0].as_int(); });
    const uint64_t budget = 64 << 10;

    sort_spill::ExternalSort sort(std::make_unique<CopiedRows>(rows), {{0, true}}, budget);
    std::vector<Row> out;
    for (;;) {
        auto got = sort.next();
        ASSERT_TRUE(got.has_value()) << got.error().message;
        if (!*got) break;
        out.push_back(sort.take(*got));
    }
    EXPECT_EQ(out, expected);
    EXPECT_EQ(sort.runs_written(), 10u);
    // One small row more makes a run of its own only if every run ended at
    // its large row: ending a row later, the ten runs would take it in.
    rows.push_back({Value::integer(1), Value::integer(400), Value::text("z")});
    sort_spill::ExternalSort longer(std::make_unique<CopiedRows>(rows), {{0, true}}, budget);
    ASSERT_TRUE(longer.next().has_value());
    EXPECT_EQ(longer.runs_written(), 11u);
    rows.pop_back();

    // Under LIMIT 20 the kept rows soon hold two large ones: the sort goes on
    // through run files and still starts with the same twenty rows.
    sort_spill::ExternalSort top(std::make_unique<CopiedRows>(rows), {{0, true}}, budget, 20);
    for (size_t i = 0; i < 20; ++i) {
        auto got = top.next();
        ASSERT_TRUE(got.has_value() && *got);
        EXPECT_EQ(got->to_row(), expected[i]) << "row " << i;
        EXPECT_GT(top.runs_written(), 0u);
    }
}

TEST(ExternalSort, RunFilesAreClosedAfterEndErrorAndEarlyRelease) {
    TmpDirScope tmp;
    const size_t files_before = open_files();
    auto source = [] {
        std::vector<Row> rows;
        for (int i = 0; i < 10; ++i) rows.push_back({Value::integer(9 - i)});
        return executor::rows_source(std::move(rows));
    };
    {  // fits in the budget: no file at all
        sort_spill::ExternalSort sort(source(), {{0, true}}, 1 << 20);
        ASSERT_TRUE(sort.next().has_value());
        EXPECT_EQ(sort.runs_written(), 0u);
        EXPECT_EQ(open_files(), files_before);
    }
    {  // released after a few merged rows; a budget of one byte: one run per row
        sort_spill::ExternalSort sort(source(), {{0, true}}, 1);
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(bool(*sort.next()));
        EXPECT_EQ(sort.runs_written(), 10u);
        EXPECT_EQ(sort.runs_open(), 10u);
        EXPECT_EQ(open_files(), files_before + 10);
        EXPECT_EQ(tmp.entries(), 0u);
    }
    EXPECT_EQ(open_files(), files_before);
    {  // drained to the end
        sort_spill::ExternalSort sort(source(), {{0, true}}, 2);
        int64_t expect = 0;
        for (;;) {
            auto got = sort.next();
            ASSERT_TRUE(got.has_value());
            if (!*got) break;
            EXPECT_EQ((*got)[0], Value::integer(expect++));
        }
        EXPECT_EQ(expect, 10);
        EXPECT_EQ(sort.runs_open(), 0u);
        EXPECT_EQ(open_files(), files_before);
    }
    {  // the child fails after runs were written
        sort_spill::ExternalSort sort(std::make_unique<FailingSource>(5), {{0, true}}, 2);
        auto got = sort.next();
        ASSERT_FALSE(got.has_value());
        EXPECT_EQ(got.error().message, "source broke");
        EXPECT_GT(sort.runs_written(), 0u);
        EXPECT_EQ(sort.runs_open(), 0u);
        EXPECT_EQ(open_files(), files_before);
    }
    EXPECT_EQ(tmp.entries(), 0u);
}

// The child of the kill test: tells the parent it starts, then runs a
// spilling ORDER BY until it is killed. Never returns.
[[noreturn]] void sort_until_killed(Engine& engine, int ready) {
    if (::write(ready, "g", 1) != 1) _exit(2);
    for (;;)
        if (!run(engine, "SELECT * FROM t ORDER BY k, s")) _exit(3);
}

TEST(ExternalSort, KilledMidSortLeavesNothingInTheTemporaryDirectory) {
    TmpDirScope tmp;
    Engine engine;
    ok(engine, "CREATE TABLE t (id INT, k INT, s TEXT)");
    for (int batch = 0; batch < 40; ++batch) {
        std::string insert = "INSERT INTO t VALUES ";
        for (int i = 0; i < 500; ++i) {
            const int id = batch * 500 + i;
            insert += (i ? ", (" : "(") + std::to_string(id) + ", " + std::to_string(id * 7919 % 1000) + ", 'row " +
                      std::to_string(id) + "')";
        }
        ok(engine, insert);
    }
    engine.settings.sort_budget = 16 << 10;  // some fifty runs per sort
    for (int delay_ms : {1, 4, 9, 16, 25, 40, 70}) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            sort_until_killed(engine, ready[1]);
        }
        ::close(ready[1]);
        char go = 0;
        const bool started = ::read(ready[0], &go, 1) == 1;
        ::close(ready[0]);
        if (started) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(started && WIFSIGNALED(status)) << "the child stopped by itself, status " << status;
        EXPECT_EQ(tmp.entries(), 0u) << "killed " << delay_ms << " ms into its sorts";
    }
}

TEST(ExternalSort, UnusableTemporaryDirectoryIsNamedAndLeftAsItWas) {
    TempDir dir;
    write_file(dir.path("file"), {});
    Engine engine;
    ok(engine, "CREATE TABLE t (k INT)");
    ok(engine, "INSERT INTO t VALUES (3), (1), (2)");
    engine.settings.sort_budget = 1;
    const std::pair<std::string, std::string> cases[] = {
        {dir.path("gone"), "No such file or directory (os error 2)"},
        {dir.path("file"), "Not a directory (os error 20)"},
    };
    for (const auto& [tmpdir, why] : cases) {
        TmpDirScope scope(tmpdir);
        auto r = run(engine, "SELECT k FROM t ORDER BY k");
        ASSERT_FALSE(r.has_value()) << tmpdir;
        EXPECT_EQ(r.error().kind, ErrorKind::Storage);
        EXPECT_EQ(r.error().message,
                  "create sort run: temporary directory '" + tmpdir + "' is missing or not writable: " + why);
    }
    EXPECT_FALSE(fs::exists(dir.path("gone")));
    EXPECT_EQ(fs::file_size(dir.path("file")), 0u);
    // The directory back in place, the same statement spills and succeeds.
    TmpDirScope scope;
    EXPECT_EQ(select_rows(engine, "SELECT k FROM t ORDER BY k"),
              (std::vector<Row>{{Value::integer(1)}, {Value::integer(2)}, {Value::integer(3)}}));
    EXPECT_EQ(scope.entries(), 0u);
}

TEST(SortCell, EveryPairComparesAsSqlCmp) {
    using namespace std::string_literals;
    const std::string sixteen = "abcdefghijklmnop";
    const Value values[] = {
        Value(), Value::boolean(false), Value::boolean(true), Value::integer(-3), Value::integer(INT64_MIN),
        Value::floating(-0.0), Value::floating(0.0), Value::floating(std::numeric_limits<double>::quiet_NaN()),
        Value::floating(-3.0), Value::text(""), Value::text("\0"s), Value::text("a"), Value::text("a\0"s),
        Value::text("abcdefgh"), Value::text("abcdefgh\xff"), Value::text(sixteen), Value::text(sixteen + "\0"s),
        Value::text(sixteen + "q"), Value::text(sixteen + "qr"), Value::text(sixteen + "r"), Value::text("\xff\xff"),
        Value::uuid(sixteen + "q"), Value::uuid("zzz"), Value::date("2024-01-02"), Value::date(sixteen),
        Value::datetime("2024-01-02T00:00:00"), Value::datetime(sixteen + "q"),
    };
    auto sign = [](std::strong_ordering o) { return o < 0 ? -1 : o > 0 ? 1 : 0; };
    for (const Value& a : values) {
        for (const Value& b : values) {
            const auto cells = operators::SortCell::compare(operators::SortCell::of(a), operators::SortCell::of(b));
            EXPECT_EQ(sign(cells), sign(Value::sql_cmp(a, b))) << a.debug() << " vs " << b.debug();
        }
    }
}

TEST(RunFile, RoundTripAndDamagedRecords) {
    TempDir dir;
    const Row a{Value::text("say \"hi\"\n"), Value(), Value::floating(-0.0), Value::integer(INT64_MIN),
                Value::boolean(true), Value::date("2024-01-02"), Value::floating(std::numeric_limits<double>::infinity())};
    const Row empty{};
    const RowView rows[] = {a, empty};
    auto file = sort_spill::create_run(dir.root(), "run_0000.sort");
    ASSERT_TRUE(file.has_value()) << file.error().message;
    ASSERT_TRUE(sort_spill::write_run(**file, rows).has_value());
    auto reader = sort_spill::RunReader::open(std::move(*file));
    ASSERT_TRUE(reader.has_value());
    EXPECT_EQ(**reader->read_row(), a);
    EXPECT_EQ(**reader->read_row(), empty);
    EXPECT_FALSE(reader->read_row()->has_value());

    // A body cut short, a length beyond the file, a bad tag and bytes after
    // the last value are errors.
    storage::Bytes encoded;
    ASSERT_TRUE(sort_spill::encode_record(encoded, a).has_value());
    const std::string record(encoded.begin(), encoded.end());
    const std::pair<std::string, std::string> damaged[] = {
        {record.substr(0, record.size() - 1), "read sort row body: "},
        {record.substr(0, 2), "read sort run: "},
        {std::string("\xff\xff\xff\x7f\0\0", 6), "read sort row body: "},
        {std::string("\x03\0\0\0\x01\0\x09", 7), "decode sort row: "},
        {std::string("\x03\0\0\0\0\0\0", 7), "decode sort row: "},
    };
    for (const auto& [bytes, prefix] : damaged) {
        auto damaged_file = sort_spill::create_run(dir.root(), "damaged.sort");
        ASSERT_TRUE(damaged_file.has_value());
        const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
        ASSERT_TRUE((*damaged_file)->write_at(std::span(data, bytes.size()), 0));
        auto r = sort_spill::RunReader::open(std::move(*damaged_file));
        ASSERT_TRUE(r.has_value());
        auto row = r->read_row();
        ASSERT_FALSE(row.has_value()) << prefix;
        EXPECT_EQ(row.error().kind, ErrorKind::Storage);
        EXPECT_EQ(row.error().message.rfind(prefix, 0), 0u) << row.error().message;
    }
    EXPECT_TRUE(fs::is_empty(dir.root()));
}

}  // namespace
