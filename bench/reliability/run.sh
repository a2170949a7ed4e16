#!/usr/bin/env bash
# The engine (efd.dll as the program loads it, with a hook that leaves no
# edit) under three loads on loopback, against an nginx origin:
#   hold      10,000 kept-alive client connections open at once, a request on
#             each before and after they are all open;
#   soak      a steady mixed load for minutes, the engine's resident memory
#             read every minute;
#   download  1 GiB through the engine, its peak resident memory and speed.
# Prints a table and, when all three ran, writes it into README.md between
# the result markers.
#   bench/reliability/run.sh [--only hold|soak|download] [--minutes N]
#                            [--connections N] [--rate requests/s]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"

only=""
minutes=10
connections=10000
rate=1000
workers=32
while [[ $# -gt 0 ]]; do
  case "$1" in
    --only) only=$2; shift 2 ;;
    --minutes) minutes=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    *) echo "usage: $0 [--only hold|soak|download] [--minutes N] [--connections N] [--rate requests/s]" >&2; exit 2 ;;
  esac
done
runs() { [[ -z "$only" || "$only" == "$1" ]]; }

# Resident memory may grow by this much from minute 1 to the last minute of
# the soak. At 1,000 requests/s a leak of 8 bytes a request would pass it in
# ten minutes; an allocator settling its arenas stays well inside it.
soak_bound_mib=4
# Peak resident memory of the engine while 1 GiB streams through it.
download_bound_mib=100

# --- what the benchmark needs ------------------------------------------------
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
need=()
command -v nginx >/dev/null || [[ -x /usr/sbin/nginx ]] || need+=(nginx-light)
command -v curl >/dev/null || need+=(curl)
if [[ ${#need[@]} -gt 0 ]]; then
  "${sudo[@]}" apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
nginx=$(command -v nginx || echo /usr/sbin/nginx)

cd "$root"
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target veltrox_engine bench_efd_host bench_load_client >/dev/null
efd="$root/build/support/efd.dll"
host="$root/build/bench/proxy/bench_efd_host"
client="$root/build/bench/reliability/bench_load_client"

# --- descriptors -------------------------------------------------------------
# Every client connection is two descriptors in the engine (the client's and
# the one to the origin while a request is under way), one in the client and
# one in nginx. Raise the soft limit to the hard one, and the hard one first
# when we may and it is too low for that.
needed=$((2 * connections + 1024))
hard=$(ulimit -Hn)
if [[ "$hard" != unlimited && "$hard" -lt "$needed" && $(id -u) -eq 0 ]]; then
  ulimit -Hn "$needed" 2>/dev/null || true
fi
ulimit -Sn "$(ulimit -Hn)"
fd_limit=$(ulimit -Sn)
[[ "$fd_limit" == unlimited ]] && fd_limit=1048576
if runs hold && [[ "$fd_limit" -lt "$needed" ]]; then
  echo "note: descriptor limit $fd_limit is below the $needed that $connections connections need" >&2
fi

work="$(mktemp -d)"
chmod 755 "$work"  # nginx's workers run as another user
pid=""  # the engine now running, if any
cleanup() {
  [[ -n "$pid" ]] && kill "$pid" 2>/dev/null || true
  [[ -f "$work/nginx.pid" ]] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A desktop of the benchmark's own: the engine finds no system proxy to chain to.
export HOME=$work/home XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config GSETTINGS_BACKEND=memory
mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME"
unset http_proxy https_proxy all_proxy no_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY NO_PROXY

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
# The engine leaves sessions whose URL holds "443" unreported; ports must not.
port_without_443() { local p; while p=$(free_port); [[ $p == *443* ]]; do :; done; echo "$p"; }
wait_port() {
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on $1" >&2
  return 1
}
origin_port=$(port_without_443)
engine_port=$(port_without_443)
origin="127.0.0.1:$origin_port"

# --- the origin: nginx on loopback -------------------------------------------
mkdir -p "$work/www" "$work/nginx"
head -c 65536 /dev/zero | tr '\0' 'x' > "$work/www/64k"
truncate -s 1G "$work/www/1g"  # sparse: no disk, the same bytes every time
chmod 755 "$work/www"
chmod 644 "$work/www/64k" "$work/www/1g"
backlog=$(cat /proc/sys/net/core/somaxconn)
cat > "$work/nginx.conf" <<CONF
worker_processes 1;
worker_rlimit_nofile $fd_limit;
pid $work/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections $fd_limit; multi_accept on; }
http {
  access_log off;
  client_body_temp_path $work/nginx; proxy_temp_path $work/nginx; fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx; scgi_temp_path $work/nginx;
  keepalive_requests 1000000;
  keepalive_timeout 600s;
  client_body_buffer_size 128k;
  server {
    listen $origin backlog=$backlog;
    root $work/www;
    location = /small { default_type text/plain; return 200 "hello, world\n"; }
    location = /upload { default_type text/plain; return 200 "stored\n"; }
  }
}
CONF
"$nginx" -c "$work/nginx.conf"
wait_port "$origin_port"

start_engine() {  # [--no-hook]: a fresh engine on $engine_port, its pid in $pid
  "$host" "$efd" "$engine_port" "$@" >/dev/null &
  pid=$!
  wait_port "$engine_port"
}
stop_engine() {
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=""
  # The port is free again before the next engine starts on it.
  for _ in $(seq 1 50); do (exec 3<>"/dev/tcp/127.0.0.1/$engine_port") 2>/dev/null || return 0; sleep 0.1; done
}
field() { awk -F= -v k="$1" '$1 == k { sub(/^[^=]*=/, ""); print; exit }' "$2"; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

table="$work/table.md"
: > "$table"
echo "Run of $(date -u '+%Y-%m-%d %H:%M') UTC on $(nproc) cores (load average $(cut -d' ' -f1-3 /proc/loadavg)), descriptor limit $fd_limit, nginx $("$nginx" -v 2>&1 | sed 's/.*nginx\///') origin on loopback." >> "$table"
echo >> "$table"

# --- 1. many connections held at once ------------------------------------------
if runs hold; then
  declare -A progress
  {
    echo "Held connections: $connections client connections, at most 256 being opened at a time, one request each;"
    echo "all held open 2 s; then a second request on every one at once. Errors are non-200 answers and failed"
    echo "or lost connections."
    echo
    echo "| engine | connections held | first round s | first round requests/s | second round requests/s | RSS held MiB | peak RSS MiB | threads at peak | errors |"
    echo "|---|---|---|---|---|---|---|---|---|"
  } >> "$table"
  for variant in hook no-hook; do
    args=()
    label="efd.dll with the no-edit hook"
    if [[ $variant == no-hook ]]; then args=(--no-hook); label="efd.dll without a hook"; fi
    start_engine "${args[@]}"
    out="$work/hold-$variant.txt"
    "$client" hold "$engine_port" "$origin" "$pid" "$connections" 256 > "$out" 2> "$work/hold-$variant.err"
    stop_engine
    cat "$out" >&2
    echo "| $label | $(field held "$out") of $connections | $(field first_seconds "$out") | $(field first_rps "$out") | $(field second_rps "$out") | $(mib "$(field rss_held_kib "$out")") | $(mib "$(field hwm_kib "$out")") | $(field threads_peak "$out") | $(field errors "$out"): $(field error_causes "$out") |" >> "$table"
    progress[$variant]=$(field first_progress "$out")
  done
  {
    echo
    echo "Seconds until every further 1,000 connections had made their first request:"
    echo
    echo "- with the hook: ${progress[hook]}"
    echo "- without a hook: ${progress[no-hook]}"
    echo
  } >> "$table"
fi

# --- 2. the soak ---------------------------------------------------------------
if runs soak; then
  start_engine
  out="$work/soak.txt"
  "$client" soak "$engine_port" "$origin" "$pid" "$minutes" "$rate" "$workers" 60 > "$out"
  stop_engine
  cat "$out" >&2
  {
    echo "Soak: $minutes min at $rate requests/s planned over $workers client connections; of every 10 requests 7 small"
    echo "kept-alive, 1 on a new connection, 1 a 64 KiB download, 1 a 64 KiB upload. VmRSS of the engine at each minute:"
    echo
    echo "| minute | RSS MiB | threads | requests so far | errors so far |"
    echo "|---|---|---|---|---|"
    awk '/^sample=/ { sub(/^sample=/, ""); printf "| %s | %.1f | %s | %s | %s |\n", $1, $3 / 1024, $4, $5, $6 }' "$out"
    echo
    first=$(awk '/^sample=1 / { print $3 }' "$out")
    last=$(awk '/^sample=/ { v = $3 } END { print v }' "$out")
    growth=$(awk -v a="$first" -v b="$last" 'BEGIN { printf "%.1f", (b - a) / 1024 }')
    held=$(awk -v g="$growth" -v b="$soak_bound_mib" 'BEGIN { print (g <= b && g >= -b) ? "held" : "NOT held" }')
    echo "Requests: $(field requests "$out") in $(field seconds "$out") s, $(field rps "$out") requests/s;"
    echo "p50 $(field p50_ms "$out") ms, p99 $(field p99_ms "$out") ms; errors: $(field errors "$out") ($(field error_causes "$out"))."
    echo "Bound: resident memory at minute $minutes within $soak_bound_mib MiB of minute 1: moved $growth MiB, $held."
    echo
  } >> "$table"
fi

# --- 3. 1 GiB through the engine -------------------------------------------------
if runs download; then
  {
    echo "1 GiB download (sparse file from nginx, Content-Length known), curl writing to /dev/null:"
    echo
    echo "| path | what the engine does with the body | MiB/s (sum) | peak RSS MiB (VmHWM) | bytes each | status |"
    echo "|---|---|---|---|---|---|"
  } >> "$table"
  for variant in held held-x4 unreported no-hook direct; do
    url="http://$origin/1g"
    args=()
    case $variant in
      held) label="efd.dll with the no-edit hook"; what="reported: held up to the 16 MiB cap, then streamed" ;;
      held-x4) label="the same, 4 downloads at once"; what="each held up to the cap, then streamed" ;;
      unreported) label="efd.dll with the hook, URL with \"443\""; what="not reported: streamed"; url="$url?443" ;;
      no-hook) label="efd.dll without a hook"; what="streamed"; args=(--no-hook) ;;
      direct) label="direct (nginx itself)"; what="-" ;;
    esac
    proxy=()
    if [[ $variant != direct ]]; then
      start_engine "${args[@]}"
      proxy=(-x "http://127.0.0.1:$engine_port")
    fi
    copies=1
    [[ $variant == held-x4 ]] && copies=4
    downloads=()
    for i in $(seq 1 "$copies"); do
      curl -s -o /dev/null "${proxy[@]}" -w '%{http_code} %{size_download} %{speed_download}\n' "$url" > "$work/curl-$i.txt" &
      downloads+=($!)
    done
    wait "${downloads[@]}" || true
    code=$(cat "$work"/curl-*.txt | awk '{ print $1 }' | sort -u | tr '\n' ' ' | sed 's/ $//')
    size=$(cat "$work"/curl-*.txt | awk '{ print $2 }' | sort -u | tr '\n' ' ' | sed 's/ $//')
    speed=$(cat "$work"/curl-*.txt | awk '{ s += $3 } END { print s }')
    rm -f "$work"/curl-*.txt
    peak="-"
    if [[ $variant != direct ]]; then
      peak=$(mib "$(awk '/VmHWM/ { print $2 }' "/proc/$pid/status")")
      stop_engine
      if [[ $copies -eq 1 ]]; then
        peak="$peak$(awk -v p="$peak" -v b="$download_bound_mib" 'BEGIN { print (p < b) ? "" : " (over the bound)" }')"
      fi
    fi
    echo "| $label | $what | $(awk -v s="$speed" 'BEGIN { printf "%.0f", s / 1048576 }') | $peak | $size | $code |" >> "$table"
  done
  echo >> "$table"
  echo "Bound: peak resident memory of the engine under $download_bound_mib MiB while 1 GiB streams through it (one download)." >> "$table"
fi

cat "$table"

readme="$here/README.md"
if [[ -z "$only" ]] && grep -q '<!-- results -->' "$readme"; then
  awk -v table="$table" '
    /<!-- results -->/ { print; while ((getline line < table) > 0) print line; skip = 1; next }
    /<!-- \/results -->/ { skip = 0 }
    !skip { print }' "$readme" > "$readme.new" && mv "$readme.new" "$readme"
fi
