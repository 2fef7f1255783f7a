#!/bin/sh
# Benchmarks qor against tcpdump, capinfos, tshark and editcap on the same files, in one run.
# Usage: bench/run.sh BUILD_DIR   (make bench builds BUILD_DIR in release mode first)
#
# Captures are made once by tools/gencap.py (deterministic) into bench/data/.
set -eu
build=${1:-build-release}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
data="$here/data"
qor="$build/bin/qor"
[ -x "$qor" ] || qor="$root/$build/bin/qor"
export QOR_BUILTIN_PLUGINS_DIR="$(dirname "$qor")/../lib/qor/PlugIns"
mkdir -p "$data"

make_capture() { # FILE PACKETS FORMAT MIX
  [ -s "$1" ] || python3 "$root/tools/gencap.py" --packets "$2" --format "$3" --seed 7 --mix "$4" --out "$1"
}
make_capture "$data/bench-1m.pcap" 1000000 pcap default
make_capture "$data/bench-1m.pcapng" 1000000 pcapng default
make_capture "$data/access-200k.pcapng" 200000 pcapng access

# measure LABEL CMD...: runs the command three times, keeps the best wall time and its peak RSS.
measure() {
  label=$1; shift
  best=""
  tf=$(mktemp)
  for i in 1 2 3; do
    /usr/bin/time -o "$tf" -f '%e %M' "$@" >/dev/null 2>/dev/null || true
    out=$(tail -1 "$tf")
    t=${out% *}; m=${out#* }
    if [ -z "$best" ] || awk "BEGIN{exit !($t < ${best% *})}"; then best="$t $m"; fi
  done
  rm -f "$tf"
  echo "$best"
}

ratio() { awk "BEGIN{ if ($2 > 0) printf \"%.2f\", $1 / $2; else print \"n/a\" }"; }

echo "== Reading 1,000,000 packets (qor info) vs tcpdump -r F -w /dev/null and capinfos F"
printf '%-10s %-26s %10s %12s %16s\n' format tool seconds "peak KiB" "bytes/packet*"
for f in "$data/bench-1m.pcap" "$data/bench-1m.pcapng"; do
  fmt=${f##*.}
  q=$(measure qor "$qor" info "$f")
  t=$(measure tcpdump tcpdump -r "$f" -w /dev/null)
  c=$(measure capinfos capinfos "$f")
  # qor reads headers through a window and leaves the packet bytes unmapped until used, so none
  # of the file is in its peak RSS: all of that RSS counts as memory beyond the file.
  perpkt=$(awk "BEGIN{ printf \"%.0f\", (${q#* } * 1024) / 1000000 }")
  printf '%-10s %-26s %10s %12s %16s\n' "$fmt" "qor info" "${q% *}" "${q#* }" "$perpkt"
  printf '%-10s %-26s %10s %12s\n' "$fmt" "tcpdump -r -w /dev/null" "${t% *}" "${t#* }"
  printf '%-10s %-26s %10s %12s\n' "$fmt" "capinfos" "${c% *}" "${c#* }"
  echo "   ratio qor/tcpdump: $(ratio "${q% *}" "${t% *}")  (target <= 1.0)   capinfos/qor: $(ratio "${c% *}" "${q% *}")  (target >= 3.0)"
done
echo "   * qor's whole peak RSS per packet, none of it the file's pages (target: beyond the file's size <= 300)"

for extra in analysis.sh export.sh; do
  if [ -x "$here/$extra" ]; then
    echo
    "$here/$extra" "$data/bench-1m.pcap" "$qor"
  fi
done
if [ -x "$here/analysis.sh" ]; then
  echo
  echo "== Access-network mix (200,000 packets)"
  "$here/analysis.sh" "$data/access-200k.pcapng" "$qor"
fi
