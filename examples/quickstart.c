#include <stdio.h>

#include "zembrel.h"

int main(void) {
    printf("zembrel %s\n", zembrel_version());
    return 0;
}
