#!/usr/bin/env bash
# HTTPS through the engine against straight to the origin and against
# mitmproxy, in one run: requests per second with a new TLS connection for
# every request (curl sends "Connection: close"), and over kept-alive
# connections. curl --parallel 16, HTTP/1.1, a 100-byte body from an nginx TLS
# origin on loopback. Usage: bench/https/run.sh [new-connection requests] [keep-alive requests]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
fresh=${1:-2000}
kept=${2:-10000}

missing=()
command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || missing+=(nginx)
command -v mitmdump >/dev/null || missing+=(mitmproxy)
command -v curl >/dev/null || missing+=(curl)
command -v openssl >/dev/null || missing+=(openssl)
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo apt-get install -y "${missing[@]}"
fi
nginx=$(command -v nginx || echo /usr/sbin/nginx)

cd "$top"
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target https_bench_proxy >/dev/null

work=$(mktemp -d)
chmod 755 "$work"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A desktop of the benchmark's own: no system proxy, no trust store touched.
export HOME=$work/home XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config GSETTINGS_BACKEND=memory
mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME"
unset http_proxy https_proxy all_proxy no_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY NO_PROXY

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
# Ports holding "443" would keep the engine from reporting the sessions to its hook.
port_without_443() { local p; while p=$(free_port); [[ $p == *443* ]]; do :; done; echo "$p"; }
wait_port() { for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0; sleep 0.1; done; echo "port $1 never opened" >&2; exit 1; }

origin=$(port_without_443)
engine=$(port_without_443)
bare=$(port_without_443)
mitm=$(port_without_443)

mkdir -p "$work/www"
head -c 100 /dev/zero | tr '\0' x > "$work/www/body"
chmod -R a+rX "$work/www"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$work/origin.key" -out "$work/origin.crt" 2>/dev/null
cat > "$work/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 4096; }
http {
  access_log off;
  server {
    listen 127.0.0.1:$origin ssl;
    ssl_certificate $work/origin.crt;
    ssl_certificate_key $work/origin.key;
    keepalive_requests 1000000;
    location / { root $work/www; }
  }
}
CONF
"$nginx" -c "$work/nginx.conf" -p "$work" &
pids+=($!)

coproc ENGINE { "$top/build/bench/https/https_bench_proxy" "$engine" "$work/engine-root.pem"; }
pids+=($ENGINE_PID)
read -r _ <&"${ENGINE[0]}"
# The same engine without a hook: no events, for the cost of reporting them.
coproc BARE { "$top/build/bench/https/https_bench_proxy" "$bare" "$work/bare-root.pem" --no-hook; }
pids+=($BARE_PID)
read -r _ <&"${BARE[0]}"

mitmdump --listen-host 127.0.0.1 -p "$mitm" --ssl-insecure --set confdir="$work/mitm" -q &
pids+=($!)
wait_port "$origin"; wait_port "$engine"; wait_port "$mitm"
for _ in $(seq 100); do [ -s "$work/mitm/mitmproxy-ca-cert.pem" ] && break; sleep 0.1; done
cat "$work/origin.crt" "$work/engine-root.pem" > "$work/engine-ca.pem"
cat "$work/origin.crt" "$work/bare-root.pem" > "$work/bare-ca.pem"
cat "$work/origin.crt" "$work/mitm/mitmproxy-ca-cert.pem" > "$work/mitm-ca.pem"

url="https://127.0.0.1:$origin/body"
config() {  # requests -> a curl config file
  local file="$work/urls-$1"
  [ -f "$file" ] || for i in $(seq "$1"); do printf 'url = "%s?%d"\noutput = "/dev/null"\n' "$url" "$i"; done > "$file"
  echo "$file"
}

# run <label> <requests> <ca file> [curl options...]: prints requests per second
run() {
  local label=$1 count=$2 ca=$3
  shift 3
  local file start end ok
  file=$(config "$count")
  start=$(date +%s.%N)
  ok=$(curl -s --http1.1 --parallel --parallel-max 16 --cacert "$ca" -w '%{http_code}\n' "$@" -K "$file" 2>/dev/null | grep -c '^200$' || true)
  end=$(date +%s.%N)
  if [ "$ok" != "$count" ]; then echo "$label: only $ok of $count requests succeeded" >&2; exit 1; fi
  python3 -c "print(f'{$count / ($end - $start):.0f}')"
}

# Warm-up: leaves made, caches filled, nothing counted.
run warm 200 "$work/origin.crt" >/dev/null
run warm 200 "$work/engine-ca.pem" -x "http://127.0.0.1:$engine" >/dev/null
run warm 200 "$work/bare-ca.pem" -x "http://127.0.0.1:$bare" >/dev/null
run warm 200 "$work/mitm-ca.pem" -x "http://127.0.0.1:$mitm" >/dev/null

close=(-H "Connection: close")
d_new=$(run direct "$fresh" "$work/origin.crt" "${close[@]}")
e_new=$(run engine "$fresh" "$work/engine-ca.pem" -x "http://127.0.0.1:$engine" "${close[@]}")
b_new=$(run bare "$fresh" "$work/bare-ca.pem" -x "http://127.0.0.1:$bare" "${close[@]}")
m_new=$(run mitmproxy "$fresh" "$work/mitm-ca.pem" -x "http://127.0.0.1:$mitm" "${close[@]}")
d_kept=$(run direct "$kept" "$work/origin.crt")
e_kept=$(run engine "$kept" "$work/engine-ca.pem" -x "http://127.0.0.1:$engine")
b_kept=$(run bare "$kept" "$work/bare-ca.pem" -x "http://127.0.0.1:$bare")
m_kept=$(run mitmproxy "$kept" "$work/mitm-ca.pem" -x "http://127.0.0.1:$mitm")

ratio() { python3 -c "print(f'{$1 / $2:.2f}')"; }
echo "mitmproxy: $(mitmdump --version 2>/dev/null | head -1)"
printf '%-32s %8s %8s %15s %10s\n' "requests/s" direct engine "engine, no hook" mitmproxy
printf '%-32s %8s %8s %15s %10s\n' "new TLS connection per request" "$d_new" "$e_new" "$b_new" "$m_new"
printf '%-32s %8s %8s %15s %10s\n' "kept-alive connections" "$d_kept" "$e_kept" "$b_kept" "$m_kept"
echo "new connections: engine/direct $(ratio "$e_new" "$d_new")x, engine/mitmproxy $(ratio "$e_new" "$m_new")x"
echo "kept-alive:      engine/direct $(ratio "$e_kept" "$d_kept")x, engine/mitmproxy $(ratio "$e_kept" "$m_kept")x"
