#!/usr/bin/env bash
# Fetches 1 GiB over https from nginx on loopback into a file, once with
# quillon-get, once with curl (both on OpenSSL) and once with the copy floor
# (Python's ssl, see lib.sh), in the same run, and prints the times and
# ratios. nginx offers one cipher suite only, so
# both clients use the same one (TLS 1.3, TLS_AES_128_GCM_SHA256); the
# certificate comes from a CA made for this run.
#
#   bench/https_get_bench.sh [BUILD_DIR]      (default: build-bench, a Release build)
#
# Everything it writes lives in a temporary folder under /tmp, removed at the end.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

build="${1:-$src/build-bench}"
bench_build "$build" tools/quillon-get
need_program nginx >/dev/null
need_program curl >/dev/null
need_program openssl >/dev/null

servers_workdir quillon-https-bench
mkdir -p "$work/www"
make_tls_cert "$work"
port="$(free_port)"
cipher=TLS_AES_128_GCM_SHA256
nginx_conf "$work" "$(free_port)" "$work/www" \
  "$(nginx_tls_lines "$work" "$port") ssl_protocols TLSv1.3; ssl_conf_command Ciphersuites $cipher;"
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$work/www/big.bin"
start_nginx "$port"

url="https://127.0.0.1:$port/big.bin"
run_quillon() { "$build/tools/quillon-get" --cacert "$work/ca.pem" "$url" "$work/quillon.bin" >/dev/null; }
run_curl() { curl -s --cacert "$work/ca.pem" --tls13-ciphers "$cipher" -o "$work/curl.bin" "$url"; }
run_floor() { copy_floor "$url" "$work/floor.bin" "$work/ca.pem"; }
compare_with_curl "1 GiB over https ($cipher) on loopback into a file" "$work/www/big.bin"
