#include "zembrel.h"

extern "C" const char* zembrel_version(void) { return "0.1.0-velandro"; }
