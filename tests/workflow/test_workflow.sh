#!/usr/bin/env bash
# Runs the workflow on the example samples and checks the count matrices,
# the summary (every read in one final bucket) and the report against the
# per-sample files:
#   - the library run, with a layout, the library's lines reordered, a
#     malformed line and a renamed barcode;
#   - the same library as a 3-column CRISPR table with a header and as CSV
#     (the same counts, and the screen matrix with genes);
#   - a multiplexed paired run (fastq_2, sample_barcode, layout_2), and its
#     sheet with a slip in the first index;
#   - a reverse-complemented library (the orientation warning);
#   - the lineage example without a library (discovered barcodes, UMIs,
#     molecules merged per barcode against the generator's truth);
#   - the traps of a new user (an empty sample, reads on the other strand,
#     the wrong quality encoding, a typo in a constant of the layout, a
#     mistyped key, a layout count refuses, files that cannot be read);
#   - a run resumed after SIGTERM and after kill -9.
#
#   tests/workflow/test_workflow.sh MORVANE SOURCE_DIR
#
# Exits 77 (reported as skipped) when snakemake or matplotlib is missing.
set -euo pipefail
. "$(dirname "$0")/prologue.sh"

# run NAME [config lines...]: a workflow run in $work/NAME with its config.
run() {
    local name=$1
    shift
    mkdir -p "$work/$name"
    {
        echo "outdir: $work/$name/out"
        echo "morvane: $morvane"
        printf '%s\n' "$@"
    } > "$work/$name/config.yaml"
    if ! snakemake -s "$src/workflow/Snakefile" --directory "$work/$name" --configfile "$work/$name/config.yaml" \
            --cores 2 -q >"$work/$name/snakemake.log" 2>&1; then
        cat "$work/$name/snakemake.log"
        fail "the $name run did not finish"
        return 1
    fi
}

layout='  layout: "GATGTCCACGAGGTCTCT[20]"'

# 1. The library run. The barcode file backwards, so that its order differs
# from the name order of the reports, with a line without a tab and, first,
# an older name for a sequence that a later line names again.
# (No early-closing readers such as head in these pipes: with pipefail a
# writer killed by SIGPIPE would end the test.)
grep -v '^#' "$src/examples/barcodes.tsv" | tac > "$work/reversed.tsv"
{
    echo "#strain	barcode"
    sed -n '$s/^[^\t]*/old_name/p' "$work/reversed.tsv"
    sed -n '1,100p' "$work/reversed.tsv"
    echo "not a barcode line"
    sed -n '101,$p' "$work/reversed.tsv"
} > "$work/barcodes.tsv"
if run library "barcodes: $work/barcodes.tsv" "samples: $src/examples/samples.tsv" \
        "count:" '  quality: "S"' "$layout" "split_by_match_kind: true" "keep_intermediate: true"; then
    "$python" "$here/check_outputs.py" "$work/library/out" "$src/examples/samples.tsv" "$work/barcodes.tsv" || status=1
    # The 20-letter slot stands as written, and map -w places the reads by
    # whole barcodes, not by alignment.
    grep -q "\-p &#x27;GATGTCCACGAGGTCTCT\[20\]&#x27;" "$work/library/out/report.html" ||
        fail "count did not run with the layout as written"
    grep -q "<td>map</td><td><code>-w " "$work/library/out/report.html" || fail "map did not run with -w"
    awk -F'\t' 'NR == 1 { for (i = 1; i <= NF; i++) c[$i] = i; next }
        { whole += $c["mm0_reads"] + $c["mm1_reads"] + $c["mm2_reads"]; aligned += $c["counted_align_reads"] }
        END { exit !(whole > 0 && whole >= 10 * aligned) }' "$work/library/out/summary.tsv" ||
        fail "the library run placed its reads by alignment rather than whole barcodes"
    # A second run finds everything up to date.
    again=$(snakemake -s "$src/workflow/Snakefile" --directory "$work/library" \
        --configfile "$work/library/config.yaml" --cores 2 -n 2>&1 || true)
    grep -q "Nothing to be done" <<<"$again" || fail "a second run wants to redo work"
fi

# 2. The library as labs keep it: id, sequence, gene with a header, and CSV.
# One sample is enough: the two runs must agree with each other and with
# the library run on every barcode.
printf 't2\t%s\n' "$src/examples/sample-t2.fastq.gz" > "$work/one-sample.tsv"
{
    echo "sgRNA	sequence	gene"
    grep -v '^#' "$src/examples/barcodes.tsv" | awk -F'\t' '{ split($1, p, "_"); print $1 "\t" $2 "\t" (p[2] ? p[2] : "none") }'
} > "$work/crispr.tsv"
tr '\t' ',' < "$work/crispr.tsv" > "$work/library.csv"
for form in crispr csv; do
    file=crispr.tsv
    [ $form = csv ] && file=library.csv
    if run "$form" "barcodes: $work/$file" "samples: $work/one-sample.tsv" "keep_intermediate: true" \
            "count:" '  quality: "S"' "$layout"; then
        out="$work/$form/out"
        "$python" "$here/check_outputs.py" "$out" "$work/one-sample.tsv" "$out/library/barcodes.tsv" || status=1
        [ "$(head -1 "$out/counts_mageck.tsv")" = "sgRNA	Gene	t2" ] || fail "$form: counts_mageck.tsv header"
        # The screen matrix holds the genes, and the counts of counts.tsv.
        paste <(cut -f1,3 "$out/counts.tsv") <(cut -f2 "$out/counts_mageck.tsv") | tail -n +2 |
            awk -F'\t' '{ split($1, p, "_"); if ($3 != (p[2] ? p[2] : "none")) bad++ } END { exit bad > 0 }' ||
            fail "$form: genes of counts_mageck.tsv"
        cmp -s <(cut -f3 "$out/counts_mageck.tsv" | tail -n +2) <(cut -f3 "$out/counts.tsv" | tail -n +2) ||
            fail "$form: counts_mageck.tsv counts differ from counts.tsv"
    fi
done
cmp -s "$work/crispr/out/counts.tsv" "$work/csv/out/counts.tsv" ||
    fail "the CSV and the 3-column library give different counts"
# Each barcode's count in the library run's t2 column.
if [ -f "$work/library/out/counts.tsv" ]; then
    cmp -s <(awk -F'\t' 'NR > 1 { print $2 "\t" $5 }' "$work/library/out/counts.tsv" | sort) \
        <(awk -F'\t' 'NR > 1 { print $2 "\t" $3 }' "$work/crispr/out/counts.tsv" | sort) ||
        fail "the 3-column library gives other counts than morvane's barcode file"
fi

# 2b. A run as a lab writes it: names with spaces and "+" (two differing in
# case alone), the library as `sequence,id` CSV; the intermediate tables are
# not kept. The counts are the library run's, under the lab's names; the
# screen summary and the MultiQC files are there, and MultiQC shows both.
printf 'sample\tfastq\nDay 0\t%s\nDay 1 + Drug\t%s\nday 1 + drug\t%s\n' "$src/examples/sample-t0.fastq.gz" \
    "$src/examples/sample-t1.fastq.gz" "$src/examples/sample-t2.fastq.gz" > "$work/lab-samples.tsv"
{
    echo "sequence,id"
    grep -v '^#' "$src/examples/barcodes.tsv" | awk -F'\t' '{ print $2 "," $1 }'
} > "$work/lab-library.csv"
if run lab "barcodes: $work/lab-library.csv" "samples: $work/lab-samples.tsv" "count:" '  quality: "S"' "$layout"; then
    out="$work/lab/out"
    [ "$(head -1 "$out/counts.tsv")" = "bcid	barcode	Day 0	Day 1 + Drug	day 1 + drug" ] ||
        fail "lab: counts.tsv header $(head -1 "$out/counts.tsv")"
    [ "$(cut -f1 "$out/summary.tsv" | tr '\n' '|')" = "sample|Day 0|Day 1 + Drug|day 1 + drug|" ] ||
        fail "lab: summary.tsv names"
    grep -q "<td>Day 1 + Drug</td>" "$out/report.html" || fail "lab: the report lacks the name as written"
    [ -d "$out/samples/Day_1_+_Drug" ] && [ -d "$out/samples/day_1_+_drug-2" ] || fail "lab: sample directories"
    if [ -f "$work/library/out/counts.tsv" ]; then
        cmp -s <(awk -F'\t' 'NR > 1 { print $2, $3, $4, $5 }' "$work/library/out/counts.tsv" | sort) \
            <(awk -F'\t' 'NR > 1 { print $2, $3, $4, $5 }' "$out/counts.tsv" | sort) ||
            fail "lab: the sequence,id library gives other counts than morvane's barcode file"
    fi
    left=$(find "$out" -name 'count-table.txt*' -o -name 'map.txt*' -o -name 'clusters.txt*')
    [ -z "$left" ] || fail "lab: intermediate tables left: $left"
    [ "$(du -sk "$out" | cut -f1)" -lt "$(cat "$src"/examples/sample-t[012].fastq.gz | wc -c | awk '{ print int($1 / 1024) }')" ] ||
        fail "lab: the output is not smaller than the input"
    [ "$(head -1 "$out/countsummary.txt")" = "File	Label	Reads	Mapped	Percentage	TotalsgRNAs	Zerocounts	GiniIndex" ] ||
        fail "lab: countsummary.txt header"
    awk -F'\t' -v barcodes="$(grep -vc '^#' "$src/examples/barcodes.tsv")" 'NR > 1 {
            if ($6 != barcodes || $4 > $3 || $7 > $6 || $8 < 0 || $8 >= 1) bad++; labels = labels $2 "|" }
        END { exit bad > 0 || labels != "Day 0|Day 1 + Drug|day 1 + drug|" }' "$out/countsummary.txt" ||
        fail "lab: countsummary.txt rows"
    if "$src/tools/install-deps.sh" multiqc >/dev/null 2>&1 && command -v multiqc >/dev/null 2>&1; then
        # report.tsv trips an unrelated module of some MultiQC versions.
        if multiqc -q -f -e quast -o "$work/lab/multiqc" "$out" >"$work/lab/multiqc.log" 2>&1; then
            grep -q "morvane_stats" "$work/lab/multiqc/multiqc_data/multiqc_general_stats.txt" ||
                fail "lab: MultiQC's general statistics lack morvane's"
            grep -q "Day 1 + Drug" "$work/lab/multiqc/multiqc_data/multiqc_general_stats.txt" ||
                fail "lab: MultiQC's general statistics lack the sample names"
            grep -q "morvane_read_fate_plot" "$work/lab/multiqc/multiqc_report.html" ||
                fail "lab: MultiQC's report lacks the read-fate bars"
        else
            cat "$work/lab/multiqc.log"
            fail "lab: multiqc failed on the output folder"
        fi
    else
        echo "multiqc cannot be had: its check is skipped"
    fi
fi

# 2c. A multiplexed paired run: four samples in one read pair, told apart
# by i7+i5 in the headers (the second index written reverse-complemented),
# and one sample in a pair of its own; each barcode read half from read 1,
# half from read 2. One count -x job splits the pair; each sample's table
# is the one count writes for that sample's pairs alone; the undetermined
# barcodes and the orientation are in the report; "Spike in" has nearly no
# reads and is warned of. The quality encoding is found (auto).
"$python" "$src/examples/make-multiplexed.py" "$work/mx-data"
mx_layouts=('  layout: "GATGTCCACGAGGTCTCT[10]"' '  layout_2: "CCAGTGATCA[10]"')
if run multiplexed "barcodes: $src/examples/barcodes.tsv" "samples: $work/mx-data/multiplexed-samples.tsv" \
        "keep_intermediate: true" "count:" "${mx_layouts[@]}"; then
    out="$work/multiplexed/out"
    "$python" "$here/check_outputs.py" "$out" "$work/mx-data/multiplexed-samples.tsv" "$src/examples/barcodes.tsv" ||
        status=1
    [ "$(head -1 "$out/counts.tsv")" = "bcid	barcode	Day 0	Day 7 + Drug	Day 7 ctrl	Spike in	Pilot" ] ||
        fail "multiplexed: counts.tsv header $(head -1 "$out/counts.tsv")"
    # snakemake's job table: one demultiplex job, and a count job for the pilot alone.
    jobs=$(cat "$work/multiplexed"/.snakemake/log/*.snakemake.log)
    grep -Eq '^demultiplex +1 ' <<<"$jobs" && grep -Eq '^count +1 ' <<<"$jobs" ||
        fail "multiplexed: not one count -x job for the pair and one count job for the pilot"
    grep -q "Second index: reverse-complemented" "$out/report.html" || fail "multiplexed: orientation not in the report"
    grep -q "<td><code>TAAGGCGA+AGAGGATA</code></td><td>150</td>" "$out/report.html" ||
        fail "multiplexed: the mixed indexes are not the top undetermined barcode of the report"
    # Day 0's pairs picked out by their exact index, counted as one sample.
    for n in 1 2; do
        gzip -dc "$work/mx-data/multiplexed_R$n.fastq.gz" |
            awk 'NR % 4 == 1 { keep = $2 ~ /:TAAGGCGA\+ATAGAGAG$/ } keep' > "$work/mx-data/day0_R$n.fastq"
    done
    "$morvane" count -m S -p 'GATGTCCACGAGGTCTCT[10]' -2 "$work/mx-data/day0_R2.fastq" -P 'CCAGTGATCA[10]' \
        "$work/mx-data/day0_R1.fastq" 2>/dev/null | grep -v '^#mate file:' > "$work/mx-data/day0.txt"
    cmp -s "$work/mx-data/day0.txt" <(gzip -dc "$out/samples/Day_0/count-table.txt.gz" | grep -v '^#mate file:') ||
        fail "multiplexed: Day 0's table is not count's table of its pairs"
    grep -q "warning: demultiplex: Spike in: 4 reads" "$work/multiplexed/snakemake.log" ||
        fail "multiplexed: the terminal does not warn of Spike in"
    awk -F'\t' 'NR == 1 { for (i = 1; i <= NF; i++) c[$i] = i; next }
        $1 == "Spike in" { found = index($c["warnings"], "carry its sample barcode") > 0 } END { exit !found }' \
        "$out/summary.tsv" || fail "multiplexed: summary.tsv does not warn of Spike in"
    ! grep -q "warning: demultiplex: Day 0" "$work/multiplexed/snakemake.log" || fail "multiplexed: Day 0 warned of"
    # The run's tables are gone, and nothing is to be redone for that.
    again=$(snakemake -s "$src/workflow/Snakefile" --directory "$work/multiplexed" \
        --configfile "$work/multiplexed/config.yaml" --cores 2 -n 2>&1 || true)
    grep -q "Nothing to be done" <<<"$again" || fail "multiplexed: a second run wants to redo work"
fi
# The first index written reverse-complemented in the sheet: no sample has
# a read, and the terminal names the likely fix.
awk -F'\t' 'BEGIN { OFS = "\t" } NR > 1 && $4 != "" {
        split($4, part, "+"); s = ""
        for (i = length(part[1]); i > 0; i--) s = s substr("TGCA", index("ACGT", substr(part[1], i, 1)), 1)
        $4 = s "+" part[2] } NR == 1 || $4 != "" { print }' "$work/mx-data/multiplexed-samples.tsv" \
    > "$work/mx-data/slipped.tsv"
if run slipped "barcodes: $src/examples/barcodes.tsv" "samples: $work/mx-data/slipped.tsv" "report: false" \
        "count:" "${mx_layouts[@]}"; then
    grep -q "carry no sample's barcode.*likely fix: the first index is reverse-complemented in the sheet" \
        "$work/slipped/snakemake.log" || fail "slipped: the terminal does not name the slip"
    grep -q "problem: no reads: no read of its multiplexed file carries its sample barcode" \
        "$work/slipped/snakemake.log" || fail "slipped: the samples' problem does not name the sample barcode"
fi

# 3. A library written on the other strand: the report says so.
awk -F'\t' '/^#/ { print; next } { cmd = "echo " $2 " | rev | tr ACGT TGCA"; cmd | getline rc; close(cmd); print $1 "\t" rc }' \
    "$src/examples/barcodes.tsv" > "$work/rc.tsv"
if run reversed "barcodes: $work/rc.tsv" "samples: $work/one-sample.tsv" "keep_intermediate: true" \
        "count:" '  quality: "S"' "$layout"; then
    "$python" "$here/check_outputs.py" "$work/reversed/out" "$work/one-sample.tsv" "$work/rc.tsv" --reversed || status=1
    grep -q "reverse_library: true" "$work/reversed/out/report.html" || fail "the report does not name the fix"
fi

# 4. The lineage example: no library, UMIs, both strands. Without UMI
# support in count the UMI is skipped as letters instead (and said so).
lineage_layout=$(sed -n 's/^  layout: "\(.*\)".*/\1/p' "$src/examples/lineage.yaml")
if ! printf '@r\nACGTA\n+\nIIIII\n' | "$morvane" count -f -m S -p 'AC[1](2)' >/dev/null 2>&1; then
    echo "count has no UMI slots yet: the lineage run counts reads (UMI as a skip)"
    lineage_layout=${lineage_layout/(10)/\{10\}}
fi
if run lineage 'barcodes: ""' "samples: $src/examples/lineage-samples.tsv" "keep_intermediate: true" \
        "count:" '  quality: "S"' \
        "  layout: \"$lineage_layout\"" "  both_strands: true"; then
    out="$work/lineage/out"
    "$python" "$here/check_outputs.py" "$out" "$src/examples/lineage-samples.tsv" "$out/discovered_barcodes.tsv" \
        --lineage || status=1
    grep -q "^bc000001	" "$out/discovered_barcodes.tsv" || fail "no discovered barcode bc000001"
    if [[ $lineage_layout == *"(10)"* ]]; then
        # Molecules merged per barcode, measured against the generator's
        # truth (the seeded generator rewrites the example's reads): each
        # molecule counted once, within 2%.
        grep -q "<h3>Molecules</h3>" "$out/report.html" || fail "the report has no molecules table"
        mkdir -p "$work/truth"
        "$python" "$src/examples/make-lineage.py" "$work/truth" --truth >/dev/null
        samples=()
        for day in d0 d7 d14; do
            cmp -s <(gzip -dc "$work/truth/lineage-$day.fastq.gz") <(gzip -dc "$src/examples/lineage-$day.fastq.gz") ||
                fail "make-lineage.py no longer writes the example's $day reads"
            samples+=(--sample "lineage-$day" "$src/examples/lineage-$day.fastq.gz" "$work/truth/truth-lineage-$day.tsv")
        done
        "$python" "$src/bench/truth.py" --morvane "$morvane" --out "$out" --barcodes "$out/discovered_barcodes.tsv" \
            --count-options "-m S -p $lineage_layout -b" --molecules --discovered "${samples[@]}" ||
            fail "the lineage molecules are off the truth"
    fi
fi

# 5. The traps of a new user: each run says what is wrong, and the fix, on
# the terminal, in summary.tsv and in the report. Small samples: 2,000 reads
# of t2, the same reads reverse-complemented, and an empty file.
traps="$work/traps"
mkdir -p "$traps"
gzip -dc "$src/examples/sample-t2.fastq.gz" | sed -n '1,8000p' > "$traps/good.fastq"
awk 'NR % 4 == 2 { s = ""; for (i = length($0); i > 0; i--) s = s substr("TGCAN", index("ACGTN", substr($0, i, 1)), 1); print s; next }
     NR % 4 == 0 { s = ""; for (i = length($0); i > 0; i--) s = s substr($0, i, 1); print s; next } { print }' \
    "$traps/good.fastq" > "$traps/rc.fastq"
: > "$traps/empty.fastq"
printf 'good\tgood.fastq\nempty\tempty.fastq\nrc\trc.fastq\n' > "$traps/samples.tsv"
printf 'good\tgood.fastq\n' > "$traps/one.tsv"
printf 'good\tgood.fastq\nlost\tnot-there.fastq\n' > "$traps/lost.tsv"

# config NAME [lines...]: the config of a run in $work/NAME.
config() {
    local name=$1
    shift
    mkdir -p "$work/$name"
    {
        echo "outdir: $work/$name/out"
        echo "morvane: ${run_morvane:-$morvane}"
        echo "barcodes: $src/examples/barcodes.tsv"
        printf '%s\n' "$@"
    } > "$work/$name/config.yaml"
}

# attempt NAME STATUS [config lines...]: a run that must end with STATUS
# (0 or fail); what it printed is in $work/NAME/terminal.
attempt() {
    local name=$1 expected=$2 got=0
    shift 2
    config "$name" "$@"
    snakemake -s "$src/workflow/Snakefile" --directory "$work/$name" --configfile "$work/$name/config.yaml" \
        --cores 2 -q >"$work/$name/terminal" 2>&1 || got=fail
    if [ "$got" != "$expected" ]; then
        cat "$work/$name/terminal"
        fail "the $name run ended with status $got, not $expected"
    fi
}

# says RUN SAMPLE TEXT: the terminal, the sample's problems in summary.tsv
# and the report's first table name TEXT.
says() {
    local run=$1 sample=$2 text=$3 out="$work/$1/out"
    grep -qF -- "$text" "$work/$run/terminal" || fail "$run: the terminal does not say '$text'"
    awk -F'\t' -v sample="$sample" -v text="$text" '
        NR == 1 { for (i = 1; i <= NF; i++) column[$i] = i; next }
        $1 == sample { found = $column["status"] == "problem" && index($column["problems"], text) > 0 }
        END { exit !found }' "$out/summary.tsv" 2>/dev/null ||
        fail "$run: summary.tsv does not give $sample the problem '$text'"
    { grep -o 'class="problem">[^<]*' "$out/report.html" || true; } | sed 's/&quot;/"/g' |
        grep -F -- "$text" >/dev/null ||
        fail "$run: report.html does not say '$text'"
}

# refused RUN TEXT: the run stopped before any job, and the terminal says TEXT.
refused() {
    grep -qF -- "$2" "$work/$1/terminal" || { cat "$work/$1/terminal"; fail "$1: the terminal does not say '$2'"; }
    [ ! -e "$work/$1/out" ] || fail "$1: jobs ran although the run was refused"
}

layout_line='  layout: "GATGTCCACGAGGTCTCT[20]"'
# An empty sample and one on the other strand; with strict the run fails.
attempt strands fail "samples: $traps/samples.tsv" "strict: true" "count:" '  quality: "S"' "$layout_line"
says strands empty "no reads"
says strands rc "other strand"
says strands rc 'set `count: reverse: true`'
grep -q "strict: true" "$work/strands/terminal" || fail "strands: the terminal does not name strict"
awk -F'\t' 'NR == 1 { for (i = 1; i <= NF; i++) c[$i] = i } $1 == "good" { ok = $c["status"] == "ok" } END { exit !ok }' \
    "$work/strands/out/summary.tsv" || fail "strands: the good sample is not ok"
# Phred+33 reads read as Phred+64: nothing assigned, and count's warning
# among the sample's warnings.
attempt encoding 0 "samples: $traps/one.tsv" "count:" '  quality: "I"' "$layout_line"
says encoding good "quality encoding"
says encoding good 'set `count: quality: auto`'
for file in terminal out/summary.tsv out/report.html; do
    grep -q "count: quality values below the range" "$work/encoding/$file" ||
        fail "encoding: count's warning is not in $file"
done
# A typo in a constant of the layout: no read holds it, on either strand.
attempt constant 0 "samples: $traps/one.tsv" "count:" '  quality: "S"' '  layout: "GATGTCCACGAGGTCTTC[20]"'
says constant good "layout not found"
says constant good "count: layout:"
# Refused before any job: a mistyped key, a layout that count rejects, a
# sheet or a library that cannot be read, a sample whose file is missing.
attempt typo fail "samples: $traps/one.tsv" "count:" '  qualty: "S"' "$layout_line"
refused typo 'unknown key `count: qualty:` in the config; the nearest known key is `count: quality:`'
attempt grammar fail "samples: $traps/one.tsv" "count:" '  quality: "S"' '  layout: "GATGTCCACGAGGTCTCT[20"'
refused grammar 'count refuses the settings of `count:`'
refused grammar "Invalid layout 'GATGTCCACGAGGTCTCT[20'"
attempt nosheet fail "samples: $traps/none.tsv"
refused nosheet "sample sheet: [Errno 2] No such file or directory"
attempt lost fail "samples: $traps/lost.tsv"
refused lost "lost: $traps/not-there.fastq"
attempt nolibrary fail "samples: $traps/one.tsv" "barcodes: $traps/none.tsv"
refused nolibrary "library: [Errno 2] No such file or directory"

# 6. Resume. A morvane whose map waits while the file "slow" exists holds
# the run in the middle. After SIGTERM snakemake ends the running job and
# starts no other, and a plain rerun finishes; after kill -9 snakemake
# refuses to start (its lock, unfinished files) and workflow/run.sh
# finishes the run. Both give the matrix of a run that was never stopped.
cat > "$traps/slow-morvane" <<EOF
#!/bin/sh
if [ "\$1" = map ]; then
    [ -e "$traps/slow" ] && touch "$traps/in-map"
    while [ -e "$traps/slow" ]; do sleep 0.1; done
fi
exec "$morvane" "\$@"
EOF
chmod +x "$traps/slow-morvane"
attempt whole 0 "samples: $traps/one.tsv" "count:" '  quality: "S"' "$layout_line"
for signal in TERM KILL; do
    name=resume-$signal
    run_morvane="$traps/slow-morvane" config "$name" "samples: $traps/one.tsv" "count:" '  quality: "S"' "$layout_line"
    touch "$traps/slow"
    rm -f "$traps/in-map"
    setsid "$src/workflow/run.sh" --directory "$work/$name" --configfile "$work/$name/config.yaml" --cores 2 -q \
        >"$work/$name/first" 2>&1 &
    leader=$!
    for _ in $(seq 300); do
        [ -e "$traps/in-map" ] && break
        sleep 0.1
    done
    [ -e "$traps/in-map" ] || fail "$name: the run never reached map"
    if [ $signal = TERM ]; then
        # To snakemake itself (run.sh's child), as a batch system sends it;
        # then the held job may go on.
        kill -TERM $(pgrep -P "$leader") || fail "$name: no snakemake to stop"
        sleep 1
        rm -f "$traps/slow"
        # snakemake (7.21 here) now and then stays after SIGTERM when several
        # jobs were running; a batch system kills it after its grace period,
        # and so does this test (then the run is resumed as after kill -9).
        for _ in $(seq 600); do
            kill -0 "$leader" 2>/dev/null || break
            sleep 0.1
        done
        hard=no
        if kill -0 "$leader" 2>/dev/null; then
            echo "$name: snakemake still running 60 s after SIGTERM; killed as a batch system would"
            kill -KILL -- "-$leader"
            hard=yes
        fi
        wait "$leader" 2>/dev/null || true
        [ ! -e "$work/$name/out/counts.tsv" ] || fail "$name: snakemake went on after SIGTERM"
    else
        # A live run's lock stays.
        ! "$src/workflow/run.sh" --directory "$work/$name" --configfile "$work/$name/config.yaml" --cores 2 -n \
            >"$work/$name/beside" 2>&1 || fail "$name: run.sh started beside a live run"
        grep -q "another run is working" "$work/$name/beside" || fail "$name: run.sh does not name the live run"
        kill -KILL -- "-$leader"
        wait "$leader" 2>/dev/null || true
        rm -f "$traps/slow"
    fi
    if [ $signal = TERM ] && [ $hard = yes ]; then
        "$src/workflow/run.sh" --directory "$work/$name" --configfile "$work/$name/config.yaml" --cores 2 -q \
            >"$work/$name/again" 2>&1 || { cat "$work/$name/again"; fail "$name: run.sh did not resume"; }
    elif [ $signal = TERM ]; then
        snakemake -s "$src/workflow/Snakefile" --directory "$work/$name" --configfile "$work/$name/config.yaml" \
            --cores 2 -q >"$work/$name/again" 2>&1 || { cat "$work/$name/again"; fail "$name: the rerun failed"; }
    else
        ! snakemake -s "$src/workflow/Snakefile" --directory "$work/$name" --configfile "$work/$name/config.yaml" \
            --cores 2 -n >"$work/$name/plain" 2>&1 || fail "$name: snakemake started despite the killed run"
        "$src/workflow/run.sh" --directory "$work/$name" --configfile "$work/$name/config.yaml" --cores 2 -q \
            >"$work/$name/again" 2>&1 || { cat "$work/$name/again"; fail "$name: run.sh did not resume"; }
        grep -q "removing the lock of an interrupted run" "$work/$name/again" || fail "$name: no word of the lock"
    fi
    cmp -s "$work/whole/out/counts.tsv" "$work/$name/out/counts.tsv" || fail "$name: the resumed matrix differs"
done

exit $status
