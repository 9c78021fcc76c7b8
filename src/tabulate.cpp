#include "tabulate.h"

int tabulate_main(int, char**) { return 0; }
