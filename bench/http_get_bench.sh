#!/usr/bin/env bash
# Fetches 1 GiB from nginx on loopback into a file, once with quillon-get and
# once with curl and once with the copy floor (see lib.sh), in the same run,
# and prints the times and ratios; then the same with the SHA-256 checked
# (quillon-get --sha256, curl + openssl dgst -sha256). With --ipv6 nginx
# listens on [::1] only and all three fetch http://[::1]:PORT/.
#
#   bench/http_get_bench.sh [--ipv6] [BUILD_DIR]   (default: build-bench, a Release build)
#
# Everything it writes lives in a temporary folder under /tmp, removed at the end.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

ipv6=false
if [ "${1:-}" = --ipv6 ]; then
  ipv6=true
  shift
fi
build="${1:-$src/build-bench}"
bench_build "$build" tools/quillon-get
need_program nginx >/dev/null
need_program curl >/dev/null
need_program openssl >/dev/null

servers_workdir quillon-http-bench
mkdir -p "$work/www"
port="$(free_port)"
nginx_conf "$work" "$port" "$work/www"
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$work/www/big.bin"
host=127.0.0.1 over="loopback"
if $ipv6; then
  host="::1" over="[::1] (nginx on IPv6 only)"
  sed -i "s/listen 127.0.0.1:$port;/listen [::1]:$port;/" "$work/nginx.conf"
fi
start_nginx "$port" "$host"

if $ipv6; then url="http://[::1]:$port/big.bin"; else url="http://127.0.0.1:$port/big.bin"; fi
run_quillon() { "$build/tools/quillon-get" "$url" "$work/quillon.bin" >/dev/null; }
run_curl() { curl -s -o "$work/curl.bin" "$url"; }
run_floor() { copy_floor "$url" "$work/floor.bin"; }
compare_with_curl "1 GiB over $over into a file" "$work/www/big.bin"

# The same download checked against the publisher's SHA-256: quillon-get hashes
# while it writes; curl's file is hashed afterwards by openssl.
sha="$(sha256sum "$work/www/big.bin" | cut -d' ' -f1)"
run_quillon() {
  "$build/tools/quillon-get" --sha256 "$sha" --size $((1024 * 1024 * 1024)) "$url" "$work/quillon.bin" >/dev/null
}
run_curl() { curl -s -o "$work/curl.bin" "$url" && openssl dgst -sha256 -r "$work/curl.bin" | grep -q "^$sha "; }
compare_with_curl "1 GiB over $over verified by SHA-256 (curl followed by openssl dgst -sha256)" "$work/www/big.bin"
