// Kills a piece of work at the n-th system call that changes the file system
// under a folder, whichever layer of the engine makes it (its file layer or
// raw POSIX calls): the work runs in a forked child traced with ptrace, and
// the kill lands at the entry of the call, so that call never runs and every
// counted call before it has. A seccomp filter the child installs makes only
// the calls that may count stop it (where the system refuses the filter,
// every call stops, at its entry and exit). Linux only.
//
// Counted, when they touch a path under the folder (a descriptor is taken for
// the file it names now, a relative path is made absolute from its directory
// descriptor or the working directory):
//   open, openat, openat2 and creat that create, truncate, make an unnamed
//   file (counted by its folder) or give write access; write, pwrite64,
//   writev, pwritev, pwritev2; ftruncate, truncate, fallocate; fsync,
//   fdatasync, sync_file_range; unlink, unlinkat, rmdir, mkdir, mkdirat;
//   rename, renameat, renameat2, link, linkat (either path under the folder);
//   symlink, symlinkat (by the link's own path); copy_file_range and sendfile
//   (by the file written); ioctl clone and dedupe requests (by the file
//   written).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/fs.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace zembrel::testing {

struct StepRun {
    bool traced = false;  // false: the system refused ptrace, nothing ran
    bool killed = false;
    int exit_code = -1;       // the work's result when not killed; 128 + signal when a signal of its own ended it
    std::uint64_t steps = 0;  // counted calls, the one killed at included
    std::string acks;         // the bytes the child passed to acknowledge() before it ended
};

namespace file_steps_detail {

inline int ack_fd = -1;
// Off: the child stops at every call, as where no seccomp filter can be had
// (so the harness's own test can try both ways).
inline bool filter_calls = true;

// The kernel's layout of PTRACE_GET_SYSCALL_INFO's answer (a stable ABI),
// spelled out so that no particular C library's copy is needed.
struct SyscallInfo {
    std::uint8_t op;
    std::uint32_t arch __attribute__((aligned(4)));
    std::uint64_t instruction_pointer;
    std::uint64_t stack_pointer;
    union {
        struct {
            std::uint64_t nr;
            std::uint64_t args[6];
        } entry;
        struct {
            std::int64_t rval;
            std::uint8_t is_error;
        } exit;
        std::uint64_t pad[8];
    };
};
constexpr int kGetSyscallInfo = 0x420e;
constexpr std::uint8_t kSyscallEntry = 1;
constexpr std::uint8_t kSyscallSeccomp = 3;  // also before the call runs, with entry's layout
constexpr int kTraceRefused = 97;            // the child's exit code when PTRACE_TRACEME fails

inline std::string normal(std::string p) {
    p = std::filesystem::path(p).lexically_normal().string();
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

inline std::string read_link(const std::string& proc) {
    char buf[PATH_MAX + 1];
    const ssize_t n = ::readlink(proc.c_str(), buf, PATH_MAX);
    if (n <= 0) return {};
    std::string s(buf, static_cast<std::size_t>(n));
    // An unlinked (or never named) file still lies in its folder.
    const std::string deleted = " (deleted)";
    if (s.size() > deleted.size() && s.ends_with(deleted)) s.resize(s.size() - deleted.size());
    return s;
}

inline std::string fd_path(pid_t tid, std::uint64_t fd) {
    return read_link("/proc/" + std::to_string(tid) + "/fd/" + std::to_string(static_cast<int>(fd)));
}

// A NUL-terminated text of the child, read page by page: a single read
// would fail as a whole on a string that ends right before an unmapped page.
inline std::string child_text(pid_t tid, std::uint64_t addr) {
    std::string out;
    if (addr == 0) return out;
    const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    while (out.size() <= PATH_MAX) {
        char buf[8192];
        const std::uint64_t want = std::min<std::uint64_t>(page - addr % page, sizeof buf);
        iovec local{buf, want};
        iovec remote{reinterpret_cast<void*>(addr), want};
        const ssize_t n = ::process_vm_readv(tid, &local, 1, &remote, 1, 0);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == '\0') return out;
            out.push_back(buf[i]);
        }
        addr += static_cast<std::uint64_t>(n);
    }
    return out;
}

// The absolute path a (dirfd, path) pair names; an empty path is the
// descriptor's own file (AT_EMPTY_PATH).
inline std::string at_path(pid_t tid, std::uint64_t dirfd, std::uint64_t path_addr) {
    const std::string rel = child_text(tid, path_addr);
    if (!rel.empty() && rel.front() == '/') return normal(rel);
    const std::string base =
        static_cast<int>(dirfd) == AT_FDCWD ? read_link("/proc/" + std::to_string(tid) + "/cwd") : fd_path(tid, dirfd);
    if (base.empty()) return {};
    return rel.empty() ? normal(base) : normal(base + "/" + rel);
}

inline std::string cwd_path(pid_t tid, std::uint64_t path_addr) {
    return at_path(tid, static_cast<std::uint64_t>(static_cast<std::int64_t>(AT_FDCWD)), path_addr);
}

inline bool changes_by_open(std::uint64_t flags) {
    return (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC)) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

// Every call `counts` may count. Only these stop the child when a seccomp
// filter can be installed; without one every call stops, twice.
constexpr auto kWatchedCalls = std::to_array<long>({
#ifdef SYS_open
    SYS_open,      SYS_creat,     SYS_unlink,          SYS_rmdir,    SYS_mkdir,           SYS_rename,    SYS_link,
    SYS_symlink,
#endif
#ifdef SYS_openat2
    SYS_openat2,
#endif
#ifdef SYS_pwritev2
    SYS_pwritev2,
#endif
#ifdef SYS_renameat2
    SYS_renameat2,
#endif
    SYS_openat,    SYS_write,     SYS_pwrite64,        SYS_writev,   SYS_pwritev,         SYS_ftruncate, SYS_fallocate,
    SYS_fsync,     SYS_fdatasync, SYS_sync_file_range, SYS_sendfile, SYS_copy_file_range, SYS_ioctl,     SYS_truncate,
    SYS_unlinkat,  SYS_mkdirat,   SYS_renameat,        SYS_linkat,   SYS_symlinkat});

// In the child: the watched calls stop it for the tracer (SECCOMP_RET_TRACE),
// all others run without a stop. The filter looks at the call number alone:
// the child is a native process, and the tracer reads the rest.
inline bool stop_at_watched_calls_only() {
    std::array<sock_filter, 2 * kWatchedCalls.size() + 2> program{};
    std::size_t n = 0;
    program[n++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
    for (long nr : kWatchedCalls) {
        program[n++] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(nr), 0, 1);
        program[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE);
    }
    program[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    sock_fprog fprog{static_cast<unsigned short>(n), program.data()};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &fprog) == 0;
}

// Whether a child may install that filter (a system without seccomp filters,
// or one whose policy refuses them, says no); asked once.
inline bool filter_possible() {
    static const bool possible = [] {
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) ::_exit(stop_at_watched_calls_only() ? 0 : 1);
        int status = 0;
        while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }();
    return possible;
}

// Whether the call about to run changes the file system under `dir`.
inline bool counts(pid_t tid, const SyscallInfo& info, const std::string& dir) {
    const auto under = [&](const std::string& p) {
        return !dir.empty() && !p.empty() &&
               (p == dir || (p.size() > dir.size() && p.compare(0, dir.size(), dir) == 0 && p[dir.size()] == '/'));
    };
    const std::uint64_t* a = info.entry.args;
    const auto fd = [&](int i) { return under(fd_path(tid, a[i])); };
    const auto path = [&](int i) { return under(cwd_path(tid, a[i])); };
    const auto at = [&](int dirfd, int p) { return under(at_path(tid, a[dirfd], a[p])); };
    switch (info.entry.nr) {
#ifdef SYS_open
        case SYS_open:
            return changes_by_open(a[1]) && path(0);
#endif
#ifdef SYS_creat
        case SYS_creat:
            return path(0);
#endif
        case SYS_openat:
            return changes_by_open(a[2]) && at(0, 1);
#ifdef SYS_openat2
        case SYS_openat2: {
            std::uint64_t flags = 0;
            iovec local{&flags, sizeof flags};
            iovec remote{reinterpret_cast<void*>(a[2]), sizeof flags};  // open_how starts with its flags
            if (::process_vm_readv(tid, &local, 1, &remote, 1, 0) != sizeof flags) return false;
            return changes_by_open(flags) && at(0, 1);
        }
#endif
        case SYS_write:
        case SYS_pwrite64:
        case SYS_writev:
        case SYS_pwritev:
#ifdef SYS_pwritev2
        case SYS_pwritev2:
#endif
        case SYS_ftruncate:
        case SYS_fallocate:
        case SYS_fsync:
        case SYS_fdatasync:
        case SYS_sync_file_range:
        case SYS_sendfile:
            return fd(0);
        case SYS_copy_file_range:
            return fd(2);
        case SYS_ioctl:
            return (a[1] == FICLONE || a[1] == FICLONERANGE || a[1] == FIDEDUPERANGE) && fd(0);
        case SYS_truncate:
            return path(0);
#ifdef SYS_unlink
        case SYS_unlink:
        case SYS_rmdir:
        case SYS_mkdir:
            return path(0);
#endif
        case SYS_unlinkat:
        case SYS_mkdirat:
            return at(0, 1);
#ifdef SYS_rename
        case SYS_rename:
        case SYS_link:
            return path(0) || path(1);
        case SYS_symlink:
            return path(1);
#endif
        case SYS_renameat:
#ifdef SYS_renameat2
        case SYS_renameat2:
#endif
        case SYS_linkat:
            return at(0, 1) || at(2, 3);
        case SYS_symlinkat:
            return at(1, 2);
        default:
            return false;
    }
}

}  // namespace file_steps_detail

// Passes one byte to the parent, from inside run_with_kill_at's work (one per
// call that succeeded, say): it lands in StepRun::acks even when the child is
// killed afterwards. Does nothing outside such a child.
inline void acknowledge(char tag) {
    if (file_steps_detail::ack_fd >= 0) (void)!::write(file_steps_detail::ack_fd, &tag, 1);
}

// Runs `work` in a forked child, traced, and kills it with SIGKILL at the
// entry of its `kill_at`-th counted call under `dir` (an absolute path
// without symbolic links); with kill_at 0 it runs to its end. The child must
// not print: it runs `work` and _exit()s with its result.
inline StepRun run_with_kill_at(const std::string& dir, std::uint64_t kill_at, const std::function<int()>& work) {
    using namespace file_steps_detail;
    const std::string root = normal(dir);
    StepRun run;
    int acks[2];
    if (::pipe2(acks, O_CLOEXEC) != 0) return run;
    const bool by_filter = filter_calls && filter_possible();
    std::fflush(nullptr);  // nothing buffered is written twice
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(acks[0]);
        ::close(acks[1]);
        return run;
    }
    if (pid == 0) {
        ::close(acks[0]);
        ack_fd = acks[1];
        if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(kTraceRefused);
        if (by_filter && !stop_at_watched_calls_only()) ::_exit(kTraceRefused);
        ::raise(SIGSTOP);
        ::_exit(work() & 0xff);
    }
    ::close(acks[1]);
    int status = 0;
    while (::waitpid(pid, &status, __WALL) < 0 && errno == EINTR) {
    }
    // With the filter only the watched calls stop the child, before they
    // run; without it every call stops at its entry and its exit.
    const auto resume = by_filter ? PTRACE_CONT : PTRACE_SYSCALL;
    const long options =
        PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACECLONE | PTRACE_O_EXITKILL | (by_filter ? PTRACE_O_TRACESECCOMP : 0);
    if (!WIFSTOPPED(status) || ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, options) != 0) {
        // Refused: the child ended at once, or is killed now.
        if (WIFSTOPPED(status)) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, __WALL) < 0 && errno == EINTR) {
            }
        }
        ::close(acks[0]);
        return run;
    }
    run.traced = true;
    std::set<pid_t> seen{pid};
    ::ptrace(resume, pid, nullptr, nullptr);
    for (;;) {
        const pid_t tid = ::waitpid(-1, &status, __WALL);
        if (tid < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            if (tid != pid) continue;
            if (WIFEXITED(status)) {
                run.exit_code = WEXITSTATUS(status);
            } else if (!run.killed) {
                run.exit_code = 128 + WTERMSIG(status);
            }
            break;
        }
        if (!WIFSTOPPED(status) || run.killed) continue;  // a killed child only ends
        const int sig = WSTOPSIG(status);
        int deliver = 0;
        const int event = status >> 16;
        if (sig == (SIGTRAP | 0x80) || (sig == SIGTRAP && event == PTRACE_EVENT_SECCOMP)) {
            SyscallInfo info{};
            if (::ptrace(static_cast<__ptrace_request>(kGetSyscallInfo), tid, sizeof info, &info) > 0 &&
                (info.op == kSyscallEntry || info.op == kSyscallSeccomp) && counts(tid, info, root) &&
                ++run.steps == kill_at) {
                ::kill(pid, SIGKILL);
                run.killed = true;
                continue;
            }
        } else if (sig == SIGTRAP && event == PTRACE_EVENT_CLONE) {
            // The new thread reports its own first stop.
        } else if (sig == SIGSTOP && !seen.contains(tid)) {
            // A new thread's first stop belongs to the tracing, not to the work.
        } else {
            deliver = sig;
        }
        seen.insert(tid);
        ::ptrace(resume, tid, nullptr, reinterpret_cast<void*>(static_cast<long>(deliver)));
    }
    char buf[256];
    for (ssize_t n; (n = ::read(acks[0], buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        run.acks.append(buf, static_cast<std::size_t>(n));
    }
    ::close(acks[0]);
    return run;
}

// Whether this system lets a child be traced (a container's seccomp policy
// or Yama may refuse); asked once.
inline bool tracing_allowed() {
    static const bool allowed = run_with_kill_at("", 0, [] { return 0; }).traced;
    return allowed;
}

// Runs `work` killed at its 1st, 2nd, 3rd ... counted step under `dir`, each
// time on the state `prepare` sets up afresh, until a run ends on its own,
// and calls `check(kill_at, run)` after every run, that last one included.
// Prints "<place>: N steps" (N: the steps of the run that was not killed),
// with the steps whose check failed, and returns N. A work that never ends
// unkilled within `max_steps` fails the test.
inline std::uint64_t kill_at_each_step(const std::string& place, const std::string& dir,
                                       const std::function<void()>& prepare, const std::function<int()>& work,
                                       const std::function<void(std::uint64_t, const StepRun&)>& check,
                                       std::uint64_t max_steps = 2000) {
    const ::testing::TestResult* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
    std::vector<std::uint64_t> failed;
    for (std::uint64_t kill_at = 1; kill_at <= max_steps; ++kill_at) {
        const int before = result->total_part_count();
        prepare();
        if (result->total_part_count() != before) {
            ADD_FAILURE() << place << ": the state to kill in could not be set up";
            return 0;
        }
        const StepRun run = run_with_kill_at(dir, kill_at, work);
        if (!run.traced) {
            ADD_FAILURE() << place << ": the child could not be traced";
            return 0;
        }
        SCOPED_TRACE(place + (run.killed ? ": killed at step " : ": ran to its end, the kill point being step ") +
                     std::to_string(kill_at) + ", acknowledged '" + run.acks + "'");
        const int parts = result->total_part_count();
        if (run.killed) {
            EXPECT_EQ(run.steps, kill_at);
        } else {
            EXPECT_LT(run.steps, kill_at) << "a run that was not killed counted past its kill point";
        }
        check(kill_at, run);
        if (result->total_part_count() != parts) failed.push_back(kill_at);
        if (!run.killed) {
            std::string line = place + ": " + std::to_string(run.steps) + " steps";
            if (!failed.empty()) {
                line += "; checks failed after the kills at steps";
                for (std::uint64_t s : failed) line += " " + std::to_string(s);
            }
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
            return run.steps;
        }
    }
    ADD_FAILURE() << place << ": still killed at step " << max_steps << ", the limit";
    return 0;
}

}  // namespace zembrel::testing
