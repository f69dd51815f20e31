#!/bin/sh
# Compares the filter-list engine with the npm package @ghostery/adblocker on
# the same requests and lists, request by request (block or not), and shows
# both engines' time per decision.
#
#   bench/compare_lists.sh [BUILD_DIR] [LISTS_DIR]
#
# BUILD_DIR is a release tree with the benchmarks (default build/release);
# LISTS_DIR holds easylist.txt and easyprivacy.txt (default
# $VELQUOR_LISTS_DIR, else ../shared/lists beside the source tree). The npm
# package is installed into a temporary folder, removed afterwards; it is
# never a dependency of the build. Disagreements are written to
# disagreements.tsv in the current folder.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/release}
lists=${2:-${VELQUOR_LISTS_DIR:-$here/../../shared/lists}}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

"$build/bench/lists_bench" --write-requests "$work/requests.tsv" >/dev/null
(cd "$work" && npm init -y >/dev/null && npm install --silent --no-audit --no-fund @ghostery/adblocker >/dev/null)
cp "$here/compare_lists.mjs" "$work/"
node "$work/compare_lists.mjs" "$lists" "$work/requests.tsv" >"$work/other.txt"

start=$(date +%s%N)
"$build/host/velquor" lists match --list "$lists/easylist.txt" --list "$lists/easyprivacy.txt" - \
  <"$work/requests.tsv" >"$work/velquor.txt"
end=$(date +%s%N)
VELQUOR_LISTS_DIR=$lists "$build/bench/lists_bench" --benchmark_filter=Decision 2>/dev/null |
  sed -n 's/.*median_us=\([^ ]*\) p99_us=\([^ ]*\).*/velquor: median \1 us, p99 \2 us per decision/p'
echo "velquor lists match -: $(( (end - start) / 1000000 )) ms for everything (lists read and built once)"

paste "$work/requests.tsv" "$work/velquor.txt" "$work/other.txt" | awk -F '\t' '
  { ours = ($4 == "block") ? "block" : "none"; theirs = $NF
    n++
    if (ours == theirs) { same++; next }
    print $1 "\t" $2 "\t" $3 "\t" "velquor " ours (NF > 5 ? " by " $5 : "") "\tother " theirs > "disagreements.tsv" }
  END { printf "%d requests, %d agree (%.3f%%), %d disagree (see disagreements.tsv)\n",
               n, same, 100 * same / n, n - same }'
