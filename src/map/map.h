// The map sub-command.
#pragma once

int map_main(int argc, char** argv);

// The same run, aligning every cluster with every candidate barcode in full:
// the reference that the fast search must agree with.
int map_reference_main(int argc, char** argv);
