// The count sub-command: turns FASTQ or qseq reads into the count table,
// each distinct read (after trimming, truncation and quality masking) with
// the number of reads that had it, most frequent first.
#pragma once

int count_main(int argc, char** argv);
