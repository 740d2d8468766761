#include "engine/save_as_scratch.h"

#include <sys/stat.h>
#include <unistd.h>

#include "pager/pager.h"

namespace zembrel {

std::string scratch_name(const std::string& target) { return target + ".saving"; }

void remove_scratch_leftovers(const std::string& target) {
    const std::string scratch = scratch_name(target);
    struct stat st;
    if (::lstat(scratch.c_str(), &st) != 0) return;
    (void)::unlink(wal_path_for(scratch).c_str());
    (void)::unlink(scratch.c_str());
}

}  // namespace zembrel
