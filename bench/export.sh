#!/bin/sh
# Exporting a capture to pcapng: qor export against editcap -F pcapng on the same file.
# Usage: bench/export.sh IN [QOR]   (QOR defaults to build-release/bin/qor)
#
# Prints the best of five wall times and the peak RSS of each tool (/usr/bin/time -f '%e %M'),
# then the ratio qor/editcap (target <= 1.0). Outputs go to /tmp/x.pcapng and /tmp/y.pcapng and
# are removed afterwards; both are checked with capinfos for the same packet count.
# The two tools take turns, and every run starts after `sync`, so that neither pays for the
# write-back of the other's 600 MB output (on a shared virtual disk that write-back otherwise
# swings single runs by a factor of two).
set -eu
in=$1
here=$(cd "$(dirname "$0")" && pwd)
qor=${2:-$here/../build-release/bin/qor}
[ -x "$qor" ] || { echo "export.sh: no qor binary at $qor" >&2; exit 1; }
command -v editcap >/dev/null || { echo "export.sh: editcap not installed" >&2; exit 1; }
out_qor=/tmp/x.pcapng
out_editcap=/tmp/y.pcapng

# measure CMD...: best wall time of three runs and that run's peak RSS, as "SECONDS KIB".
# (time writes to its own file: the command's output and errors are discarded.)
# run CMD...: one run after sync, as "SECONDS KIB"; best A B: the faster of two such results.
run() {
  stats=$(mktemp)
  sync
  /usr/bin/time -f '%e %M' -o "$stats" "$@" >/dev/null 2>&1 || true
  tail -1 "$stats"
  rm -f "$stats"
}
best() {
  if [ -z "$1" ] || awk "BEGIN{exit !(${2% *} < ${1% *})}"; then echo "$2"; else echo "$1"; fi
}

packets() { capinfos -c -M "$1" 2>/dev/null | awk -F: '/Number of packets/ {gsub(/ /, "", $2); print $2}'; }

q=""
e=""
for i in 1 2 3 4 5; do
  q=$(best "$q" "$(run "$qor" export "$in" "$out_qor")")
  e=$(best "$e" "$(run editcap -F pcapng "$in" "$out_editcap")")
done
nq=$(packets "$out_qor")
ne=$(packets "$out_editcap")

echo "== Exporting $(basename "$in") to pcapng: qor export vs editcap -F pcapng"
printf '%-24s %10s %12s %10s\n' tool seconds "peak KiB" packets
printf '%-24s %10s %12s %10s\n' "qor export" "${q% *}" "${q#* }" "$nq"
printf '%-24s %10s %12s %10s\n' "editcap -F pcapng" "${e% *}" "${e#* }" "$ne"
awk "BEGIN{ if (${e% *} > 0) printf \"   ratio qor/editcap: %.2f  (target <= 1.0)\n\", ${q% *} / ${e% *}; else print \"   ratio qor/editcap: n/a\" }"
[ "$nq" = "$ne" ] || echo "   WARNING: packet counts differ ($nq vs $ne)"
rm -f "$out_qor" "$out_editcap"
