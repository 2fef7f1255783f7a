#!/bin/sh
# Runs every libFuzzer target of a fuzz build for a few seconds each, seeded from its corpus
# folder and the capture fixtures. Usage: fuzz/run.sh BUILD_DIR SECONDS
set -eu
build=$1
seconds=${2:-20}
here=$(cd "$(dirname "$0")" && pwd)
export QOR_BUILTIN_PLUGINS_DIR="$build/lib/qor/PlugIns"
status=0
for exe in "$build"/bin/fuzz_*; do
  name=$(basename "$exe" | sed 's/^fuzz_//')
  work=$(mktemp -d)
  mkdir -p "$here/corpus/$name"
  echo "== $name ($seconds s)"
  if ! "$exe" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 -timeout=10 \
       -artifact_prefix="$work/" "$work" "$here/corpus/$name" "$here/../tests/fixtures/captures" 2>"$work/log"; then
    echo "FAILED: $name; reproducer and log in $work"; tail -30 "$work/log"; status=1
  else
    grep -E '^(#[0-9]+.*DONE|Done)' "$work/log" | tail -1 || true
    rm -rf "$work"
  fi
done
exit $status
