#!/usr/bin/env bash
# The rate limit and downloads at once, measured against nginx on loopback
# (unthrottled: the limit is the client's alone):
#  1. 24 MiB with a limit of 2 MiB/s, by quillon-get --limit-rate 2M and by
#     aria2c --max-download-limit=2M in the same run: the bytes each program
#     took from its sockets in every second (what the kernel received less
#     what still waits in the socket, from ss once a second, so that neither
#     the kernel's buffers nor the disk's write-back are measured) and the
#     total time. Target: 12 s +-5 %, every second after
#     the first within +-10 % of 2 MiB.
#  2. Six files of 8 MiB with quillon-get -j 2 --limit-rate 8M: the most
#     requests nginx served at once, from its access log (each request's
#     start and end). Target: never more than 2.
#
#   bench/limit_bench.sh [BUILD_DIR]   (default: build-bench, a Release build)
#
# Everything it writes lives in a temporary folder under /tmp, removed at the end.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

build="${1:-$src/build-bench}"
bench_build "$build" tools/quillon-get
need_program nginx >/dev/null
aria2c="$(need_program aria2c)"

servers_workdir quillon-limit-bench
mkdir -p "$work/www" "$work/out"
port="$(free_port)"
nginx_conf "$work" "$port" "$work/www"
# Each request's end ($msec) and length ($request_time), for the overlap.
sed -i "s|access_log off;|log_format timing '\$msec \$request_time \$request_uri';\n  access_log $work/access.log timing;|" \
  "$work/nginx.conf"
head -c $((24 * 1024 * 1024)) /dev/urandom >"$work/www/big.bin"
for k in 1 2 3 4 5 6; do head -c $((8 * 1024 * 1024)) /dev/urandom >"$work/www/f$k.bin"; done
start_nginx "$port"
url="http://127.0.0.1:$port"

# sample LABEL COMMAND...: runs COMMAND, and once a second adds up what its
# TCP connections took from their sockets (ss: bytes_received less Recv-Q);
# prints the bytes of each second and the total time, then whether the rate
# held (RATE bytes a second, in $rate) and TIME seconds in all (in $time).
sample() {
  python3 - "$rate" "$time" "$@" <<'PY'
import re, subprocess, sys, time
rate, expected, label, command = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3], sys.argv[4:]
def taken():
    out = subprocess.run(["ss", "-tinpH", "state", "established"], capture_output=True, text=True).stdout.split("\n")
    sockets, local = {}, None
    for line in out:
        if not line.startswith((" ", "\t")) and line.strip():
            local = line.split()[2] if f"pid={p.pid}," in line else None
            recvq = int(line.split()[0])
        elif local and (m := re.search(r"bytes_received:(\d+)", line)):
            sockets[local] = int(m.group(1)) - recvq
    return sockets
start = time.monotonic()
p = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
last, windows, tick = {}, [], 1
while p.poll() is None:
    time.sleep(max(0.0, start + tick - time.monotonic()))
    tick += 1
    now = taken()
    if p.poll() is not None:
        break
    windows.append(sum(n - last.get(k, 0) for k, n in now.items()))
    last = now
err = p.communicate()[1].decode(errors="replace")
total = time.monotonic() - start
if p.returncode != 0:
    sys.exit(f"{label}: exit status {p.returncode}: {err}")
mib = [w / 1048576 for w in windows]
after = [w / rate - 1 for w in windows[1:]]
print(f"{label}: {total:.2f} s in all (target {expected:g} s +-5 %: {'yes' if abs(total / expected - 1) <= 0.05 else 'no'})")
print("  MiB read in each second: " + " ".join(f"{m:.2f}" for m in mib) + " (the last, cut short, not shown)")
if after:
    held = all(abs(a) <= 0.10 for a in after)
    print(f"  seconds after the first: {min(after) * 100:+.1f} % to {max(after) * 100:+.1f} % of the rate "
          f"(target +-10 %: {'yes' if held else 'no'})")
PY
}

rate=$((2 * 1024 * 1024)) time=12
echo "24 MiB from nginx on loopback, limited to 2 MiB/s:"
rm -f "$work/out/big.bin"
sample "quillon-get --limit-rate 2M" "$build/tools/quillon-get" --limit-rate 2M "$url/big.bin" "$work/out/big.bin"
cmp -s "$work/www/big.bin" "$work/out/big.bin" || { echo "quillon-get: the file differs" >&2; exit 1; }
rm -f "$work/out/big.bin"
sample "aria2c --max-download-limit=2M" "$aria2c" -q --max-download-limit=2M -x1 -s1 --disk-cache=0 \
  --file-allocation=none --allow-overwrite=true -d "$work/out" -o big.bin "$url/big.bin"
cmp -s "$work/www/big.bin" "$work/out/big.bin" || { echo "aria2c: the file differs" >&2; exit 1; }

# The same limit over four connections at once, and over FTP.
time=4
echo
echo "8 MiB limited to 2 MiB/s, other transfers:"
head -c $((8 * 1024 * 1024)) /dev/urandom >"$work/www/eight.bin"
sample "quillon-get --limit-rate 2M --connections 4" "$build/tools/quillon-get" --limit-rate 2M --connections 4 \
  "$url/eight.bin" "$work/out/eight.bin"
cmp -s "$work/www/eight.bin" "$work/out/eight.bin" || { echo "quillon-get: the file differs" >&2; exit 1; }
if vsftpd_bin="$(command -v vsftpd || echo /usr/sbin/vsftpd)" && [ -x "$vsftpd_bin" ]; then
  mkdir -p "$work/ftp/pub"
  chmod 555 "$work/ftp"
  cp "$work/www/eight.bin" "$work/ftp/pub/"
  echo "bench@" >"$work/passwords"
  ftp_port="$(free_port)"
  vsftpd_conf "$work" "$ftp_port" "$work/ftp" "secure_email_list_enable=YES
email_password_file=$work/passwords"
  start_bg "$work/vsftpd.log" "$vsftpd_bin" "$work/vsftpd.conf"
  wait_port "$ftp_port" || { echo "vsftpd did not start: $(cat "$work/vsftpd.log")" >&2; exit 1; }
  rm -f "$work/out/eight.bin"
  sample "quillon-get --limit-rate 2M over FTP" "$build/tools/quillon-get" --limit-rate 2M --user anonymous \
    --password bench@ "ftp://127.0.0.1:$ftp_port/pub/eight.bin" "$work/out/eight.bin"
  cmp -s "$work/www/eight.bin" "$work/out/eight.bin" || { echo "quillon-get: the FTP file differs" >&2; exit 1; }
fi

echo
echo "Six files of 8 MiB, quillon-get -j 2 --limit-rate 8M:"
: >"$work/access.log"
t0=$(date +%s.%N)
"$build/tools/quillon-get" -q -j 2 --limit-rate 8M -o "$work/out" "$url/f1.bin" "$url/f2.bin" "$url/f3.bin" \
  "$url/f4.bin" "$url/f5.bin" "$url/f6.bin"
t1=$(date +%s.%N)
for k in 1 2 3 4 5 6; do
  cmp -s "$work/www/f$k.bin" "$work/out/f$k.bin" || { echo "f$k.bin differs" >&2; exit 1; }
done
python3 - "$work/access.log" "$t0" "$t1" <<'PY'
import sys
events, order = [], []
for line in open(sys.argv[1]):
    end, length, uri = line.split()
    end, length = float(end), float(length)
    events += [(end - length, 1), (end, -1)]
    order.append((end - length, uri))
most = now = 0
for _, step in sorted(events, key=lambda e: (e[0], e[1])):
    now += step
    most = max(most, now)
total = float(sys.argv[3]) - float(sys.argv[2])
print(f"  {len(order)} requests in {total:.2f} s (48 MiB at 8 MiB/s: 6 s); started in the order "
      + " ".join(u.lstrip('/') for _, u in sorted(order)))
print(f"  most requests open at once (nginx's log): {most} (target never more than 2: {'yes' if most <= 2 else 'no'})")
PY
