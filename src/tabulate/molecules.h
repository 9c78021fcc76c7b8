// Molecules per barcode (tabulate -u): the UMIs of every barcode key that
// ends at one barcode (the barcode itself, its error variants in its cluster,
// the clusters mapped onto it) merged, then collapsed by the directional rule
// once. count collapses UMIs per key, before cluster joins the variants, so
// a molecule read under a barcode and under a variant would count twice.
//
// The inputs are the UMI table of count -k, the cluster file made from that
// run's count table and the map file made from that cluster file. They are
// checked to belong together: a wrong file ends the run with a message
// instead of giving a smaller count.
#pragma once

#include <cstdint>
#include <string>

class line_reader;
class out_stream;
struct tabulate_tables;

namespace molecules {

struct input {
    line_reader& reader;
    std::string name;  // as messages give it
};

struct sums {
    int64_t molecules = 0;
    int64_t reads = 0;  // the reads of the UMIs that reached a barcode
};

// Reads the cluster file, then the map file, then streams the UMI table, and
// puts into t's per-barcode counters (barcode_mm0s ... barcode_aligns) the
// molecules of each barcode: a molecule counts for the kind of match by which
// most of its top UMI's reads came (ties: mm0, mm1, mm2, align). t holds the
// barcode file and the alignment cutoff already.
sums count(tabulate_tables& t, const input& umi_table, const input& clusters, const input& map);

// The molecule report: "#molecules: N", "#molecule reads: N", then the rows
// of tabulate's report (t ordered by tabulate_order_barcodes).
void write_report(const tabulate_tables& t, const sums& totals, out_stream& out);

}  // namespace molecules
