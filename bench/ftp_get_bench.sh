#!/usr/bin/env bash
# Fetches 1 GiB from vsftpd on loopback into a file, once with quillon-get in
# active mode and once with curl in active mode (-P -), in the same run, and
# prints both times and their ratio.
#
#   bench/ftp_get_bench.sh [BUILD_DIR]      (default: build-bench, a Release build)
#
# Everything it writes lives in a temporary folder under /tmp, removed at the end.
set -euo pipefail

src="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$src/build-bench}"
if [ ! -x "$build/tools/quillon-get" ]; then
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target quillon-get >/dev/null
fi
vsftpd_bin="$(command -v vsftpd || echo /usr/sbin/vsftpd)"
[ -x "$vsftpd_bin" ] || { echo "vsftpd is not installed (scripts/setup installs it)" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl is not installed" >&2; exit 1; }

work="$(mktemp -d /tmp/quillon-ftp-bench.XXXXXX)"
vsftpd_pid=""
cleanup() {
  [ -n "$vsftpd_pid" ] && kill "$vsftpd_pid" 2>/dev/null && wait "$vsftpd_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
mkdir -p "$work/root/pub" "$work/empty"
chmod 555 "$work/root"
echo "bench@" >"$work/passwords"

port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
cat >"$work/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
run_as_launching_user=YES
seccomp_sandbox=NO
secure_chroot_dir=$work/empty
anonymous_enable=YES
local_enable=NO
anon_root=$work/root
no_anon_password=NO
secure_email_list_enable=YES
email_password_file=$work/passwords
pasv_enable=YES
port_enable=YES
connect_from_port_20=NO
xferlog_enable=NO
CONF
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$work/root/pub/big.bin"
"$vsftpd_bin" "$work/vsftpd.conf" >"$work/vsftpd.log" 2>&1 &
vsftpd_pid=$!
for _ in $(seq 100); do
  python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1)" 2>/dev/null && break || sleep 0.1
done

url="ftp://127.0.0.1:$port/pub/big.bin"
now() { date +%s.%N; }
# Warm the page cache with one untimed read.
cat "$work/root/pub/big.bin" >/dev/null

# Each tool runs twice, in the order quillon-get, curl, curl, quillon-get, so
# that neither always follows the other's write-back; the faster run counts.
run_quillon() { "$build/tools/quillon-get" --user anonymous --password bench@ "$url" "$work/quillon.bin" >/dev/null; }
run_curl() { curl -s -P - -u anonymous:bench@ -o "$work/curl.bin" "$url"; }
times=()
for tool in quillon curl curl quillon; do
  t0=$(now)
  "run_$tool"
  t1=$(now)
  times+=("$tool" "$(python3 -c "print($t1 - $t0)")")
  if [ "$tool" = quillon ]; then file="$work/quillon.bin"; else file="$work/curl.bin"; fi
  cmp -s "$work/root/pub/big.bin" "$file" || { echo "$tool: the file differs" >&2; exit 1; }
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
print(f"1 GiB from vsftpd over loopback, active mode, into a file (best of 2): "
      f"quillon-get {q:.2f} s ({1024/q:.0f} MiB/s), curl {c:.2f} s ({1024/c:.0f} MiB/s), "
      f"ratio quillon-get/curl {q/c:.2f}")
PY
