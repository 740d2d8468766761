// A fault-injecting file system for tests: wraps another Vfs and makes chosen
// calls fail with the same error texts the real file layer gives.
//
//   auto vfs = std::make_shared<zembrel::testing::FaultVfs>();
//   vfs->fail_nth(FaultOp::Sync, 1, ".pwal");    // the next sync of a log fails once
//   vfs->fail_nth(FaultOp::Write, 3, "", true);  // the 3rd write and every later one fail
//   vfs->clear();                                 // back to normal
//   vfs->kill_at(5, true);  // SIGKILL at the 5th call from now (a write there lands half)
//
// A rule counts only the calls of its kind whose file path contains its filter
// (an empty filter matches every path). Rules are matched in the order added;
// each call is counted by every matching rule. Files opened through the
// FaultVfs keep following its rules for their whole life. Thread-safe.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "pager/vfs.h"

namespace zembrel::testing {

enum class FaultOp {
    Open,     // open, open_read_only and VfsFile::duplicate
    Create,   // create_new and create_truncate (create_unnamed: create_new, then remove)
    Read,     // VfsFile::read_at
    Write,    // VfsFile::write_at
    SetLen,   // VfsFile::set_len
    Len,      // VfsFile::len
    Sync,     // VfsFile::sync
    Remove,   // Vfs::remove
    Rename,   // Vfs::rename (filtered by the source path)
    Link,     // Vfs::hard_link (filtered by the source path)
    SyncDir,  // Vfs::sync_dir (never fails; a step for kill_at)
    Writeback,  // VfsFile::start_writeback (never fails; a step for kill_at)
    Count_
};

class FaultVfs : public Vfs {
public:
    explicit FaultVfs(std::shared_ptr<Vfs> inner = std::make_shared<RealVfs>())
        : inner_(std::move(inner)), state_(std::make_shared<State>()) {}

    // Makes the `nth` (1-based, counted from now) matching call of `op` fail
    // with `os_errno`; with `sticky`, every matching call from then on fails too.
    void fail_nth(FaultOp op, std::uint64_t nth, std::string path_filter = "", bool sticky = false, int os_errno = EIO) {
        std::lock_guard lock(state_->mu);
        state_->rules.push_back(Rule{op, nth, std::move(path_filter), sticky, os_errno, 0});
    }
    // Kills this process with SIGKILL at the `nth` call of any kind from now,
    // before the call takes effect; with `torn`, a write met there puts its
    // first half in the file first. For crash tests in a forked child.
    void kill_at(std::uint64_t nth, bool torn = false) {
        std::lock_guard lock(state_->mu);
        state_->kill_step = state_->steps + nth;
        state_->torn = torn;
    }
    // Removes every rule.
    void clear() {
        std::lock_guard lock(state_->mu);
        state_->rules.clear();
    }
    // Calls of `op` seen since construction (failed ones included).
    std::uint64_t calls(FaultOp op) const {
        std::lock_guard lock(state_->mu);
        return state_->calls[static_cast<int>(op)];
    }
    // Calls that were made to fail since construction.
    std::uint64_t injected() const {
        std::lock_guard lock(state_->mu);
        return state_->injected;
    }

    std::string describe() const override { return "FaultVfs(" + inner_->describe() + ")"; }

    Result<std::unique_ptr<VfsFile>> open(const std::string& path) override {
        if (int e = state_->hit(FaultOp::Open, path)) return fail_open("open", path, e);
        return wrap(inner_->open(path), path);
    }
    Result<std::unique_ptr<VfsFile>> create_new(const std::string& path) override {
        if (int e = state_->hit(FaultOp::Create, path)) return fail_open("create", path, e);
        return wrap(inner_->create_new(path), path);
    }
    Result<std::unique_ptr<VfsFile>> create_truncate(const std::string& path) override {
        if (int e = state_->hit(FaultOp::Create, path)) return fail_open("create", path, e);
        return wrap(inner_->create_truncate(path), path);
    }
    Result<std::unique_ptr<VfsFile>> open_read_only(const std::string& path) override {
        if (int e = state_->hit(FaultOp::Open, path)) return fail_open("open", path, e);
        return wrap(inner_->open_read_only(path), path);
    }
    bool exists(const std::string& path) override { return inner_->exists(path); }
    Result<bool> exists_checked(const std::string& path) override { return inner_->exists_checked(path); }
    Status remove(const std::string& path) override {
        if (int e = state_->hit(FaultOp::Remove, path)) return storage_error(os_error_text(e));
        return inner_->remove(path);
    }
    Status rename(const std::string& from, const std::string& to) override {
        if (int e = state_->hit(FaultOp::Rename, from)) return storage_error(os_error_text(e));
        return inner_->rename(from, to);
    }
    Status hard_link(const std::string& from, const std::string& to) override {
        if (int e = state_->hit(FaultOp::Link, from)) return storage_error(os_error_text(e));
        return inner_->hard_link(from, to);
    }
    void sync_dir(const std::string& path) override {
        (void)state_->hit(FaultOp::SyncDir, path);
        inner_->sync_dir(path);
    }

private:
    struct Rule {
        FaultOp op;
        std::uint64_t nth;
        std::string filter;
        bool sticky;
        int err;
        std::uint64_t seen;
    };
    struct State {
        mutable std::mutex mu;
        std::vector<Rule> rules;
        std::uint64_t calls[static_cast<int>(FaultOp::Count_)] = {};
        std::uint64_t injected = 0;
        std::uint64_t steps = 0;
        std::uint64_t kill_step = 0;
        bool torn = false;
        // Counts the call; returns the errno to fail with, or 0.
        int hit(FaultOp op, const std::string& path) {
            std::lock_guard lock(mu);
            ++calls[static_cast<int>(op)];
            if (++steps == kill_step && !(torn && op == FaultOp::Write)) ::kill(::getpid(), SIGKILL);
            int result = 0;
            for (Rule& r : rules) {
                if (r.op != op || path.find(r.filter) == std::string::npos) continue;
                ++r.seen;
                if (result == 0 && (r.seen == r.nth || (r.sticky && r.seen > r.nth))) result = r.err;
            }
            if (result != 0) ++injected;
            return result;
        }
        // The write just counted is the torn one of kill_at.
        bool tears_now() {
            std::lock_guard lock(mu);
            return torn && steps == kill_step;
        }
    };

    class File : public VfsFile {
    public:
        File(std::unique_ptr<VfsFile> inner, std::string path, std::shared_ptr<State> state)
            : inner_(std::move(inner)), path_(std::move(path)), state_(std::move(state)) {}
        std::string describe() const override { return "Fault" + inner_->describe(); }
        Status read_at(std::span<std::uint8_t> buffer, std::uint64_t offset) override {
            if (int e = state_->hit(FaultOp::Read, path_)) return storage_error("read failed: " + os_error_text(e));
            return inner_->read_at(buffer, offset);
        }
        Status write_at(std::span<const std::uint8_t> bytes, std::uint64_t offset) override {
            if (int e = state_->hit(FaultOp::Write, path_)) return storage_error("write failed: " + os_error_text(e));
            if (state_->tears_now()) {
                (void)inner_->write_at(bytes.first(bytes.size() / 2), offset);
                ::kill(::getpid(), SIGKILL);
            }
            return inner_->write_at(bytes, offset);
        }
        Status set_len(std::uint64_t length) override {
            if (int e = state_->hit(FaultOp::SetLen, path_)) return storage_error("truncate failed: " + os_error_text(e));
            return inner_->set_len(length);
        }
        Result<std::uint64_t> len() override {
            if (int e = state_->hit(FaultOp::Len, path_)) return storage_error("stat failed: " + os_error_text(e));
            return inner_->len();
        }
        Status sync(SyncMode mode) override {
            if (int e = state_->hit(FaultOp::Sync, path_)) return storage_error("fsync failed: " + os_error_text(e));
            return inner_->sync(mode);
        }
        void start_writeback(std::uint64_t offset, std::uint64_t length) override {
            (void)state_->hit(FaultOp::Writeback, path_);
            inner_->start_writeback(offset, length);
        }
        // The second handle follows the same rules.
        Result<std::unique_ptr<VfsFile>> duplicate() override {
            if (int e = state_->hit(FaultOp::Open, path_)) return fail_open("open", path_, e);
            auto inner = inner_->duplicate();
            if (!inner) return inner;
            return std::unique_ptr<VfsFile>(new File(std::move(*inner), path_, state_));
        }

    private:
        std::unique_ptr<VfsFile> inner_;
        std::string path_;
        std::shared_ptr<State> state_;
    };

    static Result<std::unique_ptr<VfsFile>> fail_open(const char* what, const std::string& path, int e) {
        return storage_error(std::string(what) + " failed for '" + path + "': " + os_error_text(e));
    }
    Result<std::unique_ptr<VfsFile>> wrap(Result<std::unique_ptr<VfsFile>> inner, const std::string& path) {
        if (!inner) return inner;
        return std::unique_ptr<VfsFile>(new File(std::move(*inner), path, state_));
    }

    std::shared_ptr<Vfs> inner_;
    std::shared_ptr<State> state_;
};

}  // namespace zembrel::testing
