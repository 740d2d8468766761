// The planner's vocabulary as the executor speaks it: bound tables and
// conditions, access paths, join choices and table sources are decided in
// src/planner and run here, so every executor file names them unqualified.
#pragma once

#include "planner/access_path.h"
#include "planner/bind_select.h"
#include "planner/conditions.h"
#include "planner/correlated_seek.h"
#include "planner/join_choice.h"
#include "planner/select_binding.h"
#include "planner/table_source.h"

namespace zembrel::executor {

using namespace planner;

}  // namespace zembrel::executor
