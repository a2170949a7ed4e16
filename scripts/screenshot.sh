#!/usr/bin/env bash
# Screenshots of the real window under Xvfb (with a CJK font), written to docs/:
#   main-window.png  the window as it opens, with two sample rules
#   running.png      after adding a rule, starting the service and sending a
#                    request through it that the rule rewrites
set -euo pipefail
cd "$(dirname "$0")/.."
docs=$(realpath docs)
scripts/setup.sh
extra=()
command -v import >/dev/null || extra+=(imagemagick)
if [[ ${#extra[@]} -gt 0 ]]; then
  sudo=(); [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${extra[@]}" >/dev/null
fi
cmake --preset default >/dev/null
cmake --build --preset default --target veltrox

# The program writes next to itself, so it runs from a scratch folder with a
# few sample rules, a private HOME and GNOME settings in a key file.
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
cp build/bin/veltrox "$work/"
printf '[user]\r\ndata=http://localhost:5173/api/user----https://api.example.com/v1/user|http://localhost:5173/api/list----https://api.example.com/v1/list|\r\n' >"$work/p.ini"
mkdir -p "$work/site/api" && echo '{"from":"the remote API"}' >"$work/site/api/data.json"
(cd "$work/site" && python3 -m http.server 18741 --bind 127.0.0.1 >/dev/null 2>&1) &

export HOME="$work/home" XDG_DATA_HOME="$work/home/data" XDG_CONFIG_HOME="$work/home/config" GSETTINGS_BACKEND=keyfile
xvfb-run -a -s "-screen 0 1024x600x24" bash -c '
  set -euo pipefail
  "$1/veltrox" & pid=$!
  for _ in $(seq 100); do
    id=$(xdotool search --onlyvisible --name "Veltrox工具" 2>/dev/null | head -1 || true)
    [[ -n "$id" ]] && break
    sleep 0.1
  done
  [[ -n "${id:-}" ]] || { echo "screenshot: the window did not appear" >&2; kill $pid; exit 1; }
  eval "$(xdotool getwindowgeometry --shell "$id")"
  at() { xdotool mousemove $((X + $1)) $((Y + $2)) click 1; sleep 0.2; }
  fill() { at "$1" "$2"; xdotool key ctrl+a; xdotool type --delay 5 "$3"; }
  sleep 1.5
  import -window "$id" "$2/main-window.png"

  fill 721 93 "http://127.0.0.1:18741/api/user"
  fill 721 125 "http://127.0.0.1:18741/api/data.json"
  at 698 172
  fill 717 248 "18742"
  at 696 284
  sleep 1
  curl -s -x http://127.0.0.1:18742 http://127.0.0.1:18741/api/user >/dev/null || true
  sleep 1
  at 300 400
  import -window "$id" "$2/running.png"
  kill $pid
' _ "$work" "$docs"
echo "screenshot: $docs/main-window.png $docs/running.png"
