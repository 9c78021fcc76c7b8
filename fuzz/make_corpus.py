#!/usr/bin/env python3
"""Writes the small seed corpora of the fuzz targets (fuzz/corpus/<target>/)
from the example data; run from the repository's top folder."""
import gzip
import os
import random

random.seed(7)
top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
corpus = os.path.join(top, "fuzz", "corpus")

with gzip.open(os.path.join(top, "examples", "reads.fastq.gz"), "rb") as f:
    fastq_lines = [next(f) for _ in range(40)]
fastq = b"".join(fastq_lines)
barcodes = b"".join(open(os.path.join(top, "examples", "barcodes.tsv"), "rb").readlines()[:8])


def qseq_line(record):
    seq = record[1].rstrip(b"\n")
    qual = record[3].rstrip(b"\n")
    return b"\t".join([b"M1", b"1", b"1", b"1", b"100", b"200", b"0", b"1", seq, qual, b"1"]) + b"\n"


records = [fastq_lines[i:i + 4] for i in range(0, len(fastq_lines), 4)]
qseq = b"".join(qseq_line(r) for r in records)


def gz(data):
    return gzip.compress(data, mtime=0)


def write(target, name, data):
    folder = os.path.join(corpus, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# count: the first byte picks the options.
for target, reads in (("fastq", fastq), ("qseq", qseq)):
    write(target, "plain", b"\x00" + reads)
    write(target, "options", b"\x1f" + reads)
    write(target, "crlf", b"\x08" + reads.replace(b"\n", b"\r\n"))
    write(target, "cut", b"\x02" + reads[: len(reads) * 2 // 3])
    write(target, "gzip", b"\x00" + gz(reads))
    write(target, "two-members", b"\x01" + gz(reads[:200]) + gz(reads[200:]))

# gzip: two bytes of read sizes, then the stream.
write("gzip", "one-member", b"\x00\x00" + gz(fastq))
write("gzip", "two-members-padded", b"\x05\x10" + gz(fastq[:300]) + gz(fastq[300:]) + b"\0" * 16)
write("gzip", "stored", b"\x01\x01" + gzip.compress(fastq[:500], compresslevel=0, mtime=0))
write("gzip", "empty", b"\x02\x02" + gz(b""))

# cluster: a count table as count writes it.
counts = [(r[1].rstrip(b"\n"), random.randint(1, 90)) for r in records]
core = records[0][1].rstrip(b"\n")
near = [core[:5] + b"A" + core[6:], core[:9] + b"C" + core[10:], core[:3] + b"G" + core[4:9] + b"T" + core[10:]]
counts += [(s, 3) for s in near]
counts.sort(key=lambda c: -c[1])
table = b"".join(s + b"\t" + str(n).encode() + b"\n" for s, n in counts)
summary = b"#total reads: 500\n#unique reads: %d\n#filtered bases: 0\n" % len(counts)
write("cluster", "table", b"\x00" + summary + table)
write("cluster", "single-aligned", b"\x43" + table)
write("cluster", "odd-lines", b"\x81" + b"ACGT\nAC\t-3\n\tx\nACGN\t0\n" + table[:200])

# map: barcode file, "%%", cluster file.
bc = [line.split(b"\t")[1].rstrip(b"\n") for line in barcodes.splitlines(True)[1:]]
b0, b1, b2 = bc[0], bc[1], bc[2]
contain = b1[1:19]
mm1 = b0[:17] + (b"G" if b0[17:18] != b"G" else b"A")
clusters = (b"#core sequence\tscore\ttotal count\tcore count\tmm1 count\tmm2 count\t[sequence:count:mmcount]...\n"
            + contain + b"\t2:1\t20\t12\t6\t2\tA:1:0,C:5:0\n"
            + mm1 + b"\t0:0\t5\t5\t0\t0\n"
            + b2[2:] + b"TT\t0:0\t4\t4\t0\t0\n"
            + b"AAAAAAAAAAAAAAAAAA\t0:0\t3\t3\t0\t0\n")
write("map", "files", b"\x00" + barcodes + b"%%\n" + clusters)
write("map", "top-n", b"\x06" + barcodes + b"%%\n" + clusters)
write("map", "skip-align", b"\x01" + barcodes + b"%%\n" + clusters)
# A library with gene columns: the fields after the sequence are ignored.
genes = b"".join(line.rstrip(b"\n") + b"\tgene%d\tnote\n" % i for i, line in enumerate(barcodes.splitlines(True)))
write("map", "gene-columns", b"\x00" + genes + b"%%\n" + clusters)

# tabulate: barcode file, "%%", map file.
map_file = (b"#contains: 2\n#\tmm0s: 1\n#\tmm1s: 1\n#\tmm2s: 0\n#aligns: 1\n#misses: 1\n"
            b"#core seq\tcount\tscore\tmm0\tmm1n\tmm1\tmm2n\tmm2\tmatch\tid\tseq\t[score:alignment:mis:ins:del]...\n"
            + contain + b"\t40\t2:0\t30\t2\t10\t0\t0\tmm0\tx\t" + b1 + b"\n"
            + mm1 + b"\t12\t0:0\t12\t0\t0\t0\t0\tmm1\tx\t" + b0 + b"\n"
            + b"TTTTAAAAGG\t5\t0:0\t5\t0\t0\t0\t0\talign\tMULTIPLE:x;y\t" + b2 + b";" + b0 + b"\t"
            + b"85:TTTTAAAAGG:2:0:0;60:TTTTAAAAGG:6:0:0\n"
            + b"TTTTTTTTTT\t3\t0:0\t3\t0\t0\t0\t0\tnone\n")
write("tabulate", "files", b"\x46" + barcodes + b"%%\n" + map_file)
write("tabulate", "low-cutoff", b"\x00" + barcodes + b"%%\n" + map_file)
write("tabulate", "gene-columns", b"\x46" + genes + b"%%\n" + map_file)

# layout: the layout on the first line (a leading digit: mismatches per
# constant), then one read a line.
reads = b"".join(r[1] for r in records)
write("layout", "flanks", b"GATGTCCACGAGGTCTCT[18]{2}CGTACGCTGCAG\n" + reads)
write("layout", "window", b"1{0-12}CCACGAGG[8-30]CGTACG\n" + reads)
write("layout", "final-range", b"GTCTCT[10-40]\n" + reads)
write("layout", "spacer-umi", b"[8]{4}NNCG(6)[4-]\n" + reads)
write("layout", "key-length", b"2GTCTCT[10-40]\n" + reads)

# discover: a cluster file (the first byte: the least total, 0 auto), with
# an origin, an offshoot of it and a chimera of two.
origin = b0 + b1 + b2
other = b2 + b0 + b1
pool = (b"#core sequence\tscore\ttotal count\tcore count\tmm1 count\tmm2 count\t[sequence:count:mmcount]...\n"
        + origin + b"\t2:1\t500\t400\t90\t10\tA:1:0\n"
        + other + b"\t0:0\t300\t300\t0\t0\n"
        + origin[:20] + origin[21:] + b"A\t0:0\t9\t9\t0\t0\n"
        + origin[:30] + other[30:] + b"\t0:0\t7\t7\t0\t0\n"
        + b"ACGN\t0:0\t3\t3\t0\t0\n")
write("discover", "pool", b"\x00" + pool)
write("discover", "least", b"\x03" + pool)

# samples: a sample sheet.
write("samples", "dual", b"Day 1 + Drug\tACGTACGT+TTGGCCAA\nctrl\tGGTTAACC+AACCGGTT\n")
write("samples", "single", b"a\tACGTAC\nb\tTGCATG\n# c\n\nc\tCCAAGG\r\n")
write("samples", "too-close", b"one\tAAAAAA\ntwo\tAAAACC\n")
