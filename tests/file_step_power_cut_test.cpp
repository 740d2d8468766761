#include <gtest/gtest.h>

#include "file_step_util.h"
