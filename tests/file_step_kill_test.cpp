// A process killed between two file-system steps of any place that makes or
// removes a file must leave what the next call accepts, and nothing that
// stays for good. Each place runs in a traced child killed at its 1st, 2nd,
// 3rd ... step (file_steps.h counts the steps at the system-call level, as
// some files are made with raw POSIX calls outside the file layer); after
// each kill the next call runs here, untraced, through the C interface only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "file_step_util.h"
#include "file_steps.h"
#include "zembrel.h"

namespace {

namespace fs = std::filesystem;
using zembrel::testing::acknowledge;
using zembrel::testing::kill_at_each_step;
using zembrel::testing::run_with_kill_at;
using zembrel::testing::StepRun;
using namespace zembrel::testing::file_step_util;

class FileStepKill : public FileStepTest {};

// ---------------------------------------------------------------- the harness itself

TEST_F(FileStepKill, HarnessKillsAtTheCountedStepAndCountsNothingElse) {
    const std::string f = at("f"), g = at("g"), h = at("h"), outside = root_ + "/outside";
    static volatile sig_atomic_t signalled = 0;
    const auto work = [&] {
        // Not counted: a write outside the folder, a read-only open inside it.
        int out = ::open(outside.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        (void)!::write(out, "x", 1);
        ::close(out);
        const int dfd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
        // Steps 1 and 2 on another thread, by a directory descriptor and a
        // relative name.
        std::thread([&] {
            const int fd = ::openat(dfd, "f", O_WRONLY | O_CREAT | O_EXCL, 0644);
            acknowledge('1');
            (void)!::write(fd, "ab", 2);
            acknowledge('2');
            ::close(fd);
        }).join();
        // Step 3: relative to the working directory.
        if (::chdir(dir_.c_str()) != 0 || ::rename("f", "g") != 0) return 3;
        acknowledge('3');
        // Step 4 names the folder; step 5 links the unnamed file by its
        // /proc name and is counted by the new one.
        const int unnamed = ::open(dir_.c_str(), O_TMPFILE | O_RDWR, 0644);
        if (unnamed < 0) return 4;
        acknowledge('4');
        const std::string proc = "/proc/self/fd/" + std::to_string(unnamed);
        if (::linkat(AT_FDCWD, proc.c_str(), dfd, "h", AT_SYMLINK_FOLLOW) != 0) return 5;
        acknowledge('5');
        // A signal of the work's own still reaches its handler.
        ::signal(SIGUSR1, [](int) { signalled = 1; });
        ::raise(SIGUSR1);
        return signalled ? 0 : 6;
    };
    // Both ways of stopping the child: at the calls a filter picks, and at
    // every call.
    for (const bool filter : {true, false}) {
        zembrel::testing::file_steps_detail::filter_calls = filter;
        reset_dir();
        const StepRun counted = run_with_kill_at(dir_, 0, work);
        ASSERT_TRUE(counted.traced);
        EXPECT_FALSE(counted.killed);
        EXPECT_EQ(counted.exit_code, 0);
        EXPECT_EQ(counted.steps, 5u);
        EXPECT_EQ(counted.acks, "12345");

        const std::uint64_t steps = kill_at_each_step(
            filter ? "harness, filtered" : "harness, every call stopping", dir_, [&] { reset_dir(); }, work,
            [&](std::uint64_t kill_at, const StepRun& run) {
                EXPECT_EQ(bytes_of(outside), "x");
                EXPECT_EQ(run.acks, std::string("12345").substr(0, kill_at - 1));
                EXPECT_EQ(bytes_of(f), kill_at == 2   ? std::optional<std::string>("")
                                       : kill_at == 3 ? std::optional<std::string>("ab")
                                                      : std::nullopt);
                EXPECT_EQ(bytes_of(g), kill_at >= 4 ? std::optional<std::string>("ab") : std::nullopt);
                EXPECT_EQ(fs::exists(h), kill_at >= 6);
                EXPECT_EQ(run.killed, kill_at <= 5);
                if (!run.killed) {
                    EXPECT_EQ(run.exit_code, 0);
                }
            });
        EXPECT_EQ(steps, 5u);
    }
}

TEST_F(FileStepKill, HarnessCountsEveryKindOfChangeOnce) {
    const std::string outside = root_ + "/outside";
    const auto work = [&] {
        const std::string sub = dir_ + "/sub", a = sub + "/a", b = sub + "/b", c = sub + "/c";
        int steps = 0;
        const auto step = [&](bool ok) { steps += ok ? 1 : 100; };
        step(::mkdir(sub.c_str(), 0755) == 0);
        const int fa = ::creat(a.c_str(), 0644);
        step(fa >= 0);
        step(::pwrite(fa, "abcd", 4, 0) == 4);
        const iovec parts[2] = {{const_cast<char*>("ef"), 2}, {const_cast<char*>("gh"), 2}};
        step(::writev(fa, parts, 2) == 4);
        step(::ftruncate(fa, 6) == 0);
        (void)::fallocate(fa, 0, 0, 8);  // counted whether the file system can or not
        ++steps;
        step(::fsync(fa) == 0);
        step(::fdatasync(fa) == 0);
        step(::sync_file_range(fa, 0, 0, SYNC_FILE_RANGE_WRITE) == 0);
        step(::truncate(a.c_str(), 4) == 0);
        const int ra = ::open(a.c_str(), O_RDONLY);  // not counted, nor are its reads and seeks
        char buf[4];
        (void)!::pread(ra, buf, sizeof buf, 0);
        const int fb = ::open(b.c_str(), O_WRONLY | O_CREAT, 0644);
        step(fb >= 0);
        (void)::ioctl(fb, FICLONE, ra);  // likewise
        ++steps;
        loff_t in_at = 0;
        step(::copy_file_range(ra, &in_at, fb, nullptr, 4, 0) == 4);
        off_t send_at = 0;
        step(::sendfile(fb, ra, &send_at, 4) == 4);
        step(::symlink("a", c.c_str()) == 0);
        step(::link(a.c_str(), (sub + "/d").c_str()) == 0);
        step(::renameat2(AT_FDCWD, b.c_str(), AT_FDCWD, (sub + "/e").c_str(), RENAME_NOREPLACE) == 0);
        step(::unlink(c.c_str()) == 0);
        step(::unlinkat(AT_FDCWD, (sub + "/d").c_str(), 0) == 0);
        // Outside the folder nothing counts.
        const int out = ::open(outside.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        (void)!::write(out, "x", 1);
        ::fsync(out);
        ::close(out);
        ::close(fa);
        ::close(fb);
        ::close(ra);
        return steps;
    };
    for (const bool filter : {true, false}) {
        zembrel::testing::file_steps_detail::filter_calls = filter;
        reset_dir();
        const StepRun run = run_with_kill_at(dir_, 0, work);
        ASSERT_TRUE(run.traced);
        EXPECT_EQ(run.exit_code, 19) << "a call failed (filter " << filter << ")";
        EXPECT_EQ(run.steps, 19u) << "filter " << filter;
        // Killed at the last one, that call never ran.
        reset_dir();
        const StepRun last = run_with_kill_at(dir_, 19, work);
        EXPECT_TRUE(last.killed);
        EXPECT_TRUE(fs::exists(dir_ + "/sub/d")) << "filter " << filter;
    }
}

// ---------------------------------------------------------------- A: a first open

TEST_F(FileStepKill, FirstOpenOfAMissingEmptyOrZeroPageFile) {
    const std::string db = at("a.db");
    const struct {
        const char* what;
        std::optional<std::string> bytes;
    } starts[] = {{"a missing file", std::nullopt},
                  {"an empty file", ""},
                  {"a file of 4096 zero bytes", std::string(4096, '\0')}};
    for (const auto& start : starts) {
        kill_at_each_step(
            std::string("first open of ") + start.what, dir_,
            [&] {
                reset_dir();
                if (start.bytes) put_bytes(db, *start.bytes);
            },
            [&] {
                zembrel_db* h = zembrel_open(db.c_str());
                if (h == nullptr) return 1;
                acknowledge('o');
                if (!exec(h, "CREATE TABLE t (n INT)")) return 2;
                acknowledge('c');
                if (!exec(h, "INSERT INTO t VALUES (1)")) return 3;
                acknowledge('i');
                zembrel_close(h);
                return 0;
            },
            [&](std::uint64_t, const StepRun& run) {
                if (!run.killed) {
                    EXPECT_EQ(run.exit_code, 0);
                }
                zembrel_db* h = zembrel_open(db.c_str());
                ASSERT_NE(h, nullptr) << "the next open refuses what the kill left; " << left_in(dir_);
                auto rows = column_of(h, "SELECT n FROM t");
                if (acked(run, 'c')) {
                    EXPECT_TRUE(rows.has_value()) << "an acknowledged CREATE TABLE is lost";
                }
                if (rows) {
                    EXPECT_LE(rows->size(), 1u);
                    if (acked(run, 'i')) {
                        EXPECT_EQ(rows->size(), 1u) << "an acknowledged INSERT is lost";
                    }
                    for (const auto& v : *rows) {
                        EXPECT_EQ(v, "1");
                    }
                } else {
                    EXPECT_TRUE(exec(h, "CREATE TABLE t (n INT)")) << zembrel_errmsg(h);
                }
                EXPECT_TRUE(exec(h, "INSERT INTO t VALUES (1)")) << zembrel_errmsg(h);
                const std::size_t now = rows ? rows->size() + 1 : 1;
                zembrel_close(h);
                h = zembrel_open(db.c_str());
                ASSERT_NE(h, nullptr) << left_in(dir_);
                EXPECT_EQ(column_of(h, "SELECT n FROM t").value_or(std::vector<std::string>{}).size(), now);
                zembrel_close(h);
                EXPECT_EQ(names_in(dir_), (std::vector<std::string>{"a.db", "a.db.lock"})) << left_in(dir_);
            });
    }
}

// ---------------------------------------------------------------- B and C: shadows

class ShadowStepKill : public FileStepKill {
protected:
    void prepare_base() {
        reset_dir();
        make_database(base_, {"CREATE TABLE t (id PK, v INT)"});
    }
    void SetUp() override {
        FileStepKill::SetUp();
        base_ = at("base.db");
        shadows_ = base_ + ".shadows";
    }
    std::string base_, shadows_;
};

TEST_F(ShadowStepKill, BranchFirstOpSealAndCommit) {
    kill_at_each_step(
        "branch first op, seal and commit", dir_, [&] { prepare_base(); },
        [&] {
            zembrel_shadow* br = zembrel_shadow_open_branch(base_.c_str(), "b");
            if (br == nullptr) return 1;
            acknowledge('o');
            if (zembrel_shadow_exec(br, "INSERT INTO t (v) VALUES (1)") != 0) return 2;
            acknowledge('i');
            if (zembrel_shadow_seal(br, nullptr, nullptr) != 1) return 3;
            acknowledge('s');
            if (zembrel_shadow_commit(br) != 1) return 4;
            acknowledge('c');
            zembrel_shadow_close(br);
            return 0;
        },
        [&](std::uint64_t, const StepRun& run) {
            if (!run.killed) {
                EXPECT_EQ(run.exit_code, 0);
            }
            zembrel_shadow* br = zembrel_shadow_open_branch(base_.c_str(), "b");
            ASSERT_NE(br, nullptr) << "the branch cannot be opened again; " << left_in(dir_);
            if (zembrel_shadow_pending(br) > 0) {
                if (zembrel_shadow_unsealed(br) > 0) {
                    EXPECT_GE(zembrel_shadow_seal(br, nullptr, nullptr), 0) << zembrel_shadow_errmsg(br);
                }
                EXPECT_GE(zembrel_shadow_commit(br), 0) << zembrel_shadow_errmsg(br);
            }
            zembrel_shadow_close(br);
            const long ones = ones_in_base(base_);
            EXPECT_GE(ones, 0) << "the base cannot be read; " << left_in(dir_);
            EXPECT_LE(ones, 1) << "the insert was merged twice";
            if (acked(run, 'i')) {
                EXPECT_EQ(ones, 1) << "an acknowledged shadow insert is lost";
            }
            expect_only(shadows_, {"b.krvb"});
            expect_only(dir_, {"base.db", "base.db.lock", "base.db.shadows"});
        });
}

TEST_F(ShadowStepKill, AnonymousShadowCommit) {
    kill_at_each_step(
        "anonymous shadow commit", dir_, [&] { prepare_base(); },
        [&] {
            zembrel_shadow* sh = zembrel_shadow_open(base_.c_str());
            if (sh == nullptr) return 1;
            acknowledge('o');
            if (zembrel_shadow_exec(sh, "INSERT INTO t (v) VALUES (1)") != 0) return 2;
            acknowledge('i');
            if (zembrel_shadow_commit(sh) != 1) return 3;
            acknowledge('c');
            zembrel_shadow_close(sh);
            return 0;
        },
        [&](std::uint64_t, const StepRun& run) {
            if (!run.killed) {
                EXPECT_EQ(run.exit_code, 0);
            }
            const long ones = ones_in_base(base_);
            EXPECT_GE(ones, 0) << "the base cannot be opened or read; " << left_in(dir_);
            EXPECT_LE(ones, 1) << "the insert was merged twice";
            if (acked(run, 'c')) {
                EXPECT_EQ(ones, 1) << "an acknowledged commit is lost";
            }
            zembrel_shadow* sh = zembrel_shadow_open(base_.c_str());
            EXPECT_NE(sh, nullptr) << "no new shadow opens; " << left_in(dir_);
            zembrel_shadow_close(sh);
            // An anonymous log a kill left stays by design; nothing else may.
            for (const auto& n : names_in(shadows_)) {
                EXPECT_TRUE(n.ends_with(".krvv")) << n << "; " << left_in(dir_);
            }
            expect_only(dir_, {"base.db", "base.db.lock", "base.db.shadows"});
        });
}

// ---------------------------------------------------------------- D: save-as

TEST_F(FileStepKill, SaveAsAndTheCleanUpOfWhatAKilledOneLeft) {
    const std::string src = at("src.db"), dest = at("dest.db"), kept = root_ + "/kept";
    const std::vector<const char*> source_rows = {"CREATE TABLE s (n INT)", "INSERT INTO s VALUES (1)",
                                                  "INSERT INTO s VALUES (2)", "INSERT INTO s VALUES (3)"};
    const auto state = [](zembrel_db* db) { return "o=" + rows_of(db, "o") + " s=" + rows_of(db, "s"); };
    const std::string copy = "o=- s=[1,2,3]";
    for (const bool in_memory : {false, true}) {
        for (const bool dest_exists : {false, true}) {
            const std::string place = std::string("save-as from ") + (in_memory ? "memory" : "a file") + " onto " +
                                      (dest_exists ? "an existing database" : "an absent file");
            const std::string before = dest_exists ? "o=[7] s=-" : "o=- s=-";
            // Refused by design: an in-memory database goes only where no file is.
            const int expected_exit = in_memory && dest_exists ? 5 : 0;
            // What the destination holds once an untraced open cleared what a
            // kill left, checked; `same_as`, unless empty, is what it must hold.
            const auto dest_opens_as = [&](const std::string& same_as, const StepRun& run) -> std::string {
                zembrel_db* h = zembrel_open(dest.c_str());
                EXPECT_NE(h, nullptr) << "the destination does not open; " << left_in(dir_);
                if (h == nullptr) return {};
                const std::string now = state(h);
                zembrel_close(h);
                EXPECT_TRUE(now == before || now == copy) << "the destination holds " << now;
                if (acked(run, 's')) {
                    EXPECT_EQ(now, copy) << "an acknowledged save-as is lost";
                }
                if (!same_as.empty()) {
                    EXPECT_EQ(now, same_as) << "the clean-up changed the destination";
                }
                EXPECT_FALSE(any_name_contains(dir_, ".saving")) << left_in(dir_);
                EXPECT_TRUE(holds(dest + ".lock", "")) << "the record stays in the lock file";
                return now;
            };
            kill_at_each_step(
                place, dir_,
                [&] {
                    reset_dir();
                    if (!in_memory) make_database(src, source_rows);
                    if (dest_exists) make_database(dest, {"CREATE TABLE o (n INT)", "INSERT INTO o VALUES (7)"});
                },
                [&] {
                    zembrel_db* h = in_memory ? zembrel_open_memory() : zembrel_open(src.c_str());
                    if (h == nullptr) return 1;
                    if (in_memory) {
                        for (const char* sql : source_rows) {
                            if (!exec(h, sql)) return 2;
                        }
                    }
                    const bool saved = zembrel_save_as(h, dest.c_str()) == 0;
                    if (saved) acknowledge('s');
                    zembrel_close(h);
                    return saved ? 0 : 5;
                },
                [&](std::uint64_t kill_at, const StepRun& run) {
                    if (!run.killed) {
                        EXPECT_EQ(run.exit_code, expected_exit);
                    }
                    std::error_code ec;
                    fs::remove_all(kept, ec);
                    fs::copy(dir_, kept, fs::copy_options::recursive);
                    const auto record = bytes_of(dest + ".lock");
                    const bool recorded = record && record->size() == 40 && record->starts_with("KRVS");
                    const bool scratch = any_name_contains(dir_, ".saving");
                    const std::string after = dest_opens_as("", run);
                    if (!in_memory) {
                        zembrel_db* h = zembrel_open(src.c_str());
                        ASSERT_NE(h, nullptr) << "the source does not open; " << left_in(dir_);
                        EXPECT_EQ(rows_of(h, "s"), "[1,2,3]");
                        zembrel_close(h);
                    }
                    if (!recorded || !scratch || after.empty()) return;
                    // The clean-up that open does is itself killed at each of
                    // its steps; the open after it must finish the job.
                    kill_at_each_step(
                        place + ", clean-up after the kill at step " + std::to_string(kill_at), dir_,
                        [&] { restore_dir(kept); },
                        [&] {
                            zembrel_db* h = zembrel_open(dest.c_str());
                            if (h == nullptr) return 1;
                            zembrel_close(h);
                            return 0;
                        },
                        [&](std::uint64_t, const StepRun& cleanup) {
                            if (!cleanup.killed) {
                                EXPECT_EQ(cleanup.exit_code, 0);
                            }
                            dest_opens_as(after, run);
                        });
                });
        }
    }
}

// ---------------------------------------------------------------- E: a conversion

class ConversionStepKill : public FileStepKill {
protected:
    void expect_no_migration_files() const {
        for (const auto& n : names_in(dir_)) {
            EXPECT_FALSE(n.starts_with("c.db.migrate")) << left_in(dir_);
        }
    }
    void SetUp() override {
        FileStepKill::SetUp();
        db_ = at("c.db");
        bak_ = db_ + ".bak";
    }
    std::string db_, bak_;
    const std::string legacy_ =
        R"({"tables":{"t":{"name":"t","columns":[{"name":"n","data_type":"Int"}],"rows":[[{"Int":1}],[{"Int":2}]]}}})";
};

TEST_F(ConversionStepKill, LegacyDocumentConvertedOnOpen) {
    kill_at_each_step(
        "conversion of a legacy document", dir_,
        [&] {
            reset_dir();
            put_bytes(db_, legacy_);
        },
        [&] {
            zembrel_db* h = zembrel_open(db_.c_str());
            if (h == nullptr) return 1;
            acknowledge('o');
            zembrel_close(h);
            return 0;
        },
        [&](std::uint64_t, const StepRun& run) {
            if (!run.killed) {
                EXPECT_EQ(run.exit_code, 0);
            }
            zembrel_db* h = zembrel_open(db_.c_str());
            ASSERT_NE(h, nullptr) << "the next open refuses what the kill left; " << left_in(dir_);
            EXPECT_EQ(rows_of(h, "t"), "[1,2]");
            zembrel_close(h);
            expect_no_migration_files();
            if (fs::exists(bak_)) {
                EXPECT_TRUE(holds(bak_, legacy_)) << "the backup is not the legacy document";
            }
            expect_only(dir_, {"c.db", "c.db.lock", "c.db.bak"});
        });
}

TEST_F(ConversionStepKill, UsersOwnBackupNameStopsTheConversionAndKeepsItsBytes) {
    const std::string mine = "my own notes, not a database\n";
    kill_at_each_step(
        "conversion refused by a user's .bak", dir_,
        [&] {
            reset_dir();
            put_bytes(db_, legacy_);
            put_bytes(bak_, mine);
        },
        [&] {
            zembrel_db* h = zembrel_open(db_.c_str());
            if (h != nullptr) {
                acknowledge('o');
                zembrel_close(h);
            }
            return 0;
        },
        [&](std::uint64_t, const StepRun& run) {
            EXPECT_FALSE(acked(run, 'o')) << "the conversion went over the user's .bak";
            zembrel_db* h = zembrel_open(db_.c_str());
            EXPECT_EQ(h, nullptr) << "the open converted over the user's .bak";
            zembrel_close(h);
            EXPECT_TRUE(holds(bak_, mine)) << "the user's .bak lost its bytes";
            EXPECT_TRUE(holds(db_, legacy_)) << "the legacy document is gone from its path";
            expect_no_migration_files();
            expect_only(dir_, {"c.db", "c.db.lock", "c.db.bak"});
        });
    fs::rename(bak_, root_ + "/moved.bak");
    zembrel_db* h = zembrel_open(db_.c_str());
    ASSERT_NE(h, nullptr) << left_in(dir_);
    EXPECT_EQ(rows_of(h, "t"), "[1,2]");
    zembrel_close(h);
    EXPECT_TRUE(holds(bak_, legacy_));
    expect_no_migration_files();
    expect_only(dir_, {"c.db", "c.db.lock", "c.db.bak"});
}

}  // namespace
