#!/usr/bin/env bash
# Fetches 1 GiB from vsftpd on loopback into a file, once with quillon-get in
# active mode, once with curl in active mode (-P -) and once with the copy
# floor (passive, see lib.sh), in the same run, and prints the times and
# ratios; then the same with both clients in passive mode.
#
#   bench/ftp_get_bench.sh [BUILD_DIR]      (default: build-bench, a Release build)
#
# Everything it writes lives in a temporary folder under /tmp, removed at the end.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

build="${1:-$src/build-bench}"
bench_build "$build" tools/quillon-get
vsftpd_bin="$(need_program vsftpd)"
need_program curl >/dev/null

servers_workdir quillon-ftp-bench
mkdir -p "$work/root/pub"
chmod 555 "$work/root"
echo "bench@" >"$work/passwords"
port="$(free_port)"
vsftpd_conf "$work" "$port" "$work/root" "secure_email_list_enable=YES
email_password_file=$work/passwords"
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$work/root/pub/big.bin"
start_bg "$work/vsftpd.log" "$vsftpd_bin" "$work/vsftpd.conf"
wait_port "$port" || { echo "vsftpd did not start: $(cat "$work/vsftpd.log")" >&2; exit 1; }

url="ftp://127.0.0.1:$port/pub/big.bin"
run_quillon() { "$build/tools/quillon-get" --user anonymous --password bench@ "$url" "$work/quillon.bin" >/dev/null; }
run_curl() { curl -s -P - -u anonymous:bench@ -o "$work/curl.bin" "$url"; }
run_floor() { copy_floor "$url" "$work/floor.bin"; }
compare_with_curl "1 GiB from vsftpd over loopback, active mode, into a file" "$work/root/pub/big.bin"

run_quillon() {
  "$build/tools/quillon-get" --passive --user anonymous --password bench@ "$url" "$work/quillon.bin" >/dev/null
}
run_curl() { curl -s -u anonymous:bench@ -o "$work/curl.bin" "$url"; }
compare_with_curl "1 GiB from vsftpd over loopback, passive mode, into a file" "$work/root/pub/big.bin"
