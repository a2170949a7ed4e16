#!/usr/bin/env bash
# Takes a screenshot of the real window under Xvfb (with a CJK font) and writes
# it to docs/main-window.png. Usage: scripts/screenshot.sh [output.png]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs/main-window.png}")
scripts/setup.sh
extra=()
command -v import >/dev/null || extra+=(imagemagick)
command -v xwininfo >/dev/null || extra+=(x11-utils)
if [[ ${#extra[@]} -gt 0 ]]; then
  sudo=(); [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${extra[@]}" >/dev/null
fi
cmake --preset default >/dev/null
cmake --build --preset default --target veltrox

# The program writes next to itself, so it runs from a scratch folder with a
# few sample rules.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp build/bin/veltrox "$work/"
printf '[user]\r\ndata=http://localhost:5173/api/user----https://api.example.com/v1/user|http://localhost:5173/api/list----https://api.example.com/v1/list|\r\n' >"$work/p.ini"

XDG_DATA_HOME="$work/data" HOME="$work" xvfb-run -a -s "-screen 0 1024x600x24" bash -c '
  set -euo pipefail
  "$1/veltrox" & pid=$!
  for _ in $(seq 100); do
    id=$(xwininfo -root -tree | awk "/Veltrox/ {print \$1; exit}")
    [[ -n "$id" ]] && break
    sleep 0.1
  done
  [[ -n "${id:-}" ]] || { echo "screenshot: the window did not appear" >&2; kill $pid; exit 1; }
  sleep 1.5
  import -window "$id" "$2"
  kill $pid
' _ "$work" "$out"
echo "screenshot: $out"
