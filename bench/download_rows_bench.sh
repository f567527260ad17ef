#!/usr/bin/env bash
# Fifty simultaneous 20 MB downloads from nginx on loopback: once as fifty rows
# of one download list (one process, one event loop, headless), once as fifty
# curl processes in parallel. Prints both times and the rows' longest
# event-loop stall.
#
#   bench/download_rows_bench.sh [BUILD_DIR] [COUNT] [MB]   (default: build-bench, 50, 20)
set -euo pipefail

src="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$src/build-bench}"
count="${2:-50}"
mb="${3:-20}"
if [ ! -x "$build/bench/download_rows_bench" ]; then
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF -DQUILLON_BENCH=ON >/dev/null
  cmake --build "$build" -j2 --target download_rows_bench >/dev/null
fi
nginx_bin="$(command -v nginx || echo /usr/sbin/nginx)"
[ -x "$nginx_bin" ] || { echo "nginx is not installed (scripts/setup installs it)" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl is not installed" >&2; exit 1; }

work="$(mktemp -d /tmp/quillon-rows-bench.XXXXXX)"
nginx_pid=""
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
mkdir -p "$work/www" "$work/tmp" "$work/rows" "$work/curl"
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
head -c "$((mb * 1024 * 1024))" /dev/urandom >"$work/www/file.bin"
cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
error_log $work/error.log;
pid $work/nginx.pid;
events { worker_connections 256; }
http {
  access_log off;
  client_body_temp_path $work/tmp/body;
  proxy_temp_path $work/tmp/proxy;
  fastcgi_temp_path $work/tmp/fastcgi;
  uwsgi_temp_path $work/tmp/uwsgi;
  scgi_temp_path $work/tmp/scgi;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$port; root $work/www; }
}
CONF
"$nginx_bin" -c "$work/nginx.conf" -e "$work/error.log" &
nginx_pid=$!
for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
url="http://127.0.0.1:$port/file.bin"

"$build/bench/download_rows_bench" "$url" "$work/rows" "$count"
for f in "$work"/rows/*.bin; do cmp -s "$f" "$work/www/file.bin" || echo "rows: $f differs"; done
rm -f "$work"/rows/*.bin

start=$(date +%s.%N)
for i in $(seq "$count"); do curl -s -o "$work/curl/$i.bin" "$url" & done
wait $(jobs -p | grep -v "^$nginx_pid$") 2>/dev/null || true
end=$(date +%s.%N)
echo "curl: $count processes in parallel, $(echo "$end - $start" | bc -l | xargs printf '%.2f') s"
