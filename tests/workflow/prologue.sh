# Sourced by the workflow tests after `set -euo pipefail`, with the
# executable and the source folder as $1 and $2: sets morvane, src, here,
# python (the interpreter snakemake runs on, which the workflow's scripts
# get), a scratch folder $work removed on exit, status and fail(). Exits 77
# (reported as skipped) when snakemake or matplotlib is missing.
morvane=$(realpath "$1")
src=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)

if ! command -v snakemake >/dev/null 2>&1; then
    echo "snakemake not found: skipping (tools/install-deps.sh snakemake python3-matplotlib)"
    exit 77
fi
python=$(head -1 "$(command -v snakemake)" | sed -n 's/^#! *//p' | awk '{print $1}')
[ -x "$python" ] || python=/usr/bin/python3
if ! "$python" -c "import matplotlib" 2>/dev/null; then
    echo "matplotlib missing for $python: skipping"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() {
    echo "FAIL: $*"
    status=1
}
