// A child process commits numbered changes in a loop and is killed with
// SIGKILL at a random moment; the reopened file must hold exactly a prefix of
// the commits that includes every commit the child reported done.
// A power cut is simulated too: writes not yet flushed survive in part, and
// the images the disk may hold must again hold such a prefix.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <random>

#include "pager/pager.h"
#include "test_util.h"

namespace zembrel {
namespace {

using namespace zembrel::testing;

constexpr std::uint64_t kDataPages = 40;  // pages 2 .. 41; page 1 holds the commit counter

// Commit i writes i into the counter page and into data page 2 + i % kDataPages,
// and every 7th commit allocates one more page holding i.
// False when a write fails (a power cut).
bool apply_commit(Pager& pager, std::uint64_t i) {
    PageBuf buf;
    fill_pattern(buf.data(), i);
    if (!pager.write_page(1, buf) || !pager.write_page(2 + i % kDataPages, buf)) return false;
    if (i % 7 == 0) {
        auto pg = pager.allocate_page();
        if (!pg || !pager.write_page(*pg, buf)) return false;
    }
    return true;
}

// What data page 2 + j holds after commits 1..c (0: never written).
std::uint64_t last_write(std::uint64_t j, std::uint64_t c) {
    if (c < j || (j == 0 && c < kDataPages)) return 0;
    return j + ((c - j) / kDataPages) * kDataPages;
}

// Commit i as apply_commit makes it, with every data page written again with
// the bytes it holds: a commit of more pages than a small cache holds, whose
// pages go to the log in batches before the commit frame.
bool apply_wide_commit(Pager& pager, std::uint64_t i) {
    if (!apply_commit(pager, i)) return false;
    PageBuf buf;
    for (std::uint64_t j = 0; j < kDataPages; ++j) {
        fill_pattern(buf.data(), last_write(j, i));
        if (!pager.write_page(2 + j, buf)) return false;
    }
    return true;
}

[[noreturn]] void child_main(const std::string& path, int report_fd) {
    auto opened = Pager::open(std::make_shared<RealVfs>(), path);
    if (!opened) _exit(2);
    auto& pager = **opened;
    pager.set_cache_capacity(8);  // dirty evictions into the log as well
    PageBuf counter;
    if (!pager.read_page_into(1, counter)) _exit(2);
    for (std::uint64_t i = get_u64(counter.data()) + 1;; ++i) {
        if (!apply_commit(pager, i)) _exit(3);
        if (!pager.commit()) _exit(4);
        std::uint64_t done = i;
        if (::write(report_fd, &done, sizeof done) != sizeof done) _exit(5);
    }
}

// What the database must hold after commits 1..c.
void expect_state(Pager& pager, std::uint64_t c) {
    PageBuf buf;
    ASSERT_TRUE(pager.read_page_into(1, buf));
    ASSERT_EQ(get_u64(buf.data()), c);
    PageBuf want;
    for (std::uint64_t j = 0; j < kDataPages; ++j) {
        fill_pattern(want.data(), last_write(j, c));  // newest commit i <= c with i % kDataPages == j
        ASSERT_TRUE(pager.read_page_into(2 + j, buf));
        ASSERT_EQ(std::memcmp(buf.data(), want.data(), kPageSize - 4), 0) << "page " << 2 + j << " after " << c;
    }
    ASSERT_EQ(pager.page_count(), 2 + kDataPages + c / 7);
    for (std::uint64_t k = 1; k <= c / 7; ++k) {
        fill_pattern(want.data(), 7 * k);
        ASSERT_TRUE(pager.read_page_into(1 + kDataPages + k, buf));
        ASSERT_EQ(std::memcmp(buf.data(), want.data(), kPageSize - 4), 0) << "allocated page " << k;
    }
}

// Builds the database PowerCut tests start from: counter 0, kDataPages data pages.
std::unique_ptr<Pager> make_counter_db(const std::string& p, std::shared_ptr<Vfs> vfs, SyncMode mode = kSyncFull) {
    auto created = Pager::create(std::move(vfs), p, mode);
    EXPECT_TRUE(created);
    if (!created) return nullptr;
    auto& pager = **created;
    PageBuf zero;
    fill_pattern(zero.data(), 0);
    EXPECT_TRUE(pager.write_page(1, zero));
    for (std::uint64_t j = 0; j < kDataPages; ++j) {
        auto pg = pager.allocate_page();
        EXPECT_TRUE(pg && pager.write_page(*pg, zero));
    }
    EXPECT_TRUE(pager.commit());
    return std::move(*created);
}

// A file system whose flushed bytes survive a power cut and whose unflushed
// writes and truncations survive only in part: each write as a whole, not at all, as a prefix or as a random subset, and each
// truncation or not. After `cut`, every change
// fails and reaches nothing.
class PowerCutVfs : public Vfs {
public:
    // Cuts the power after `ops` more writes, truncations and flushes.
    void cut_after(std::uint64_t ops) { ops_left_ = ops; }
    bool cut() const { return cut_; }
    std::uint64_t ops() const { return ops_; }
    // Offsets of the log-header writes seen, as operation numbers.
    const std::vector<std::uint64_t>& log_header_ops() const { return log_header_ops_; }

    // What the disk might hold for `path` after the cut (none: no file).
    std::optional<std::vector<std::uint8_t>> image(const std::string& path, std::mt19937& rng) const {
        auto it = files_.find(path);
        if (it == files_.end()) return std::nullopt;
        std::vector<std::uint8_t> bytes = it->second.durable;
        for (const Change& c : it->second.pending) {
            if (c.truncate) {
                if (rng() % 2) bytes.resize(c.offset, 0);
                continue;
            }
            // Disks keep a whole write, none of it, a prefix or a suffix of
            // its sectors, or any subset of them.
            const unsigned shape = rng() % 5;
            const std::size_t sectors = (c.offset % 512 + c.bytes.size() + 511) / 512;
            const std::size_t prefix = rng() % (sectors + 1);
            std::size_t sector = 0;
            for (std::size_t at = 0; at < c.bytes.size(); ++sector) {
                const std::uint64_t off = c.offset + at;
                const std::size_t n = std::min<std::size_t>(c.bytes.size() - at, 512 - off % 512);
                const bool kept = shape == 0 || (shape == 2 && sector < prefix) || (shape == 3 && sector >= prefix) ||
                                  (shape == 4 && rng() % 2);
                if (kept) {
                    if (bytes.size() < off + n) bytes.resize(off + n, 0);
                    std::memcpy(bytes.data() + off, c.bytes.data() + at, n);
                }
                at += n;
            }
        }
        return bytes;
    }

    std::string describe() const override { return "PowerCutVfs"; }
    // After the cut no file is opened or created: the real files must keep
    // what the images are built from.
    Result<std::unique_ptr<VfsFile>> open(const std::string& path) override {
        return cut_ ? wrap(storage_error("cut"), path, false) : wrap(real_.open(path), path, false);
    }
    Result<std::unique_ptr<VfsFile>> create_new(const std::string& path) override {
        return cut_ ? wrap(storage_error("cut"), path, true) : wrap(real_.create_new(path), path, true);
    }
    Result<std::unique_ptr<VfsFile>> create_truncate(const std::string& path) override {
        return cut_ ? wrap(storage_error("cut"), path, true) : wrap(real_.create_truncate(path), path, true);
    }
    Result<std::unique_ptr<VfsFile>> open_read_only(const std::string& path) override {
        return real_.open_read_only(path);
    }
    bool exists(const std::string& path) override { return real_.exists(path); }
    Result<bool> exists_checked(const std::string& path) override { return real_.exists_checked(path); }
    Status remove(const std::string& path) override {
        if (!tick()) return storage_error("power cut");
        files_.erase(path);
        return real_.remove(path);
    }
    Status rename(const std::string&, const std::string&) override { return storage_error("unused"); }
    Status hard_link(const std::string&, const std::string&) override { return storage_error("unused"); }
    void sync_dir(const std::string&) override {}

private:
    struct Change {
        bool truncate = false;
        std::uint64_t offset = 0;  // the new length of a truncation
        std::vector<std::uint8_t> bytes;
    };
    struct FileState {
        std::vector<std::uint8_t> durable;
        std::vector<Change> pending;
    };
    class File : public VfsFile {
    public:
        File(PowerCutVfs& vfs, std::unique_ptr<VfsFile> inner, std::string path)
            : vfs_(vfs), inner_(std::move(inner)), path_(std::move(path)) {}
        std::string describe() const override { return "PowerCut" + inner_->describe(); }
        Status read_at(std::span<std::uint8_t> buffer, std::uint64_t offset) override {
            return inner_->read_at(buffer, offset);
        }
        Status write_at(std::span<const std::uint8_t> bytes, std::uint64_t offset) override {
            if (!vfs_.tick()) return storage_error("write failed: power cut");
            if (path_.ends_with(".pwal") && offset == 0 && bytes.size() == 16) vfs_.log_header_ops_.push_back(vfs_.ops_);
            vfs_.files_[path_].pending.push_back({false, offset, {bytes.begin(), bytes.end()}});
            return inner_->write_at(bytes, offset);
        }
        Status set_len(std::uint64_t length) override {
            if (!vfs_.tick()) return storage_error("truncate failed: power cut");
            vfs_.files_[path_].pending.push_back({true, length, {}});
            return inner_->set_len(length);
        }
        Result<std::uint64_t> len() override { return inner_->len(); }
        Status sync(SyncMode) override {
            if (!vfs_.tick()) return storage_error("fsync failed: power cut");
            FileState& f = vfs_.files_[path_];
            for (const Change& c : f.pending) {
                if (c.truncate) {
                    f.durable.resize(c.offset, 0);
                    continue;
                }
                if (f.durable.size() < c.offset + c.bytes.size()) f.durable.resize(c.offset + c.bytes.size(), 0);
                std::memcpy(f.durable.data() + c.offset, c.bytes.data(), c.bytes.size());
            }
            f.pending.clear();
            return inner_->sync(kSyncNone);  // the durable image is what counts
        }

    private:
        PowerCutVfs& vfs_;
        std::unique_ptr<VfsFile> inner_;
        std::string path_;
    };

    bool tick() {
        if (cut_) return false;
        ++ops_;
        if (ops_left_ && --*ops_left_ == 0) cut_ = true;
        return !cut_;
    }
    Result<std::unique_ptr<VfsFile>> wrap(Result<std::unique_ptr<VfsFile>> inner, const std::string& path, bool created) {
        if (!inner) return inner;
        if (created || !files_.contains(path)) {
            FileState& f = files_[path];
            f.pending.clear();
            f.durable = created ? std::vector<std::uint8_t>{} : read_file(path);
        }
        return std::unique_ptr<VfsFile>(new File(*this, std::move(*inner), path));
    }

    RealVfs real_;
    std::map<std::string, FileState> files_;
    std::optional<std::uint64_t> ops_left_;
    std::uint64_t ops_ = 0;
    bool cut_ = false;
    std::vector<std::uint64_t> log_header_ops_;
};

// Commits until the power is cut (or `limit` commits); returns the last
// commit reported durable. Wide commits go through a cache of 8 pages.
std::uint64_t commit_until_cut(const std::string& p, const std::shared_ptr<PowerCutVfs>& vfs, std::uint64_t limit,
                               bool wide) {
    auto opened = Pager::open(vfs, p);
    if (!opened) return 0;
    auto& pager = **opened;
    if (wide) pager.set_cache_capacity(8);
    std::uint64_t acked = 0;
    for (std::uint64_t i = 1; i <= limit; ++i) {
        if (!(wide ? apply_wide_commit(pager, i) : apply_commit(pager, i)) || !pager.commit()) break;
        acked = i;
    }
    (void)pager.rollback();
    return acked;
}

// Commits (small or wide) until the power is cut, at random moments and
// around every making or recycling of the log (its header writes); whatever the disk
// kept must reopen as a prefix of the commits that holds every acknowledged one.
void power_cut_trials(bool wide) {
    TempDir t;
    const std::uint64_t kCommits = wide ? 80 : 700;  // several generations of the log
    // A run without a cut finds where the log is recycled.
    std::vector<std::uint64_t> cut_points;
    std::uint64_t total_ops = 0;
    {
        const std::string p = t.path("full");
        auto vfs = std::make_shared<PowerCutVfs>();
        make_counter_db(p, vfs).reset();
        ASSERT_EQ(commit_until_cut(p, vfs, kCommits, wide), kCommits);
        total_ops = vfs->ops();
        for (std::uint64_t op : vfs->log_header_ops())
            for (std::uint64_t d = 0; d < 4 && op + d <= total_ops; ++d) cut_points.push_back(op + d);
    }
    ASSERT_GT(cut_points.size(), 8u) << "the log was never recycled";
    std::mt19937 rng(11);
    for (int k = 0; k < (wide ? 24 : 8); ++k) cut_points.push_back(1 + rng() % total_ops);

    int trial = 0;
    for (std::uint64_t cut_at : cut_points) {
        SCOPED_TRACE("cut after op " + std::to_string(cut_at));
        const std::string p = t.path("db" + std::to_string(trial));
        auto vfs = std::make_shared<PowerCutVfs>();
        make_counter_db(p, vfs).reset();
        const std::uint64_t base_ops = vfs->ops();
        vfs->cut_after(cut_at > base_ops ? cut_at - base_ops : 1);
        const std::uint64_t acked = commit_until_cut(p, vfs, kCommits, wide);
        ASSERT_TRUE(vfs->cut());
        for (int image = 0; image < 6; ++image) {
            const std::string q = t.path("image" + std::to_string(trial) + "_" + std::to_string(image));
            auto page_file = vfs->image(p, rng);
            ASSERT_TRUE(page_file);
            write_file(q, *page_file);
            if (auto log = vfs->image(wal_path_for(p), rng)) write_file(wal_path_for(q), *log);
            auto reopened = Pager::open(std::make_shared<RealVfs>(), q);
            ASSERT_TRUE(reopened) << reopened.error().message;
            PageBuf counter;
            ASSERT_TRUE((*reopened)->read_page_into(1, counter));
            const std::uint64_t found = get_u64(counter.data());
            ASSERT_GE(found, acked);
            ASSERT_LE(found, acked + 1);  // at most the commit in flight
            expect_state(**reopened, found);
            if (::testing::Test::HasFatalFailure()) return;
        }
        ++trial;
    }
}

// Many commits of a few pages each go through several recycled logs: the
// power is cut at random moments and around every recycling of the log (its
// header writes), and whatever the disk kept must reopen as a prefix of the
// commits that holds every acknowledged one. The same with commits of more
// pages than the cache holds, sent to the log in batches before each commit.
TEST(PagerCrash, PowerCutKeepsAPrefixAcrossRecycledLogs) {
    for (const bool wide : {false, true}) {
        SCOPED_TRACE(wide ? "wide commits" : "small commits");
        power_cut_trials(wide);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

// A log that is never flushed is reused without being zeroed; the files as
// the operating system holds them (what a killed process leaves) must still
// open as exactly the last commit, in every generation of the log.
TEST(PagerCrash, UnflushedLogReusedInPlaceReplaysTheLastCommit) {
    TempDir t;
    const std::string p = t.path("db");
    auto created = make_counter_db(p, std::make_shared<RealVfs>(), kSyncNone);
    ASSERT_TRUE(created);
    Pager& pager = *created;
    int copies = 0;
    std::uint64_t recycled_log_len = 0;
    for (std::uint64_t i = 1; i <= 700; ++i) {
        ASSERT_TRUE(apply_commit(pager, i));
        ASSERT_TRUE(pager.commit());
        // Copies at random moments, and right after each reuse of the log,
        // before the next commit writes into it.
        const bool recycled = pager.wal_len() < recycled_log_len;
        recycled_log_len = pager.wal_len();
        if (i % 97 != 0 && !recycled) continue;
        const std::string q = t.path("copy" + std::to_string(copies++));
        fs::copy_file(p, q);
        fs::copy_file(wal_path_for(p), wal_path_for(q));
        auto reopened = Pager::open(std::make_shared<RealVfs>(), q);
        ASSERT_TRUE(reopened) << reopened.error().message;
        expect_state(**reopened, i);
        if (HasFatalFailure()) return;
    }
    EXPECT_EQ(copies, 9);
}

TEST(PagerCrash, KilledCommitsLeaveAPrefix) {
    TempDir t;
    const std::string p = t.path("db");
    {
        auto created = Pager::create(std::make_shared<RealVfs>(), p);
        ASSERT_TRUE(created);
        auto& pager = **created;
        PageBuf zero;
        fill_pattern(zero.data(), 0);
        ASSERT_TRUE(pager.write_page(1, zero));  // counter 0
        for (std::uint64_t j = 0; j < kDataPages; ++j) {
            auto pg = pager.allocate_page();
            ASSERT_TRUE(pg);
            ASSERT_TRUE(pager.write_page(*pg, zero));
        }
        ASSERT_TRUE(pager.commit());
    }
    std::mt19937 rng(7);
    std::uint64_t reported = 0;
    for (int round = 0; round < 25; ++round) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            child_main(p, fds[1]);
        }
        ::close(fds[1]);
        ::usleep(2000 + rng() % 40000);
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child exited early with " << WEXITSTATUS(status);
        std::uint64_t v;
        while (::read(fds[0], &v, sizeof v) == sizeof v) reported = v;
        ::close(fds[0]);

        auto opened = Pager::open(std::make_shared<RealVfs>(), p);
        ASSERT_TRUE(opened) << opened.error().message;
        auto& pager = **opened;
        PageBuf counter;
        ASSERT_TRUE(pager.read_page_into(1, counter));
        const std::uint64_t found = get_u64(counter.data());
        ASSERT_GE(found, reported) << "round " << round;
        ASSERT_LE(found, reported + 1) << "round " << round;  // at most the commit in flight
        expect_state(pager, found);
        if (HasFatalFailure()) return;
        EXPECT_FALSE(fs::exists(wal_path_for(p)));
        EXPECT_TRUE(all_page_crcs_valid(p)) << "round " << round;
        reported = found;
    }
    RecordProperty("commits", static_cast<int>(reported));
    EXPECT_GT(reported, 25u);
}

}  // namespace
}  // namespace zembrel
