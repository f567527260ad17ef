#!/usr/bin/env bash
# Fetches 1 GiB from nginx on loopback into a file, once with quillon-get and
# once with curl, in the same run, and prints both times and their ratio.
#
#   bench/http_get_bench.sh [BUILD_DIR]      (default: build-bench, a Release build)
#
# Everything it writes lives in a temporary folder under /tmp, removed at the end.
set -euo pipefail

src="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$src/build-bench}"
if [ ! -x "$build/tools/quillon-get" ]; then
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target quillon-get >/dev/null
fi
nginx_bin="$(command -v nginx || echo /usr/sbin/nginx)"
[ -x "$nginx_bin" ] || { echo "nginx is not installed (scripts/setup installs it)" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl is not installed" >&2; exit 1; }

work="$(mktemp -d /tmp/quillon-http-bench.XXXXXX)"
nginx_pid=""
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
mkdir -p "$work/www" "$work/tmp"

port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
error_log $work/error.log;
pid $work/nginx.pid;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $work/tmp/body;
  proxy_temp_path $work/tmp/proxy;
  fastcgi_temp_path $work/tmp/fastcgi;
  uwsgi_temp_path $work/tmp/uwsgi;
  scgi_temp_path $work/tmp/scgi;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
  }
}
CONF
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$work/www/big.bin"
"$nginx_bin" -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
nginx_pid=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/" && break || sleep 0.1
done

url="http://127.0.0.1:$port/big.bin"
now() { date +%s.%N; }
# Warm the page cache with one untimed read.
cat "$work/www/big.bin" >/dev/null

# Each tool runs twice, in the order quillon-get, curl, curl, quillon-get, so
# that neither always follows the other's write-back; the faster run counts.
run_quillon() { "$build/tools/quillon-get" "$url" "$work/quillon.bin" >/dev/null; }
run_curl() { curl -s -o "$work/curl.bin" "$url"; }
times=()
for tool in quillon curl curl quillon; do
  t0=$(now)
  "run_$tool"
  t1=$(now)
  times+=("$tool" "$(python3 -c "print($t1 - $t0)")")
  if [ "$tool" = quillon ]; then file="$work/quillon.bin"; else file="$work/curl.bin"; fi
  cmp -s "$work/www/big.bin" "$file" || { echo "$tool: the file differs" >&2; exit 1; }
  rm -f "$file"
  sync
done
python3 - "${times[@]}" <<'PY'
import sys
a = sys.argv[1:]
best = {}
for tool, t in zip(a[0::2], a[1::2]):
    best[tool] = min(best.get(tool, 1e9), float(t))
q, c = best["quillon"], best["curl"]
print(f"1 GiB over loopback into a file (best of 2): quillon-get {q:.2f} s ({1024/q:.0f} MiB/s), "
      f"curl {c:.2f} s ({1024/c:.0f} MiB/s), ratio quillon-get/curl {q/c:.2f}")
PY
