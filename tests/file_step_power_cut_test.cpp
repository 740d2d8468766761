// A power cut at any file-system step of a place that writes a database
// must leave what the next open accepts, with every acknowledged commit in
// it and none half applied. Each place runs once in a traced child
// (power_cut_states.h); every state a cut could leave, under strict
// durability, is then opened here, untraced, through the C interface only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "file_step_util.h"
#include "power_cut_states.h"
#include "zembrel.h"

namespace {

namespace fs = std::filesystem;
using zembrel::testing::acknowledge;
using zembrel::testing::power_cut_each_step;
using zembrel::testing::PowerCutRun;
using zembrel::testing::PowerCutState;
using zembrel::testing::record_power_cuts;
using namespace zembrel::testing::file_step_util;

class FileStepPowerCut : public FileStepTest {};

// ---------------------------------------------------------------- the harness itself

TEST_F(FileStepPowerCut, HarnessStatesFollowStrictDurability) {
    const auto prepare = [&] {
        reset_dir();
        put_bytes(at("e"), "1234");
        put_bytes(at("old"), "keep");
    };
    const auto work = [&] {
        const int dfd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
        int f = -1;
        // Steps 1 and 2 on another thread.
        std::thread([&] {
            f = ::open(at("f").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            ::fsync(dfd);
        }).join();
        (void)!::write(f, "abc", 3);  // 3
        acknowledge('w');
        ::fsync(f);  // 4
        acknowledge('s');
        (void)!::write(f, "de", 2);                                           // 5
        ::rename(at("f").c_str(), at("g").c_str());                           // 6
        ::mkdir(at("sub").c_str(), 0755);                                     // 7
        ::fsync(dfd);                                                         // 8
        const int tmp = ::open(at("sub").c_str(), O_TMPFILE | O_RDWR, 0644);  // 9
        (void)!::write(tmp, "xy", 2);                                         // 10
        ::fdatasync(tmp);                                                     // 11
        const std::string proc = "/proc/self/fd/" + std::to_string(tmp);
        ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, at("sub/t").c_str(), AT_SYMLINK_FOLLOW);  // 12
        const int sub = ::open(at("sub").c_str(), O_RDONLY | O_DIRECTORY);
        ::fsync(sub);                                                                    // 13
        ::link(at("g").c_str(), at("h").c_str());                                        // 14
        ::unlink(at("old").c_str());                                                     // 15
        ::fsync(dfd);                                                                    // 16
        const bool refused = ::mkdir(at("sub").c_str(), 0755) == -1 && errno == EEXIST;  // 17
        const int e = ::open(at("e").c_str(), O_WRONLY | O_TRUNC);                       // 18
        (void)!::write(e, "z", 1);                                                       // 19
        const int n = ::open(at("n").c_str(), O_WRONLY | O_CREAT, 0644);                 // 20
        (void)!::write(n, "nn", 2);                                                      // 21
        ::sync_file_range(n, 0, 0, SYNC_FILE_RANGE_WRITE);                               // 22, promises nothing
        ::unlink(at("g").c_str());                                                       // 23
        for (int fd : {dfd, f, tmp, sub, e, n}) ::close(fd);
        return refused ? 0 : 1;
    };
    for (const bool filter : {true, false}) {
        SCOPED_TRACE(filter ? "filtered" : "every call stopping");
        zembrel::testing::file_steps_detail::filter_calls = filter;
        prepare();
        const PowerCutRun run = record_power_cuts(dir_, work);
        ASSERT_TRUE(run.traced);
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.acks, "ws");
        ASSERT_EQ(run.steps.size(), 23u);
        for (const auto& step : run.steps) {
            EXPECT_TRUE(step.returned) << step.call << " " << step.path;
        }
        // Each call's result is read at its exit.
        const auto result = [&](std::size_t step) {
            EXPECT_TRUE(run.steps[step - 1].returned) << step;
            return run.steps[step - 1].result;
        };
        EXPECT_EQ(run.steps[0].call, "openat");
        EXPECT_EQ(run.steps[0].path, at("f"));
        EXPECT_GE(result(1), 0);
        EXPECT_EQ(result(3), 3);
        EXPECT_EQ(result(5), 2);
        EXPECT_EQ(run.steps[5].to, at("g"));
        EXPECT_EQ(result(12), 0);
        EXPECT_EQ(run.steps[11].to, at("sub/t"));
        EXPECT_EQ(result(17), -EEXIST);

        // One base state per cut, and a variant wherever a length differs.
        const auto state = [&](std::uint64_t cut, bool filled) -> const PowerCutState& {
            for (const auto& s : run.states)
                if (s.cut == cut && s.zero_filled == filled) return s;
            ADD_FAILURE() << "no state at cut " << cut << (filled ? ", filled" : "");
            return run.states.front();
        };
        const auto has_variant = [&](std::uint64_t cut) {
            return std::any_of(run.states.begin(), run.states.end(),
                               [&](const PowerCutState& s) { return s.cut == cut && s.zero_filled; });
        };
        const auto paths = [](const PowerCutState& s) {
            std::vector<std::string> out;
            for (const auto& f : s.files) out.push_back(f.path + (f.type == 'd' ? "/" : ""));
            return out;
        };
        using Names = std::vector<std::string>;
        using Bytes = std::optional<std::string>;

        EXPECT_EQ(paths(state(0, false)), (Names{"e", "old"}));
        EXPECT_EQ(state(0, false).bytes_at("e"), Bytes("1234"));
        EXPECT_FALSE(has_variant(0));
        // A created name vanishes until its folder is flushed.
        EXPECT_EQ(paths(state(1, false)), (Names{"e", "old"}));
        EXPECT_EQ(paths(state(2, false)), (Names{"e", "f", "old"}));
        EXPECT_EQ(state(2, false).bytes_at("f"), Bytes(""));
        // Written, not flushed: empty, or zeros of its length.
        EXPECT_EQ(state(3, false).bytes_at("f"), Bytes(""));
        EXPECT_EQ(state(3, true).bytes_at("f"), Bytes(std::string(3, '\0')));
        EXPECT_EQ(state(3, false).acks, "w");
        EXPECT_EQ(state(4, false).bytes_at("f"), Bytes("abc"));
        EXPECT_FALSE(has_variant(4));
        EXPECT_EQ(state(4, false).acks, "ws");
        EXPECT_EQ(state(5, true).bytes_at("f"), Bytes(std::string("abc\0\0", 5)));
        // Renamed: the old name until the folder's flush, then the new one.
        EXPECT_EQ(paths(state(7, false)), (Names{"e", "f", "old"}));
        EXPECT_EQ(paths(state(8, false)), (Names{"e", "g", "old", "sub/"}));
        EXPECT_EQ(state(8, false).bytes_at("g"), Bytes("abc"));
        EXPECT_EQ(state(8, true).bytes_at("g"), Bytes(std::string("abc\0\0", 5)));
        // An unnamed file linked in: there once its folder is flushed.
        EXPECT_EQ(paths(state(12, false)), (Names{"e", "g", "old", "sub/"}));
        EXPECT_EQ(paths(state(13, false)), (Names{"e", "g", "old", "sub/", "sub/t"}));
        EXPECT_EQ(state(13, false).bytes_at("sub/t"), Bytes("xy"));
        // A hard link and a removal, durable at the same flush.
        EXPECT_EQ(paths(state(15, false)), (Names{"e", "g", "old", "sub/", "sub/t"}));
        const PowerCutState& linked = state(16, false);
        EXPECT_EQ(paths(linked), (Names{"e", "g", "h", "sub/", "sub/t"}));
        ASSERT_NE(linked.find("h"), nullptr);
        EXPECT_EQ(linked.find("g")->incarnation, linked.find("h")->incarnation);
        // Truncated and rewritten without a flush: the old bytes, or as many
        // of them as its new length.
        const PowerCutState& last = state(23, false);
        EXPECT_EQ(last.where.substr(0, 15), "after the work ");
        EXPECT_EQ(paths(last), (Names{"e", "g", "h", "sub/", "sub/t"}));
        EXPECT_EQ(last.bytes_at("e"), Bytes("1234"));
        EXPECT_EQ(state(23, true).bytes_at("e"), Bytes("1"));
        EXPECT_EQ(state(23, true).bytes_at("h"), Bytes(std::string("abc\0\0", 5)));
        EXPECT_EQ(last.acks, "ws");
    }

    // The driver puts each distinct state in the folder once, hard links as
    // hard links.
    zembrel::testing::file_steps_detail::filter_calls = true;
    std::vector<std::string> seen;
    const auto summary = power_cut_each_step("harness", dir_, prepare, work, [&](const PowerCutState& s) {
        seen.push_back(s.where);
        EXPECT_EQ(bytes_of(at("e")), s.bytes_at("e"));
        EXPECT_EQ(bytes_of(at("g")), s.bytes_at("g"));
        EXPECT_EQ(bytes_of(at("sub/t")), s.bytes_at("sub/t"));
        if (s.find("h") != nullptr) {
            struct stat g {
            }, h{};
            ASSERT_EQ(::stat(at("g").c_str(), &g), 0);
            ASSERT_EQ(::stat(at("h").c_str(), &h), 0);
            EXPECT_EQ(g.st_ino, h.st_ino);
        }
        EXPECT_EQ(names_in(dir_).size(),
                  static_cast<std::size_t>(std::count_if(s.files.begin(), s.files.end(), [](const auto& f) {
                      return f.path.find('/') == std::string::npos;
                  })));
    });
    EXPECT_EQ(summary.steps, 23u);
    EXPECT_EQ(summary.states, seen.size());
    EXPECT_EQ(summary.failed, 0u);
    // Cut 0 and cut 1 leave the same files and acknowledgements: one state.
    EXPECT_EQ(
        std::count_if(seen.begin(), seen.end(), [](const std::string& w) { return w.starts_with("before step 2 "); }),
        0);
    EXPECT_EQ(seen.size(), 14u);
}

// ---------------------------------------------------------------- what the places share

// A table's values of n, sorted; nothing when the table cannot be read.
std::optional<std::vector<long>> numbers_in(zembrel_db* db, const std::string& table) {
    auto cells = column_of(db, "SELECT n FROM " + table);
    if (!cells) return std::nullopt;
    std::vector<long> out;
    for (const auto& c : *cells) out.push_back(std::stol(c));
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<long> with(std::vector<long> rows, const std::vector<long>& added) {
    rows.insert(rows.end(), added.begin(), added.end());
    std::sort(rows.begin(), rows.end());
    return rows;
}

// One commit of a work, by the rows it adds; `ack` 0 for what the folder
// held before the run, durable from the start.
struct Commit {
    char ack;
    std::vector<long> rows;
};

std::string text_of(const std::optional<std::vector<long>>& rows) {
    if (!rows) return "no table";
    std::string out;
    for (long n : *rows) out += (out.empty() ? "" : ",") + std::to_string(n);
    return "[" + out + "]";
}

// Checks that a table (nothing: it is missing) holds the first few of
// `commits` in full, in order, all acknowledged ones among them, and
// returns how many.
int expect_commits(const std::optional<std::vector<long>>& rows, const std::vector<Commit>& commits,
                   const PowerCutState& s) {
    int held = !rows || rows->empty() ? 0 : -1;
    std::vector<long> want;
    for (std::size_t i = 0; rows && i < commits.size(); ++i) {
        want = with(want, commits[i].rows);
        if (*rows == want) held = static_cast<int>(i + 1);
    }
    EXPECT_NE(held, -1) << text_of(rows) << ": half a commit, one twice or one without those before it";
    for (std::size_t i = 0; i < commits.size(); ++i) {
        if (commits[i].ack == 0 || s.acked(commits[i].ack)) {
            EXPECT_GT(held, static_cast<int>(i))
                << text_of(rows) << ": the commit "
                << (commits[i].ack == 0 ? std::string("made before the run")
                                        : "acknowledged as '" + std::string(1, commits[i].ack) + "'")
                << " is lost";
        }
    }
    return held;
}

// ---------------------------------------------------------------- commits and a checkpoint

TEST_F(FileStepPowerCut, CommitAndTransaction) {
    const std::string db = at("a.db");
    const std::vector<Commit> commits = {{0, {0}}, {'a', {1}}, {'c', {2, 3}}};
    const auto apply = [&](zembrel_db* h) {
        if (!exec(h, "INSERT INTO t VALUES (1)")) return 2;
        acknowledge('a');
        if (!exec(h, "BEGIN") || !exec(h, "INSERT INTO t VALUES (2)") || !exec(h, "INSERT INTO t VALUES (3)") ||
            !exec(h, "COMMIT"))
            return 3;
        acknowledge('c');
        return 0;
    };
    power_cut_each_step(
        "a commit and a transaction", dir_,
        [&] {
            reset_dir();
            make_database(db, {"CREATE TABLE t (n INT)", "INSERT INTO t VALUES (0)"});
        },
        [&] {
            // Left open: a close checkpoints, which has a place of its own.
            zembrel_db* h = zembrel_open(db.c_str());
            return h == nullptr ? 1 : apply(h);
        },
        [&](const PowerCutState& s) {
            zembrel_db* h = zembrel_open(db.c_str());
            ASSERT_NE(h, nullptr) << "the database does not open; " << left_in(dir_);
            const auto rows = numbers_in(h, "t");
            expect_commits(rows, commits, s);
            EXPECT_EQ(apply(h), 0) << zembrel_errmsg(h);
            zembrel_close(h);
            h = zembrel_open(db.c_str());
            ASSERT_NE(h, nullptr) << left_in(dir_);
            EXPECT_EQ(numbers_in(h, "t"), with(rows.value_or(std::vector<long>{}), {1, 2, 3}))
                << "the retry is not applied once";
            zembrel_close(h);
        });
}

TEST_F(FileStepPowerCut, CheckpointsOfALongLogAndOfAClose) {
    const std::string db = at("a.db"), big(3000, 'b');
    std::vector<long> many;
    for (long n = 100; n < 1200; ++n) many.push_back(n);
    const std::vector<Commit> commits = {{0, {0}}, {'a', {1}}, {'c', many}, {'b', {2}}};
    const auto apply = [&](zembrel_db* h) {
        if (!exec(h, "INSERT INTO t VALUES (1, 'x')")) return 2;
        acknowledge('a');
        // One commit leaves the log past its limit, and is checkpointed.
        if (!exec(h, "BEGIN")) return 3;
        for (long n = 100; n < 1200; n += 50) {
            std::string sql = "INSERT INTO t VALUES ";
            for (long k = n; k < n + 50; ++k) sql += (k == n ? "(" : ", (") + std::to_string(k) + ", '" + big + "')";
            if (!exec(h, sql.c_str())) return 3;
        }
        if (!exec(h, "COMMIT")) return 3;
        acknowledge('c');
        if (!exec(h, "INSERT INTO t VALUES (2, 'y')")) return 4;
        acknowledge('b');
        zembrel_close(h);  // checkpoints too
        return 0;
    };
    power_cut_each_step(
        "checkpoints of a long log and of a close", dir_,
        [&] {
            reset_dir();
            make_database(db, {"CREATE TABLE t (n INT, s TEXT)", "INSERT INTO t VALUES (0, 'x')"});
        },
        [&] {
            zembrel_db* h = zembrel_open(db.c_str());
            return h == nullptr ? 1 : apply(h);
        },
        [&](const PowerCutState& s) {
            zembrel_db* h = zembrel_open(db.c_str());
            ASSERT_NE(h, nullptr) << "the database does not open; " << left_in(dir_);
            const auto rows = numbers_in(h, "t");
            if (expect_commits(rows, commits, s) >= 3) {
                EXPECT_EQ(column_of(h, "SELECT s FROM t WHERE n = 700"), std::vector<std::string>{big})
                    << "a checkpointed row lost its text";
            }
            EXPECT_EQ(apply(h), 0) << zembrel_errmsg(h);
            h = zembrel_open(db.c_str());
            ASSERT_NE(h, nullptr) << left_in(dir_);
            EXPECT_EQ(numbers_in(h, "t"), with(with(rows.value_or(std::vector<long>{}), many), {1, 2}))
                << "the retry is not applied once";
            zembrel_close(h);
        });
}

// ---------------------------------------------------------------- a first open

class FirstOpenPowerCut : public FileStepPowerCut {
protected:
    void first_open(const std::string& what, const std::optional<std::string>& start) {
        const std::string db = at("a.db");
        const std::vector<Commit> commits = {{'c', {}}, {'i', {1}}};
        const auto apply = [&](zembrel_db* h, bool create) {
            if (create && !exec(h, "CREATE TABLE t (n INT)")) return 2;
            acknowledge('c');
            if (!exec(h, "INSERT INTO t VALUES (1)")) return 3;
            acknowledge('i');
            zembrel_close(h);
            return 0;
        };
        power_cut_each_step(
            "first open of " + what, dir_,
            [&] {
                reset_dir();
                if (start) put_bytes(db, *start);
            },
            [&] {
                zembrel_db* h = zembrel_open(db.c_str());
                if (h == nullptr) return 1;
                acknowledge('o');
                return apply(h, true);
            },
            [&](const PowerCutState& s) {
                zembrel_db* h = zembrel_open(db.c_str());
                ASSERT_NE(h, nullptr) << "the database does not open; " << left_in(dir_);
                const auto rows = numbers_in(h, "t");
                expect_commits(rows, commits, s);
                EXPECT_EQ(apply(h, !rows), 0) << zembrel_errmsg(h);
                h = zembrel_open(db.c_str());
                ASSERT_NE(h, nullptr) << left_in(dir_);
                EXPECT_EQ(numbers_in(h, "t"), with(rows.value_or(std::vector<long>{}), {1}))
                    << "the retry is not applied once";
                zembrel_close(h);
            });
    }
};

TEST_F(FirstOpenPowerCut, OfAMissingFile) {
    first_open("a missing file", std::nullopt);
}
TEST_F(FirstOpenPowerCut, OfAnEmptyFile) {
    first_open("an empty file", "");
}
TEST_F(FirstOpenPowerCut, OfAPageOfZeros) {
    first_open("a file of 4096 zero bytes", std::string(4096, '\0'));
}

// ---------------------------------------------------------------- save-as

class SaveAsPowerCut : public FileStepPowerCut {
protected:
    void save_as(bool in_memory, bool dest_exists) {
        const std::string src = at("src.db"), dest = at("dest.db");
        const std::vector<const char*> source_rows = {"CREATE TABLE s (n INT)", "INSERT INTO s VALUES (1)",
                                                      "INSERT INTO s VALUES (2)", "INSERT INTO s VALUES (3)"};
        const auto contents = [](zembrel_db* db) { return "o=" + rows_of(db, "o") + " s=" + rows_of(db, "s"); };
        const std::string copy = "o=- s=[1,2,3]", before = dest_exists ? "o=[7] s=-" : "o=- s=-";
        std::string why;  // the retry's refusal
        const auto apply = [&] {
            zembrel_db* h = in_memory ? zembrel_open_memory() : zembrel_open(src.c_str());
            if (h == nullptr) return 1;
            for (const char* sql : source_rows) {
                if (in_memory && !exec(h, sql)) return 2;
            }
            const bool saved = zembrel_save_as(h, dest.c_str()) == 0;
            if (saved) acknowledge('s');
            why = saved ? "" : zembrel_errmsg(h);
            zembrel_close(h);
            return saved ? 0 : 5;
        };
        power_cut_each_step(
            std::string("save-as from ") + (in_memory ? "memory" : "a file") + " onto " +
                (dest_exists ? "an existing database" : "an absent file"),
            dir_,
            [&] {
                reset_dir();
                if (!in_memory) make_database(src, source_rows);
                if (dest_exists) make_database(dest, {"CREATE TABLE o (n INT)", "INSERT INTO o VALUES (7)"});
            },
            apply,
            [&](const PowerCutState& s) {
                // No file where none was is what it held before.
                if (fs::exists(dest) || dest_exists) {
                    zembrel_db* h = zembrel_open(dest.c_str());
                    ASSERT_NE(h, nullptr) << "the destination does not open; " << left_in(dir_);
                    const std::string now = contents(h);
                    zembrel_close(h);
                    EXPECT_TRUE(now == copy || (now == before && dest_exists)) << "the destination holds " << now;
                    if (s.acked('s')) {
                        EXPECT_EQ(now, copy) << "an acknowledged save-as is lost";
                    }
                } else {
                    EXPECT_FALSE(s.acked('s')) << "an acknowledged save-as is lost: no destination; " << left_in(dir_);
                }
                if (!in_memory) {
                    zembrel_db* h = zembrel_open(src.c_str());
                    ASSERT_NE(h, nullptr) << "the source does not open; " << left_in(dir_);
                    EXPECT_EQ(rows_of(h, "s"), "[1,2,3]");
                    zembrel_close(h);
                }
                // From memory a save-as goes only where no file is: once the
                // copy is there the retry is refused, by design.
                EXPECT_EQ(apply(), in_memory && fs::exists(dest) ? 5 : 0) << why << "; " << left_in(dir_);
                zembrel_db* h = zembrel_open(dest.c_str());
                ASSERT_NE(h, nullptr) << "the destination does not open after the retry; " << left_in(dir_);
                EXPECT_EQ(contents(h), copy) << "the retry is not applied once";
                zembrel_close(h);
                EXPECT_FALSE(any_name_contains(dir_, ".saving")) << left_in(dir_);
            });
    }
};

TEST_F(SaveAsPowerCut, FromAFileOntoAnAbsentFile) {
    save_as(false, false);
}
TEST_F(SaveAsPowerCut, FromAFileOntoAnExistingDatabase) {
    save_as(false, true);
}
TEST_F(SaveAsPowerCut, FromMemoryOntoAnAbsentFile) {
    save_as(true, false);
}

// ---------------------------------------------------------------- a named branch

// A result's first column as sorted numbers.
std::optional<std::vector<long>> numbers_of(zembrel_result* rs) {
    if (rs == nullptr) return std::nullopt;
    std::vector<long> out;
    for (int r = 0; r < zembrel_result_row_count(rs); ++r) out.push_back(std::stol(zembrel_result_value(rs, r, 0)));
    zembrel_result_free(rs);
    std::sort(out.begin(), out.end());
    return out;
}

TEST_F(FileStepPowerCut, BranchOpsSealsAndCommit) {
    const std::string base = at("base.db");
    power_cut_each_step(
        "a named branch: ops, seals and a commit", dir_,
        [&] {
            reset_dir();
            make_database(base, {"CREATE TABLE t (id PK, v INT)"});
        },
        [&] {
            zembrel_shadow* br = zembrel_shadow_open_branch(base.c_str(), "b");
            if (br == nullptr) return 1;
            if (zembrel_shadow_exec(br, "INSERT INTO t (v) VALUES (1)") != 0) return 2;
            if (zembrel_shadow_seal(br, nullptr, nullptr) != 1) return 3;
            acknowledge('s');
            if (zembrel_shadow_exec(br, "INSERT INTO t (v) VALUES (2)") != 0) return 4;
            if (zembrel_shadow_seal(br, nullptr, nullptr) != 1) return 5;
            acknowledge('S');
            if (zembrel_shadow_commit(br) != 2) return 6;
            acknowledge('c');
            zembrel_shadow_close(br);
            return 0;
        },
        [&](const PowerCutState& s) {
            zembrel_db* db = zembrel_open(base.c_str());
            ASSERT_NE(db, nullptr) << "the base does not open; " << left_in(dir_);
            const auto merged = numbers_of(zembrel_query(db, "SELECT v FROM t"));
            zembrel_close(db);
            ASSERT_TRUE(merged.has_value());
            const bool committed = expect_commits(merged, {{'c', {1, 2}}}, s) == 1;

            zembrel_shadow* br = zembrel_shadow_open_branch(base.c_str(), "b");
            ASSERT_NE(br, nullptr) << "the branch does not open; " << left_in(dir_);
            // The branch's copy: the base with its pending ops replayed.
            const auto seen = numbers_of(zembrel_shadow_query(br, "SELECT v FROM t"));
            const long long pending = zembrel_shadow_pending(br);
            expect_commits(seen, {{'s', {1}}, {'S', {2}}}, s);
            if (!committed) {
                EXPECT_GE(pending, s.acked('S')   ? 2
                                   : s.acked('s') ? 1
                                                  : 0)
                    << "an acknowledged seal's ops are not pending; " << left_in(dir_);
            }
            EXPECT_EQ(pending, static_cast<long long>(seen.value_or(std::vector<long>{}).size() - merged->size()))
                << "pending ops that are merged already, or ops that are neither";
            // The retry: what the branch lacks, sealed and committed.
            for (long v : {1L, 2L}) {
                if (seen && std::find(seen->begin(), seen->end(), v) == seen->end()) {
                    const std::string sql = "INSERT INTO t (v) VALUES (" + std::to_string(v) + ")";
                    EXPECT_EQ(zembrel_shadow_exec(br, sql.c_str()), 0) << zembrel_shadow_errmsg(br);
                }
            }
            if (zembrel_shadow_unsealed(br) > 0) {
                EXPECT_GT(zembrel_shadow_seal(br, nullptr, nullptr), 0) << zembrel_shadow_errmsg(br);
            }
            if (zembrel_shadow_pending(br) > 0) {
                EXPECT_GT(zembrel_shadow_commit(br), 0) << zembrel_shadow_errmsg(br);
            }
            zembrel_shadow_close(br);
            db = zembrel_open(base.c_str());
            ASSERT_NE(db, nullptr) << left_in(dir_);
            EXPECT_EQ(numbers_of(zembrel_query(db, "SELECT v FROM t")), (std::vector<long>{1, 2}))
                << "the retry is not applied once";
            zembrel_close(db);
        });
}

// ---------------------------------------------------------------- a conversion

TEST_F(FileStepPowerCut, ConversionOfALegacyDocument) {
    const std::string db = at("c.db"), bak = db + ".bak";
    const std::string legacy =
        R"({"tables":{"t":{"name":"t","columns":[{"name":"n","data_type":"Int"}],"rows":[[{"Int":1}],[{"Int":2}]]}}})";
    const auto apply = [&] {
        zembrel_db* h = zembrel_open(db.c_str());
        if (h == nullptr) return 1;
        acknowledge('o');
        zembrel_close(h);
        return 0;
    };
    power_cut_each_step(
        "conversion of a legacy document", dir_,
        [&] {
            reset_dir();
            put_bytes(db, legacy);
        },
        apply,
        [&](const PowerCutState&) {
            zembrel_db* h = zembrel_open(db.c_str());
            ASSERT_NE(h, nullptr) << "the database does not open; " << left_in(dir_);
            EXPECT_EQ(rows_of(h, "t"), "[1,2]");
            zembrel_close(h);
            if (fs::exists(bak)) {
                EXPECT_TRUE(holds(bak, legacy)) << "the backup is not the legacy document";
            }
            EXPECT_EQ(apply(), 0);
            h = zembrel_open(db.c_str());
            ASSERT_NE(h, nullptr) << left_in(dir_);
            EXPECT_EQ(rows_of(h, "t"), "[1,2]") << "the retry is not applied once";
            zembrel_close(h);
        });
}

}  // namespace
