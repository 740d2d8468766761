#include "pager/pager.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <map>
#include <random>

#include "fault_vfs.h"
#include "test_util.h"

namespace zembrel {
namespace {

using namespace zembrel::testing;

// A two-page file whose header page holds these fields (and a valid CRC).
std::vector<std::uint8_t> header_file(std::uint16_t version, std::uint32_t page_size, std::uint64_t count, std::uint64_t root) {
    std::vector<std::uint8_t> b(2 * kPageSize, 0);
    std::memcpy(b.data(), "KRVP", 4);
    le::put16(b.data() + 4, version);
    le::put32(b.data() + 6, page_size);
    put_u64(b.data() + 10, count);
    put_u64(b.data() + 26, root);
    le::put32(b.data() + kPageSize - 4, page_crc(b.data()));
    return b;
}

TEST(Pager, BoundsZeroPagesAndChecksums) {
    TempDir t;
    const std::string p = t.path("db");
    {
        auto pager = must_create(p);
        auto oob = pager->read_page(2);
        ASSERT_FALSE(oob);
        EXPECT_EQ(oob.error().message, "page 2 out of bounds (page count 2)");
        EXPECT_EQ(oob.error().kind, ErrorKind::Storage);
        EXPECT_TRUE(pager->read_page(1));
        // A page inside page_count with no copy anywhere reads as zeros.
        pager->set_page_count(10);
        auto zero = pager->read_page(9);
        ASSERT_TRUE(zero);
        for (std::size_t i = 0; i < kPageSize; ++i) ASSERT_EQ(zero->data()[i], 0);
        zero->release();
        pager->set_page_count(3);
        write_seed(*pager, 2, 77);
        ASSERT_TRUE(pager->commit());
    }
    auto bytes = read_file(p);
    ASSERT_EQ(bytes.size(), 3 * kPageSize);
    bytes[2 * kPageSize + 100] ^= 0x40;
    write_file(p, bytes);
    std::uint32_t stored = 0;
    std::memcpy(&stored, bytes.data() + 3 * kPageSize - 4, 4);
    auto computed = static_cast<std::uint32_t>(::crc32(0, bytes.data() + 2 * kPageSize, kPageSize - 4));
    char expected[128];
    std::snprintf(expected, sizeof expected, "page checksum mismatch (stored 0x%08x, computed 0x%08x)", stored, computed);

    auto pager = must_open(p);
    auto bad = pager->read_page(2);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message, expected);
    EXPECT_EQ(page_seed(*pager, 1), get_u64(bytes.data() + kPageSize));  // other pages unaffected
}

TEST(Pager, VersionOneFileHasNoChecksums) {
    TempDir t;
    const std::string p = t.path("db");
    auto bytes = header_file(1, 4096, 2, 1);  // version 1: the header's CRC word means nothing
    bytes[kPageSize] = 1;
    bytes[kPageSize + 4094] = 0x5A;                // no CRC here: the byte is plain data
    write_file(p, bytes);
    {
        auto pager = must_open(p);
        ASSERT_TRUE(pager);
        EXPECT_FALSE(pager->checksums_enabled());
        EXPECT_EQ(pager->usable_page_size(), 4096u);
        auto leaf = pager->read_page(1);
        ASSERT_TRUE(leaf) << leaf.error().message;
        EXPECT_EQ(leaf->data()[4094], 0x5A);
        leaf->mutable_data()[4095] = 0x33;
        leaf->release();
        ASSERT_TRUE(pager->commit());
    }
    auto after = read_file(p);
    EXPECT_EQ(after[4], 1);  // stays version 1
    EXPECT_EQ(after[kPageSize + 4095], 0x33);
}

// A damaged free list (a page linking to itself, a loop, a link or head past
// the page count, a live page reached through a stale link) is an error at
// allocation; no page is ever handed out twice and the failed call changes
// nothing, so every later call fails the same way.
TEST(Pager, DamagedFreeListIsAnErrorNotADoubleHandout) {
    TempDir t;
    struct Case {
        const char* name;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> links;  // free page -> next
        std::uint64_t head;
        bool reopen_after_first;  // commit and reopen after the first allocation
        std::vector<std::uint64_t> handed_out;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"self link", {{5, 5}}, 5, false, {}, "free-list page 5 links to invalid page 5"},
        {"loop of two", {{5, 6}, {6, 5}}, 5, false, {5}, "free-list page 6 links to invalid page 5"},
        {"loop across a reopen", {{5, 6}, {6, 5}}, 5, true, {5, 6}, "free-list page 5 is not a free page"},
        {"link past the page count", {{5, 40}}, 5, false, {}, "free-list page 5 links to invalid page 40"},
        {"head past the page count", {}, 12, false, {}, "free-list head 12 out of bounds (page count 12)"},
        {"head on a live page", {}, 3, false, {}, "free-list page 3 is not a free page"},
        {"sound list", {{5, 6}, {6, 0}}, 5, false, {5, 6, 12}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string p = t.path(c.name);
        auto pager = must_create(p);
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(pager->allocate_page());
        for (std::uint64_t pg = 2; pg < 12; ++pg) write_seed(*pager, pg, 100 + pg);
        for (const auto& [pg, next] : c.links) {
            auto ref = pager->read_page(pg);
            ASSERT_TRUE(ref);
            std::memset(ref->mutable_data(), 0, kPageSize);
            put_u64(ref->mutable_data(), next);
        }
        pager->set_free_list_head(c.head);
        ASSERT_TRUE(pager->commit());
        std::vector<std::uint64_t> got;
        Result<std::uint64_t> r;
        for (int i = 0; i < 4; ++i) {
            r = pager->allocate_page();
            if (!r) break;
            got.push_back(*r);
            write_seed(*pager, *r, 500 + *r);  // handed-out pages are put to use
            if (c.reopen_after_first && i == 0) {
                ASSERT_TRUE(pager->commit());
                pager.reset();
                pager = must_open(p);
            }
            if (c.error.empty() && got.size() == c.handed_out.size()) break;
        }
        EXPECT_EQ(got, c.handed_out);
        if (c.error.empty()) continue;
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind, ErrorKind::Storage);
        EXPECT_EQ(r.error().message, c.error);
        const std::uint64_t head = pager->free_list_head(), count = pager->page_count();
        auto again = pager->allocate_page();
        ASSERT_FALSE(again);
        EXPECT_EQ(again.error().message, c.error);
        EXPECT_EQ(pager->free_list_head(), head);
        EXPECT_EQ(pager->page_count(), count);
        for (std::uint64_t pg : got) EXPECT_EQ(page_seed(*pager, pg), 500 + pg);
    }

    // Freeing the page that heads the free list again would make it link to itself.
    auto pager = must_create(t.path("double free"));
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(pager->allocate_page());
    ASSERT_TRUE(pager->free_page(3));
    auto st = pager->free_page(3);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().message, "page 3 is already free");
    for (std::uint64_t bad : {0ull, 6ull, 99ull}) {
        auto invalid = pager->free_page(bad);
        ASSERT_FALSE(invalid);
        EXPECT_EQ(invalid.error().message, "cannot free invalid page " + std::to_string(bad));
    }
    EXPECT_EQ(pager->allocate_page().value(), 3u);
    EXPECT_EQ(pager->allocate_page().value(), 6u);
    // A page handed out and freed again is reused; a rollback forgets what was handed out.
    ASSERT_TRUE(pager->free_page(3));
    EXPECT_EQ(pager->allocate_page().value(), 3u);
    ASSERT_TRUE(pager->commit());
    ASSERT_TRUE(pager->free_page(4));
    ASSERT_TRUE(pager->free_page(2));
    ASSERT_TRUE(pager->commit());
    EXPECT_EQ(pager->allocate_page().value(), 2u);
    EXPECT_EQ(pager->allocate_page().value(), 4u);
    ASSERT_TRUE(pager->rollback());
    EXPECT_EQ(pager->allocate_page().value(), 2u);
    EXPECT_EQ(pager->allocate_page().value(), 4u);
    EXPECT_EQ(pager->allocate_page().value(), 7u);
}

// Pinned handles survive any amount of eviction; under the sanitizers a stale
// pointer would be reported. A model of every page's content checks each read.
TEST(Pager, PinnedPagesSurviveEvictionStress) {
    TempDir t;
    auto pager = must_create(t.path("db"));
    pager->set_cache_capacity(6);
    std::mt19937_64 rng(42);
    std::map<std::uint64_t, std::uint64_t> committed{{1, 0}}, current{{1, 0}};
    auto seed_of = [](const std::map<std::uint64_t, std::uint64_t>& m, std::uint64_t pg) {
        auto it = m.find(pg);
        return it == m.end() ? 0 : it->second;
    };
    std::vector<PageRef> pins;
    std::uint64_t next_seed = 100;
    for (int step = 0; step < 4000; ++step) {
        const int op = static_cast<int>(rng() % 100);
        if (op < 15 && pager->page_count() < 60) {
            auto pg = pager->allocate_page();
            ASSERT_TRUE(pg);
            current[*pg] = 0;
        } else if (op < 55) {
            std::uint64_t pg = 1 + rng() % (pager->page_count() - 1);
            auto ref = pager->read_page(pg);
            ASSERT_TRUE(ref) << ref.error().message;
            std::uint64_t seed = next_seed++;
            fill_pattern(ref->mutable_data(), seed);
            current[pg] = seed;
            if (pins.size() < 4) pins.push_back(std::move(*ref));
        } else if (op < 85) {
            std::uint64_t pg = 1 + rng() % (pager->page_count() - 1);
            auto ref = pager->read_page(pg);
            ASSERT_TRUE(ref);
            ASSERT_EQ(get_u64(ref->data()), seed_of(current, pg)) << "page " << pg << " step " << step;
        } else if (op < 93) {
            ASSERT_TRUE(pager->commit());
            committed = current;
        } else {
            pins.clear();
            ASSERT_TRUE(pager->rollback());
            current = committed;
        }
        // Every pinned page still shows what the model says.
        for (const PageRef& r : pins) ASSERT_EQ(get_u64(r.data()), seed_of(current, r.page_no())) << "step " << step;
        if (pins.size() == 4 && rng() % 4 == 0) pins.erase(pins.begin());
    }
    pins.clear();
    ASSERT_TRUE(pager->commit());
    std::uint64_t count = pager->page_count();
    pager.reset();
    pager = must_open(t.path("db"));
    ASSERT_EQ(pager->page_count(), count);
    for (std::uint64_t pg = 1; pg < count; ++pg) ASSERT_EQ(page_seed(*pager, pg), seed_of(current, pg)) << pg;
    EXPECT_TRUE(all_page_crcs_valid(t.path("db")));
}

TEST(Pager, AllPinnedCacheGrowsInsteadOfEvicting) {
    TempDir t;
    auto pager = must_create(t.path("db"));
    pager->set_cache_capacity(2);
    std::vector<PageRef> refs;
    for (int i = 0; i < 5; ++i) {
        auto pg = pager->allocate_page();
        ASSERT_TRUE(pg);
        auto ref = pager->read_page(*pg);
        ASSERT_TRUE(ref);
        fill_pattern(ref->mutable_data(), 500 + i);
        refs.push_back(std::move(*ref));
    }
    EXPECT_GE(pager->cache_size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(get_u64(refs[i].data()), 500u + i);
    refs.clear();
    ASSERT_TRUE(pager->read_page(1));
    EXPECT_LE(pager->cache_size(), 3u);
}

TEST(Pager, RollbackRestoresLastCommit) {
    TempDir t;
    const std::string p = t.path("db");
    auto pager = must_create(p);
    pager->set_cache_capacity(4);
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(pager->allocate_page());
    for (std::uint64_t pg = 2; pg < 8; ++pg) write_seed(*pager, pg, pg);
    ASSERT_TRUE(pager->commit());
    const std::uint64_t committed_len = file_size_or_zero(wal_path_for(p));

    // Uncommitted work: rewrites (some evicted into the log), allocations,
    // frees and header changes.
    for (std::uint64_t pg = 2; pg < 8; ++pg) write_seed(*pager, pg, 900 + pg);
    auto extra = pager->allocate_page();
    ASSERT_TRUE(extra);
    ASSERT_TRUE(pager->free_page(3));
    pager->set_catalog_root(5);
    EXPECT_GT(file_size_or_zero(wal_path_for(p)), committed_len);

    ASSERT_TRUE(pager->rollback());
    EXPECT_EQ(file_size_or_zero(wal_path_for(p)), committed_len);
    EXPECT_EQ(pager->page_count(), 8u);
    EXPECT_EQ(pager->free_list_head(), 0u);
    EXPECT_EQ(pager->catalog_root(), 1u);
    for (std::uint64_t pg = 2; pg < 8; ++pg) EXPECT_EQ(page_seed(*pager, pg), pg);

    // A later commit's replay never counts the discarded frames.
    write_seed(*pager, 4, 44);
    ASSERT_TRUE(pager->commit());
    crash_copy(p, t.path("copy"));
    auto copy = must_open(t.path("copy"));
    for (std::uint64_t pg = 2; pg < 8; ++pg) EXPECT_EQ(page_seed(*copy, pg), pg == 4 ? 44 : pg);
    EXPECT_EQ(copy->catalog_root(), 1u);

    // A private file keeps committed pages in the cache and writes them into
    // the file only when they are evicted or a snapshot is taken. Rollbacks
    // (also after a failed write or read) and snapshots still see exactly the
    // last commit. The later seeds give the cache room for statements that
    // change many pages, whose committed bytes fill several blocks.
    // The last seeds do the same through the log, with statements that change
    // many times the pages the cache holds (they go to the log in batches
    // before the commit, the checkpoints read them back) and faults that also
    // hit commits and checkpoints: a failed commit is rolled back, and a copy
    // of the files as a crash leaves them opens as the last commit.
    for (std::uint64_t seed = 1; seed <= 8; ++seed) {
        std::mt19937_64 rng(seed);
        const bool wide = seed > 4;
        const bool logged = seed > 6;
        const std::uint64_t pages = wide ? 200 : 12;
        auto vfs = std::make_shared<FaultVfs>();
        const std::string path = t.path("private" + std::to_string(seed));
        auto made = logged ? Pager::create(vfs, path) : Pager::create_private(vfs, path);
        ASSERT_TRUE(made) << made.error().message;
        Pager& priv = **made;
        priv.set_cache_capacity(logged ? 16 : wide ? 1024 : 8);
        std::map<std::uint64_t, std::uint64_t> committed;
        for (std::uint64_t i = 0; i < pages; ++i) {
            auto pg = priv.allocate_page();
            ASSERT_TRUE(pg);
            write_seed(priv, *pg, 0);
            committed[*pg] = 0;
        }
        ASSERT_TRUE(priv.commit());
        std::map<std::uint64_t, std::uint64_t> current = committed;
        int rollbacks_after_failure = 0;
        for (std::uint64_t step = 1; step <= 300; ++step) {
            if (rng() % 3 == 0) vfs->fail_nth(rng() % 2 ? FaultOp::Write : FaultOp::Read, 1 + rng() % 3);
            bool failed = false;
            std::vector<std::uint64_t> touched;
            for (std::uint64_t k = 0, n = 1 + rng() % (wide ? pages : 5); k < n && !failed; ++k) {
                const std::uint64_t pg = 2 + rng() % pages;
                touched.push_back(pg);
                PageBuf buf;
                fill_pattern(buf.data(), step * 10 + k);
                if (priv.write_page(pg, buf)) current[pg] = step * 10 + k;
                else failed = true;
            }
            vfs->clear();
            if (failed || rng() % 3 == 0) {
                ASSERT_TRUE(priv.rollback());
                current = committed;
                rollbacks_after_failure += failed ? 1 : 0;
            } else {
                if (logged && rng() % 3 == 0)
                    vfs->fail_nth(rng() % 2 ? FaultOp::Write : rng() % 2 ? FaultOp::Read : FaultOp::Sync, 1 + rng() % 4);
                const bool done = static_cast<bool>(priv.commit());
                vfs->clear();
                ASSERT_TRUE(done || logged);
                if (done) {
                    committed = current;
                } else {
                    ASSERT_TRUE(priv.rollback());
                    current = committed;
                }
            }
            if (logged && step % 25 == 0) {
                crash_copy(path, path + "-copy");
                auto copy = must_open(path + "-copy");
                for (const auto& [pg, want] : committed) ASSERT_EQ(page_seed(*copy, pg), want) << "seed " << seed << " step " << step;
            }
            // Reading every page would evict (and so write) every committed
            // page the cache holds: mostly only the pages just touched.
            if (step % 10 != 0) {
                for (std::uint64_t pg : touched) ASSERT_EQ(page_seed(priv, pg), current[pg]) << "seed " << seed << " step " << step;
                continue;
            }
            if (step % 20 == 0) {
                // Taken before the reads below evict what the cache holds.
                auto snap = priv.snapshot();
                ASSERT_TRUE(snap) << snap.error().message;
                for (const auto& [pg, want] : committed) {
                    auto bytes = (*snap)->read_page(pg);
                    ASSERT_TRUE(bytes) << bytes.error().message;
                    ASSERT_EQ(get_u64(bytes->data()), want) << "seed " << seed << " step " << step;
                }
            }
            for (const auto& [pg, want] : current) ASSERT_EQ(page_seed(priv, pg), want) << "seed " << seed << " step " << step;
        }
        if (!wide) {
            EXPECT_GT(rollbacks_after_failure, 10);
        }
        // Only files that are flushed start their writeback early: the log
        // as batches are evicted into it, the page file as checkpoints fill it.
        EXPECT_EQ(vfs->calls(FaultOp::Writeback) > 0, logged) << "seed " << seed;
    }
}

TEST(Pager, RollbackOfOnlyEvictedFramesDeletesFreshLog) {
    TempDir t;
    const std::string p = t.path("db");
    auto pager = must_create(p);
    ASSERT_TRUE(pager->checkpoint());
    EXPECT_FALSE(fs::exists(wal_path_for(p)));
    pager->set_cache_capacity(2);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(pager->allocate_page());
    EXPECT_TRUE(fs::exists(wal_path_for(p)));
    ASSERT_TRUE(pager->rollback());
    EXPECT_FALSE(fs::exists(wal_path_for(p)));
    EXPECT_EQ(pager->page_count(), 2u);
}

// The pager's own close, apart from the engine's: it drops what was not committed.
TEST(Pager, ClosingNeverSaves) {
    TempDir t;
    const std::string p = t.path("db");
    {
        auto pager = must_create(p);
        ASSERT_TRUE(pager->allocate_page());
        write_seed(*pager, 2, 1);
        ASSERT_TRUE(pager->commit());
        write_seed(*pager, 2, 2);
        ASSERT_TRUE(pager->allocate_page());
        pager->set_catalog_root(2);
    }
    auto pager = must_open(p);
    EXPECT_EQ(pager->page_count(), 3u);
    EXPECT_EQ(pager->catalog_root(), 1u);
    EXPECT_EQ(page_seed(*pager, 2), 1u);
    EXPECT_FALSE(fs::exists(wal_path_for(p)));
}

TEST(Pager, OpenRejectsForeignFiles) {
    TempDir t;
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::string error;
    };
    std::vector<Case> cases = {
        {"short file", std::vector<std::uint8_t>(100, 'K'), "not a KRVP page file"},
        {"wrong magic", std::vector<std::uint8_t>(kPageSize, 'x'), "not a KRVP page file"},
        {"page count 0", header_file(2, 4096, 0, 1), "not a KRVP page file"},
        {"version 0", header_file(0, 4096, 2, 1), "unsupported page file version: 0"},
        {"version 3", header_file(3, 4096, 2, 1), "unsupported page file version: 3"},
        {"page size 8192", header_file(2, 8192, 2, 1), "unsupported page size: 8192"},
        {"no catalog", header_file(2, 4096, 2, 0), "page file has no catalog"},
        // A page count the file cannot back would make every loop bounded by
        // it endless and let the checkpoint grow the file to it.
        {"page count past the file", header_file(2, 4096, 3, 1), "page count 3 exceeds the 2 pages of the page file and its log"},
        {"huge page count", header_file(2, 4096, std::uint64_t(1) << 40, 1),
         "page count 1099511627776 exceeds the 2 pages of the page file and its log"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string p = t.path(c.name);
        write_file(p, c.bytes);
        auto r = Pager::open(real_vfs(), p);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message, c.error);
    }
    auto missing = Pager::open(real_vfs(), t.path("missing"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message, "open failed for '" + t.path("missing") + "': No such file or directory (os error 2)");
}

// A failed create leaves nothing behind and frees the path again. A process
// killed inside create leaves the header page (catalog root 0) and perhaps a
// log without a commit (failing removes stand in for the cleanup it never
// ran): nothing was committed there, so the next open finishes the creation
// instead of refusing the path for good.
TEST(Pager, FailedOrKilledCreate) {
    TempDir t;
    const std::string eio = "Input/output error (os error 5)";
    struct Case {
        const char* name;
        FaultOp op;
        std::uint64_t nth;
        const char* filter;
        std::string error;
        bool log_begun;  // the header page is in place
    };
    const Case cases[] = {
        {"header write", FaultOp::Write, 1, "", "page 0 write failed: write failed: " + eio, false},
        {"page file sync", FaultOp::Sync, 1, "", "fsync failed: " + eio, false},
        {"log create", FaultOp::Create, 1, ".pwal", "create failed for '{log}': " + eio, true},
        {"log header write", FaultOp::Write, 1, ".pwal", "WAL header write failed: write failed: " + eio, true},
        {"frames append", FaultOp::Write, 2, ".pwal", "WAL append failed: write failed: " + eio, true},
        {"log sync", FaultOp::Sync, 1, ".pwal", "WAL fsync failed: fsync failed: " + eio, true},
    };
    for (const Case& c : cases) {
        for (bool killed : {false, true}) {
            if (killed && !c.log_begun) continue;
            SCOPED_TRACE(std::string(c.name) + (killed ? " (killed)" : ""));
            const std::string p = t.path(std::string(killed ? "k_" : "f_") + c.name);
            auto vfs = std::make_shared<FaultVfs>();
            vfs->fail_nth(c.op, c.nth, c.filter);
            if (killed) vfs->fail_nth(FaultOp::Remove, 1, "", true);
            auto r = Pager::create(vfs, p);
            ASSERT_FALSE(r);
            if (!killed) {
                std::string want = c.error;
                if (auto at = want.find("{log}"); at != std::string::npos) want.replace(at, 5, wal_path_for(p));
                EXPECT_EQ(r.error().message, want);
                EXPECT_FALSE(fs::exists(p));
                EXPECT_FALSE(fs::exists(wal_path_for(p)));
                EXPECT_TRUE(Pager::create(real_vfs(), p));
                continue;
            }
            ASSERT_EQ(file_size_or_zero(p), kPageSize);
            for (int open = 0; open < 2; ++open) {  // finished, and the same at the next open
                auto pager = must_open(p);
                ASSERT_TRUE(pager);
                EXPECT_EQ(pager->catalog_root(), 1u);
                EXPECT_EQ(pager->page_count(), 2u);
                EXPECT_EQ(pager->read_page(1).value().data()[0], 1);  // an empty leaf
            }
        }
    }

    // A file past its header page is a damaged database, not an unfinished
    // one: it stays refused and untouched.
    const std::string p = t.path("longer");
    {
        auto vfs = std::make_shared<FaultVfs>();
        vfs->fail_nth(FaultOp::Write, 1, ".pwal");
        vfs->fail_nth(FaultOp::Remove, 1, "", true);
        ASSERT_FALSE(Pager::create(vfs, p));
    }
    auto bytes = read_file(p);
    bytes.resize(2 * kPageSize, 7);
    write_file(p, bytes);
    auto r = Pager::open(real_vfs(), p);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "page file has no catalog");
    EXPECT_EQ(read_file(p), bytes);
}

}  // namespace
}  // namespace zembrel
