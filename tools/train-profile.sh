#!/bin/bash
# Runs the commands users run, with the tool of an instrumented build, so that the build users
# get is compiled with the profile they leave (see QOR_PROFILE in CMakeLists.txt).
#
# Usage: tools/train-profile.sh BUILD_DIR PROFILE_DIR
#
# The workload: every capture of tests/fixtures/captures (real traffic of many protocols, and
# damaged files), and captures made by gencap.py with seeds of their own (the benchmarks use
# seed 7): the default mix, its pcapng form, the access mix and the TLS mix with its key log.
# Each is listed, filtered, counted, summarised, split into streams, sessions and TLS sessions,
# and written back out.
# A command that refuses a damaged fixture is part of the workload: failures are not errors
# here, a missing tool is.
set -uo pipefail
build=${1:?usage: tools/train-profile.sh BUILD_DIR PROFILE_DIR}
profile=${2:?usage: tools/train-profile.sh BUILD_DIR PROFILE_DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
qor="$build/bin/qor"
[ -x "$qor" ] || { echo "train-profile: no qor at $qor" >&2; exit 1; }
work="$build/training"
mkdir -p "$work"

capture() { # FILE PACKETS FORMAT MIX SEED
  [ -s "$1" ] || python3 "$root/tools/gencap.py" --packets "$2" --format "$3" --seed "$5" --mix "$4" --out "$1" || exit 1
}
capture "$work/mix.pcap" 150000 pcap default 11
capture "$work/mix.pcapng" 30000 pcapng default 12
capture "$work/access.pcap" 30000 pcap access 13
capture "$work/tls.pcap" 20000 pcap tls 14

run() { "$qor" "$@" >/dev/null 2>&1; }
for f in "$work/mix.pcap" "$work/mix.pcapng" "$root"/tests/fixtures/captures/*; do
  run info "$f"
  run packets "$f"
  run packets --json "$f"
  run packets -Y 'srcPort == 443 OR dstPort == 443' --count "$f"
  run protocols "$f"
  run stats "$f"
  run streams "$f"
  run sessions "$f"
  run tls "$f"
  run export "$f" "$work/export.pcapng"
done
run follow "$work/mix.pcap" 0
run sessions "$work/access.pcap"
run tls "$work/tls.pcap"
run tls --keylog "$work/tls.pcap.keys.txt" --decrypt "$work/tls.pcap"
rm -f "$work/export.pcapng"
# A tool that never loaded its plug-in, or a profile written elsewhere, would leave the build
# compiled without one and nothing said: a library or plug-in that ran leaves counts for each of
# its files, so both must have some.
for target in QORModels StandardAnalyzers; do
  compgen -G "$profile/*#$target.dir#*.gcda" >/dev/null || { echo "train-profile: no counts for $target in $profile" >&2; exit 1; }
done
echo "train-profile: profile written to $profile"
