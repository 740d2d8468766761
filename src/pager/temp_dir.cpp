#include "pager/temp_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "pager/vfs.h"
#include "types/text_format.h"

namespace zembrel {

std::string temp_dir() {
    const char* dir = std::getenv("TMPDIR");
    if (dir != nullptr && *dir != '\0') return dir;
    return "/tmp";
}

std::string join_path(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::optional<EngineError> temp_dir_fault(const std::string& dir) {
    struct stat st {};
    int err = 0;
    if (::stat(dir.c_str(), &st) != 0)
        err = errno;
    else if (!S_ISDIR(st.st_mode))
        err = ENOTDIR;
    else if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0)  // as the create is judged
        err = errno;
    if (err == 0) return std::nullopt;
    return EngineError::storage(
        format("temporary directory '{}' is missing or not writable: {}", dir, os_error_text(err)));
}

}  // namespace zembrel
