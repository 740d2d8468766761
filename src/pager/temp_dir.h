// The temporary directory: where an in-memory database's backing file and a
// sort's spill files live, both without a name, so that nothing of them
// outlives the process however it ends.
//
// Thread: any; reads the environment only.
#pragma once

#include <optional>
#include <string>

#include "types/error.h"

namespace zembrel {

// TMPDIR when set and not empty, else /tmp.
std::string temp_dir();

// `dir` and `name` joined by one '/'.
std::string join_path(const std::string& dir, const std::string& name);

// Why no new file can be made in the directory `dir`, as the Storage error
// "temporary directory '{}' is missing or not writable: {}" (the OS error
// text), or none when it can take one. For a caller whose create failed:
// the directory is the likely cause and the file's own name (it has none
// on disk) would mislead.
std::optional<EngineError> temp_dir_fault(const std::string& dir);

}  // namespace zembrel
