#!/usr/bin/env bash
# Plain HTTP through the engine (efd.dll with a hook that leaves no edit)
# against the same load sent direct, through mitmproxy 8 and through Whistle,
# in one run on loopback: small keep-alive responses and 1 MiB responses.
# Writes the table into README.md between the result markers.
#   bench/proxy/run.sh [seconds per load, default 10]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
seconds="${1:-10}"
threads=2
connections=32

# --- what the benchmark needs ------------------------------------------------
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
need=()
command -v wrk >/dev/null || need+=(wrk)
command -v nginx >/dev/null || need+=(nginx-light)
command -v mitmdump >/dev/null || need+=(mitmproxy)
command -v npm >/dev/null || need+=(npm)
if [[ ${#need[@]} -gt 0 ]]; then
  "${sudo[@]}" apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
command -v w2 >/dev/null || "${sudo[@]}" npm install -g whistle >/dev/null 2>&1

cd "$root"
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target bench_efd_host veltrox_engine >/dev/null
efd="$root/build/support/efd.dll"
host="$root/build/bench/proxy/bench_efd_host"

work="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [[ -f "$work/nginx.pid" ]] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  sleep 0.5
  rm -rf "$work"
}
trap cleanup EXIT

origin_port=18180
efd_port=18181
mitm_port=18182
whistle_port=18183

# --- the origin: nginx on loopback -------------------------------------------
mkdir -p "$work/www" "$work/nginx"
head -c 1048576 /dev/zero | tr '\0' 'x' > "$work/www/big"
chmod 755 "$work" "$work/www"  # nginx's workers run as another user
chmod 644 "$work/www/big"
cat > "$work/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $work/nginx; proxy_temp_path $work/nginx; fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx; scgi_temp_path $work/nginx;
  keepalive_requests 1000000;
  server {
    listen 127.0.0.1:$origin_port;
    root $work/www;
    location = /small { default_type text/plain; return 200 "hello, world\n"; }
  }
}
CONF
nginx -c "$work/nginx.conf"
sleep 0.3

wait_port() {
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on $1" >&2
  return 1
}

descendants() {  # pid -> the pid and every process below it
  local p
  echo "$1"
  for p in $(pgrep -P "$1" 2>/dev/null || true); do descendants "$p"; done
}

# Peak resident memory (VmHWM) of a process and all below it, in MiB.
peak_mib() {
  local total=0 p
  for p in $(descendants "$1"); do
    local kb
    kb=$(awk '/VmHWM/ {print $2}' "/proc/$p/status" 2>/dev/null || echo 0)
    total=$((total + ${kb:-0}))
  done
  awk -v k="$total" 'BEGIN { printf "%.0f", k / 1024 }'
}

# The process that listens on a port, for proxies whose first process hands
# the work to others.
listener_pid() {
  ss -ltnpH "sport = :$1" 2>/dev/null | grep -o 'pid=[0-9]*' | head -1 | cut -d= -f2
}

start_proxy() {  # name -> pid of the proxy
  case "$1" in
    efd) "$host" "$efd" "$efd_port" >/dev/null & ;;
    efd-nohook) "$host" "$efd" "$efd_port" --no-hook >/dev/null & ;;
    mitmproxy) mitmdump -q --listen-host 127.0.0.1 -p "$mitm_port" --set stream_large_bodies=10m \
                 --set confdir="$work/mitm" >/dev/null 2>&1 & ;;
    whistle) w2 run -H 127.0.0.1 -p "$whistle_port" -D "$work/whistle" >/dev/null 2>&1 & ;;
  esac
  local pid=$!
  pids+=("$pid")
  case "$1" in
    efd | efd-nohook) wait_port "$efd_port" ;;
    mitmproxy) wait_port "$mitm_port" ;;
    whistle) wait_port "$whistle_port" ;;
  esac
  echo "$pid"
}

to_ms() {  # "1.23ms" / "850.00us" / "1.2s" -> milliseconds
  awk -v v="$1" 'BEGIN {
    if (v ~ /us$/) { sub(/us$/, "", v); printf "%.3f", v / 1000 }
    else if (v ~ /ms$/) { sub(/ms$/, "", v); printf "%.3f", v }
    else if (v ~ /s$/) { sub(/s$/, "", v); printf "%.3f", v * 1000 }
    else printf "%s", v }'
}

# run_load <name> <port or ""> <path> -> "rps p50 p99 errors"
run_load() {
  local name=$1 port=$2 path=$3 out
  local url="http://127.0.0.1:$origin_port$path"
  if [[ -z "$port" ]]; then
    wrk -t$threads -c$connections -d2s "$url" >/dev/null 2>&1 || true
    out=$(wrk -t$threads -c$connections -d"${seconds}s" --latency "$url")
  else
    BENCH_TARGET="$url" wrk -t$threads -c$connections -d2s -s "$here/absolute.lua" "http://127.0.0.1:$port" \
      >/dev/null 2>&1 || true
    out=$(BENCH_TARGET="$url" wrk -t$threads -c$connections -d"${seconds}s" --latency -s "$here/absolute.lua" \
      "http://127.0.0.1:$port")
  fi
  echo "$out" > "$work/wrk-$name-${path#/}.txt"
  local rps p50 p99 errors
  rps=$(echo "$out" | awk '/Requests\/sec/ {print $2}')
  p50=$(to_ms "$(echo "$out" | awk '$1 == "50%" {print $2}')")
  p99=$(to_ms "$(echo "$out" | awk '$1 == "99%" {print $2}')")
  errors=$(echo "$out" | awk '/Non-2xx|Socket errors/ {print}' | tr '\n' ' ')
  echo "$rps $p50 $p99 ${errors:-none}"
}

declare -A rps p50 p99 mem errs
for path in /small /big; do
  read -r r a b e <<<"$(run_load direct "" "$path")"
  rps[direct$path]=$r p50[direct$path]=$a p99[direct$path]=$b errs[direct$path]=$e
  mem[direct$path]=$(peak_mib "$(cat "$work/nginx.pid")")
  for name in efd efd-nohook mitmproxy whistle; do
    pid=$(start_proxy "$name")
    sleep 1
    case "$name" in efd | efd-nohook) port=$efd_port ;; mitmproxy) port=$mitm_port ;; whistle) port=$whistle_port ;; esac
    read -r r a b e <<<"$(run_load "$name" "$port" "$path")"
    rps[$name$path]=$r p50[$name$path]=$a p99[$name$path]=$b errs[$name$path]=$e
    tree=$(descendants "$pid")
    listener=$(listener_pid "$port")
    mem[$name$path]=$(peak_mib "$pid")
    if [[ -n "$listener" ]] && ! grep -qx "$listener" <<<"$tree"; then
      mem[$name$path]=$(( ${mem[$name$path]} + $(peak_mib "$listener") ))
      tree="$tree $(descendants "$listener")"
    fi
    if [[ "$name" == efd && "$path" == /small ]]; then
      idle=$(python3 "$here/idle_clients.py" "$efd_port" "http://127.0.0.1:$origin_port/small" "$pid" 1000)
    fi
    kill $tree 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    sleep 0.5
  done
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "-" }'; }

table="$work/table.md"
{
  echo "Run of $(date -u +%Y-%m-%d\ %H:%M) UTC on $(nproc) cores: wrk -t$threads -c$connections, ${seconds} s per load after a 2 s warm-up, nginx origin on loopback."
  echo
  for path in /small /big; do
    [[ $path == /small ]] && echo "Small keep-alive responses (13 bytes):" || echo "1 MiB responses:"
    echo
    echo "| path | requests/s | x direct | p50 ms | p99 ms | p99 x direct | peak RSS MiB | errors |"
    echo "|---|---|---|---|---|---|---|---|"
    for name in direct efd efd-nohook mitmproxy whistle; do
      label=$name
      [[ $name == efd ]] && label="efd.dll (Veltrox)"
      [[ $name == efd-nohook ]] && label="efd.dll without a hook"
      [[ $name == direct ]] && label="direct (nginx itself)"
      echo "| $label | ${rps[$name$path]} | $(ratio "${rps[$name$path]}" "${rps[direct$path]}") | ${p50[$name$path]} | ${p99[$name$path]} | $(ratio "${p99[$name$path]}" "${p99[direct$path]}") | ${mem[$name$path]} | ${errs[$name$path]} |"
    done
    echo
  done
  echo "efd.dll against mitmproxy, small responses: $(ratio "${rps[efd/small]}" "${rps[mitmproxy/small]}")x the requests/s."
  echo
  echo "Idle connections: $idle."
} > "$table"
cat "$table"

readme="$here/README.md"
if grep -q '<!-- results -->' "$readme"; then
  awk -v table="$table" '
    /<!-- results -->/ { print; while ((getline line < table) > 0) print line; skip = 1; next }
    /<!-- \/results -->/ { skip = 0 }
    !skip { print }' "$readme" > "$readme.new" && mv "$readme.new" "$readme"
fi
