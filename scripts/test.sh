#!/usr/bin/env bash
# Builds Veltrox and runs every test: a normal build, then an AddressSanitizer +
# UndefinedBehaviorSanitizer build. `scripts/test.sh --quick` skips the second run.
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
