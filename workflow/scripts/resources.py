"""Memory and time of each job, from the size of its input.

A batch system refuses a job that asks more than a node has and kills one
that uses more than it asked, so a fixed request fails both ways: small
samples ask too much and huge ones too little. Each sub-command keeps in
memory a bounded amount per distinct sequence of its input, and the
inputs grow with the distinct sequences, so the request is a floor plus a
factor times the input's size:

  count     the reads (a gzipped FASTQ holds ~40 bytes a read; each distinct
            barcode costs ~100 bytes): 3 MB per MB of input
  cluster   the count table (~30 bytes a distinct sequence on disk, ~250 in
            the tables and neighbourhoods): 10 MB per MB
  map       the cluster file and the barcode file: 6 MB per MB
  tabulate  the map file is streamed; the barcodes are kept: 2 MB per MB
  molecules tabulate -u streams the UMI table (~35 bytes a pair on disk,
            ~110 at the peak) and keeps the cluster file's sequences:
            4 MB per MB

with a floor of 256 MB (the interpreter-free process itself needs ~10 MB),
and a time of 10 minutes plus 1 minute per 100 MB of input (count reads
about 1 GB a second; alignment in map is the slowest step).
"""

import math

FLOOR_MB = 256
FACTOR = {"count": 3.0, "cluster": 10.0, "map": 6.0, "tabulate": 2.0, "molecules": 4.0}
MINUTES_FLOOR = 10
MB_PER_MINUTE = 100.0


def job_memory(step, input_mb):
    return int(max(FLOOR_MB, FLOOR_MB + math.ceil(FACTOR[step] * float(input_mb or 0))))


def job_minutes(step, input_mb):
    return int(MINUTES_FLOOR + math.ceil(float(input_mb or 0) / MB_PER_MINUTE))
