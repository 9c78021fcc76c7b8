#!/bin/sh
# cluster at the size of real runs, next to a general-purpose single-linkage
# clusterer (swarm -d 1 -t 1), one thread each.
#
# Generates two seeded count tables of the same shape (random 20-letter
# barcodes, log-normal abundances, 0.7 % substitutions, 2 % junk reads, 0.5 %
# reads with one letter inserted or deleted):
#   2.4m: 20 M reads from 100 k barcodes -> about 2.5 M distinct sequences
#   9.6m: 80 M reads from 400 k barcodes -> about 10 M distinct sequences
# and prints user CPU seconds, wall seconds and peak memory of `cluster`,
# `cluster -s`, `cluster -s -a -n 5` and swarm on each. swarm reads FASTA with
# ";size=N" abundances and takes only A, C, G and T: the table is converted
# and sequences with other letters (N) are left out of its input.
#
# usage: bench/cluster_scale.sh [BUILD_DIR] [WORK_DIR] [SIZES]
#   SIZES: "2.4m 9.6m" by default; the 9.6m table needs several GB.
#   ALIGN_SIZES (environment): the sizes that also get -s -a -n 5 ("2.4m";
#   on the 9.6m table the alignment phase alone takes minutes).
set -eu
build=${1:-build}
work=${2:-${TMPDIR:-/tmp}/morvane-cluster-scale}
sizes=${3:-2.4m 9.6m}
align_sizes=${ALIGN_SIZES:-2.4m}
morvane=$build/morvane
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
# The Debian clusterer, installed when it can be; without it its rows are left out.
have_swarm=yes
command -v swarm > /dev/null 2>&1 || "$here/../tools/install-deps.sh" swarm || have_swarm=no

table_for() {
    case $1 in
        2.4m) echo "100000 20000000" ;;
        9.6m) echo "400000 80000000" ;;
        *) echo "unknown size $1" >&2; exit 1 ;;
    esac
}

measure() {
    label=$1
    shift
    /usr/bin/time -f "%U %e %M" -o "$work/time.txt" "$@" > "$work/out.txt" 2> "$work/err.txt" || {
        echo "$label failed:" >&2
        tail -3 "$work/err.txt" >&2
        return 1
    }
    read -r user wall kb < "$work/time.txt"
    printf '%-6s %-22s %8s s user %8s s wall %7d MB %6d B/seq\n' "$size" "$label" "$user" "$wall" $((kb / 1024)) \
        $((kb * 1024 / distinct))
}

for size in $sizes; do
    table=$work/table-$size.tsv
    fasta=$work/table-$size.fa
    if [ ! -s "$table" ]; then
        # shellcheck disable=SC2046
        "$build/bench/gen_count_table" $(table_for "$size") 20 0.007 13 0.02 0.005 > "$table" 2> /dev/null
    fi
    [ -s "$fasta" ] || awk -F'\t' '!/^#/ && $1 !~ /[^ACGT]/ { printf(">s%d;size=%d\n%s\n", NR, $2, $1) }' "$table" > "$fasta"
    distinct=$(grep -vc '^#' "$table")
    printf '%s: %s distinct sequences, %s of them for swarm\n' "$size" "$distinct" "$(grep -c '^>' "$fasta")"
    measure "cluster" "$morvane" cluster "$table"
    measure "cluster -s" "$morvane" cluster -s "$work/stats.txt" "$table"
    case " $align_sizes " in
        *" $size "*)
            measure "cluster -s -a -n 5" "$morvane" cluster -s "$work/stats.txt" -a "$work/align.txt" -n 5 "$table"
            printf '%-6s %-22s %s\n' "$size" "left for alignment" \
                "$(sed -n 's/^#Aligned sequences: \([0-9]*\)\tUnaligned sequences: \([0-9]*\)$/\1 aligned + \2 not/p' "$work/align.txt")"
            ;;
    esac
    if [ "$have_swarm" = yes ]; then
        measure "swarm -d 1 -t 1" swarm -z -d 1 -t 1 -o /dev/null "$fasta"
    else
        echo "swarm is not installed: left out" >&2
    fi
done
