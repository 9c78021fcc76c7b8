// The tabulate sub-command: per-barcode read counts from a map file.
#pragma once

int tabulate_main(int argc, char** argv);
