#!/usr/bin/env bash
# Simultaneous downloads from nginx on loopback: once as rows of one download
# list (one process, one event loop, headless), once as as many curl processes
# in parallel. For the rows it prints the total time, the longest event-loop
# stall, the 99th percentile of event-loop latency and the peak memory; for
# curl the total time. Each case runs RUNS times (default 3); compare medians.
#
#   bench/download_rows_bench.sh [BUILD_DIR] [COUNT MB]
#
# Without COUNT and MB it runs the two standard cases: 50 x 20 MB and 200 x 5 MB.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

build="${1:-$src/build-bench}"
runs="${RUNS:-3}"
bench_build "$build" bench/download_rows_bench
need_program nginx >/dev/null
need_program curl >/dev/null

servers_workdir quillon-rows-bench
mkdir -p "$work/www" "$work/rows" "$work/curl"
port="$(free_port)"
nginx_conf "$work" "$port" "$work/www"
start_nginx "$port"

# run_case COUNT MB: RUNS rounds of COUNT rows, then COUNT curl processes.
run_case() {
  local count="$1" mb="$2" name="$1x$2.bin" url round start end i f
  head -c "$((mb * 1024 * 1024))" /dev/urandom >"$work/www/$name"
  url="http://127.0.0.1:$port/$name"
  echo "== $count downloads of $mb MB"
  for round in $(seq "$runs"); do
    "$build/bench/download_rows_bench" "$url" "$work/rows" "$count"
    for f in "$work"/rows/*.bin; do cmp -s "$f" "$work/www/$name" || echo "rows: $f differs"; done
    rm -f "$work"/rows/*.bin
    sync

    start=$(date +%s.%N)
    local curl_pids=()
    for i in $(seq "$count"); do
      curl -s -o "$work/curl/$i.bin" "$url" &
      curl_pids+=($!)
    done
    wait "${curl_pids[@]}" || true
    end=$(date +%s.%N)
    echo "curl: $count processes in parallel, $(python3 -c "print(f\"{$end - $start:.2f}\")") s"
    rm -f "$work"/curl/*.bin
    sync
  done
  rm -f "$work/www/$name"
}

if [ $# -ge 3 ]; then
  run_case "$2" "$3"
else
  run_case 50 20
  run_case 200 5
fi
