// Names of a database file and of the file behind a name.
//
// A database file owns its log, its lock file and every other file beside
// it, whatever name reaches it: those names are made from the path that
// `resolve_links` gives, so that a symbolic link leads them to the file's
// own. (A hard link has no such path to follow; the lock on the file itself
// keeps a second writer out there, database_file.h.)
//
// Thread: any; reads the file system only.
#pragma once

#include <string>

namespace zembrel {

// The parent directory of `path`: "." for a bare file name, empty for "/"
// and for the empty path.
std::string parent_dir(const std::string& path);

// The path of the file that `path` names: while its last component is a
// symbolic link, the link's target takes its place (a relative target is
// read from the link's own directory), at most 40 times. A path that is no
// link comes back unchanged, byte for byte; a dangling link gives the path
// its target would have, where a create through the link puts the file.
// Links in the directories before the last component stay: the names made
// beside the path lead through them to the same directory.
std::string resolve_links(const std::string& path);

}  // namespace zembrel
