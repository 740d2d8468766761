// Runs a piece of work in a forked child traced with ptrace and steers it
// at its system calls that touch a folder, whichever layer of the engine
// makes them (its file layer or raw POSIX calls). Two modes share one traced
// loop:
//
// - Kill: the child is killed with SIGKILL at the entry of its n-th call
//   that changes the file system under the folder, so that call never runs
//   and every counted call before it has.
// - Pause: the child's thread is held at the entry of its n-th call that
//   touches the folder at all (reads included) while a second, untraced
//   process runs the other handle's work; the child's other threads go on
//   being served meanwhile. Then the held call runs and the child goes on.
//
// A seccomp filter the child installs makes only the calls that may count
// stop it (where the system refuses the filter, every call stops, at its
// entry and exit). Linux only.
//
// Counted as changes, when they touch a path under the folder (a descriptor
// is taken for the file it names now, a relative path is made absolute from
// its directory descriptor or the working directory):
//   open, openat, openat2 and creat that create, truncate, make an unnamed
//   file (counted by its folder) or give write access; write, pwrite64,
//   writev, pwritev, pwritev2; ftruncate, truncate, fallocate; fsync,
//   fdatasync, sync_file_range; unlink, unlinkat, rmdir, mkdir, mkdirat;
//   rename, renameat, renameat2, link, linkat (either path under the folder);
//   symlink, symlinkat (by the link's own path); copy_file_range and sendfile
//   (by the file written); ioctl clone and dedupe requests (by the file
//   written).
// Counted as touches: every change, and besides: open, openat and openat2
// of any flags; read, pread64, readv, preadv, preadv2; stat, lstat, fstat,
// newfstatat, statx; access, faccessat, faccessat2; readlink, readlinkat;
// flock and fcntl's record locks; getdents64; lseek; fadvise64; chmod,
// fchmod, fchmodat, utimensat; close; copy_file_range and sendfile by the
// file read.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/fs.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
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
    bool timed_out = false;   // it outran its time and was killed for it (exit_code stays -1)
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

// The calls `touches` may count beyond those of `counts`.
constexpr auto kReadingCalls = std::to_array<long>({
#ifdef SYS_stat
    SYS_stat,      SYS_lstat,      SYS_access,    SYS_readlink,   SYS_chmod,
#endif
#ifdef SYS_preadv2
    SYS_preadv2,
#endif
#ifdef SYS_statx
    SYS_statx,
#endif
#ifdef SYS_faccessat2
    SYS_faccessat2,
#endif
#ifdef SYS_fadvise64
    SYS_fadvise64,
#endif
    SYS_read,      SYS_pread64,    SYS_readv,     SYS_preadv,     SYS_fstat,    SYS_newfstatat, SYS_faccessat,
    SYS_readlinkat, SYS_flock,     SYS_fcntl,     SYS_getdents64, SYS_lseek,    SYS_close,      SYS_fchmod,
    SYS_fchmodat,  SYS_utimensat});

template <std::size_t N, std::size_t M>
constexpr std::array<long, N + M> joined(const std::array<long, N>& a, const std::array<long, M>& b) {
    std::array<long, N + M> out{};
    std::copy(a.begin(), a.end(), out.begin());
    std::copy(b.begin(), b.end(), out.begin() + N);
    return out;
}

constexpr auto kTouchingCalls = joined(kWatchedCalls, kReadingCalls);

// In the child: the given calls stop it for the tracer (SECCOMP_RET_TRACE),
// all others run without a stop. The filter looks at the call number alone:
// the child is a native process, and the tracer reads the rest.
template <std::size_t N>
inline bool stop_at_calls(const std::array<long, N>& calls) {
    std::array<sock_filter, 2 * N + 2> program{};
    std::size_t n = 0;
    program[n++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
    for (long nr : calls) {
        program[n++] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(nr), 0, 1);
        program[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE);
    }
    program[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    sock_fprog fprog{static_cast<unsigned short>(n), program.data()};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &fprog) == 0;
}

inline bool stop_at_watched_calls_only() { return stop_at_calls(kWatchedCalls); }

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

// The paths a stopped call's arguments name, asked whether they lie under
// a folder.
struct ArgsUnder {
    pid_t tid;
    const std::uint64_t* a;
    const std::string& dir;

    bool under(const std::string& p) const {
        return !dir.empty() && !p.empty() &&
               (p == dir || (p.size() > dir.size() && p.compare(0, dir.size(), dir) == 0 && p[dir.size()] == '/'));
    }
    bool fd(int i) const { return under(fd_path(tid, a[i])); }
    bool path(int i) const { return under(cwd_path(tid, a[i])); }
    bool at(int dirfd, int p) const { return under(at_path(tid, a[dirfd], a[p])); }
};

// Whether the call about to run changes the file system under `dir`.
inline bool counts(pid_t tid, const SyscallInfo& info, const std::string& dir) {
    const std::uint64_t* a = info.entry.args;
    const ArgsUnder args{tid, a, dir};
    switch (info.entry.nr) {
#ifdef SYS_open
        case SYS_open:
            return changes_by_open(a[1]) && args.path(0);
#endif
#ifdef SYS_creat
        case SYS_creat:
            return args.path(0);
#endif
        case SYS_openat:
            return changes_by_open(a[2]) && args.at(0, 1);
#ifdef SYS_openat2
        case SYS_openat2: {
            std::uint64_t flags = 0;
            iovec local{&flags, sizeof flags};
            iovec remote{reinterpret_cast<void*>(a[2]), sizeof flags};  // open_how starts with its flags
            if (::process_vm_readv(tid, &local, 1, &remote, 1, 0) != sizeof flags) return false;
            return changes_by_open(flags) && args.at(0, 1);
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
            return args.fd(0);
        case SYS_copy_file_range:
            return args.fd(2);
        case SYS_ioctl:
            return (a[1] == FICLONE || a[1] == FICLONERANGE || a[1] == FIDEDUPERANGE) && args.fd(0);
        case SYS_truncate:
            return args.path(0);
#ifdef SYS_unlink
        case SYS_unlink:
        case SYS_rmdir:
        case SYS_mkdir:
            return args.path(0);
#endif
        case SYS_unlinkat:
        case SYS_mkdirat:
            return args.at(0, 1);
#ifdef SYS_rename
        case SYS_rename:
        case SYS_link:
            return args.path(0) || args.path(1);
        case SYS_symlink:
            return args.path(1);
#endif
        case SYS_renameat:
#ifdef SYS_renameat2
        case SYS_renameat2:
#endif
        case SYS_linkat:
            return args.at(0, 1) || args.at(2, 3);
        case SYS_symlinkat:
            return args.at(1, 2);
        default:
            return false;
    }
}

// Whether the call about to run touches `dir` at all: a change, or a call
// that reads, looks at, locks, seeks or closes a file there. The engine's
// choices between two such calls (a 4-byte read of a header against a read
// of the whole page) are where another handle can slip in.
inline bool touches(pid_t tid, const SyscallInfo& info, const std::string& dir) {
    if (counts(tid, info, dir)) return true;
    const std::uint64_t* a = info.entry.args;
    const ArgsUnder args{tid, a, dir};
    switch (info.entry.nr) {
#ifdef SYS_open
        case SYS_open:
        case SYS_stat:
        case SYS_lstat:
        case SYS_access:
        case SYS_readlink:
        case SYS_chmod:
            return args.path(0);
#endif
        case SYS_openat:
#ifdef SYS_openat2
        case SYS_openat2:
#endif
        case SYS_newfstatat:
#ifdef SYS_statx
        case SYS_statx:
#endif
        case SYS_faccessat:
#ifdef SYS_faccessat2
        case SYS_faccessat2:
#endif
        case SYS_readlinkat:
        case SYS_fchmodat:
        case SYS_utimensat:
            return args.at(0, 1);
        case SYS_read:
        case SYS_pread64:
        case SYS_readv:
        case SYS_preadv:
#ifdef SYS_preadv2
        case SYS_preadv2:
#endif
        case SYS_fstat:
        case SYS_flock:
        case SYS_getdents64:
        case SYS_lseek:
#ifdef SYS_fadvise64
        case SYS_fadvise64:
#endif
        case SYS_fchmod:
        case SYS_close:
        case SYS_copy_file_range:
            return args.fd(0);
        case SYS_sendfile:
            return args.fd(1);
        case SYS_fcntl:
            switch (static_cast<int>(a[1])) {
                case F_GETLK:
                case F_SETLK:
                case F_SETLKW:
                case F_OFD_GETLK:
                case F_OFD_SETLK:
                case F_OFD_SETLKW:
                    return args.fd(0);
                default:
                    return false;
            }
        default:
            return false;
    }
}

// Waits for the caller's children (and tracees) to change state, never
// longer than asked: SIGCHLD, blocked in this thread while an object lives,
// is taken by sigtimedwait, and waitpid(WNOHANG) is asked before every wait,
// so no change is missed between the two. A thread of the process that
// takes SIGCHLD itself only makes a wait last its full time.
class ChildSignals {
public:
    ChildSignals() {
        ::sigemptyset(&set_);
        ::sigaddset(&set_, SIGCHLD);
        ::pthread_sigmask(SIG_BLOCK, &set_, &before_);
    }
    ~ChildSignals() {
        if (::sigismember(&before_, SIGCHLD)) return;  // an outer one still waits with it
        const timespec now{0, 0};
        while (::sigtimedwait(&set_, nullptr, &now) > 0) {
        }
        ::pthread_sigmask(SIG_SETMASK, &before_, nullptr);
    }
    ChildSignals(const ChildSignals&) = delete;
    ChildSignals& operator=(const ChildSignals&) = delete;

    void wait(std::chrono::nanoseconds most) const {
        if (most <= std::chrono::nanoseconds::zero()) return;
        const auto s = std::chrono::duration_cast<std::chrono::seconds>(most);
        const timespec limit{static_cast<time_t>(s.count()), static_cast<long>((most - s).count())};
        (void)::sigtimedwait(&set_, nullptr, &limit);
    }

    // In a forked child, which inherits the blocked signal: its work sees
    // SIGCHLD as any program does.
    static void as_usual_in_child() {
        sigset_t set;
        ::sigemptyset(&set);
        ::sigaddset(&set, SIGCHLD);
        ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }

private:
    sigset_t set_{};
    sigset_t before_{};
};

enum class Steps { changes, touches };
enum class AtStep { go_on, kill, hold };

// What the traced loop does at the child's steps, and while one of its
// threads is held.
struct TraceControl {
    Steps steps = Steps::changes;
    std::chrono::milliseconds limit{std::chrono::minutes(2)};  // the child is killed after it
    std::function<AtStep(std::uint64_t)> at_step;              // at each step, numbered from 1
    std::function<bool()> let_go;                              // asked while a thread is held
    std::function<void(pid_t, int)> other_child;               // a child of the caller's, not traced, ended
};

// What the pipe `fd` holds of the work's acknowledgements, appended to
// `into`: all of them once the child ended, what is there now from a
// non-blocking pipe.
inline void read_acks(int fd, std::string& into) {
    char buf[256];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        into.append(buf, static_cast<std::size_t>(n));
    }
}

// The signal to pass on with a stop of the thread `tid` that is no call
// of the work's: none for the stops that belong to the tracing.
inline int signal_to_pass_on(pid_t tid, int sig, int event, const std::set<pid_t>& seen) {
    if (sig == SIGTRAP && event == PTRACE_EVENT_CLONE) return 0;  // the new thread reports its own first stop
    if (sig == SIGSTOP && !seen.contains(tid)) return 0;          // a new thread's first stop
    return sig;
}

// A forked child that runs a work under trace, stopped before it begins:
// `pid` 0 when the system refused the tracing (nothing ran then).
struct TracedChild {
    pid_t pid = 0;
    int acks = -1;           // the read end of what the work acknowledges
    bool by_filter = false;  // only the calls of the child's seccomp filter stop it
};

// Forks the child that runs `work` traced, with the filter `install_filter`
// installs where filters can be had, and sets the tracing options once it
// stands still at its first stop. The child must not print: it runs `work`
// and _exit()s with its result.
inline TracedChild start_traced(const std::function<int()>& work, const std::function<bool()>& install_filter) {
    TracedChild child;
    int acks[2];
    if (::pipe2(acks, O_CLOEXEC) != 0) return child;
    const bool by_filter = filter_calls && filter_possible();
    std::fflush(nullptr);  // nothing buffered is written twice
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(acks[0]);
        ::close(acks[1]);
        return child;
    }
    if (pid == 0) {
        ::close(acks[0]);
        ChildSignals::as_usual_in_child();
        ack_fd = acks[1];
        if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(kTraceRefused);
        if (by_filter && !install_filter()) ::_exit(kTraceRefused);
        ::raise(SIGSTOP);
        ::_exit(work() & 0xff);
    }
    ::close(acks[1]);
    int status = 0;
    while (::waitpid(pid, &status, __WALL) < 0 && errno == EINTR) {
    }
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
        return child;
    }
    return TracedChild{pid, acks[0], by_filter};
}

// Runs `work` in a forked child, traced, steered by `control` at its steps
// under `dir` (an absolute path without symbolic links). The child must not
// print: it runs `work` and _exit()s with its result.
inline StepRun run_traced(const std::string& dir, const std::function<int()>& work, const TraceControl& control) {
    using clock = std::chrono::steady_clock;
    const std::string root = normal(dir);
    StepRun run;
    const bool broad = control.steps == Steps::touches;
    const ChildSignals signals;
    const TracedChild child =
        start_traced(work, [broad] { return broad ? stop_at_calls(kTouchingCalls) : stop_at_watched_calls_only(); });
    if (child.pid == 0) return run;
    const pid_t pid = child.pid;
    int status = 0;
    // With the filter only the watched calls stop the child, before they
    // run; without it every call stops at its entry and its exit.
    const auto resume = child.by_filter ? PTRACE_CONT : PTRACE_SYSCALL;
    run.traced = true;
    const auto deadline = clock::now() + control.limit;
    std::set<pid_t> seen{pid};
    pid_t held = 0;
    ::ptrace(resume, pid, nullptr, nullptr);
    for (;;) {
        if (held != 0 && !run.killed && !run.timed_out && control.let_go && control.let_go()) {
            ::ptrace(resume, held, nullptr, nullptr);
            held = 0;
        }
        const pid_t tid = ::waitpid(-1, &status, __WALL | WNOHANG);
        if (tid < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (tid == 0) {
            const auto now = clock::now();
            if (now >= deadline && !run.killed && !run.timed_out) {
                ::kill(pid, SIGKILL);
                run.timed_out = true;
                continue;
            }
            // A held thread's release may wait on a clock or on another
            // process rather than on this child: ask again soon.
            using std::chrono::milliseconds;
            signals.wait(held != 0 ? milliseconds(2) : std::min<clock::duration>(milliseconds(50), deadline - now));
            continue;
        }
        if (tid != pid && !seen.contains(tid) && (WIFEXITED(status) || WIFSIGNALED(status))) {
            if (control.other_child) control.other_child(tid, status);
            continue;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            if (tid != pid) continue;
            if (WIFEXITED(status)) {
                run.exit_code = WEXITSTATUS(status);
            } else if (!run.killed && !run.timed_out) {
                run.exit_code = 128 + WTERMSIG(status);
            }
            break;
        }
        if (!WIFSTOPPED(status) || run.killed || run.timed_out) continue;  // a killed child only ends
        const int sig = WSTOPSIG(status);
        int deliver = 0;
        const int event = status >> 16;
        if (sig == (SIGTRAP | 0x80) || (sig == SIGTRAP && event == PTRACE_EVENT_SECCOMP)) {
            SyscallInfo info{};
            if (::ptrace(static_cast<__ptrace_request>(kGetSyscallInfo), tid, sizeof info, &info) > 0 &&
                (info.op == kSyscallEntry || info.op == kSyscallSeccomp) &&
                (broad ? touches(tid, info, root) : counts(tid, info, root))) {
                ++run.steps;
                const AtStep action = control.at_step ? control.at_step(run.steps) : AtStep::go_on;
                if (action == AtStep::kill) {
                    ::kill(pid, SIGKILL);
                    run.killed = true;
                    continue;
                }
                if (action == AtStep::hold) {
                    seen.insert(tid);
                    held = tid;
                    continue;
                }
            }
        } else {
            deliver = signal_to_pass_on(tid, sig, event, seen);
        }
        seen.insert(tid);
        ::ptrace(resume, tid, nullptr, reinterpret_cast<void*>(static_cast<long>(deliver)));
    }
    read_acks(child.acks, run.acks);
    ::close(child.acks);
    return run;
}

}  // namespace file_steps_detail

// Passes one byte to the parent, from inside the work of a traced child or
// of the other handle of a paused run (one per call that succeeded, say): it
// lands in StepRun::acks (PauseRun::b_acks) even when the child is killed
// afterwards. Does nothing outside such a child.
inline void acknowledge(char tag) {
    if (file_steps_detail::ack_fd >= 0) (void)!::write(file_steps_detail::ack_fd, &tag, 1);
}

// Runs `work` in a forked child, traced, and kills it with SIGKILL at the
// entry of its `kill_at`-th counted call under `dir` (an absolute path
// without symbolic links); with kill_at 0 it runs to its end. The child must
// not print: it runs `work` and _exit()s with its result.
inline StepRun run_with_kill_at(const std::string& dir, std::uint64_t kill_at, const std::function<int()>& work) {
    using namespace file_steps_detail;
    TraceControl control;
    control.at_step = [kill_at](std::uint64_t step) { return step == kill_at ? AtStep::kill : AtStep::go_on; };
    return run_traced(dir, work, control);
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
        EXPECT_FALSE(run.timed_out) << "the work did not end within its time";
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

// ---------------------------------------------------------------- pausing

// When the other handle (B) closes: before the held one (A) goes on, or
// only after A's work ended (B holding its handle meanwhile).
enum class BCloses { before_a_goes_on, after_a_ends };

// What B had done when A was let go.
enum class WhileHeld {
    not_held,        // A never reached its pause point: B ran after A ended
    done,            // B ended (it closed), or stood at its close holding its handle
    waited,          // B slept on a lock: the engine retries a held base every 15 ms
    time_ran_out,    // neither, within the time given
};

struct PauseRun {
    StepRun a;  // the traced handle; a.steps counts its touches of the folder
    BCloses b_closes = BCloses::before_a_goes_on;
    WhileHeld b_while_held = WhileHeld::not_held;
    int b_exit_code = -1;  // B's result; 128 + signal when a signal ended it; -1 when its time ran out
    bool b_timed_out = false;
    std::string b_acks;  // the bytes B passed to acknowledge()

    bool paused() const { return b_while_held != WhileHeld::not_held; }
    // B's handle was closed before A went on: nothing of B's stood in A's way.
    bool b_closed_first() const { return b_closes == BCloses::before_a_goes_on && b_while_held == WhileHeld::done; }
};

// The two handles' work: A's whole work, traced; B's up to its close, and
// its close. B runs in its own forked process (untraced), so what `b`
// leaves in memory (its handle) is what `b_close` finds there.
struct TwoHandles {
    std::function<int()> a;
    std::function<int()> b;
    std::function<void()> b_close;
};

namespace file_steps_detail {

// A's time covers a shadow's ten seconds of retrying a held base, and B's
// time is counted from its start.
constexpr std::chrono::seconds kPausedRunLimit{30};

// Whether the process `pid` sleeps in a timed sleep now: with the engine,
// only a shadow's retry on a held base does.
inline bool sleeping(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    long nr = -1;
    if (!(in >> nr)) return false;  // "running", or gone
#ifdef SYS_nanosleep
    if (nr == SYS_nanosleep) return true;
#endif
    return nr == SYS_clock_nanosleep;
}

// B: a forked process, not traced, whose acknowledge() goes to a pipe of its
// own. It says when its work returned ('w' on another pipe), and in the
// variant that holds its handle waits for the end of a third pipe before
// its close. Killed with the test process.
class OtherHandle {
public:
    OtherHandle(const TwoHandles& work, BCloses closes) : work_(work), closes_(closes) {}
    OtherHandle(const OtherHandle&) = delete;
    OtherHandle& operator=(const OtherHandle&) = delete;
    ~OtherHandle() {
        if (running()) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        for (int fd : {acks_, ready_, go_})
            if (fd >= 0) ::close(fd);
    }

    bool started() const { return pid_ > 0; }
    bool running() const { return pid_ > 0 && !ended_; }

    void start() {
        int acks[2], ready[2], go[2];
        if (::pipe2(acks, O_CLOEXEC) != 0) return;
        if (::pipe2(ready, O_CLOEXEC) != 0) {
            ::close(acks[0]);
            ::close(acks[1]);
            return;
        }
        if (::pipe2(go, O_CLOEXEC) != 0) {
            for (int fd : {acks[0], acks[1], ready[0], ready[1]}) ::close(fd);
            return;
        }
        const pid_t parent = ::getpid();
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(acks[0]);
            ::close(ready[0]);
            ::close(go[1]);
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(127);
            ChildSignals::as_usual_in_child();
            ack_fd = acks[1];
            const int result = work_.b();
            (void)!::write(ready[1], "w", 1);
            if (closes_ == BCloses::after_a_ends) {
                char c;
                while (::read(go[0], &c, 1) < 0 && errno == EINTR) {
                }
            }
            work_.b_close();
            ::_exit(result & 0xff);
        }
        ::close(acks[1]);
        ::close(ready[1]);
        ::close(go[0]);
        acks_ = acks[0];
        ready_ = ready[0];
        go_ = go[1];
        if (pid < 0) {
            ended_ = true;
            return;
        }
        ::fcntl(ready_, F_SETFL, O_NONBLOCK);
        pid_ = pid;
        deadline_ = std::chrono::steady_clock::now() + kPausedRunLimit;
    }

    // Called with B's end when another wait took it.
    void ended(pid_t pid, int status) {
        if (pid != pid_) return;
        ended_ = true;
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : (timed_out_ ? -1 : 128 + WTERMSIG(status));
    }

    // Its work returned (so it closed, or stands at its close).
    bool work_done() {
        char c;
        if (ready_ >= 0 && ::read(ready_, &c, 1) == 1) work_returned_ = true;
        return work_returned_;
    }

    bool sleeping_on_a_lock() const { return running() && sleeping(pid_); }

    // Lets B close (in the variant that waits for it) and waits for its end
    // within its time, killing it after.
    void finish(const ChildSignals& signals) {
        // The pipe's end is the word: a write could meet a B already gone.
        if (go_ >= 0) {
            ::close(go_);
            go_ = -1;
        }
        while (running()) {
            int status = 0;
            const pid_t got = ::waitpid(pid_, &status, WNOHANG);
            if (got == pid_) {
                ended(got, status);
                break;
            }
            if (got < 0 && errno != EINTR) break;
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline_ && !timed_out_) {
                timed_out_ = true;
                ::kill(pid_, SIGKILL);
                continue;
            }
            signals.wait(std::min<std::chrono::steady_clock::duration>(std::chrono::milliseconds(50), deadline_ - now));
        }
    }

    std::string acks() {
        std::string out;
        char buf[256];
        for (ssize_t n; acks_ >= 0 && (n = ::read(acks_, buf, sizeof buf)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

    int exit_code() const { return exit_code_; }
    bool timed_out() const { return timed_out_; }

private:
    const TwoHandles& work_;
    BCloses closes_;
    pid_t pid_ = -1;
    int acks_ = -1, ready_ = -1, go_ = -1;
    bool ended_ = false, work_returned_ = false, timed_out_ = false;
    int exit_code_ = -1;
    std::chrono::steady_clock::time_point deadline_{};
};

}  // namespace file_steps_detail

// Runs A (work.a) traced and holds its thread at the entry of its
// `pause_at`-th touch of `dir`; there B starts (work.b, untraced) and A is
// let go once B's work returned (B then closed, or, with
// BCloses::after_a_ends, holds its handle until A ended), once B sleeps on
// a lock A holds, or after `hold_for`, whichever comes first. A's other
// threads run on meanwhile. A run whose A never reaches its pause point
// runs B after A's end. Both are killed when they outrun their time.
inline PauseRun run_with_pause_at(const std::string& dir, std::uint64_t pause_at, BCloses b_closes,
                                  const TwoHandles& work,
                                  std::chrono::milliseconds hold_for = std::chrono::milliseconds(300)) {
    using namespace file_steps_detail;
    using clock = std::chrono::steady_clock;
    PauseRun run;
    run.b_closes = b_closes;
    const ChildSignals signals;
    OtherHandle b(work, b_closes);
    clock::time_point held_since{};
    TraceControl control;
    control.steps = Steps::touches;
    control.limit = kPausedRunLimit;
    control.at_step = [&](std::uint64_t step) {
        if (step != pause_at || b.started()) return AtStep::go_on;
        b.start();
        held_since = clock::now();
        return AtStep::hold;
    };
    control.let_go = [&] {
        if (b_closes == BCloses::before_a_goes_on ? !b.running() : b.work_done())
            run.b_while_held = WhileHeld::done;
        else if (b.sleeping_on_a_lock())
            run.b_while_held = WhileHeld::waited;
        else if (clock::now() - held_since >= hold_for)
            run.b_while_held = WhileHeld::time_ran_out;
        return run.paused();
    };
    control.other_child = [&](pid_t pid, int status) { b.ended(pid, status); };
    run.a = run_traced(dir, work.a, control);
    if (!run.a.traced) return run;
    if (!b.started()) b.start();
    b.finish(signals);
    run.b_exit_code = b.exit_code();
    run.b_timed_out = b.timed_out();
    run.b_acks = b.acks();
    return run;
}

// A line on a paused run, for the messages of its checks.
inline std::string describe(const PauseRun& run) {
    std::string s;
    switch (run.b_while_held) {
        case WhileHeld::not_held: s = "A ran to its end unheld, then B ran"; break;
        case WhileHeld::done:
            s = run.b_closes == BCloses::before_a_goes_on ? "B ran to its end and closed while A was held"
                                                           : "B ran to its close while A was held and closed after A";
            break;
        case WhileHeld::waited: s = "B slept on a lock A held, and A went on"; break;
        case WhileHeld::time_ran_out: s = "B did not finish while A was held, and A went on"; break;
    }
    if (run.b_while_held != WhileHeld::not_held && run.b_while_held != WhileHeld::done)
        s += run.b_closes == BCloses::before_a_goes_on ? " (B to close when done)" : " (B to close after A)";
    const auto shown = [](const std::string& acks) {
        std::string out;
        for (char c : acks) out += c == '\n' ? std::string("\\n") : std::string(1, c);
        return out;
    };
    return s + "; A acknowledged '" + shown(run.a.acks) + "' and ended with " + std::to_string(run.a.exit_code) +
           ", B acknowledged '" + shown(run.b_acks) + "' and ended with " + std::to_string(run.b_exit_code);
}

// Runs A paused at its 1st, 2nd, 3rd ... touch of `dir`, each point in both
// variants of B's close, each run on the state `prepare` sets up afresh,
// until a run's A ends without reaching its pause point (that run, A then
// B, is checked too); `check(pause_at, run)` after every run. Prints
// "<place>: N pause points" with the points whose check failed, as
// "<point>/closed" (B closed before A went on) or "<point>/held" (B held
// its handle until A ended), and returns N.
inline std::uint64_t pause_at_each_step(const std::string& place, const std::string& dir,
                                        const std::function<void()>& prepare, const TwoHandles& work,
                                        const std::function<void(std::uint64_t, const PauseRun&)>& check,
                                        std::uint64_t max_steps = 2000) {
    const ::testing::TestResult* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
    std::vector<std::string> failed;
    for (std::uint64_t pause_at = 1; pause_at <= max_steps; ++pause_at) {
        for (const BCloses closes : {BCloses::before_a_goes_on, BCloses::after_a_ends}) {
            const int before = result->total_part_count();
            prepare();
            if (result->total_part_count() != before) {
                ADD_FAILURE() << place << ": the state to pause in could not be set up";
                return 0;
            }
            const PauseRun run = run_with_pause_at(dir, pause_at, closes, work);
            if (!run.a.traced) {
                ADD_FAILURE() << place << ": the child could not be traced";
                return 0;
            }
            SCOPED_TRACE(place + ": A held at step " + std::to_string(pause_at) + ": " + describe(run));
            const int parts = result->total_part_count();
            EXPECT_FALSE(run.a.timed_out) << "A did not end within its time";
            EXPECT_FALSE(run.b_timed_out) << "B did not end within its time";
            check(pause_at, run);
            if (result->total_part_count() != parts)
                failed.push_back(std::to_string(pause_at) + (closes == BCloses::before_a_goes_on ? "/closed" : "/held"));
            if (!run.paused()) {
                std::string line = place + ": " + std::to_string(run.a.steps) + " pause points";
                if (!failed.empty()) {
                    line += "; checks failed at";
                    for (const auto& f : failed) line += " " + f;
                }
                std::printf("%s\n", line.c_str());
                std::fflush(stdout);
                return run.a.steps;
            }
        }
    }
    ADD_FAILURE() << place << ": still paused at step " << max_steps << ", the limit";
    return 0;
}

}  // namespace zembrel::testing
