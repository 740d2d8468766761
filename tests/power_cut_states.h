// The files a power cut could leave under a folder at each file-system step
// of a piece of work. The work runs once in a forked child traced with
// ptrace (the calls file_steps.h counts, found the same way); each counted
// call runs alone, and its result is read at its exit. Durability is taken
// the strict way:
//   - a file's bytes are durable as of its last fsync or fdatasync, by any
//     descriptor of it (sync_file_range promises nothing);
//   - a name made, renamed or removed is durable once its folder is fsynced
//     afterwards: a folder's fsync makes its entries as they are then
//     durable, and nothing else does;
//   - what the folder held before the run is durable as a whole.
// The durable state is kept as snapshots taken from the real files at the
// exit of each fsync. A state at a cut is the tree of durable names walked
// from the folder, each file with its durable bytes; and a variant in which
// each file keeps the length it has at the cut, zeros past its durable
// bytes (a size the journal kept for data that never reached the disk).
// Linux only.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "file_steps.h"

namespace zembrel::testing {

// One counted call, as it ran.
struct PowerCutStep {
    std::string call;         // "write", "fsync", ...
    std::string path;         // the file it changed (for rename and link: the old name)
    std::string to;           // rename and link: the new name
    std::int64_t result = 0;  // what it returned, -errno for a failure
    bool returned = false;    // its exit was seen (not so for a call its process ended in)
};

// A file, folder or symbolic link of a state, by its path under the folder.
struct PowerCutFile {
    std::string path;
    char type = 'f';                             // 'f' a file, 'd' a folder, 'l' a symbolic link
    std::uint64_t incarnation = 0;               // equal for two names of one file (hard links)
    std::shared_ptr<const std::string> durable;  // a file's durable bytes, a link's target
    std::uint64_t length = 0;                    // a file's length in this state
    mode_t mode = 0644;

    // The bytes the file holds in its state: its durable bytes cut to its
    // length, zeros past them.
    std::string bytes() const {
        if (type != 'f') return {};
        std::string out = durable->substr(0, std::min<std::uint64_t>(length, durable->size()));
        out.resize(length, '\0');
        return out;
    }
};

struct PowerCutState {
    std::uint64_t cut = 0;             // the steps that had run: 0 before the first, all of them after the work
    bool zero_filled = false;          // the variant whose files keep their length at the cut
    std::string acks;                  // what the child acknowledged before the cut
    std::string where;                 // the cut in words, for messages
    std::vector<PowerCutFile> files;   // a folder before what it holds
    std::vector<std::string> same_as;  // the other cuts that leave exactly this, once deduplicated

    const PowerCutFile* find(const std::string& path) const {
        for (const auto& f : files)
            if (f.path == path) return &f;
        return nullptr;
    }
    // A file's bytes, or nothing when the state has no file at `path`.
    std::optional<std::string> bytes_at(const std::string& path) const {
        const PowerCutFile* f = find(path);
        if (f == nullptr || f->type != 'f') return std::nullopt;
        return f->bytes();
    }
    bool acked(char tag) const { return acks.find(tag) != std::string::npos; }
};

struct PowerCutRun {
    bool traced = false;  // false: the system refused ptrace, nothing ran
    int exit_code = -1;
    std::vector<PowerCutStep> steps;
    std::vector<PowerCutState> states;  // every cut in order, a variant right after its base
    std::string acks;                   // all the child acknowledged
};

namespace power_cut_detail {

using file_steps_detail::SyscallInfo;

constexpr std::uint8_t kSyscallExit = 2;

inline const char* call_name(std::uint64_t nr) {
    switch (nr) {
#ifdef SYS_open
        case SYS_open:
            return "open";
        case SYS_creat:
            return "creat";
        case SYS_unlink:
            return "unlink";
        case SYS_rmdir:
            return "rmdir";
        case SYS_mkdir:
            return "mkdir";
        case SYS_rename:
            return "rename";
        case SYS_link:
            return "link";
        case SYS_symlink:
            return "symlink";
#endif
#ifdef SYS_openat2
        case SYS_openat2:
            return "openat2";
#endif
#ifdef SYS_pwritev2
        case SYS_pwritev2:
            return "pwritev2";
#endif
#ifdef SYS_renameat2
        case SYS_renameat2:
            return "renameat2";
#endif
        case SYS_openat:
            return "openat";
        case SYS_write:
            return "write";
        case SYS_pwrite64:
            return "pwrite64";
        case SYS_writev:
            return "writev";
        case SYS_pwritev:
            return "pwritev";
        case SYS_ftruncate:
            return "ftruncate";
        case SYS_fallocate:
            return "fallocate";
        case SYS_fsync:
            return "fsync";
        case SYS_fdatasync:
            return "fdatasync";
        case SYS_sync_file_range:
            return "sync_file_range";
        case SYS_sendfile:
            return "sendfile";
        case SYS_copy_file_range:
            return "copy_file_range";
        case SYS_ioctl:
            return "ioctl";
        case SYS_truncate:
            return "truncate";
        case SYS_unlinkat:
            return "unlinkat";
        case SYS_mkdirat:
            return "mkdirat";
        case SYS_renameat:
            return "renameat";
        case SYS_linkat:
            return "linkat";
        case SYS_symlinkat:
            return "symlinkat";
        default:
            return "?";
    }
}

// The paths a counted call names, for the step's record and for the
// folders mkdir makes.
inline std::pair<std::string, std::string> call_paths(pid_t tid, const SyscallInfo& info) {
    using namespace file_steps_detail;
    const std::uint64_t* a = info.entry.args;
    const auto cwd = [&](int i) { return cwd_path(tid, a[i]); };
    // A name of the child's own descriptors means the file it leads to now.
    const auto at = [&](int dirfd, int p) {
        std::string s = at_path(tid, a[dirfd], a[p]);
        if (s.starts_with("/proc/self/fd/"))
            s = fd_path(tid, std::stoull(s.substr(std::string_view("/proc/self/fd/").size())));
        return s;
    };
    switch (info.entry.nr) {
#ifdef SYS_open
        case SYS_open:
        case SYS_creat:
        case SYS_unlink:
        case SYS_rmdir:
        case SYS_mkdir:
#endif
        case SYS_truncate:
            return {cwd(0), {}};
#ifdef SYS_rename
        case SYS_rename:
        case SYS_link:
            return {cwd(0), cwd(1)};
        case SYS_symlink:
            return {cwd(1), {}};
#endif
        case SYS_openat:
#ifdef SYS_openat2
        case SYS_openat2:
#endif
        case SYS_unlinkat:
        case SYS_mkdirat:
            return {at(0, 1), {}};
        case SYS_renameat:
#ifdef SYS_renameat2
        case SYS_renameat2:
#endif
        case SYS_linkat:
            return {at(0, 1), at(2, 3)};
        case SYS_symlinkat:
            return {at(1, 2), {}};
        case SYS_copy_file_range:
            return {fd_path(tid, a[2]), {}};
        default:
            return {fd_path(tid, a[0]), {}};
    }
}

inline std::string proc_fd(pid_t tid, std::uint64_t fd) {
    return "/proc/" + std::to_string(tid) + "/fd/" + std::to_string(static_cast<int>(fd));
}

inline std::shared_ptr<const std::string> read_all(int fd) {
    std::string out;
    char buf[65536];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        at += n;
    }
    return std::make_shared<const std::string>(std::move(out));
}

// The durable side of every file, folder and link the run met. Each holds
// a descriptor of its own (O_PATH) until the recording ends: a file that
// is still open cannot lose its inode number to a new one, so an inode
// number names one incarnation for the whole run, although ext4 reuses
// them. An inode met for the first time after the start was made by the
// run: nothing of it is durable yet.
class DurableFiles {
public:
    DurableFiles() = default;
    DurableFiles(const DurableFiles&) = delete;
    DurableFiles& operator=(const DurableFiles&) = delete;
    ~DurableFiles() {
        for (auto& i : incs_) ::close(i.held);
    }

    // The folder at `dir` and all it holds, durable as found.
    bool adopt_tree(const std::string& dir) {
        const int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return false;
        root_ = adopt(fd);
        if (root_ == kNone) return false;
        std::set<std::size_t> done;
        take_as_found(root_, done);
        return true;
    }

    // The file a descriptor leads to (taking the descriptor).
    std::size_t adopt(int fd) {
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            ::close(fd);
            return kNone;
        }
        const auto key = std::make_pair(st.st_dev, st.st_ino);
        if (auto it = by_inode_.find(key); it != by_inode_.end()) {
            ::close(fd);
            return it->second;
        }
        Inc inc;
        inc.held = fd;
        inc.mode = st.st_mode & 07777;
        inc.type = S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : 'f';
        inc.durable = std::make_shared<const std::string>(inc.type == 'l' ? link_target(fd) : std::string());
        incs_.push_back(std::move(inc));
        by_inode_.emplace(key, incs_.size() - 1);
        return incs_.size() - 1;
    }

    void adopt_path(const std::string& path) {
        const int fd = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) (void)adopt(fd);
    }

    // At the exit of an fsync or fdatasync of the child's descriptor `fd`.
    void synced(pid_t tid, std::uint64_t fd) {
        const int own = ::open(proc_fd(tid, fd).c_str(), O_RDONLY | O_CLOEXEC);
        if (own < 0) return;
        struct stat st {};
        if (::fstat(own, &st) != 0) {
            ::close(own);
            return;
        }
        const int dup = ::fcntl(own, F_DUPFD_CLOEXEC, 0);
        const std::size_t i = dup >= 0 ? adopt(dup) : kNone;
        if (i != kNone) {
            if (S_ISDIR(st.st_mode)) {
                auto entries = list(own);
                incs_[i].entries = std::move(entries);
            } else if (S_ISREG(st.st_mode)) {
                incs_[i].durable = read_all(own);
            }
        }
        ::close(own);
    }

    // What a power cut now would leave: the base, and the variant when some
    // file's length is not its durable length.
    std::vector<std::vector<PowerCutFile>> cut() const {
        std::vector<PowerCutFile> base;
        std::set<std::size_t> folders;
        if (root_ != kNone) walk(root_, "", folders, base);
        std::vector<PowerCutFile> filled = base;
        bool differs = false;
        for (std::size_t k = 0; k < filled.size(); ++k) {
            struct stat st {};
            if (filled[k].type != 'f' || ::fstat(incs_[filled[k].incarnation].held, &st) != 0) continue;
            filled[k].length = static_cast<std::uint64_t>(st.st_size);
            differs = differs || filled[k].length != base[k].length;
        }
        if (!differs) return {base};
        return {base, filled};
    }

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    struct Inc {
        int held = -1;
        char type = 'f';
        mode_t mode = 0;
        std::shared_ptr<const std::string> durable;
        std::map<std::string, std::size_t> entries;  // a folder's durable names
    };

    static std::string link_target(int fd) {
        char buf[PATH_MAX];
        const ssize_t n = ::readlinkat(fd, "", buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    }

    // A folder's entries as they are now, through a descriptor that can read it.
    std::map<std::string, std::size_t> list(int dir_fd) {
        std::map<std::string, std::size_t> out;
        const int copy = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* d = copy >= 0 ? ::fdopendir(copy) : nullptr;
        if (d == nullptr) {
            if (copy >= 0) ::close(copy);
            return out;
        }
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            const int fd = ::openat(::dirfd(d), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) continue;
            const std::size_t i = adopt(fd);
            if (i != kNone) out.emplace(name, i);
        }
        ::closedir(d);
        return out;
    }

    // What the file or folder holds now becomes durable, all the way down.
    void take_as_found(std::size_t i, std::set<std::size_t>& done) {
        if (!done.insert(i).second) return;
        if (incs_[i].type == 'f') {
            const int r = ::open(("/proc/self/fd/" + std::to_string(incs_[i].held)).c_str(), O_RDONLY | O_CLOEXEC);
            if (r < 0) return;
            incs_[i].durable = read_all(r);
            ::close(r);
        } else if (incs_[i].type == 'd') {
            const int r = ::openat(incs_[i].held, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (r < 0) return;
            auto entries = list(r);
            ::close(r);
            incs_[i].entries = entries;
            for (const auto& [name, child] : entries) take_as_found(child, done);
        }
    }

    // A folder renamed into another while both old and new names are durable
    // shows twice: its first place wins.
    void walk(std::size_t dir, const std::string& prefix, std::set<std::size_t>& folders,
              std::vector<PowerCutFile>& out) const {
        if (!folders.insert(dir).second) return;
        for (const auto& [name, i] : incs_[dir].entries) {
            const Inc& inc = incs_[i];
            if (inc.type == 'd' && folders.contains(i)) continue;
            PowerCutFile f;
            f.path = prefix + name;
            f.type = inc.type;
            f.incarnation = i;
            f.durable = inc.durable;
            f.length = inc.durable->size();
            f.mode = inc.mode;
            out.push_back(f);
            if (inc.type == 'd') walk(i, f.path + "/", folders, out);
        }
    }

    std::vector<Inc> incs_;
    std::map<std::pair<dev_t, ino_t>, std::size_t> by_inode_;
    std::size_t root_ = kNone;
};

inline std::string relative_to(const std::string& root, const std::string& p) {
    if (p == root) return ".";
    if (p.size() > root.size() && p.compare(0, root.size(), root) == 0 && p[root.size()] == '/')
        return p.substr(root.size() + 1);
    return p;
}

// "rename a -> b", the paths under the folder relative to it.
inline std::string step_text(const std::string& root, const PowerCutStep& s) {
    std::string out = s.call + " " + relative_to(root, s.path);
    if (!s.to.empty()) out += " -> " + relative_to(root, s.to);
    return out;
}

}  // namespace power_cut_detail

// Runs `work` once in a forked, traced child and records each counted
// file-system step under `dir` (absolute, without symbolic links) with the
// states a power cut before it could leave, and those after the work
// ended. The child must not print: it runs `work` and _exit()s with its
// result. The counted calls run one at a time: one that another thread
// reaches while a counted call runs waits for it, so that at each cut all
// earlier steps have run and no later one has begun.
inline PowerCutRun record_power_cuts(const std::string& dir, const std::function<int()>& work) {
    using namespace file_steps_detail;
    using namespace power_cut_detail;
    const std::string root = normal(dir);
    PowerCutRun run;
    const TracedChild child = start_traced(work, stop_at_watched_calls_only);
    if (child.pid == 0) return run;
    const pid_t pid = child.pid;
    const int ack_read = child.acks;
    (void)::fcntl(ack_read, F_SETFL, O_NONBLOCK);
    const bool by_filter = child.by_filter;
    int status = 0;
    // With the filter a counted call stops at its seccomp stop and is
    // resumed to its exit stop alone; without it every call stops at its
    // entry and exit.
    const auto resume = by_filter ? PTRACE_CONT : PTRACE_SYSCALL;
    const std::uint8_t counted_op = by_filter ? kSyscallSeccomp : kSyscallEntry;
    run.traced = true;
    // Taken once the child stands still, so that it inherits none of the
    // descriptors the table holds.
    DurableFiles files;
    if (!files.adopt_tree(root)) ADD_FAILURE() << "the folder " << root << " cannot be read";

    const auto take_cut = [&](const std::string& where) {
        read_acks(ack_read, run.acks);
        const auto cut = files.cut();
        for (std::size_t v = 0; v < cut.size(); ++v) {
            PowerCutState s;
            s.cut = run.steps.size();
            s.zero_filled = v == 1;
            s.acks = run.acks;
            s.where = where + (v == 1 ? ", files at their length" : "");
            s.files = cut[v];
            run.states.push_back(std::move(s));
        }
    };

    struct Waiting {
        pid_t tid;
        SyscallInfo info;
    };
    std::deque<Waiting> waiting;  // counted calls held while another one runs
    std::optional<Waiting> running;

    const auto start = [&](const Waiting& w) {
        PowerCutStep step;
        step.call = call_name(w.info.entry.nr);
        std::tie(step.path, step.to) = call_paths(w.tid, w.info);
        take_cut("before step " + std::to_string(run.steps.size() + 1) + " (" + step_text(root, step) + ")");
        run.steps.push_back(std::move(step));
        running = w;
        ::ptrace(PTRACE_SYSCALL, w.tid, nullptr, nullptr);
    };
    const auto start_next = [&] {
        running.reset();
        if (waiting.empty()) return;
        const Waiting w = waiting.front();
        waiting.pop_front();
        start(w);
    };
    const auto finished = [&](pid_t tid, const SyscallInfo& info) {
        PowerCutStep& step = run.steps.back();
        step.returned = true;
        step.result = info.exit.rval;
        if (info.exit.rval >= 0) {
            switch (running->info.entry.nr) {
#ifdef SYS_open
                case SYS_open:
                case SYS_creat:
#endif
#ifdef SYS_openat2
                case SYS_openat2:
#endif
                case SYS_openat: {
                    const int fd =
                        ::open(proc_fd(tid, static_cast<std::uint64_t>(info.exit.rval)).c_str(), O_PATH | O_CLOEXEC);
                    if (fd >= 0) (void)files.adopt(fd);
                    break;
                }
#ifdef SYS_mkdir
                case SYS_mkdir:
#endif
                case SYS_mkdirat:
                    files.adopt_path(step.path);
                    break;
                case SYS_fsync:
                case SYS_fdatasync:
                    files.synced(tid, running->info.entry.args[0]);
                    break;
                default:
                    break;
            }
        }
        start_next();
    };

    std::set<pid_t> seen{pid};
    ::ptrace(resume, pid, nullptr, nullptr);
    for (;;) {
        const pid_t tid = ::waitpid(-1, &status, __WALL);
        if (tid < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            std::erase_if(waiting, [&](const Waiting& w) { return w.tid == tid; });
            if (running && running->tid == tid) start_next();
            if (tid != pid) continue;
            run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (!WIFSTOPPED(status)) continue;
        const int sig = WSTOPSIG(status);
        const int event = status >> 16;
        int deliver = 0;
        if (sig == (SIGTRAP | 0x80) || (sig == SIGTRAP && event == PTRACE_EVENT_SECCOMP)) {
            SyscallInfo info{};
            const bool got = ::ptrace(static_cast<__ptrace_request>(kGetSyscallInfo), tid, sizeof info, &info) > 0;
            if (running && running->tid == tid) {
                if (got && info.op == kSyscallExit) {
                    finished(tid, info);
                    ::ptrace(resume, tid, nullptr, nullptr);
                    continue;
                }
                // Its exit went by unseen (it cannot, short of the kernel
                // changing its ways): the next step may start.
                start_next();
            }
            if (got && info.op == counted_op && counts(tid, info, root)) {
                const Waiting w{tid, info};
                if (running) {
                    waiting.push_back(w);
                } else {
                    start(w);
                }
                continue;
            }
        } else {
            deliver = signal_to_pass_on(tid, sig, event, seen);
        }
        seen.insert(tid);
        // The running call keeps its way to its exit stop whatever stops it
        // on the way.
        const auto how = running && running->tid == tid ? PTRACE_SYSCALL : resume;
        ::ptrace(how, tid, nullptr, reinterpret_cast<void*>(static_cast<long>(deliver)));
    }
    // The child is gone: every byte it acknowledged is in the pipe.
    read_acks(ack_read, run.acks);
    ::close(ack_read);
    take_cut("after the work (" + std::to_string(run.steps.size()) + " steps)");
    return run;
}

// The states of a run without repeats: two cuts that leave the same files
// (paths, kinds, bytes, modes, which names share a file) and the same
// acknowledgements are one state, the first cut's, its `same_as` naming
// the others.
inline std::vector<PowerCutState> distinct_states(const PowerCutRun& run) {
    std::unordered_map<const std::string*, std::size_t> hashes;
    const auto hash_of = [&](const std::shared_ptr<const std::string>& s) {
        auto [it, fresh] = hashes.try_emplace(s.get(), 0);
        if (fresh) it->second = std::hash<std::string_view>{}(*s);
        return it->second;
    };
    std::map<std::string, std::size_t> index;
    std::vector<PowerCutState> out;
    for (const auto& s : run.states) {
        std::string key = s.acks;
        key.push_back('\0');
        std::map<std::uint64_t, std::size_t> first_name;
        for (std::size_t i = 0; i < s.files.size(); ++i) {
            const PowerCutFile& f = s.files[i];
            const auto [it, fresh] = first_name.try_emplace(f.incarnation, i);
            key += f.path + '\0' + f.type + std::to_string(f.mode) + ':' + std::to_string(fresh ? i : it->second) +
                   ':' + std::to_string(hash_of(f.durable)) + ':' + std::to_string(f.durable->size()) + ':' +
                   std::to_string(f.type == 'f' ? f.length : 0) + '\0';
        }
        const auto [it, fresh] = index.try_emplace(key, out.size());
        if (fresh) {
            out.push_back(s);
        } else {
            out[it->second].same_as.push_back(s.where);
        }
    }
    return out;
}

// Makes `dir` hold exactly the state's files (hard links as hard links).
inline void put_state(const PowerCutState& state, const std::string& dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) fs::remove_all(it->path(), ec);
    std::map<std::uint64_t, std::string> made;
    for (const auto& f : state.files) {
        const std::string path = dir + "/" + f.path;
        if (f.type == 'd') {
            ASSERT_EQ(::mkdir(path.c_str(), f.mode | 0700), 0) << path;
        } else if (f.type == 'l') {
            ASSERT_EQ(::symlink(f.durable->c_str(), path.c_str()), 0) << path;
        } else if (auto it = made.find(f.incarnation); it != made.end()) {
            ASSERT_EQ(::link(it->second.c_str(), path.c_str()), 0) << path;
        } else {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, f.mode | 0600);
            ASSERT_GE(fd, 0) << path;
            const std::string bytes = f.bytes();
            std::size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
                if (n <= 0) break;
                done += static_cast<std::size_t>(n);
            }
            ::close(fd);
            ASSERT_EQ(done, bytes.size()) << path;
            made.emplace(f.incarnation, path);
        }
    }
}

struct PowerCutSummary {
    std::uint64_t steps = 0;
    std::uint64_t states = 0;  // distinct ones, each checked once
    std::uint64_t failed = 0;  // states whose check failed
};

// Sets up the folder with `prepare`, records one run of `work` (which must
// end with `expected_exit`), then puts each distinct state a power cut
// could leave into `dir` and calls `check(state)` on it. Prints
// "<place>: N steps, M states" with the cuts whose check failed.
inline PowerCutSummary power_cut_each_step(const std::string& place, const std::string& dir,
                                           const std::function<void()>& prepare, const std::function<int()>& work,
                                           const std::function<void(const PowerCutState&)>& check,
                                           int expected_exit = 0) {
    const ::testing::TestResult* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
    PowerCutSummary summary;
    const int before = result->total_part_count();
    prepare();
    if (result->total_part_count() != before) {
        ADD_FAILURE() << place << ": the state to cut in could not be set up";
        return summary;
    }
    const PowerCutRun run = record_power_cuts(dir, work);
    if (!run.traced) {
        ADD_FAILURE() << place << ": the child could not be traced";
        return summary;
    }
    EXPECT_EQ(run.exit_code, expected_exit) << place << ": the work's own result, acknowledged '" << run.acks << "'";
    summary.steps = run.steps.size();
    const auto states = distinct_states(run);
    summary.states = states.size();
    std::vector<std::string> failed;
    for (const auto& state : states) {
        SCOPED_TRACE(place + ": power cut " + state.where + ", acknowledged '" + state.acks + "'");
        const int parts = result->total_part_count();
        put_state(state, dir);
        if (result->total_part_count() == parts) check(state);
        if (result->total_part_count() != parts) {
            failed.push_back(state.where + (state.same_as.empty()
                                                ? ""
                                                : " (and " + std::to_string(state.same_as.size()) + " later cuts)"));
        }
    }
    summary.failed = failed.size();
    std::string line =
        place + ": " + std::to_string(summary.steps) + " steps, " + std::to_string(summary.states) + " states";
    if (!failed.empty()) {
        line += "; checks failed at the cuts";
        for (const auto& w : failed) line += "\n    " + w;
        line += "\n  the steps:";
        for (std::size_t i = 0; i < run.steps.size(); ++i) {
            const auto& st = run.steps[i];
            line += "\n    " + std::to_string(i + 1) + " " + power_cut_detail::step_text(dir, st) +
                    (st.returned ? " = " + std::to_string(st.result) : " (no return)");
        }
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return summary;
}

}  // namespace zembrel::testing
