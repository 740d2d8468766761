// The scratch files of save-as.
//
// Save-as builds its copy beside the destination (a rename does not cross
// file systems) under one fixed name, "<destination>.saving", with that
// name's log ("<destination>.saving.pwal") for an in-memory source, and
// renames the copy onto the destination once it is whole. A process killed
// meanwhile leaves them behind. The next save-as onto the destination and
// the next open of it remove them: both hold the destination's lock, so no
// save-as in progress can own them, and the one name keeps it to at most
// one leftover per destination, found by a lookup whatever else the folder
// holds.
//
// The log never outlives the copy: it is made by the copy's pager after the
// copy exists, and every removal takes the log first. So no copy means no
// leftover at all, which is what an open finds nearly always.
//
// Thread: any; touches only the files named.
#pragma once

#include <string>

namespace zembrel {

// The scratch name for a copy that is to replace `target` (a resolved path,
// file_names.h).
std::string scratch_name(const std::string& target);

// Removes what a killed save-as onto `target` left beside it: the log, then
// the copy. Failures are ignored: a leftover that stays is tried again at
// the next open.
void remove_scratch_leftovers(const std::string& target);

}  // namespace zembrel
