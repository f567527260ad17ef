#!/usr/bin/env bash
# Fifty simultaneous 20 MB downloads from nginx on loopback: once as fifty rows
# of one download list (one process, one event loop, headless), once as fifty
# curl processes in parallel. Prints both times and the rows' longest
# event-loop stall.
#
#   bench/download_rows_bench.sh [BUILD_DIR] [COUNT] [MB]   (default: build-bench, 50, 20)
set -euo pipefail
. "$(dirname "$0")/lib.sh"

build="${1:-$src/build-bench}"
count="${2:-50}"
mb="${3:-20}"
bench_build "$build" bench/download_rows_bench
nginx_bin="$(need_program nginx)"
need_program curl >/dev/null

servers_workdir quillon-rows-bench
mkdir -p "$work/www" "$work/rows" "$work/curl"
port="$(free_port)"
head -c "$((mb * 1024 * 1024))" /dev/urandom >"$work/www/file.bin"
nginx_conf "$work" "$port" "$work/www"
start_bg "$work/nginx.log" "$nginx_bin" -p "$work" -c "$work/nginx.conf" -e "$work/nginx-error.log"
wait_port "$port" || { echo "nginx did not start: $(cat "$work/nginx-error.log")" >&2; exit 1; }
url="http://127.0.0.1:$port/file.bin"

"$build/bench/download_rows_bench" "$url" "$work/rows" "$count"
for f in "$work"/rows/*.bin; do cmp -s "$f" "$work/www/file.bin" || echo "rows: $f differs"; done
rm -f "$work"/rows/*.bin

start=$(date +%s.%N)
curl_pids=()
for i in $(seq "$count"); do
  curl -s -o "$work/curl/$i.bin" "$url" &
  curl_pids+=($!)
done
wait "${curl_pids[@]}" || true
end=$(date +%s.%N)
echo "curl: $count processes in parallel, $(python3 -c "print(f\"{$end - $start:.2f}\")") s"
