# The set-up the benchmark scripts share, sourced after `set -euo pipefail`:
#
#   . "$(dirname "$0")/common.sh" WORK_NAME "${1:-}" TOOL...
#
# sets root, build (the second argument, or build/), morvane, seed (SEED, 1),
# repeat (REPEAT, 3) and work (WORK, or $TMPDIR/WORK_NAME, created), checks
# that each TOOL is at hand, and defines ratio A B and mb KB.
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${2:-$root/build}" && pwd)
morvane=$build/morvane
seed=${SEED:-1}
repeat=${REPEAT:-3}
work=${WORK:-${TMPDIR:-/tmp}/$1}
mkdir -p "$work"
for tool in "${@:3}"; do
  command -v "$tool" >/dev/null || { echo "$(basename "$0") needs $tool" >&2; exit 1; }
done
ratio() { awk "BEGIN{printf \"%.2f\", $1 / $2}"; }
mb() { awk "BEGIN{printf \"%.0f\", $1 / 1024}"; }
