#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for the
# given number of seconds (default 30) on a copy of its seed corpus in
# fuzz/corpus/<target>/. Fails when any target finds a crash; the input that
# crashed is kept in build-fuzz/crashes/.
#   scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  for f in build-fuzz/fuzz/fuzz_*; do targets+=("$(basename "$f" | sed 's/^fuzz_//')"); done
fi
mkdir -p build-fuzz/crashes
failed=0
for t in "${targets[@]}"; do
  work=$(mktemp -d)
  [[ -d fuzz/corpus/$t ]] && cp -r "fuzz/corpus/$t/." "$work/"
  if build-fuzz/fuzz/fuzz_$t -max_total_time="$seconds" -print_final_stats=1 \
       -artifact_prefix=build-fuzz/crashes/$t- "$work" >"build-fuzz/$t.log" 2>&1; then
    runs=$(awk '/stat::number_of_executed_units/ {print $2}' "build-fuzz/$t.log")
    echo "fuzz $t: ${runs:-?} runs in ${seconds}s, no crash"
  else
    echo "fuzz $t: CRASH, see build-fuzz/$t.log and build-fuzz/crashes/" >&2
    tail -30 "build-fuzz/$t.log" >&2
    failed=1
  fi
  rm -rf "$work"
done
exit $failed
