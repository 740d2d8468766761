#include "zembrel.h"

extern "C" const char* zembrel_version(void) noexcept { return "0.1.0-velandro"; }
