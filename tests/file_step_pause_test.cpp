// Two handles racing at the places that make or remove files: one handle (A)
// runs in a traced child held at the entry of each of its system calls that
// touch the database's folder, reads included, while a second handle (B), in
// a process of its own, runs to its end (or to its close, holding its
// handle until A ends); then A goes on, and what both left is checked here,
// untraced, through the C interface only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "file_step_util.h"
#include "file_steps.h"
#include "zembrel.h"

namespace {

namespace fs = std::filesystem;
using zembrel::testing::acknowledge;
using zembrel::testing::BCloses;
using zembrel::testing::pause_at_each_step;
using zembrel::testing::PauseRun;
using zembrel::testing::run_with_pause_at;
using zembrel::testing::TwoHandles;
using zembrel::testing::WhileHeld;
using namespace zembrel::testing::file_step_util;

// Two database handles: A's made by `a_opens` and closed at the end of its
// work; B's made by `b_opens` into `b`, closed when the harness says.
TwoHandles two_db_handles(const std::function<int(zembrel_db**)>& a_opens,
                          const std::function<int(zembrel_db**)>& b_opens, zembrel_db*& b) {
    return TwoHandles{[a_opens] {
                          zembrel_db* h = nullptr;
                          const int rc = a_opens(&h);
                          zembrel_close(h);
                          return rc;
                      },
                      [b_opens, &b] { return b_opens(&b); }, [&b] { zembrel_close(b); }};
}

// ---------------------------------------------------------------- what a handle tells

// A failure's text travels with the acknowledgements, between '!' and a
// line's end, so that the check can say which error it was.
void tell(const char* text) {
    acknowledge('!');
    for (const char* c = text != nullptr ? text : "(no text)"; *c != '\0'; ++c)
        acknowledge(*c == '\n' ? ' ' : *c);
    acknowledge('\n');
}

// The single-letter acknowledgements, without the texts told.
std::string tags_of(const std::string& acks) {
    std::string out;
    bool in_text = false;
    for (char c : acks) {
        if (in_text) {
            in_text = c != '\n';
        } else if (c == '!') {
            in_text = true;
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<std::string> texts_of(const std::string& acks) {
    std::vector<std::string> out;
    for (std::size_t at = acks.find('!'); at != std::string::npos; at = acks.find('!', at)) {
        const std::size_t end = acks.find('\n', at);
        out.push_back(acks.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1));
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return out;
}

bool has(const std::string& acks, char tag) { return tags_of(acks).find(tag) != std::string::npos; }

// Fails for each error either handle told whose text holds none of `allowed`.
void expect_only_errors(const PauseRun& run, const std::vector<std::string>& allowed) {
    for (const std::string* acks : {&run.a.acks, &run.b_acks}) {
        for (const auto& text : texts_of(*acks)) {
            const bool known = std::any_of(allowed.begin(), allowed.end(),
                                           [&](const std::string& a) { return text.find(a) != std::string::npos; });
            EXPECT_TRUE(known) << (acks == &run.a.acks ? "A" : "B") << " failed with: " << text;
        }
    }
}

// A refused although B had closed before A went on: nothing stood in its way.
void expect_a_not_refused_once_b_closed(const PauseRun& run, char tag, const char* what) {
    if (run.b_closed_first()) {
        EXPECT_TRUE(has(run.a.acks, tag)) << what << " failed for A although B had closed before A went on";
    }
}

// ---------------------------------------------------------------- the fixture

class FileStepPause : public FileStepTest {
protected:
    // The runs here test the order of two handles' steps, not what a disk
    // keeps: a folder in memory spares each run its fsyncs, which on a disk
    // take ten times the rest of the run.
    void SetUp() override {
        struct statfs shm;
        if (::statfs("/dev/shm", &shm) == 0 && shm.f_type == TMPFS_MAGIC && ::access("/dev/shm", W_OK | X_OK) == 0) {
            const char* before = std::getenv("TMPDIR");
            if (before != nullptr) tmpdir_before_ = before;
            moved_tmpdir_ = true;
            ::setenv("TMPDIR", "/dev/shm", 1);
        }
        FileStepTest::SetUp();
    }
    void TearDown() override {
        FileStepTest::TearDown();
        if (!moved_tmpdir_) return;
        if (tmpdir_before_)
            ::setenv("TMPDIR", tmpdir_before_->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }

    bool moved_tmpdir_ = false;
    std::optional<std::string> tmpdir_before_;
};

// ---------------------------------------------------------------- the harness itself

TEST_F(FileStepPause, HarnessHoldsAtTheEntryOfEachTouchWhileBRunsAndServesTheOtherThreads) {
    const std::string f = at("f"), outside = root_ + "/outside";
    std::uint64_t pause_at = 0;
    const TwoHandles work{
        [&] {
            std::atomic<int> phase{0};
            // Not counted: another thread's calls outside the folder, made
            // while the main thread may be held.
            std::thread other([&] {
                while (phase.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                const int o = ::open(outside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                (void)!::write(o, "t", 1);
                ::close(o);
                phase = 2;
            });
            const int fd = ::open(f.c_str(), O_RDWR | O_CLOEXEC);  // 1, read-write: also a change
            char buf[2];
            const bool read_ok = ::read(fd, buf, sizeof buf) == 2;  // 2
            const bool wrote = ::pwrite(fd, "XY", 2, 2) == 2;      // 3
            struct stat st;
            const bool stat_ok = ::fstat(fd, &st) == 0;  // 4
            phase = 1;
            (void)::lseek(fd, 0, SEEK_SET);  // 5
            ::close(fd);                     // 6
            const bool seen = ::access(f.c_str(), R_OK) == 0;  // 7
            other.join();
            const bool gone = ::unlink(f.c_str()) == 0;  // 8
            return read_ok && wrote && stat_ok && seen && gone && phase == 2 ? 0 : 1;
        },
        [&] {
            // At the held call of A, every call before it has run and it
            // has not.
            const auto now = bytes_of(f);
            acknowledge(!now ? '-' : *now == "abcd" ? '0' : *now == "abXY" ? '1' : '?');
            if (pause_at >= 5 && pause_at <= 8) {
                // A's other thread is served while its main thread is held.
                // Spinning, not sleeping: a sleeping B is taken for one
                // waiting on A, and A is let go.
                const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
                while (bytes_of(outside) != "t" && std::chrono::steady_clock::now() < until) {
                }
                if (bytes_of(outside) == "t") acknowledge('t');
            }
            return 0;
        },
        [&] { acknowledge(fs::exists(f) ? 'F' : 'G'); }};
    for (const bool filter : {true, false}) {
        zembrel::testing::file_steps_detail::filter_calls = filter;
        SCOPED_TRACE(filter ? "filtered" : "every call stopping");
        for (pause_at = 1; pause_at <= 9; ++pause_at) {
            for (const BCloses closes : {BCloses::before_a_goes_on, BCloses::after_a_ends}) {
                SCOPED_TRACE("held at step " + std::to_string(pause_at));
                reset_dir();
                put_bytes(f, "abcd");
                std::error_code ec;
                fs::remove(outside, ec);
                // Time enough for B to start and look, however busy the machine.
                const PauseRun run = run_with_pause_at(dir_, pause_at, closes, work, std::chrono::seconds(5));
                ASSERT_TRUE(run.a.traced);
                EXPECT_EQ(run.a.exit_code, 0);
                EXPECT_EQ(run.b_exit_code, 0);
                if (pause_at == 9) {
                    EXPECT_FALSE(run.paused());
                    EXPECT_EQ(run.a.steps, 8u);
                    EXPECT_EQ(run.b_acks, "-G");
                    continue;
                }
                EXPECT_EQ(run.b_while_held, WhileHeld::done);
                const char seen = pause_at <= 3 ? '0' : '1';
                // B's close: before A went on, the file is still there; after
                // A's end, A has removed it.
                const char closed = closes == BCloses::before_a_goes_on ? 'F' : 'G';
                const std::string want = pause_at >= 5 ? std::string{seen, 't', closed} : std::string{seen, closed};
                EXPECT_EQ(run.b_acks, want);
            }
        }
    }
}

TEST_F(FileStepPause, HarnessLetsAGoWhenBSleepsOnItOrTakesTooLong) {
    const std::string go = at("go");
    for (const bool sleeps : {true, false}) {
        const TwoHandles work{
            [&] {
                const int fd = ::open(go.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);  // held here
                ::close(fd);
                return fd >= 0 ? 0 : 1;
            },
            [&] {
                // Waits for A's file, as a shadow waits for a held base: by
                // sleeping, or by spinning.
                const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                while (!fs::exists(go) && std::chrono::steady_clock::now() < until) {
                    if (sleeps) std::this_thread::sleep_for(std::chrono::milliseconds(15));
                }
                if (fs::exists(go)) acknowledge('g');
                return 0;
            },
            [] {}};
        reset_dir();
        const auto start = std::chrono::steady_clock::now();
        const PauseRun run =
            run_with_pause_at(dir_, 1, BCloses::before_a_goes_on, work, std::chrono::milliseconds(100));
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(run.b_while_held, sleeps ? WhileHeld::waited : WhileHeld::time_ran_out);
        EXPECT_EQ(run.a.exit_code, 0);
        EXPECT_EQ(run.b_acks, "g");
        EXPECT_LT(took, std::chrono::seconds(3));
    }
}

// ---------------------------------------------------------------- 1: a branch's first op by two handles

class BranchPause : public FileStepPause {
protected:
    void SetUp() override {
        FileStepPause::SetUp();
        base_ = at("base.db");
        shadows_ = base_ + ".shadows";
    }

    // Opens branch "b", inserts `v`, seals: 'o' opened, 'i' inserted ('f'
    // the INSERT failed), 's' sealed; the handle stays in `*kept`.
    static int first_op(const std::string& base, int v, zembrel_shadow** kept) {
        zembrel_shadow* br = zembrel_shadow_open_branch(base.c_str(), "b");
        *kept = br;
        if (br == nullptr) return 1;
        acknowledge('o');
        const std::string sql = "INSERT INTO t (v) VALUES (" + std::to_string(v) + ")";
        if (zembrel_shadow_exec(br, sql.c_str()) != 0) {
            acknowledge('f');
            tell(zembrel_shadow_errmsg(br));
            return 2;
        }
        acknowledge('i');
        if (zembrel_shadow_seal(br, nullptr, nullptr) != 1) {
            tell(zembrel_shadow_errmsg(br));
            return 3;
        }
        acknowledge('s');
        return 0;
    }

    std::string base_, shadows_;
    zembrel_shadow* b_handle_ = nullptr;
    const std::string mine_ = "a user's file beside the base\n";
};

TEST_F(BranchPause, FirstOpOfOneBranchByTwoHandles) {
    const TwoHandles work{[&] {
                              zembrel_shadow* br = nullptr;
                              const int rc = first_op(base_, 1, &br);
                              zembrel_shadow_close(br);
                              return rc;
                          },
                          [&] { return first_op(base_, 2, &b_handle_); },
                          [&] { zembrel_shadow_close(b_handle_); }};
    pause_at_each_step(
        "branch first op by two handles", dir_,
        [&] {
            reset_dir();
            make_database(base_, {"CREATE TABLE t (id PK, v INT)"});
            put_bytes(base_ + ".tmp", mine_);
        },
        work,
        [&](std::uint64_t, const PauseRun& run) {
            expect_only_errors(run, {"in use by another session", "File exists (os error 17)"});
            expect_a_not_refused_once_b_closed(run, 'o', "zembrel_shadow_open_branch");
            zembrel_shadow* br = zembrel_shadow_open_branch(base_.c_str(), "b");
            ASSERT_NE(br, nullptr) << "the branch does not open; " << left_in(dir_);
            std::vector<std::string> in_branch;
            if (zembrel_result* rs = zembrel_shadow_query(br, "SELECT v FROM t")) {
                for (int r = 0; r < zembrel_result_row_count(rs); ++r)
                    in_branch.emplace_back(zembrel_result_value(rs, r, 0));
                zembrel_result_free(rs);
            } else {
                ADD_FAILURE() << "the branch cannot be read: " << zembrel_shadow_errmsg(br);
            }
            const auto count = [](const std::vector<std::string>& cells, const char* v) {
                return std::count(cells.begin(), cells.end(), std::string(v));
            };
            for (const auto& [who, acks, v] : {std::tuple{"A", &run.a.acks, "1"}, std::tuple{"B", &run.b_acks, "2"}}) {
                if (has(*acks, 's')) {
                    EXPECT_EQ(count(in_branch, v), 1) << who << "'s sealed op is not in the branch once";
                }
            }
            if (zembrel_shadow_unsealed(br) > 0) {
                EXPECT_GE(zembrel_shadow_seal(br, nullptr, nullptr), 0) << zembrel_shadow_errmsg(br);
            }
            if (zembrel_shadow_pending(br) > 0) {
                EXPECT_GE(zembrel_shadow_commit(br), 0) << zembrel_shadow_errmsg(br);
            }
            zembrel_shadow_close(br);
            zembrel_db* db = zembrel_open(base_.c_str());
            ASSERT_NE(db, nullptr) << "the base does not open; " << left_in(dir_);
            const auto in_base = column_of(db, "SELECT v FROM t");
            zembrel_close(db);
            ASSERT_TRUE(in_base.has_value());
            for (const auto& [who, acks, v] : {std::tuple{"A", &run.a.acks, "1"}, std::tuple{"B", &run.b_acks, "2"}}) {
                EXPECT_LE(count(*in_base, v), 1) << who << "'s op was merged twice";
                if (has(*acks, 's')) {
                    EXPECT_EQ(count(*in_base, v), 1) << who << "'s acknowledged sealed op is not in the base";
                }
                if (has(*acks, 'f')) {
                    EXPECT_EQ(count(*in_base, v), 0) << who << "'s failed INSERT reached the base";
                }
            }
            EXPECT_TRUE(holds(base_ + ".tmp", mine_));
            expect_only(dir_, {"base.db", "base.db.lock", "base.db.shadows", "base.db.tmp"});
            expect_only(shadows_, {"b.krvb"});
        });
}

// ---------------------------------------------------------------- 2: a first open by two openers

enum class Opener { plain, shared, shadow, branch };
enum class Start { missing, empty, zero_page };
constexpr const char* kOpeners[] = {"zembrel_open", "zembrel_open_shared", "zembrel_shadow_open",
                                    "zembrel_shadow_open_branch"};
constexpr const char* kStarts[] = {"a missing file", "an empty file", "a file of 4096 zero bytes"};

void PrintTo(Opener how, std::ostream* out) { *out << kOpeners[static_cast<int>(how)]; }
void PrintTo(Start start, std::ostream* out) { *out << kStarts[static_cast<int>(start)]; }

// Opens the database as `how` says, and through a plain or shared handle
// makes t (or finds it made) and inserts `v`: 'o' opened, 'i' inserted.
// The handle stays open in the process until `close` is called.
struct FirstOpener {
    Opener how;
    std::string path;
    zembrel_db* db = nullptr;
    zembrel_shared* shared = nullptr;
    zembrel_shadow* shadow = nullptr;

    int run(int v) {
        const std::string insert = "INSERT INTO t VALUES (" + std::to_string(v) + ")";
        const auto write = [&](auto exec, auto errmsg) {
            if (exec("CREATE TABLE t (n INT)") != 0) {
                const std::string why = errmsg();
                if (why.find("already exists") == std::string::npos) {
                    tell(why.c_str());
                    return 2;
                }
            }
            if (exec(insert.c_str()) != 0) {
                tell(errmsg().c_str());
                return 3;
            }
            acknowledge('i');
            return 0;
        };
        switch (how) {
            case Opener::plain:
                db = zembrel_open(path.c_str());
                if (db == nullptr) return 1;
                acknowledge('o');
                return write([&](const char* sql) { return zembrel_exec(db, sql); },
                             [&] { return std::string(zembrel_errmsg(db) ? zembrel_errmsg(db) : ""); });
            case Opener::shared:
                shared = zembrel_open_shared(path.c_str());
                if (shared == nullptr) return 1;
                acknowledge('o');
                return write([&](const char* sql) { return zembrel_exec_shared(shared, sql); },
                             [&] {
                                 const char* e = zembrel_errmsg_shared(shared);
                                 return std::string(e ? e : "");
                             });
            case Opener::shadow:
            case Opener::branch:
                shadow = how == Opener::shadow ? zembrel_shadow_open(path.c_str())
                                               : zembrel_shadow_open_branch(path.c_str(), "b");
                if (shadow == nullptr) return 1;
                acknowledge('o');
                return 0;
        }
        return 9;
    }

    void close() {
        zembrel_close(db);
        zembrel_close_shared(shared);
        zembrel_shadow_close(shadow);
    }
};

class FirstOpenPause : public FileStepPause, public ::testing::WithParamInterface<std::tuple<Opener, Start>> {};

TEST_P(FirstOpenPause, ByTwoOpeners) {
    const auto [how, start] = GetParam();
    const std::string db = at("a.db"), tmp = db + ".tmp", mine = "a user's scratch notes\n";
    const char* opener = kOpeners[static_cast<int>(how)];
    const std::string place = std::string("first open of ") + kStarts[static_cast<int>(start)] + " by two " + opener;
    FirstOpener b{how, db};
    const TwoHandles work{[&] {
                              FirstOpener a{how, db};
                              const int rc = a.run(1);
                              a.close();
                              return rc;
                          },
                          [&] { return b.run(2); }, [&] { b.close(); }};
    pause_at_each_step(
        place, dir_,
        [&] {
            reset_dir();
            if (start == Start::empty) put_bytes(db, "");
            if (start == Start::zero_page) put_bytes(db, std::string(4096, '\0'));
            put_bytes(tmp, mine);
        },
        work,
        [&](std::uint64_t, const PauseRun& run) {
            expect_only_errors(run, {});
            expect_a_not_refused_once_b_closed(run, 'o', opener);
            EXPECT_TRUE(holds(tmp, mine)) << "the user's " << tmp << " was changed or removed";
            zembrel_db* h = zembrel_open(db.c_str());
            ASSERT_NE(h, nullptr) << "the database does not open; " << left_in(dir_);
            const auto rows = column_of(h, "SELECT n FROM t");
            zembrel_close(h);
            const std::vector<std::string> none;
            const auto& cells = rows ? *rows : none;
            for (const auto& [who, acks, v] : {std::tuple{"A", &run.a.acks, "1"}, std::tuple{"B", &run.b_acks, "2"}}) {
                const auto n = std::count(cells.begin(), cells.end(), std::string(v));
                EXPECT_LE(n, 1) << who << "'s row is there twice";
                if (has(*acks, 'i')) {
                    EXPECT_EQ(n, 1) << who << "'s acknowledged INSERT is lost";
                }
            }
            EXPECT_LE(cells.size(), 2u);
            if (how == Opener::branch) {
                zembrel_shadow* br = zembrel_shadow_open_branch(db.c_str(), "b");
                EXPECT_NE(br, nullptr) << "the branch does not open; " << left_in(dir_);
                zembrel_shadow_close(br);
            }
            expect_only(dir_, {"a.db", "a.db.lock", "a.db.tmp"});
        });
}

std::string opener_name(const ::testing::TestParamInfo<std::tuple<Opener, Start>>& info) {
    const char* hows[] = {"Open", "Shared", "Shadow", "Branch"};
    const char* starts[] = {"Missing", "Empty", "ZeroPage"};
    return std::string(hows[static_cast<int>(std::get<0>(info.param))]) +
           starts[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Openers, FirstOpenPause,
                         ::testing::Combine(::testing::Values(Opener::plain, Opener::shared, Opener::shadow,
                                                              Opener::branch),
                                            ::testing::Values(Start::missing, Start::empty, Start::zero_page)),
                         opener_name);

// ---------------------------------------------------------------- 3: save-as against its destination

class SaveAsPause : public FileStepPause {
protected:
    void SetUp() override {
        FileStepPause::SetUp();
        src_a_ = at("src_a.db");
        src_b_ = at("src_b.db");
        dest_ = at("dest.db");
        // A file of the user's that looks like a save-as's copy: no record
        // names it, so nothing may take it for one.
        users_ = at("dest.db.0a1b2c3d-0000-4000-8000-00000000beef.saving");
    }

    void prepare(bool dest_exists) const {
        reset_dir();
        make_database(src_a_, {"CREATE TABLE s (n INT)", "INSERT INTO s VALUES (1)", "INSERT INTO s VALUES (2)",
                               "INSERT INTO s VALUES (3)"});
        make_database(src_b_, {"CREATE TABLE s (n INT)", "INSERT INTO s VALUES (4)", "INSERT INTO s VALUES (5)",
                               "INSERT INTO s VALUES (6)"});
        if (dest_exists) make_database(dest_, {"CREATE TABLE o (n INT)", "INSERT INTO o VALUES (7)"});
        put_bytes(users_, mine_);
    }

    // Saves `src` as the destination: 's' saved; the source's handle (moved
    // over to the destination) stays in `*kept`.
    int save_as(const std::string& src, zembrel_db** kept) const {
        zembrel_db* h = zembrel_open(src.c_str());
        *kept = h;
        if (h == nullptr) {
            tell("the source does not open");
            return 1;
        }
        if (zembrel_save_as(h, dest_.c_str()) != 0) {
            tell(zembrel_errmsg(h));
            return 2;
        }
        acknowledge('s');
        return 0;
    }

    // Opens the destination: 'o' opened; the handle stays in `*kept`.
    int open_dest(zembrel_db** kept) const {
        *kept = zembrel_open(dest_.c_str());
        if (*kept == nullptr) return 1;
        acknowledge('o');
        return 0;
    }

    static std::string state(zembrel_db* db) { return "o=" + rows_of(db, "o") + " s=" + rows_of(db, "s"); }

    // What every run leaves, whoever saved: the destination opens and
    // holds what it held before or one whole copy (`want` when known), the
    // sources and the user's file are as they were, and no scratch copy or
    // record stays.
    void expect_destination(const std::string& before, const std::vector<std::string>& allowed) const {
        zembrel_db* h = zembrel_open(dest_.c_str());
        ASSERT_NE(h, nullptr) << "the destination does not open; " << left_in(dir_);
        const std::string now = state(h);
        zembrel_close(h);
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), now), allowed.end())
            << "the destination holds " << now << " (before: " << before << ")";
        for (const auto& [src, rows] : {std::pair{&src_a_, "[1,2,3]"}, std::pair{&src_b_, "[4,5,6]"}}) {
            zembrel_db* s = zembrel_open(src->c_str());
            EXPECT_NE(s, nullptr) << *src << " does not open; " << left_in(dir_);
            if (s != nullptr) {
                EXPECT_EQ(rows_of(s, "s"), rows);
            }
            zembrel_close(s);
        }
        EXPECT_TRUE(holds(users_, mine_)) << "the user's file was changed or removed";
        for (const auto& n : names_in(dir_)) {
            EXPECT_TRUE(!n.ends_with(".saving") || dir_ + "/" + n == users_) << "a scratch copy stays; " << left_in(dir_);
        }
        EXPECT_TRUE(holds(dest_ + ".lock", "")) << "a save-as's record stays in the lock file";
        expect_only(dir_, {"src_a.db", "src_a.db.lock", "src_b.db", "src_b.db.lock", "dest.db", "dest.db.lock",
                           fs::path(users_).filename().string()});
    }

    std::string src_a_, src_b_, dest_, users_;
    const std::string mine_ = "my own file, whatever its name\n";
    const std::string copy_a_ = "o=- s=[1,2,3]", copy_b_ = "o=- s=[4,5,6]";
    zembrel_db* b_handle_ = nullptr;
};

TEST_F(SaveAsPause, SaveAsAgainstAnOpenOfItsDestination) {
    for (const bool dest_exists : {true, false}) {
        const std::string before = dest_exists ? "o=[7] s=-" : "o=- s=-";
        const TwoHandles work = two_db_handles([&](zembrel_db** h) { return save_as(src_a_, h); },
                                               [&](zembrel_db** h) { return open_dest(h); }, b_handle_);
        pause_at_each_step(
            std::string("save-as onto ") + (dest_exists ? "an existing database" : "an absent file") +
                " against an open of it",
            dir_, [&] { prepare(dest_exists); }, work,
            [&](std::uint64_t, const PauseRun& run) {
                expect_only_errors(run, {"is locked by another process"});
                expect_a_not_refused_once_b_closed(run, 's', "zembrel_save_as");
                // B only opens: A's acknowledged copy is there whatever B did.
                expect_destination(before, has(run.a.acks, 's') ? std::vector{copy_a_} : std::vector{before});
            });
    }
}

TEST_F(SaveAsPause, OpenOfADestinationAgainstASaveAsOntoIt) {
    for (const bool dest_exists : {true, false}) {
        const std::string before = dest_exists ? "o=[7] s=-" : "o=- s=-";
        const TwoHandles work = two_db_handles([&](zembrel_db** h) { return open_dest(h); },
                                               [&](zembrel_db** h) { return save_as(src_b_, h); }, b_handle_);
        pause_at_each_step(
            std::string("open of ") + (dest_exists ? "an existing database" : "an absent file") +
                " against a save-as onto it",
            dir_, [&] { prepare(dest_exists); }, work,
            [&](std::uint64_t, const PauseRun& run) {
                expect_only_errors(run, {"is locked by another process"});
                expect_a_not_refused_once_b_closed(run, 'o', "zembrel_open");
                expect_destination(before, has(run.b_acks, 's') ? std::vector{copy_b_} : std::vector{before});
            });
    }
}

TEST_F(SaveAsPause, TwoSaveAsOntoOneDestination) {
    for (const bool dest_exists : {true, false}) {
        const std::string before = dest_exists ? "o=[7] s=-" : "o=- s=-";
        const TwoHandles work = two_db_handles([&](zembrel_db** h) { return save_as(src_a_, h); },
                                               [&](zembrel_db** h) { return save_as(src_b_, h); }, b_handle_);
        pause_at_each_step(
            std::string("two save-as onto ") + (dest_exists ? "an existing database" : "an absent file"), dir_,
            [&] { prepare(dest_exists); }, work,
            [&](std::uint64_t, const PauseRun& run) {
                expect_only_errors(run, {"is locked by another process"});
                expect_a_not_refused_once_b_closed(run, 's', "zembrel_save_as");
                const bool a = has(run.a.acks, 's'), b = has(run.b_acks, 's');
                // Each save-as holds the destination from its lock to its
                // handle's close, so two that both succeeded ran one after
                // the other: the later one's copy is there whole. A B that
                // closed while A was held came first.
                std::vector<std::string> allowed{before};
                if (a && b) allowed = run.b_closed_first() ? std::vector{copy_a_} : std::vector{copy_a_, copy_b_};
                if (a != b) allowed = {a ? copy_a_ : copy_b_};
                expect_destination(before, allowed);
            });
    }
}

// ---------------------------------------------------------------- 4: a conversion by two openers

// The hash that a legacy log's header and records carry.
std::string sha256(const std::string& data) {
    static constexpr std::array<std::uint32_t, 64> k = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    std::array<std::uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::string m = data + '\x80';
    while (m.size() % 64 != 56) m += '\0';
    for (int i = 7; i >= 0; --i) m += static_cast<char>((std::uint64_t{data.size()} * 8) >> (8 * i));
    using std::rotr;
    for (std::size_t off = 0; off < m.size(); off += 64) {
        std::array<std::uint32_t, 64> w{};
        for (int i = 0; i < 16; ++i)
            for (int j = 0; j < 4; ++j)
                w[i] = (w[i] << 8) | static_cast<std::uint8_t>(m[off + static_cast<std::size_t>(4 * i + j)]);
        for (int i = 16; i < 64; ++i)
            w[i] = w[i - 16] + (rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3)) + w[i - 7] +
                   (rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10));
        auto [a, b, c, d, e, f, g, hh] = h;
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            const std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        const std::array<std::uint32_t, 8> add = {a, b, c, d, e, f, g, hh};
        for (int i = 0; i < 8; ++i) h[i] += add[i];
    }
    std::string out;
    for (std::uint32_t v : h)
        for (int i = 3; i >= 0; --i) out += static_cast<char>(v >> (8 * i));
    return out;
}

std::string le(std::uint64_t v, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i));
    return out;
}

class ConversionPause : public FileStepPause {
protected:
    void SetUp() override {
        FileStepPause::SetUp();
        db_ = at("c.db");
        bak_ = db_ + ".bak";
        wal_ = db_ + ".wal";
        // The legacy document's log, appending the row 3 to t: a conversion
        // folds it in first.
        std::string payload = "\x02" + le(1, 4) + "t" + le(1, 4) + le(1, 2) + "\x01" + le(3, 8);
        log_ = "KRVW" + le(1, 2) + sha256(legacy_) + le(payload.size(), 4) + sha256(payload) + payload;
    }

    int open_db(zembrel_db** kept) const {
        *kept = zembrel_open(db_.c_str());
        if (*kept == nullptr) return 1;
        acknowledge('o');
        return 0;
    }

    void expect_no_migration_files() const {
        for (const auto& n : names_in(dir_)) {
            EXPECT_FALSE(n.starts_with("c.db.migrate")) << left_in(dir_);
        }
    }

    std::string db_, bak_, wal_, log_;
    zembrel_db* b_handle_ = nullptr;
    const std::string legacy_ =
        R"({"tables":{"t":{"name":"t","columns":[{"name":"n","data_type":"Int"}],"rows":[[{"Int":1}],[{"Int":2}]]}}})";
};

TEST_F(ConversionPause, LegacyDocumentByTwoOpeners) {
    const TwoHandles work = two_db_handles([&](zembrel_db** h) { return open_db(h); },
                                           [&](zembrel_db** h) { return open_db(h); }, b_handle_);
    pause_at_each_step(
        "conversion of a legacy document by two openers", dir_,
        [&] {
            reset_dir();
            put_bytes(db_, legacy_);
        },
        work,
        [&](std::uint64_t, const PauseRun& run) {
            expect_a_not_refused_once_b_closed(run, 'o', "zembrel_open");
            zembrel_db* h = zembrel_open(db_.c_str());
            ASSERT_NE(h, nullptr) << "the database does not open; " << left_in(dir_);
            EXPECT_EQ(rows_of(h, "t"), "[1,2]");
            zembrel_close(h);
            expect_no_migration_files();
            EXPECT_TRUE(holds(bak_, legacy_)) << "the backup is not the legacy document";
            expect_only(dir_, {"c.db", "c.db.lock", "c.db.bak"});
        });
}

TEST_F(ConversionPause, UsersOwnBackupNameStopsBothOpeners) {
    const std::string mine = "my own notes, not a database\n";
    const TwoHandles work = two_db_handles([&](zembrel_db** h) { return open_db(h); },
                                           [&](zembrel_db** h) { return open_db(h); }, b_handle_);
    pause_at_each_step(
        "conversion by two openers refused by a user's .bak", dir_,
        [&] {
            reset_dir();
            put_bytes(db_, legacy_);
            put_bytes(wal_, log_);
            put_bytes(bak_, mine);
        },
        work,
        [&](std::uint64_t, const PauseRun& run) {
            EXPECT_FALSE(has(run.a.acks, 'o')) << "A converted over the user's .bak";
            EXPECT_FALSE(has(run.b_acks, 'o')) << "B converted over the user's .bak";
            EXPECT_TRUE(holds(bak_, mine)) << "the user's .bak lost its bytes";
            EXPECT_TRUE(holds(db_, legacy_)) << "the legacy document changed before the refusal";
            EXPECT_TRUE(holds(wal_, log_)) << "the legacy log changed before the refusal";
            expect_no_migration_files();
            expect_only(dir_, {"c.db", "c.db.lock", "c.db.bak", "c.db.wal"});
        });
    // The log is one a conversion applies, so the refusals above guard a
    // real fold.
    reset_dir();
    put_bytes(db_, legacy_);
    put_bytes(wal_, log_);
    zembrel_db* h = zembrel_open(db_.c_str());
    ASSERT_NE(h, nullptr) << left_in(dir_);
    EXPECT_EQ(rows_of(h, "t"), "[1,2,3]");
    zembrel_close(h);
}

// ---------------------------------------------------------------- 5: the clean-up of a killed save-as

class CleanUpPause : public FileStepPause {
protected:
    void SetUp() override {
        FileStepPause::SetUp();
        src_ = at("src.db");
        dest_ = at("dest.db");
        users_ = at("dest.db.0a1b2c3d-0000-4000-8000-00000000beef.saving");
        kept_ = root_ + "/kept";
    }

    // Keeps in kept_ what the latest kill of a save-as left with its record
    // in the lock file and its copy beside the destination: the copy then
    // is as whole as a killed one gets.
    void make_leftovers(bool in_memory) {
        const std::vector<const char*> rows = {"CREATE TABLE s (n INT)", "INSERT INTO s VALUES (1)",
                                               "INSERT INTO s VALUES (2)", "INSERT INTO s VALUES (3)"};
        bool found = false;
        for (std::uint64_t kill_at = 1; kill_at < 500; ++kill_at) {
            reset_dir();
            // An in-memory source goes only where no file is.
            if (!in_memory) make_database(src_, rows);
            if (!in_memory) make_database(dest_, {"CREATE TABLE o (n INT)", "INSERT INTO o VALUES (7)"});
            put_bytes(users_, mine_);
            const auto run = zembrel::testing::run_with_kill_at(dir_, kill_at, [&] {
                zembrel_db* h = in_memory ? zembrel_open_memory() : zembrel_open(src_.c_str());
                if (h == nullptr) return 1;
                for (const char* sql : rows)
                    if (in_memory && !exec(h, sql)) return 2;
                const int rc = zembrel_save_as(h, dest_.c_str());
                zembrel_close(h);
                return rc == 0 ? 0 : 3;
            });
            ASSERT_TRUE(run.traced);
            if (!run.killed) break;
            const auto record = bytes_of(dest_ + ".lock");
            bool scratch = false;
            for (const auto& n : names_in(dir_)) scratch = scratch || (n.ends_with(".saving") && at(n) != users_);
            if (record && record->size() == 40 && record->starts_with("KRVS") && scratch) {
                std::error_code ec;
                fs::remove_all(kept_, ec);
                fs::copy(dir_, kept_, fs::copy_options::recursive);
                found = true;
            }
        }
        ASSERT_TRUE(found) << "no kill left a record and a copy";
    }

    int open_dest(zembrel_db** kept) const {
        *kept = zembrel_open(dest_.c_str());
        if (*kept == nullptr) return 1;
        acknowledge('o');
        return 0;
    }

    void clean_up_by_two_openers(const std::string& place, bool in_memory) {
        ASSERT_NO_FATAL_FAILURE(make_leftovers(in_memory));
        const TwoHandles work = two_db_handles([&](zembrel_db** h) { return open_dest(h); },
                                               [&](zembrel_db** h) { return open_dest(h); }, b_handle_);
        pause_at_each_step(place, dir_, [&] { restore_dir(kept_); }, work, [&](std::uint64_t, const PauseRun& run) {
            expect_a_not_refused_once_b_closed(run, 'o', "zembrel_open");
            zembrel_db* h = zembrel_open(dest_.c_str());
            ASSERT_NE(h, nullptr) << "the destination does not open; " << left_in(dir_);
            EXPECT_EQ(rows_of(h, "o"), in_memory ? "-" : "[7]");
            EXPECT_EQ(rows_of(h, "s"), "-");
            zembrel_close(h);
            if (!in_memory) {
                zembrel_db* s = zembrel_open(src_.c_str());
                EXPECT_NE(s, nullptr) << "the source does not open; " << left_in(dir_);
                if (s != nullptr) {
                    EXPECT_EQ(rows_of(s, "s"), "[1,2,3]");
                }
                zembrel_close(s);
            }
            EXPECT_TRUE(holds(users_, mine_)) << "the user's file was taken for a leftover";
            EXPECT_TRUE(holds(dest_ + ".lock", "")) << "the record stays in the lock file";
            std::vector<std::string> allowed = {"dest.db", "dest.db.lock", fs::path(users_).filename().string()};
            if (!in_memory) {
                allowed.push_back("src.db");
                allowed.push_back("src.db.lock");
            }
            expect_only(dir_, allowed);
        });
    }

    std::string src_, dest_, users_, kept_;
    const std::string mine_ = "my own file, whatever its name\n";
    zembrel_db* b_handle_ = nullptr;
};

TEST_F(CleanUpPause, WhatAKilledSaveAsFromAFileLeftByTwoOpeners) {
    clean_up_by_two_openers("clean-up of a killed save-as from a file by two openers", false);
}

TEST_F(CleanUpPause, WhatAKilledSaveAsFromMemoryLeftByTwoOpeners) {
    clean_up_by_two_openers("clean-up of a killed save-as from memory by two openers", true);
}

}  // namespace
