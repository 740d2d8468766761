// The message text of every statement outcome, as the C API hands it out.
#pragma once

#include <string>

#include "executor/exec_result.h"

namespace zembrel::ffi {

std::string exec_result_message(const ExecResult& result);

}  // namespace zembrel::ffi
