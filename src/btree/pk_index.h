// The Engine's primary-key indexes: per loaded table with a Pk column, a tree
// from the Pk value to the row id of the row holding it.
//
// An entry exists exactly while its table is loaded and has a Pk column; it
// is only ever replaced whole (Engine::rebuild_pk_index) or extended
// (Engine::pk_index_insert). Owned by the Engine, used from its thread.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

#include "btree/mem_btree.h"

namespace zembrel {

struct PkIndex {
    MemBTree tree;          // Pk value -> row id
    size_t pk_column = 0;   // position of the table's first Pk column
};

// Table name -> primary-key index.
using PkIndexMap = std::unordered_map<std::string, PkIndex>;

}  // namespace zembrel
