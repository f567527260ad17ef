#!/usr/bin/env bash
# The time to connect and fetch a small file from a host whose first address
# does not answer: the name resolves to ::1 and then 127.0.0.1; on [::1]:PORT
# a listener takes no call and drops every connection request, on
# 127.0.0.1:PORT nginx serves the file. quillon-get (which starts the next
# address 250 ms after the first) against curl (which falls back after its
# own delay), in turns, with the medians of BENCH_RUNS runs each (default 9).
#
#   bench/fallback_connect_bench.sh [BUILD_DIR]   (default: build-bench, a Release build)
#
# The name is not localhost: here it resolves to 127.0.0.1 alone, and curl
# resolves localhost by itself, IPv4 first, without asking the system. The
# script runs itself again in a mount namespace of its own in which a hosts
# file of its own stands over /etc/hosts and names quillon-fallback.test
# (the machine's file is not touched). Everything it writes lives in a
# temporary folder under /tmp, removed at the end.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

name=quillon-fallback.test
# The addresses of the name, in the order the system gives them.
name_order() { getent ahosts "$name" | awk '$2 == "STREAM" { print $1 }' | tr '\n' ' '; }

if [ -z "${QUILLON_BENCH_HOSTS:-}" ]; then
  hosts="$(mktemp /tmp/quillon-bench-hosts.XXXXXX)"
  trap 'rm -f "$hosts"' EXIT
  { cat /etc/hosts; printf '::1 %s\n127.0.0.1 %s\n' "$name" "$name"; } >"$hosts"
  chmod 644 "$hosts"
  namespace=(unshare --mount --propagation private)
  [ "$(id -u)" = 0 ] || namespace=(unshare --map-root-user --mount --propagation private)
  QUILLON_BENCH_HOSTS="$hosts" "${namespace[@]}" bash "$0" "$@"
  exit
fi
mount --bind "$QUILLON_BENCH_HOSTS" /etc/hosts
[ "$(name_order)" = "::1 127.0.0.1 " ] || { echo "$name resolves to: $(name_order)" >&2; exit 1; }

build="${1:-$src/build-bench}"
runs="${BENCH_RUNS:-9}"
bench_build "$build" tools/quillon-get
need_program nginx >/dev/null
need_program curl >/dev/null

servers_workdir quillon-fallback-bench
mkdir -p "$work/www"
head -c $((64 * 1024)) /dev/urandom >"$work/www/small.bin"
port="$(free_port)"
nginx_conf "$work" "$port" "$work/www"
start_nginx "$port"

# [::1]:PORT: a backlog of one call, taken by the listener's own call, so the
# system drops every further request (as tests/support/silent_listener does).
start_bg "$work/silent.log" python3 -c '
import socket, sys, time
port = int(sys.argv[1])
s = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
s.bind(("::1", port))
s.listen(0)
filler = socket.create_connection(("::1", port))
print("silent", flush=True)
while True:
    time.sleep(60)
' "$port"
for _ in $(seq 100); do grep -q silent "$work/silent.log" 2>/dev/null && break; sleep 0.1; done
grep -q silent "$work/silent.log" || { echo "the silent listener did not start: $(cat "$work/silent.log")" >&2; exit 1; }

url="http://$name:$port/small.bin"
run_quillon() { "$build/tools/quillon-get" --quiet "$url" "$work/quillon.bin"; }
run_curl() { curl -s -o "$work/curl.bin" "$url"; }
ROUNDS="$runs" compare_with_curl "64 KiB from a name whose first address ([::1]) does not answer" \
  "$work/www/small.bin" 0
