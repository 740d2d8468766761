#include "pager/file_names.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace zembrel {

namespace {

// As many links as the kernel itself follows before it gives up (ELOOP):
// a longer chain or a cycle is left to the open that follows to report.
constexpr int kMaxLinks = 40;

// The target a link holds; empty when it cannot be read.
std::string link_target(const std::string& link, size_t size_hint) {
    std::vector<char> buf(size_hint > 0 ? size_hint + 1 : 256);
    for (;;) {
        ssize_t n = ::readlink(link.c_str(), buf.data(), buf.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
        buf.resize(buf.size() * 2);  // cut short: the link grew since its lstat
    }
}

}  // namespace

std::string parent_dir(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (p.empty() || p == "/") return {};
    auto slash = p.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    std::string dir = p.substr(0, slash);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

std::string resolve_links(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        const std::string target = link_target(current, static_cast<size_t>(st.st_size));
        if (target.empty()) return current;
        if (target.front() == '/') {
            current = target;
        } else {
            // The directory part as written: the kernel reads it the same
            // way when it follows the link.
            const size_t slash = current.find_last_of('/');
            current = slash == std::string::npos ? target : current.substr(0, slash + 1) + target;
        }
    }
    return current;
}

}  // namespace zembrel
