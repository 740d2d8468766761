#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <map>

#include "fault_vfs.h"
#include "pager/pager.h"
#include "pager_test_util.h"

namespace zembrel {
namespace {

using namespace zembrel::testing;

constexpr std::uint64_t kFrame = 4137;

void write_seed(Pager& pager, std::uint64_t page, std::uint64_t seed) {
    PageBuf buf;
    fill_pattern(buf.data(), seed);
    auto st = pager.write_page(page, buf);
    ASSERT_TRUE(st) << st.error().message;
}

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

TEST(Wal, CommitFrameLayoutAndSizes) {
    TempDir t;
    const std::string p = t.path("db");
    const std::string log = wal_path_for(p);
    auto pager = make_db(p, 0, 0);

    ASSERT_TRUE(pager->commit());  // nothing to write: no log
    EXPECT_FALSE(fs::exists(log));

    pager->mark_header_dirty();
    ASSERT_TRUE(pager->commit());
    EXPECT_EQ(file_size_or_zero(log), 16 + kFrame);
    auto frames = frames_of(log);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].page, 0u);
    EXPECT_EQ(frames[0].flag, 1);
    auto bytes = read_file(log);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 16),
              (std::vector<std::uint8_t>{'K', 'W', 'A', 'L', 1, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0}));

    ASSERT_TRUE(pager->checkpoint());
    EXPECT_FALSE(fs::exists(log));
    for (int i = 0; i < 3; ++i) write_seed(*pager, pager->allocate_page().value(), 9);
    ASSERT_TRUE(pager->commit());
    EXPECT_EQ(file_size_or_zero(log), 16564u);
    frames = frames_of(log);
    ASSERT_EQ(frames.size(), 4u);
    const std::uint64_t want_pages[] = {2, 3, 4, 0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(frames[i].page, want_pages[i]);
        EXPECT_EQ(frames[i].flag, i == 3 ? 1 : 0);
        EXPECT_TRUE(frames[i].digest_ok);
    }
    // The header frame carries the committed header fields, without CRC.
    EXPECT_EQ(std::memcmp(bytes.data(), "KWAL", 4), 0);
    auto after = read_file(log);
    const std::uint8_t* header = after.data() + 16 + 3 * kFrame + 41;
    EXPECT_EQ(std::memcmp(header, "KRVP", 4), 0);
    EXPECT_EQ(get_u64(header + 10), 5u);
    EXPECT_EQ(get_u64(header + 26), 1u);
    EXPECT_EQ(get_u64(header + kPageSize - 8) >> 32, 0u);
}

TEST(Wal, CheckpointRunsAtTheFrameThatPassesFourMiB) {
    TempDir t;
    const std::string p = t.path("db");
    const std::string log = wal_path_for(p);
    auto pager = make_db(p, 0, 0);
    for (int i = 0; i < 1012; ++i) ASSERT_TRUE(pager->allocate_page());
    ASSERT_TRUE(pager->commit());  // 1012 pages + header = 1013 frames
    EXPECT_EQ(file_size_or_zero(log), 4190797u);
    EXPECT_EQ(pager->wal_len(), 4190797u);
    pager->mark_header_dirty();
    ASSERT_TRUE(pager->commit());  // frame 1014: 4,194,934 bytes > 4 MiB
    EXPECT_FALSE(fs::exists(log));
    EXPECT_EQ(pager->wal_len(), 0u);
    EXPECT_EQ(file_size_or_zero(p), 1014 * kPageSize);
    EXPECT_TRUE(all_page_crcs_valid(p));
}

TEST(Wal, ReplayCutsUncommittedAndTornTail) {
    TempDir t;
    const std::string p = t.path("db");
    make_db(p, 6, 1).reset();
    auto pager = must_open(p);  // an empty cache, so that writes evict
    pager->set_cache_capacity(3);
    for (std::uint64_t pg = 2; pg < 8; ++pg) write_seed(*pager, pg, 2);
    ASSERT_TRUE(pager->commit());
    for (std::uint64_t pg = 2; pg < 8; ++pg) write_seed(*pager, pg, 3);  // evicted dirty pages go to the log uncommitted
    ASSERT_GE(pager->pending_wal_size(), 2u);
    auto frames = frames_of(wal_path_for(p));
    EXPECT_EQ(frames.back().flag, 0);

    struct Case {
        const char* name;
        std::size_t garbage;  // bytes of a torn frame appended to the log copy
    };
    for (Case c : {Case{"uncommitted frames", 0}, Case{"torn tail", 1000}, Case{"torn frame head", 20}}) {
        SCOPED_TRACE(c.name);
        const std::string copy = t.path(std::string("copy_") + c.name);
        crash_copy(p, copy);
        if (c.garbage > 0) {
            auto log = read_file(wal_path_for(copy));
            log.resize(log.size() + c.garbage, 0x77);
            write_file(wal_path_for(copy), log);
        }
        auto reopened = must_open(copy);
        ASSERT_TRUE(reopened);
        for (std::uint64_t pg = 2; pg < 8; ++pg) EXPECT_EQ(page_seed(*reopened, pg), 2u) << pg;
        EXPECT_FALSE(fs::exists(wal_path_for(copy)));  // checkpointed at open
        EXPECT_TRUE(all_page_crcs_valid(copy));
    }
}

TEST(Wal, BadDigestEndsReplay) {
    TempDir t;
    const std::string p = t.path("db");
    auto pager = make_db(p, 2, 1);
    write_seed(*pager, 2, 10);
    ASSERT_TRUE(pager->commit());  // frames 0,1
    write_seed(*pager, 2, 20);
    ASSERT_TRUE(pager->allocate_page());
    ASSERT_TRUE(pager->commit());  // frames 2,3,4
    write_seed(*pager, 3, 30);
    ASSERT_TRUE(pager->commit());  // frames 5,6
    const std::string copy = t.path("copy");
    crash_copy(p, copy);
    auto log = read_file(wal_path_for(copy));
    log[16 + 2 * kFrame + 41 + 500] ^= 1;  // damage the second commit's first page
    write_file(wal_path_for(copy), log);
    auto reopened = must_open(copy);
    EXPECT_EQ(page_seed(*reopened, 2), 10u);
    EXPECT_EQ(page_seed(*reopened, 3), 1u);  // the third commit is ignored too
    EXPECT_EQ(reopened->page_count(), 4u);
}

// Committed frames (damaged, digests recomputed) that claim pages the file
// and the log do not hold fail the open: a header page count past them, a
// page past the page count, or both at once. The page file is not grown to
// such a page and the log stays.
TEST(Wal, CommittedPagesPastFileAndLogFailTheOpen) {
    TempDir t;
    const std::string p = t.path("db");
    {
        auto pager = make_db(p, 2, 1);
        write_seed(*pager, 2, 10);
        ASSERT_TRUE(pager->commit());  // frames: page 2, header
        crash_copy(p, t.path("image"));
    }
    const auto image = read_file(t.path("image"));
    const auto image_log = read_file(wal_path_for(t.path("image")));
    ASSERT_EQ(image_log.size(), 16 + 2 * kFrame);
    ASSERT_EQ(get_u64(image_log.data() + 16 + kFrame), 0u);
    const std::uint64_t big = std::uint64_t(1) << 30;
    struct Case {
        const char* name;
        std::uint64_t page_count;  // 0: as committed
        std::uint64_t page2_as;    // 0: page 2's frame keeps its number
        std::string error;
    };
    const std::vector<Case> cases = {
        {"page count past the pages", big, 0, "page count 1073741824 exceeds the 4 pages of the page file and its log"},
        {"frame past the page count", 0, big, "WAL frame of page 1073741824 is past the page count 4"},
        {"both", big + 1, big, "page count 1073741825 exceeds the 5 pages of the page file and its log"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string copy = t.path(c.name);
        write_file(copy, image);
        auto log = image_log;
        auto redigest = [&](std::uint8_t* frame) {
            std::uint8_t buf[9 + kPageSize];
            std::memcpy(buf, frame, 9);
            std::memcpy(buf + 9, frame + 41, kPageSize);
            SHA256(buf, sizeof buf, frame + 9);
        };
        if (c.page2_as) {
            put_u64(log.data() + 16, c.page2_as);
            redigest(log.data() + 16);
        }
        if (c.page_count) {
            put_u64(log.data() + 16 + kFrame + 41 + 10, c.page_count);
            redigest(log.data() + 16 + kFrame);
        }
        write_file(wal_path_for(copy), log);
        auto r = Pager::open(real_vfs(), copy);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message, c.error);
        EXPECT_EQ(file_size_or_zero(copy), image.size());
        EXPECT_EQ(read_file(wal_path_for(copy)), log);
    }
}

TEST(Wal, ForeignOrShortLogIsRemoved) {
    TempDir t;
    struct Case {
        const char* name;
        std::size_t offset;   // byte of the header to change
        std::uint8_t value;
        std::size_t truncate;  // 0: keep length
    };
    const std::vector<Case> cases = {
        {"version 2", 4, 2, 0},
        {"page size 8192", 7, 0x20, 0},
        {"magic", 0, 'X', 0},
        {"shorter than header", 0, 'K', 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string p = t.path(c.name);
        {
            auto pager = make_db(p, 1, 1);
            write_seed(*pager, 2, 2);
            ASSERT_TRUE(pager->commit());
            crash_copy(p, p + ".img");
        }
        fs::rename(p + ".img", p);
        fs::rename(wal_path_for(p + ".img"), wal_path_for(p));
        auto log = read_file(wal_path_for(p));
        log[c.offset] = c.value;
        if (c.truncate) log.resize(c.truncate);
        write_file(wal_path_for(p), log);
        auto pager = must_open(p);
        ASSERT_TRUE(pager);
        EXPECT_EQ(page_seed(*pager, 2), 1u);  // the page file alone
        EXPECT_FALSE(fs::exists(wal_path_for(p)));
    }
}

TEST(Wal, UnreadableLogFailsTheOpenAndStays) {
    TempDir t;
    const std::string p = t.path("db");
    const std::string log = wal_path_for(p);
    {
        auto pager = make_db(p, 1, 1);
        write_seed(*pager, 2, 2);
        ASSERT_TRUE(pager->commit());
        crash_copy(p, t.path("img"));
    }
    fs::rename(t.path("img"), p);
    fs::rename(wal_path_for(t.path("img")), log);
    const auto size = file_size_or_zero(log);
    const std::string eio = "Input/output error (os error 5)";
    struct Case {
        FaultOp op;
        std::string error;
    };
    for (const Case& c : {Case{FaultOp::Open, "open failed for '" + log + "': " + eio},
                          Case{FaultOp::Read, "WAL read failed: read failed: " + eio},
                          Case{FaultOp::Len, "stat failed: " + eio}}) {
        auto vfs = std::make_shared<FaultVfs>();
        vfs->fail_nth(c.op, 1, ".pwal");
        auto r = Pager::open(vfs, p);
        ASSERT_FALSE(r) << int(c.op);
        EXPECT_EQ(r.error().message, c.error);
        EXPECT_EQ(file_size_or_zero(log), size);
    }
    auto pager = must_open(p);
    EXPECT_EQ(page_seed(*pager, 2), 2u);
}

TEST(Wal, SnapshotsSeeLastCommitAndSuspendCheckpoints) {
    TempDir t;
    const std::string p = t.path("db");
    const std::string log = wal_path_for(p);
    auto pager = make_db(p, 2, 1);
    write_seed(*pager, 2, 2);
    ASSERT_TRUE(pager->commit());
    write_seed(*pager, 3, 99);  // uncommitted: invisible to snapshots
    auto snap_r = pager->snapshot();
    ASSERT_TRUE(snap_r) << snap_r.error().message;
    auto snap = std::move(*snap_r);
    EXPECT_EQ(pager->readers()->load(), 1u);
    EXPECT_EQ(snap->page_count(), 4u);
    EXPECT_EQ(snap->catalog_root(), 1u);
    EXPECT_EQ(get_u64(snap->read_page(2).value().data()), 2u);
    EXPECT_EQ(get_u64(snap->read_page(3).value().data()), 1u);
    auto oob = snap->read_page(4);
    ASSERT_FALSE(oob);
    EXPECT_EQ(oob.error().message, "page 4 out of bounds (snapshot page count 4)");

    // Commits go on appending while the snapshot lives; checkpoints do nothing.
    for (int i = 0; i < 1100; ++i) ASSERT_TRUE(pager->allocate_page());
    ASSERT_TRUE(pager->commit());
    EXPECT_GT(file_size_or_zero(log), kCheckpointThreshold);
    ASSERT_TRUE(pager->checkpoint());
    EXPECT_TRUE(fs::exists(log));
    EXPECT_EQ(get_u64(snap->read_page(2).value().data()), 2u);
    EXPECT_EQ(get_u64(snap->read_page(3).value().data()), 1u);
    snap.reset();
    EXPECT_EQ(pager->readers()->load(), 0u);

    ASSERT_TRUE(pager->commit());  // nothing to write: returns before the size test
    EXPECT_TRUE(fs::exists(log));
    write_seed(*pager, 2, 5);
    ASSERT_TRUE(pager->commit());
    EXPECT_FALSE(fs::exists(log));
    EXPECT_EQ(file_size_or_zero(p), pager->page_count() * kPageSize);
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
    EXPECT_EQ(pager->readers()->load(), 0u);

    // A damaged page in the page file fails the snapshot read with the CRC text.
    const std::string q = t.path("db2");
    auto other = make_db(q, 1, 4);
    auto bytes = read_file(q);
    bytes[2 * kPageSize + 7] ^= 0xFF;
    write_file(q, bytes);
    auto snap = other->snapshot();
    ASSERT_TRUE(snap);
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
    EXPECT_GT(runs, 20);
}

}  // namespace
}  // namespace zembrel
