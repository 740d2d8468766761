// Tying an Engine to the database file at a path.
//
// `open` decides by the file's first four bytes: a path whose metadata cannot
// be read becomes a new page file, a file beginning with "KRVP" is opened as a
// page file; any other file is refused for now with the Storage error
// "unsupported database file format". The returned Engine holds the path's
// lock file until it is destroyed.
//
// `save` makes the engine's mirrored changes durable: an engine with a page
// store commits its pager; an engine without one writes nothing. The engine
// stays usable after a failed save.
//
// Thread: the thread that owns the engine.
#pragma once

#include <string>

#include "engine/engine.h"
#include "types/error.h"

namespace zembrel::storage {

Result<Engine> open(const std::string& path);
Status save(Engine& engine);

}  // namespace zembrel::storage
