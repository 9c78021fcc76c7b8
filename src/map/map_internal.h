// The map run with another search in its alignment phase: the hook of the
// tests' reference, which aligns every pair in full.
#pragma once

#include "map/match.h"

int map_run_with_search(int argc, char** argv, const map_search_maker& search);
