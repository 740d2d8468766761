#include "pager/vfs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "fault_vfs.h"
#include "test_util.h"

namespace zembrel {
namespace {

using zembrel::testing::TempDir;
namespace fs = std::filesystem;

void write_text(const std::string& p, const std::string& s) { std::ofstream(p, std::ios::binary) << s; }

TEST(Vfs, OpenersReportExactErrors) {
    TempDir t;
    RealVfs vfs;
    const std::string existing = t.path("existing");
    const std::string missing = t.path("missing");
    write_text(existing, "keep me");
    const std::string enoent = "No such file or directory (os error 2)";
    const std::string eexist = "File exists (os error 17)";

    struct Case {
        const char* name;
        Result<std::unique_ptr<VfsFile>> result;
        std::string expected_error;  // empty: success
    };
    std::vector<Case> cases;
    cases.push_back({"open missing", vfs.open(missing), "open failed for '" + missing + "': " + enoent});
    cases.push_back({"open_read_only missing", vfs.open_read_only(missing), "open failed for '" + missing + "': " + enoent});
    cases.push_back({"create_new existing", vfs.create_new(existing), "create failed for '" + existing + "': " + eexist});
    cases.push_back({"create_new in missing dir", vfs.create_new(t.path("no/such")),
                     "create failed for '" + t.path("no/such") + "': " + enoent});
    cases.push_back({"open existing", vfs.open(existing), ""});
    cases.push_back({"open_read_only existing", vfs.open_read_only(existing), ""});
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.expected_error.empty()) {
            ASSERT_TRUE(c.result.has_value()) << c.result.error().message;
        } else {
            ASSERT_FALSE(c.result.has_value());
            EXPECT_EQ(c.result.error().kind, ErrorKind::Storage);
            EXPECT_EQ(c.result.error().message, c.expected_error);
        }
    }
    EXPECT_EQ(testing::read_file(existing).size(), 7u);  // the failed create_new left it alone
    EXPECT_EQ(vfs.describe(), "RealVfs");
    EXPECT_EQ(cases[4].result.value()->describe().rfind("RealFile(", 0), 0u);
}

TEST(Vfs, ReadWriteLengthAndSync) {
    TempDir t;
    RealVfs vfs;
    write_text(t.path("data"), "old contents");
    auto f = vfs.create_truncate(t.path("data")).value();  // emptied
    EXPECT_EQ(f->len().value(), 0u);
    const std::vector<std::uint8_t> bytes = {1, 2, 3, 4};
    // Writing past the end extends the file; the gap reads as zeros.
    ASSERT_TRUE(f->write_at(bytes, 8192));
    EXPECT_EQ(f->len().value(), 8196u);
    std::vector<std::uint8_t> buf(8196, 0xAA);
    ASSERT_TRUE(f->read_at(buf, 0));
    for (std::size_t i = 0; i < 8192; ++i) ASSERT_EQ(buf[i], 0) << i;
    EXPECT_EQ(std::vector<std::uint8_t>(buf.begin() + 8192, buf.end()), bytes);

    // A read that runs past the end fails and leaves the file usable.
    std::vector<std::uint8_t> page(4096);
    auto short_read = f->read_at(page, 8196 - 100);
    ASSERT_FALSE(short_read);
    EXPECT_EQ(short_read.error().message, "read failed: failed to fill whole buffer");
    ASSERT_TRUE(f->read_at(std::span(page).first(100), 8196 - 100));

    ASSERT_TRUE(f->set_len(10));
    EXPECT_EQ(f->len().value(), 10u);
    ASSERT_TRUE(f->set_len(5000));
    EXPECT_EQ(f->len().value(), 5000u);
    for (SyncMode mode : {kSyncFull, kSyncBarrier, kSyncPlain}) EXPECT_TRUE(f->sync(mode)) << int(mode);

    auto ro = vfs.open_read_only(t.path("data")).value();
    auto w = ro->write_at(bytes, 0);
    ASSERT_FALSE(w);
    EXPECT_EQ(w.error().message, "write failed: Bad file descriptor (os error 9)");
    auto tr = ro->set_len(0);
    ASSERT_FALSE(tr);
    EXPECT_EQ(tr.error().message.rfind("truncate failed: ", 0), 0u);
}

TEST(Vfs, ExistsRemoveAndSyncDir) {
    TempDir t;
    RealVfs vfs;
    const std::string target = t.path("target");
    const std::string link = t.path("link");
    write_text(target, "x");
    fs::create_symlink(target, link);
    EXPECT_TRUE(vfs.exists(link));
    fs::remove(target);
    EXPECT_FALSE(vfs.exists(link));  // dangling link
    EXPECT_TRUE(vfs.exists_checked(link).value());  // the name is taken: the open that follows refuses it
    EXPECT_FALSE(vfs.exists_checked(t.path("missing")).value());
    write_text(target, "x");
    EXPECT_FALSE(vfs.exists_checked(target + "/below").value());  // ENOTDIR is "absent" too
    EXPECT_TRUE(vfs.exists_checked(target).value());

    EXPECT_TRUE(vfs.remove(target));
    auto again = vfs.remove(target);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().message, "No such file or directory (os error 2)");

    // Best effort whatever the path: no descriptor left open, nothing made.
    auto open_fds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()); };
    const auto fds = open_fds();
    for (const std::string& p : {link, std::string("bare-name"), t.path("no/such/dir/file"), std::string(), std::string("/")})
        vfs.sync_dir(p);
    EXPECT_EQ(open_fds(), fds);
    EXPECT_FALSE(fs::exists(t.path("no")));
    EXPECT_FALSE(fs::exists("bare-name"));
}

// An unnamed file takes no name in its directory, neither through
// O_TMPFILE nor by the default's create-then-remove (here through a wrapping
// Vfs); a second handle on it reads what the first wrote, and outlives it.
TEST(Vfs, UnnamedFilesAndSecondHandles) {
    TempDir t;
    const std::string name = t.path("scratch");
    RealVfs real;
    auto wrapped = std::make_shared<testing::FaultVfs>();
    for (Vfs* vfs : {static_cast<Vfs*>(&real), static_cast<Vfs*>(wrapped.get())}) {
        SCOPED_TRACE(vfs->describe());
        auto f = vfs->create_unnamed(name);
        ASSERT_TRUE(f) << f.error().message;
        EXPECT_TRUE(fs::is_empty(t.root()));
        const std::vector<std::uint8_t> bytes = {9, 8, 7};
        ASSERT_TRUE((*f)->write_at(bytes, 4096));
        auto second = (*f)->duplicate();
        ASSERT_TRUE(second) << second.error().message;
        f->reset();
        std::vector<std::uint8_t> back(3);
        ASSERT_TRUE((*second)->read_at(back, 4096));
        EXPECT_EQ(back, bytes);
        EXPECT_EQ((*second)->len().value(), 4099u);
    }
    EXPECT_EQ(real.create_unnamed(t.path("no/such")).error().message,
              "create failed for '" + t.path("no/such") + "': No such file or directory (os error 2)");
    EXPECT_TRUE(fs::is_empty(t.root()));
}

}  // namespace
}  // namespace zembrel
