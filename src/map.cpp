#include "map.h"

int map_main(int, char**) { return 0; }
