#!/usr/bin/env bash
# Builds Veltrox and starts it. The program writes its support files and p.ini
# next to itself, in build/bin/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target veltrox
exec build/bin/veltrox "$@"
