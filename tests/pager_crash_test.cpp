// A child process commits numbered changes in a loop and is killed with
// SIGKILL at a random moment; the reopened file must hold exactly a prefix of
// the commits that includes every commit the child reported done.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "pager/pager.h"
#include "test_util.h"

namespace zembrel {
namespace {

using namespace zembrel::testing;

constexpr std::uint64_t kDataPages = 40;  // pages 2 .. 41; page 1 holds the commit counter

// Commit i writes i into the counter page and into data page 2 + i % kDataPages,
// and every 7th commit allocates one more page holding i.
void apply_commit(Pager& pager, std::uint64_t i) {
    PageBuf buf;
    fill_pattern(buf.data(), i);
    if (!pager.write_page(1, buf)) _exit(3);
    if (!pager.write_page(2 + i % kDataPages, buf)) _exit(3);
    if (i % 7 == 0) {
        auto pg = pager.allocate_page();
        if (!pg || !pager.write_page(*pg, buf)) _exit(3);
    }
}

[[noreturn]] void child_main(const std::string& path, int report_fd) {
    auto opened = Pager::open(std::make_shared<RealVfs>(), path);
    if (!opened) _exit(2);
    auto& pager = **opened;
    pager.set_cache_capacity(8);  // dirty evictions into the log as well
    PageBuf counter;
    if (!pager.read_page_into(1, counter)) _exit(2);
    for (std::uint64_t i = get_u64(counter.data()) + 1;; ++i) {
        apply_commit(pager, i);
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
        std::uint64_t last = 0;  // newest commit i <= c with i % kDataPages == j
        if (c >= j && !(j == 0 && c < kDataPages)) last = j + ((c - j) / kDataPages) * kDataPages;
        fill_pattern(want.data(), last);
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
