#!/bin/bash
# Times the qor commands users run against tcpdump, capinfos, tshark and editcap on the same
# files, in one run, with the build users get.
#
# Usage: bench/run.sh [BUILD_DIR]     (make bench: the build `make demo` and `make install` give)
# Environment: BENCH_RUNS (runs per tool, default 5), BENCH_PACKETS (default 1000000),
# BENCH_SESSION_RUNS (runs per tool of the rows against tshark on the access and TLS captures,
# default 3).
#
# Every comparison alternates the tools (qor, other, qor, other, ...), each run after `sync`,
# and prints the median wall time and the median peak RSS (/usr/bin/time -f '%e %M') of each,
# then the ratio and the target. Captures are made once by tools/gencap.py (deterministic) into
# bench/data/.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
data="$here/data"
qor="$build/bin/qor"
[ -x "$qor" ] || qor="$root/$build/bin/qor"
[ -x "$qor" ] || { echo "bench: no qor at $qor (run make build first)" >&2; exit 1; }
export QOR_BUILTIN_PLUGINS_DIR="$(dirname "$qor")/../lib/qor/PlugIns"
runs=${BENCH_RUNS:-5}
packets=${BENCH_PACKETS:-1000000}
mkdir -p "$data"

make_capture() { # FILE PACKETS FORMAT MIX
  [ -s "$1" ] || python3 "$root/tools/gencap.py" --packets "$2" --format "$3" --seed 7 --mix "$4" --out "$1"
}
pcap="$data/bench-$packets.pcap"
pcapng="$data/bench-$packets.pcapng"
make_capture "$pcap" "$packets" pcap default
make_capture "$pcapng" "$packets" pcapng default

timing=$(mktemp)
trap 'rm -f "$timing" /tmp/qor-bench-x.pcapng /tmp/qor-bench-y.pcapng' EXIT

# one CMDLINE: one run of a shell command line (its output discarded), after sync: "SECONDS KIB".
one() {
  sync
  /usr/bin/time -o "$timing" -f '%e %M' sh -c "$1 >/dev/null 2>&1" || true
  tail -1 "$timing"
}
median() { sort -n | awk '{a[NR]=$1} END{ if (NR%2) print a[(NR+1)/2]; else printf "%.2f\n", (a[NR/2]+a[NR/2+1])/2 }'; }
ratio() { awk "BEGIN{ if ($2 > 0) printf \"%.3f\", $1 / $2; else print \"n/a\" }"; }

# compare TITLE TARGET QOR_CMDLINE OTHER_LABEL OTHER_CMDLINE: alternating runs, medians, ratio.
# Leaves the medians in q_t q_m o_t o_m.
compare() {
  local title=$1 target=$2 qcmd=$3 olabel=$4 ocmd=$5 qt=() qm=() ot=() om=() r
  for ((i = 0; i < runs; i++)); do
    r=$(one "$qcmd"); qt+=("${r% *}"); qm+=("${r#* }")
    r=$(one "$ocmd"); ot+=("${r% *}"); om+=("${r#* }")
  done
  q_t=$(printf '%s\n' "${qt[@]}" | median); q_m=$(printf '%s\n' "${qm[@]}" | median)
  o_t=$(printf '%s\n' "${ot[@]}" | median); o_m=$(printf '%s\n' "${om[@]}" | median)
  echo "== $title"
  printf '   %-62s %9s s %10s KiB   (runs: %s)\n' "$qcmd" "$q_t" "$q_m" "${qt[*]}"
  printf '   %-62s %9s s %10s KiB   (runs: %s)\n' "$olabel" "$o_t" "$o_m" "${ot[*]}"
  echo "   time qor/other: $(ratio "$q_t" "$o_t") ($(ratio "$o_t" "$q_t")x faster)   memory qor/other: $(ratio "$q_m" "$o_m")   target: $target"
}

# alone CMDLINE: runs of one command with nothing to alternate with; leaves the medians in s_t
# s_m and the times of the runs in s_runs.
alone() {
  local t=() m=() r
  for ((i = 0; i < runs; i++)); do r=$(one "$1"); t+=("${r% *}"); m+=("${r#* }"); done
  s_t=$(printf '%s\n' "${t[@]}" | median); s_m=$(printf '%s\n' "${m[@]}" | median); s_runs="${t[*]}"
}

fields="-e frame.number -e frame.time_epoch -e frame.len -e frame.cap_len -e frame.protocols -e ip.src -e ip.dst \
-e tcp.srcport -e tcp.dstport -e udp.srcport -e udp.dstport -e _ws.col.Info"
echo "qor: $qor ($(file -b "$qor" | cut -d, -f1-2)); $packets packets; $runs alternating runs per tool; medians"
echo

for f in "$pcap" "$pcapng"; do
  compare "Reading ($(basename "$f")): qor info vs tcpdump" "time ratio <= 1.0" "$qor info $f" \
    "tcpdump -r $f -w /dev/null" "tcpdump -r $f -w /dev/null"
  [ "$f" = "$pcap" ] && info_m=$q_m
  c=$(one "capinfos $f")
  echo "   capinfos $f: ${c% *} s (capinfos/qor info: $(ratio "${c% *}" "$q_t"))"
done
echo

compare "Listing: qor packets vs tshark" "at least 10x faster; qor memory within 10% of qor info" \
  "$qor packets $pcap" "tshark -n -r $pcap" "tshark -n -r $pcap"
packets_m=$q_m
echo "   qor packets peak / qor info peak on the same file: $(ratio "$packets_m" "$info_m") (target <= 1.10)"
compare "Listing as JSON: qor packets --json vs tshark -T fields (the same fields)" "at least 5x faster" \
  "$qor packets --json $pcap" "tshark -T fields ..." "tshark -n -r $pcap -T fields $fields"
echo

compare "Filtering: qor packets -Y --count vs tshark -Y | wc -l" "at least 10x faster" \
  "$qor packets $pcap -Y 'srcPort == 443 OR dstPort == 443' --count" "tshark -Y 'tcp.port == 443' -T fields -e frame.number | wc -l" \
  "tshark -n -r $pcap -Y 'tcp.port == 443' -T fields -e frame.number | wc -l"
echo "   matches: qor $("$qor" packets "$pcap" -Y 'srcPort == 443 OR dstPort == 443' --count), tshark $(tshark -n -r "$pcap" -Y 'tcp.port == 443' -T fields -e frame.number 2>/dev/null | grep -vc '^Running')"
if [ -x "$(dirname "$qor")/qor_bench" ]; then
  echo "== Re-filtering an analysed list on one core (PacketFilterEngine::apply; target >= 10 M evaluations/s for two comparisons)"
  QOR_BENCH_CAPTURE="$pcap" "$(dirname "$qor")/qor_bench" --benchmark_filter=reFilter --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>/dev/null |
    awk '/_median/ {print "   " $1 ": " $(NF-1) " " $NF}' | sed 's/items_per_second=//'
fi
echo

compare "Kept analysis: qor protocols vs tshark -n -r F (peak memory compared)" "qor peak <= 60% of tshark's" \
  "$qor protocols $pcap" "tshark -n -r $pcap" "tshark -n -r $pcap"
stats=$("$qor" protocols --stats "$pcap" 2>&1 >/dev/null | grep '^analysis:' || true)
[ -z "$stats" ] || echo "   qor $stats"
alone "taskset -c 0 $qor protocols $pcap"
echo "== One core: taskset -c 0 qor protocols: $s_t s, $s_m KiB = $(awk "BEGIN{printf \"%.2f\", $packets / $s_t / 1e6}") M packets/s (target >= 1.8)   (runs: $s_runs)"
echo

compare "Protocol statistics: qor stats vs tshark -z io,phs" "at least 20x faster; qor peak <= 50% of tshark's" \
  "$qor stats $pcap" "tshark -n -q -r F -z io,phs" "tshark -n -q -r $pcap -z io,phs"
echo

# Each run writes a new file: the last run's output is removed first, inside the timed command.
# editcap truncates an existing output and refills the page cache it just freed, while qor
# writes beside the old file and renames over it, freeing the old file's cache only at the end;
# on a virtual machine whose host takes freed memory back, the next run's page cache then costs
# host faults, and alternating runs measured up to 6 s for a 0.5 s export.
compare "Export to pcapng: qor export vs editcap -F pcapng" "time ratio <= 1.0" \
  "rm -f /tmp/qor-bench-x.pcapng; $qor export $pcap /tmp/qor-bench-x.pcapng" "editcap -F pcapng" \
  "rm -f /tmp/qor-bench-y.pcapng; editcap -F pcapng $pcap /tmp/qor-bench-y.pcapng"
echo "   packets written: qor $(capinfos -c -M /tmp/qor-bench-x.pcapng | awk '/Number of packets/{print $NF}'), editcap $(capinfos -c -M /tmp/qor-bench-y.pcapng | awk '/Number of packets/{print $NF}')"
echo

compare "Streams: qor streams vs tshark -z conv,tcp" "at least 10x faster" \
  "$qor streams $pcap" "tshark -n -q -r F -z conv,tcp" "tshark -n -q -r $pcap -z conv,tcp"
echo "   conversations: qor $("$qor" streams --json "$pcap" | wc -l), tshark $(tshark -n -q -r "$pcap" -z conv,tcp 2>/dev/null | grep -c '<->')"
alone "$qor follow $pcap 0"
echo "== Following: qor follow F 0 > /dev/null: $s_t s, $s_m KiB   (runs: $s_runs)"
echo

access="$data/bench-access-$packets.pcap"
make_capture "$access" "$packets" pcap access
# The two qor commands take about a second each: their row alternates as many runs as the
# others. tshark takes many seconds per run on this capture: its row alternates at most three
# runs per tool (BENCH_SESSION_RUNS), so that the whole benchmark stays within minutes.
compare "Subscriber sessions: qor sessions vs qor protocols on an access-network capture" "time ratio <= 1.5" \
  "$qor sessions $access" "qor protocols $access" "$qor protocols $access"
all_runs=$runs
runs=$(( ${BENCH_SESSION_RUNS:-3} < runs ? ${BENCH_SESSION_RUNS:-3} : runs ))
# tshark 4.0 names the session and tunnel fields pppoe.session_id and l2tp.tunnel (it refuses
# pppoes.session_id and l2tp.tunnel_id, and would stop before reading the file).
compare "Subscriber sessions: qor sessions vs tshark listing the access packets (tshark has no session view)" \
  "at least 10x faster" "$qor sessions $access" "tshark -Y 'pppoed || pppoes || l2tp || radius' -T fields ..." \
  "tshark -n -r $access -Y 'pppoed || pppoes || l2tp || radius' -T fields -e frame.number -e pppoe.session_id -e l2tp.tunnel -e radius.code"
echo "   sessions: $("$qor" sessions "$access" | tail -1)"
runs=$all_runs
echo

# About 19 packets per session: 1,900,000 packets hold about 100,000 TLS sessions.
tls_packets=${BENCH_TLS_PACKETS:-1900000}
tls="$data/bench-tls-$tls_packets.pcap"
make_capture "$tls" "$tls_packets" pcap tls
runs=$(( ${BENCH_SESSION_RUNS:-3} < runs ? ${BENCH_SESSION_RUNS:-3} : runs ))
compare "TLS sessions: qor tls vs tshark listing ClientHello randoms" "at least 10x faster" \
  "$qor tls $tls" "tshark -Y tls.handshake.type==1 -T fields -e tls.handshake.random" \
  "tshark -n -r $tls -Y tls.handshake.type==1 -T fields -e tls.handshake.random"
echo "   sessions: qor $("$qor" tls --json "$tls" | python3 -c 'import json,sys; print(json.load(sys.stdin)["summary"])'), tshark ClientHellos $(tshark -n -r "$tls" -Y tls.handshake.type==1 -T fields -e tls.handshake.random 2>/dev/null | grep -vc '^Running')"
alone "$qor tls --keylog $tls.keys.txt --decrypt $tls"
echo "== TLS sessions with the key log, every session probed: qor tls --keylog K --decrypt: $s_t s, $s_m KiB   (runs: $s_runs)"
runs=$all_runs
if [ -x "$(dirname "$qor")/qor_bench" ]; then
  echo "== Decrypting application data on one core (AES-128-GCM, 16 KiB records; target >= half of openssl speed)"
  taskset -c 0 "$(dirname "$qor")/qor_bench" --benchmark_filter=TLS --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>/dev/null |
    awk '/_median/ {print "   " $1 ": " $(NF-1) " " $NF}' | sed 's/bytes_per_second=//'
  taskset -c 0 openssl speed -elapsed -seconds 3 -bytes 16384 -evp aes-128-gcm 2>/dev/null | awk '/^AES-128-GCM/ {print "   openssl speed -evp aes-128-gcm, 16384-byte blocks: " $NF}'
fi
echo

# Live capture under load, when this machine may capture (bench/capture.sh says how).
if [ -x "$(dirname "$qor")/qor_udp_flood" ]; then
  "$here/capture.sh" "$build" || echo "== Live capture: skipped (capture failed; it needs CAP_NET_RAW)"
fi
