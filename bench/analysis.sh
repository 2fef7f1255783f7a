#!/bin/sh
# Analysing every packet of a capture: qor protocols against tshark's protocol column.
# Usage: bench/analysis.sh FILE [QOR]   (QOR defaults to build-release/bin/qor)
#
# Prints one line per tool with the best of three wall times and that run's peak RSS
# (/usr/bin/time -f '%e %M'), then the ratio qor/tshark (target <= 1.0), and qor's own
# measurement of the analysis phase (qor protocols --stats: analysis wall time and memory added
# per packet). tshark runs as: tshark -n -r FILE -T fields -e frame.protocols > /dev/null
set -eu
in=$1
here=$(cd "$(dirname "$0")" && pwd)
qor=${2:-$here/../build-release/bin/qor}
[ -x "$qor" ] || { echo "analysis.sh: no qor binary at $qor" >&2; exit 1; }
command -v tshark >/dev/null || { echo "analysis.sh: tshark not installed" >&2; exit 1; }
[ -n "${QOR_BUILTIN_PLUGINS_DIR:-}" ] || export QOR_BUILTIN_PLUGINS_DIR="$(dirname "$qor")/../lib/qor/PlugIns"

# measure CMD...: best wall time of three runs and that run's peak RSS, as "SECONDS KIB".
# time writes to its own file (-o), since the command's standard error is discarded. Each run
# starts after sync, so that no tool pays for write-back left by an earlier benchmark.
timing=$(mktemp)
trap 'rm -f "$timing"' EXIT
measure() {
  best=""
  for i in 1 2 3; do
    sync
    /usr/bin/time -o "$timing" -f '%e %M' "$@" >/dev/null 2>/dev/null || true
    out=$(tail -1 "$timing")
    t=${out% *}
    if [ -z "$best" ] || awk "BEGIN{exit !($t < ${best% *})}"; then best=$out; fi
  done
  echo "$best"
}

ratio() { awk "BEGIN{ if ($2 > 0) printf \"%.2f\", $1 / $2; else print \"n/a\" }"; }

echo "== Analysing every packet of $(basename "$in"): qor protocols vs tshark -T fields -e frame.protocols"
q=$(measure "$qor" protocols "$in")
t=$(measure tshark -n -r "$in" -T fields -e frame.protocols)
printf '%-34s %10s %12s\n' tool seconds "peak KiB"
printf '%-34s %10s %12s\n' "qor protocols" "${q% *}" "${q#* }"
printf '%-34s %10s %12s\n' "tshark -T fields -e frame.protocols" "${t% *}" "${t#* }"
echo "   ratio qor/tshark: $(ratio "${q% *}" "${t% *}")  (target <= 0.10, i.e. at least 10x faster)"
stats=$("$qor" protocols --stats "$in" 2>&1 >/dev/null | grep '^analysis:' || true)
[ -z "$stats" ] || echo "   qor $stats"
