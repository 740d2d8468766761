#include "engine/save_as_scratch.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <string_view>

#include "pager/file_names.h"
#include "pager/pager.h"
#include "types/text_format.h"
#include "types/uuid.h"

namespace zembrel {

namespace {

constexpr std::string_view kScratchSuffix = ".saving";

// 36 characters, lower-case hex digits in groups of 8-4-4-4-12.
bool is_uuid_text(std::string_view s) {
    if (s.size() != 36) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

// `entry` is "<base>.<uuid>.saving" or that name's log.
bool is_scratch_of(std::string_view entry, std::string_view base) {
    const std::string log_suffix = wal_path_for(std::string(kScratchSuffix));
    if (entry.ends_with(log_suffix))
        entry.remove_suffix(log_suffix.size());
    else if (entry.ends_with(kScratchSuffix))
        entry.remove_suffix(kScratchSuffix.size());
    else
        return false;
    if (!entry.starts_with(base) || entry.size() <= base.size() || entry[base.size()] != '.') return false;
    return is_uuid_text(entry.substr(base.size() + 1));
}

}  // namespace

std::string new_scratch_name(const std::string& target) {
    return format("{}.{}{}", target, types::new_uuid(), kScratchSuffix);
}

void remove_scratch_leftovers(const std::string& target) {
    const std::string dir = parent_dir(target);
    if (dir.empty()) return;
    const size_t slash = target.find_last_of('/');
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) return;
    const int dir_fd = ::dirfd(listing);
    while (const dirent* entry = ::readdir(listing)) {
        if (is_scratch_of(entry->d_name, base)) (void)::unlinkat(dir_fd, entry->d_name, 0);
    }
    ::closedir(listing);
}

}  // namespace zembrel
