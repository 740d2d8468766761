#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>

#include "fault_vfs.h"
#include "pager/pager.h"
#include "test_util.h"

namespace zembrel {
namespace {

using namespace zembrel::testing;

constexpr std::uint64_t kFrame = 4137;

// A page file with pages 2..(1 + pages) holding `seed`, committed and checkpointed.
std::unique_ptr<Pager> make_db(const std::string& p, int pages, std::uint64_t seed) {
    auto pager = must_create(p);
    for (int i = 0; i < pages; ++i) {
        auto pg = pager->allocate_page();
        EXPECT_TRUE(pg);
        write_seed(*pager, *pg, seed);
    }
    EXPECT_TRUE(pager->checkpoint());
    EXPECT_FALSE(fs::exists(wal_path_for(p)));
    return pager;
}

struct Frame {
    std::uint64_t page;
    std::uint8_t flag;
    bool digest_ok;
};

std::vector<Frame> frames_of(const std::string& log) {
    auto bytes = read_file(log);
    std::vector<Frame> out;
    for (std::size_t off = 16; off + kFrame <= bytes.size(); off += kFrame) {
        std::uint8_t buf[9 + kPageSize];
        std::memcpy(buf, bytes.data() + off, 9);
        std::memcpy(buf + 9, bytes.data() + off + 41, kPageSize);
        std::uint8_t digest[32];
        SHA256(buf, sizeof buf, digest);
        out.push_back({get_u64(bytes.data() + off), bytes[off + 8], std::memcmp(digest, bytes.data() + off + 9, 32) == 0});
    }
    return out;
}

// The log's header, then one frame per dirty page in ascending order and the
// header page as the commit frame, each with its digest.
TEST(Wal, CommitFrameLayout) {
    TempDir t;
    const std::string p = t.path("db");
    const std::string log = wal_path_for(p);
    auto pager = make_db(p, 0, 0);
    for (int i = 0; i < 3; ++i) write_seed(*pager, pager->allocate_page().value(), 9);
    ASSERT_TRUE(pager->commit());
    const auto bytes = read_file(log);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 16),
              (std::vector<std::uint8_t>{'K', 'W', 'A', 'L', 1, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0}));
    auto frames = frames_of(log);
    ASSERT_EQ(bytes.size(), 16 + 4 * kFrame);
    const std::uint64_t want_pages[] = {2, 3, 4, 0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(frames[i].page, want_pages[i]);
        EXPECT_EQ(frames[i].flag, i == 3 ? 1 : 0);
        EXPECT_TRUE(frames[i].digest_ok);
    }
    EXPECT_EQ(get_u64(bytes.data() + 16 + 3 * kFrame + 41 + 10), 5u);  // the committed page count
}

void redigest(std::uint8_t* frame) {
    std::uint8_t buf[9 + kPageSize];
    std::memcpy(buf, frame, 9);
    std::memcpy(buf + 9, frame + 41, kPageSize);
    SHA256(buf, sizeof buf, frame + 9);
}

// One crash image for every damaged-log case: pages 2..7 hold 1 in the page
// file; the log holds commit A (page 2 = 10), commit B (page 2 = 20, a new
// page 8), commit C (page 3 = 30) and then uncommitted frames that dirty
// evictions wrote (pages 2..7 = 3).
struct CrashImage {
    std::vector<std::uint8_t> db, log;
    std::vector<std::size_t> commits;  // frame index of each commit frame
    CrashImage() {
        TempDir t;
        const std::string p = t.path("db");
        make_db(p, 6, 1).reset();
        auto pager = must_open(p);  // an empty cache, so that writes evict
        write_seed(*pager, 2, 10);
        EXPECT_TRUE(pager->commit());
        write_seed(*pager, 2, 20);
        write_seed(*pager, pager->allocate_page().value(), 8);
        EXPECT_TRUE(pager->commit());
        write_seed(*pager, 3, 30);
        EXPECT_TRUE(pager->commit());
        pager->set_cache_capacity(3);
        for (std::uint64_t pg = 2; pg < 8; ++pg) write_seed(*pager, pg, 3);
        EXPECT_GE(pager->pending_wal_size(), 2u);
        crash_copy(p, t.path("image"));
        db = read_file(t.path("image"));
        log = read_file(wal_path_for(t.path("image")));
        auto frames = frames_of(wal_path_for(t.path("image")));
        for (std::size_t i = 0; i < frames.size(); ++i)
            if (frames[i].flag) commits.push_back(i);
        EXPECT_EQ(commits.size(), 3u);
        EXPECT_EQ(frames.back().flag, 0);
    }
    std::uint8_t* frame(std::vector<std::uint8_t>& bytes, std::size_t i) const { return bytes.data() + 16 + i * kFrame; }
};

// Replay stops at the first frame that is torn, uncommitted or fails its
// digest; a log from another format is removed; committed frames that claim
// pages neither file holds, or a log that cannot be read, fail the open and
// leave both files as they were.
TEST(Wal, DamagedLogsOverOneCrashImage) {
    const CrashImage image;
    const std::uint64_t big = std::uint64_t(1) << 30;
    const std::string eio = "Input/output error (os error 5)";
    struct Case {
        const char* name;
        std::function<void(std::vector<std::uint8_t>&)> damage;
        FaultOp fault = FaultOp::Count_;  // a failing call on the log, if any
        std::string error;                // "" when the open succeeds
        std::uint64_t page2 = 0, page3 = 0, page_count = 0;
    };
    const auto last_header = [&](std::vector<std::uint8_t>& log, std::uint64_t count) {
        put_u64(image.frame(log, image.commits[2]) + 41 + 10, count);
        redigest(image.frame(log, image.commits[2]));
    };
    const auto rename_page3 = [&](std::vector<std::uint8_t>& log) {
        put_u64(image.frame(log, image.commits[1] + 1), big);
        redigest(image.frame(log, image.commits[1] + 1));
    };
    const std::vector<Case> cases = {
        {"uncommitted frames", [](auto&) {}, FaultOp::Count_, "", 20, 30, 9},
        {"torn tail", [](auto& log) { log.resize(log.size() + 1000, 0x77); }, FaultOp::Count_, "", 20, 30, 9},
        {"torn frame head", [](auto& log) { log.resize(log.size() + 20, 0x77); }, FaultOp::Count_, "", 20, 30, 9},
        // The later commits are ignored too.
        {"bad digest in commit B", [&](auto& log) { image.frame(log, image.commits[0] + 1)[41 + 500] ^= 1; },
         FaultOp::Count_, "", 10, 1, 8},
        {"log version 2", [](auto& log) { log[4] = 2; }, FaultOp::Count_, "", 1, 1, 8},
        {"log page size 8192", [](auto& log) { log[7] = 0x20; }, FaultOp::Count_, "", 1, 1, 8},
        {"log magic", [](auto& log) { log[0] = 'X'; }, FaultOp::Count_, "", 1, 1, 8},
        {"log shorter than its header", [](auto& log) { log.resize(10); }, FaultOp::Count_, "", 1, 1, 8},
        {"page count past the pages", [&](auto& log) { last_header(log, big); }, FaultOp::Count_,
         "page count 1073741824 exceeds the 9 pages of the page file and its log"},
        {"frame past the page count", rename_page3, FaultOp::Count_, "WAL frame of page 1073741824 is past the page count 9"},
        {"both", [&](auto& log) { rename_page3(log); last_header(log, big + 1); }, FaultOp::Count_,
         "page count 1073741825 exceeds the 10 pages of the page file and its log"},
        {"log open fails", [](auto&) {}, FaultOp::Open, "open failed for '{log}': " + eio},
        {"log read fails", [](auto&) {}, FaultOp::Read, "WAL read failed: read failed: " + eio},
        {"log length fails", [](auto&) {}, FaultOp::Len, "stat failed: " + eio},
    };
    TempDir t;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string p = t.path(c.name);
        auto log = image.log;
        c.damage(log);
        write_file(p, image.db);
        write_file(wal_path_for(p), log);
        auto vfs = std::make_shared<FaultVfs>();
        if (c.fault != FaultOp::Count_) vfs->fail_nth(c.fault, 1, ".pwal");
        auto r = Pager::open(vfs, p);
        if (!c.error.empty()) {
            ASSERT_FALSE(r);
            std::string want = c.error;
            if (auto at = want.find("{log}"); at != std::string::npos) want.replace(at, 5, wal_path_for(p));
            EXPECT_EQ(r.error().message, want);
            EXPECT_EQ(read_file(p), image.db);
            // The committed frames stay for a later try (an uncommitted tail may go).
            const std::size_t committed = 16 + (image.commits[2] + 1) * kFrame;
            auto after = read_file(wal_path_for(p));
            ASSERT_GE(after.size(), committed);
            EXPECT_TRUE(std::equal(log.begin(), log.begin() + committed, after.begin()));
            continue;
        }
        ASSERT_TRUE(r) << r.error().message;
        auto& pager = **r;
        EXPECT_EQ(page_seed(pager, 2), c.page2);
        EXPECT_EQ(page_seed(pager, 3), c.page3);
        for (std::uint64_t pg = 4; pg < 8; ++pg) EXPECT_EQ(page_seed(pager, pg), 1u) << pg;
        EXPECT_EQ(pager.page_count(), c.page_count);
        EXPECT_FALSE(fs::exists(wal_path_for(p)));  // checkpointed or removed at open
        EXPECT_TRUE(all_page_crcs_valid(p));
    }
}

TEST(Wal, SnapshotErrors) {
    TempDir t;
    const std::string p = t.path("db");
    auto pager = must_create(p);  // its first commit is still only in the log
    ASSERT_EQ(pager->wal_index().size(), 2u);
    fs::remove(wal_path_for(p));
    auto r = pager->snapshot();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "WAL file '" + wal_path_for(p) +
                                     "' missing while 2 committed frame(s) are indexed \u2014 another process "
                                     "touched this database; reopen it to recover");

    // A page past the snapshot's count, and a damaged page in the page file
    // (the CRC text), fail the snapshot read.
    const std::string q = t.path("db2");
    auto other = make_db(q, 1, 4);
    auto bytes = read_file(q);
    bytes[2 * kPageSize + 7] ^= 0xFF;
    write_file(q, bytes);
    auto snap = other->snapshot();
    ASSERT_TRUE(snap);
    EXPECT_EQ((*snap)->read_page(3).error().message, "page 3 out of bounds (snapshot page count 3)");
    auto bad = (*snap)->read_page(2);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message.rfind("page checksum mismatch (stored 0x", 0), 0u);

    // A header page without its magic.
    bytes[0] = 'X';
    write_file(q, bytes);
    snap = other->snapshot();
    ASSERT_FALSE(snap);
    EXPECT_EQ(snap.error().message.rfind("page checksum mismatch", 0), 0u);
}

// A read-only pager over a snapshot reads the snapshot's commit (pages in
// the file and in the log, through a cache smaller than what it reads, one
// by one or ahead), never what was committed after it, and refuses every
// Readers on other threads take pages straight from the page file unless
// the pager names them: whatever the cache, the committed and the pending
// log hold, every page it does not name reads from the file as the pager
// reads it, and pages past the file are not offered.
TEST(Wal, PagesTheFileReadsRight) {
    TempDir t;
    const std::string p = t.path("db");
    auto pager = make_db(p, 40, 1);  // pages 2..41 in the file
    pager->set_cache_capacity(4);
    std::mt19937 rng(11);
    for (int round = 0; round < 6; ++round) {
        for (int k = 0; k < 8; ++k) write_seed(*pager, 2 + rng() % 40, 100 * round + k);
        // Odd rounds leave their evicted pages in the log uncommitted.
        if (round % 2 == 0) {
            ASSERT_TRUE(pager->commit());
        }
        if (round == 3) {
            ASSERT_TRUE(pager->allocate_page());  // past the file's end
        }
        auto reads = pager->page_file_reads();
        ASSERT_TRUE(reads);
        EXPECT_EQ(reads->pages, 42u);
        EXPECT_TRUE(reads->checksums);
        EXPECT_TRUE(std::ranges::is_sorted(reads->held));
        EXPECT_FALSE(reads->held.empty());
        auto file = pager->open_page_file_reader();
        ASSERT_TRUE(file);
        for (std::uint64_t pg = 2; pg < reads->pages; ++pg) {
            if (std::ranges::binary_search(reads->held, pg)) continue;
            PageBuf direct{};
            ASSERT_TRUE((*file)->read_at(direct, pg * kPageSize));
            EXPECT_TRUE(Pager::page_checksum_ok(direct.data())) << pg;
            PageBuf through{};
            ASSERT_TRUE(pager->read_page_into(pg, through));
            EXPECT_TRUE(std::equal(direct.begin(), direct.end() - 4, through.begin())) << "page " << pg << " round " << round;
        }
    }
}

// write; it holds off checkpoints until it goes.
TEST(Wal, ReadOnlyPagerOverASnapshot) {
    TempDir t;
    const std::string p = t.path("db");
    auto pager = make_db(p, 8, 1);  // pages 2..9 in the file
    for (std::uint64_t pg : {3, 5, 9}) write_seed(*pager, pg, 20 + pg);
    ASSERT_TRUE(pager->commit());  // these in the log
    auto snap = pager->snapshot();
    ASSERT_TRUE(snap) << snap.error().message;
    auto reader = Pager::over_snapshot(std::shared_ptr<const PagerSnapshot>(std::move(*snap)), 2);
    for (std::uint64_t pg = 2; pg < 10; ++pg) write_seed(*pager, pg, 50 + pg);
    ASSERT_TRUE(pager->allocate_page());
    ASSERT_TRUE(pager->commit());
    ASSERT_TRUE(pager->checkpoint());  // held off: the log stays
    EXPECT_TRUE(fs::exists(wal_path_for(p)));

    auto expected = [](std::uint64_t pg) -> std::uint64_t { return pg == 3 || pg == 5 || pg == 9 ? 20 + pg : 1; };
    EXPECT_TRUE(reader->read_only());
    EXPECT_EQ(reader->page_count(), 10u);
    for (int round = 0; round < 2; ++round)
        for (std::uint64_t pg = 2; pg < 10; ++pg) EXPECT_EQ(page_seed(*reader, pg), expected(pg)) << pg;
    EXPECT_LE(reader->cache_size(), 2u);
    EXPECT_FALSE(reader->page_file_reads());  // its pages are the snapshot's to give
    std::vector<std::uint8_t> ahead(8 * kPageSize);
    ASSERT_EQ(reader->read_pages_ahead(2, ahead), 8u);
    for (std::uint64_t k = 0; k < 8; ++k) EXPECT_EQ(get_u64(ahead.data() + k * kPageSize), expected(2 + k)) << k;
    EXPECT_EQ(reader->read_page(10).error().message, "page 10 out of bounds (page count 10)");

    auto refused = [](const auto& st) {
        ASSERT_FALSE(st);
        EXPECT_EQ(st.error().kind, ErrorKind::Execution);
        EXPECT_EQ(st.error().message, kReadOnlyPagerRefusal);
    };
    PageBuf buf{};
    refused(reader->write_page(2, buf));
    refused(reader->allocate_page());
    refused(reader->free_page(4));
    refused(reader->snapshot());
    {
        auto page = reader->read_page(2);
        ASSERT_TRUE(page);
        page->mutable_data()[100] ^= 1;
    }
    refused(reader->commit());
    refused(reader->checkpoint());
    // A changed page cannot be evicted into a log (a clean one can)...
    EXPECT_TRUE(reader->read_page(4));
    refused(reader->read_page(6));
    // ...and a rollback drops it.
    ASSERT_TRUE(reader->rollback());
    EXPECT_EQ(page_seed(*reader, 2), 1u);
    EXPECT_EQ(pager->readers()->load(), 1u);
    reader.reset();
    EXPECT_EQ(pager->readers()->load(), 0u);
    ASSERT_TRUE(pager->checkpoint());
    EXPECT_FALSE(fs::exists(wal_path_for(p)));
    for (std::uint64_t pg = 2; pg < 10; ++pg) EXPECT_EQ(page_seed(*pager, pg), 50 + pg);
}

// Every single failing write, sync, truncate or create during a commit and
// checkpoint returns its error; after a rollback and a reopen the file holds
// exactly the last commit.
TEST(Wal, InjectedFaultsLeaveExactlyTheLastCommit) {
    TempDir t;
    const std::string eio = "Input/output error (os error 5)";
    const std::vector<std::string> prefixes = {"WAL append failed: write failed: ", "WAL header write failed: write failed: ",
                                               "WAL fsync failed: fsync failed: ",   "page file fsync failed: fsync failed: ",
                                               "truncate failed: ",                   "create failed for '"};
    auto workload = [](Pager& pager, bool& first_done) -> Status {
        pager.set_cache_capacity(3);
        for (std::uint64_t pg = 2; pg < 8; ++pg) {
            PageBuf buf;
            fill_pattern(buf.data(), 200 + pg);
            if (auto st = pager.write_page(pg, buf); !st) return st;
        }
        if (auto pg = pager.allocate_page(); !pg) return std::unexpected(pg.error());
        pager.set_catalog_root(7);
        if (auto st = pager.commit(); !st) return st;
        first_done = true;
        for (std::uint64_t pg = 2; pg < 5; ++pg) {
            PageBuf buf;
            fill_pattern(buf.data(), 300 + pg);
            if (auto st = pager.write_page(pg, buf); !st) return st;
        }
        return pager.checkpoint();
    };
    int runs = 0;
    for (FaultOp op : {FaultOp::Write, FaultOp::Sync, FaultOp::SetLen, FaultOp::Create}) {
        for (std::uint64_t nth = 1;; ++nth) {
            const std::string p = t.path("db" + std::to_string(runs++));
            make_db(p, 6, 1).reset();
            auto vfs = std::make_shared<FaultVfs>();
            vfs->fail_nth(op, nth);
            auto pager = must_open(p, vfs);
            ASSERT_TRUE(pager);
            bool first_committed = false;
            auto st = workload(*pager, first_committed);
            if (st) {
                EXPECT_EQ(vfs->injected(), 0u);
                break;  // nth is past the workload's last call of this kind
            }
            SCOPED_TRACE(st.error().message);
            ASSERT_EQ(vfs->injected(), 1u);
            const std::string& msg = st.error().message;
            bool known = false;
            for (const auto& pre : prefixes) known |= msg.rfind(pre, 0) == 0;
            known |= msg.find(" write failed: write failed: ") != std::string::npos;  // page N of a checkpoint
            EXPECT_TRUE(known);
            EXPECT_EQ(msg.substr(msg.size() - eio.size()), eio);

            // Which commit is the last one depends on where the failure struck.
            const bool second_committed = first_committed && pager->dirty_page_count() == 0 && pager->pending_wal_size() == 0 &&
                                          page_seed(*pager, 2) == 302;
            auto rb = pager->rollback();
            (void)rb;  // a failed cut is retried before the next append
            EXPECT_EQ(pager->catalog_root(), first_committed ? 7u : 1u);
            pager.reset();

            auto reopened = must_open(p);
            ASSERT_TRUE(reopened);
            for (std::uint64_t pg = 2; pg < 8; ++pg) {
                std::uint64_t want = 1;
                if (first_committed) want = 200 + pg;
                if (second_committed && pg < 5) want = 300 + pg;
                EXPECT_EQ(page_seed(*reopened, pg), want) << "page " << pg;
            }
            EXPECT_EQ(reopened->catalog_root(), first_committed ? 7u : 1u);
            EXPECT_EQ(reopened->page_count(), first_committed ? 9u : 8u);
            EXPECT_TRUE(all_page_crcs_valid(p));
        }
    }
    EXPECT_GT(runs, 15);
}

}  // namespace
}  // namespace zembrel
