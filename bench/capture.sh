#!/bin/bash
# Live capture under load: qor_udp_flood sends 100,000 small UDP datagrams a second to 127.0.0.1
# for 5 s while `qor capture -i lo -f 'udp port N'` writes them to a pcapng file; prints what the
# sender sent, what the file holds (capinfos) and libpcap's counters as qor reports them. tcpdump
# runs the same load as the reference.
#
# Usage: bench/capture.sh [BUILD_DIR]   (needs CAP_NET_RAW, for example root; run by bench/run.sh)
# Environment: CAPTURE_RATE (datagrams per second, default 100000), CAPTURE_SECONDS (default 5),
# CAPTURE_PORT (default 47123), CAPTURE_VIA (direct or via-daemon, default direct).
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
bin="$build/bin"
[ -x "$bin/qor" ] || bin="$root/$build/bin"
for tool in qor qor_udp_flood; do
  [ -x "$bin/$tool" ] || { echo "capture bench: no $bin/$tool (build qor and qor_udp_flood)" >&2; exit 1; }
done
rate=${CAPTURE_RATE:-100000}
seconds=${CAPTURE_SECONDS:-5}
port=${CAPTURE_PORT:-47123}
via=${CAPTURE_VIA:-direct}
work=$(mktemp -d)
daemon_pid=
cleanup() { [ -z "$daemon_pid" ] || kill "$daemon_pid" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

if [ "$via" = via-daemon ]; then
  export QOR_CAPTURED_SOCKET="$work/captured.sock"
  "$bin/qor-captured" 2>"$work/daemon.log" & daemon_pid=$!
  for _ in $(seq 100); do [ -S "$QOR_CAPTURED_SOCKET" ] && break; sleep 0.05; done
fi

# run_capture LABEL FILE CMD...: starts the capture, waits for its file, floods, stops it with SIGINT.
run_capture() {
  local label=$1 file=$2; shift 2
  "$@" 2>"$work/$label.err" & local pid=$!
  for _ in $(seq 200); do [ -s "$file" ] && break; sleep 0.05; done
  sleep 0.2
  local sent; sent=$("$bin/qor_udp_flood" "$port" "$rate" "$seconds")
  sleep 1
  kill -INT "$pid"; wait "$pid" || true
  local written; written=$(capinfos -c -M "$file" 2>/dev/null | awk '/Number of packets/{print $NF}')
  echo "   $label: $sent; $written packets in the file"
  sed 's/^/      /' "$work/$label.err" | grep -E 'packets (captured|received|dropped)' || true
}

echo "== Live capture: $rate UDP datagrams/s to 127.0.0.1:$port for $seconds s (qor $via)"
run_capture "qor capture" "$work/qor.pcapng" "$bin/qor" capture "--$via" -i lo -f "udp port $port" -w "$work/qor.pcapng"
if command -v tcpdump >/dev/null; then
  run_capture "tcpdump" "$work/tcpdump.pcap" tcpdump -i lo -n -U -w "$work/tcpdump.pcap" "udp port $port"
fi
