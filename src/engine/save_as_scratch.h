// The scratch files of save-as.
//
// Save-as builds its copy beside the destination (a rename does not cross
// file systems) under a name of its own, "<destination>.<uuid>.saving",
// with that name's log (+ ".pwal") for an in-memory source, and renames
// the copy onto the destination once it is whole. A process killed
// meanwhile leaves them behind. The next save-as onto the destination and
// the next open of it remove them: both hold the destination's lock, so no
// save-as in progress can own them, and at most one such leftover exists
// per destination at any time.
//
// Thread: any; touches only the files named.
#pragma once

#include <string>

namespace zembrel {

// A new scratch name for a copy that is to replace `target` (a resolved
// path, file_names.h).
std::string new_scratch_name(const std::string& target);

// Removes what a killed save-as onto `target` left beside it: only names of
// the exact scratch form, whatever their UUID. Failures are ignored: a
// leftover that stays is tried again at the next open.
void remove_scratch_leftovers(const std::string& target);

}  // namespace zembrel
