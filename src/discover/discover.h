// The discover sub-command: turns the cluster file of pooled samples into
// a barcode file, for runs that have no list of their barcodes (lineage
// tracing). Each cluster, or sequence in none, above the error noise that
// is not an offshoot of a much larger one becomes a barcode.
#pragma once

int discover_main(int argc, char** argv);
