#!/usr/bin/env bash
# Builds Veltrox and runs every test: a normal build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, and a 30-second run of every fuzz target.
# `scripts/test.sh --quick` runs only the first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

presets=(default asan)
[[ "${1:-}" == "--quick" ]] && presets=(default)

for preset in "${presets[@]}"; do
  echo "== ${preset}: configure and build" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== ${preset}: tests" >&2
  ctest --preset "$preset" -j2
done

if [[ "${1:-}" != "--quick" ]]; then
  echo "== fuzz: 30 seconds per target" >&2
  scripts/fuzz.sh 30
fi
