#include "cluster.h"

int cluster_main(int, char**) { return 0; }
