#!/usr/bin/env bash
# The several-sources lab: one file on four mirrors whose every connection is
# capped, as CDNs and busy servers cap each connection, and the time
# quillon-get takes to fetch it from several mirrors and several connections
# at once, beside curl (one mirror) and aria2c (when installed) in the same run.
#
#   bench/mirrors_bench.sh [BUILD_DIR]      (default: build-bench, a Release build)
#   QUICK=1 bench/mirrors_bench.sh          (each case once instead of three times)
#
# The lab: one nginx serving a 24 MiB file of random bytes (and a 2 MiB one)
# on 127.0.0.11, .12, .13 and .14, each mirror behind bench/pacing_proxy.py at
# 2 MiB/s per TCP connection (nginx's limit_rate is no such cap: it grants
# about a second of credit per request). Mirror 4, the flipping mirror, serves
# a copy of the same size and date with one byte flipped in every MiB. The
# slow mirror, 127.0.0.15, is a proxy at 64 KiB/s per connection in front of
# mirror 1's nginx. Each case runs three times (ROUNDS=N: N times; QUICK=1:
# once), the programs' order turning each round; the table prints the median
# times, their ratio to the median of curl from one mirror, the ratio the
# case's target is about, whether each downloaded file has the right SHA-256
# ("WRONG FILE" when not) and the target; below a row, the connections its
# runs opened to each capped mirror (counted by the proxies) and the exit
# status and last message of a run that failed. The cases:
#
#   one mirror: curl (the baseline, about 12 s).
#   three mirrors, one connection each: quillon-get --sha256 H --mirror U2
#     --mirror U3 U1, and aria2c -s3 -x1 -k1M U1 U2 U3. Target: <= 0.40x curl
#     and no slower than aria2c (within 2 %: aria2c runs at the lab's limit).
#   one mirror, four connections: quillon-get --connections 4 U1 (one source:
#     no hash needed), and aria2c -x4 -s4 -k1M U1. Target: <= 0.35x curl.
#   a 64 KiB/s mirror added to two fast ones (quillon-get --sha256): the time
#     with it against the time of the two fast ones alone. Target: <= 1.1x.
#   the slow mirror as the first URL and a fast --mirror, 2 MiB file
#     (quillon-get --sha256). Target: <= 3 s.
#   the flipping mirror as the first URL with two good mirrors, given the
#     piece hashes (--piece-sha256 FILE, pieces of 1 MiB) and --sha256, then
#     given --sha256 only. Targets: with piece hashes <= 1.1x the time of the
#     two good mirrors alone (the "2 fast" case: a mirror that damages every
#     piece can give nothing, and each good mirror gives one connection, so
#     three good mirrors' time is out of reach) and at most one bad piece sent
#     by the flipping mirror; with --sha256 only the right file within 2x the
#     time of three good mirrors. Below the row, for
#     each run: the requests and connections the flipping mirror served (its
#     nginx access log) and the pieces whose flipped byte it sent.
#   1 GiB from one source on loopback without any cap: quillon-get and curl.
#     Target: <= 0.85x curl (bench/http_get_bench.sh compares this case
#     further: the copy floor, the SHA-256 check, IPv6).
#
# aria2c is given -k1M (its smallest piece) so that it splits a 24 MiB file
# among all its sources; its default of 20 MiB would not.
#
# A quillon-get option the build does not know yet (it exits 2 with "unknown
# option") shows as "n/a (option not supported)"; the other programs of the
# case still run. A run is stopped after RUN_LIMIT seconds (120). The script
# reports and does not judge: it exits 0 whenever the lab ran, whatever the
# times and files. A whole run takes three to eight minutes, most of it in the
# capped downloads (a quillon-get that fetches from one source at a time takes
# the longest); QUICK=1 about a third of that. Everything it writes lives in a
# temporary folder under /tmp, removed at the end.
# shellcheck disable=SC2034 # run_one runs the cmd_ID arrays through a nameref
set -euo pipefail
. "$(dirname "$0")/lib.sh"

build="${1:-$src/build-bench}"
bench_build "$build" tools/quillon-get
qget="$build/tools/quillon-get"
need_program nginx >/dev/null
need_program curl >/dev/null
aria2c_bin="$(command -v aria2c || true)"
rounds="${ROUNDS:-3}"
[ "${QUICK:-0}" = 0 ] || rounds=1
limit="${RUN_LIMIT:-120}"
# Every program reaches the lab's addresses directly.
unset http_proxy https_proxy ftp_proxy all_proxy no_proxy HTTP_PROXY HTTPS_PROXY FTP_PROXY ALL_PROXY NO_PROXY

servers_workdir quillon-mirrors-bench
mib=$((1024 * 1024))
flip_at=777 # the offset of the flipped byte in each MiB of mirror 4's copy
out="$work/out"
mkdir -p "$work/good" "$work/flip" "$work/nginx-tmp"
head -c $((24 * mib)) /dev/urandom >"$work/good/big.bin"
head -c $((2 * mib)) /dev/urandom >"$work/good/small.bin"
# Mirror 4's copy with one byte flipped in every MiB, and the piece hashes of
# the right file in the form quillon-get reads (the piece size, then one
# SHA-256 a line).
python3 - "$work" "$flip_at" <<'PY'
import hashlib, sys
work, flip_at = sys.argv[1], int(sys.argv[2])
mib = 1024 * 1024
data = open(f"{work}/good/big.bin", "rb").read()
flipped = bytearray(data)
for piece in range(0, len(data), mib):
    flipped[piece + flip_at] ^= 0xFF
open(f"{work}/flip/big.bin", "wb").write(flipped)
with open(f"{work}/pieces.sha256", "w") as f:
    f.write(f"{mib}\n")
    for piece in range(0, len(data), mib):
        f.write(hashlib.sha256(data[piece:piece + mib]).hexdigest() + "\n")
PY
cp -p "$work/good/small.bin" "$work/flip/small.bin"
touch -r "$work/good/big.bin" "$work/flip/big.bin"
sha="$(sha256sum <"$work/good/big.bin" | cut -d' ' -f1)"
small_sha="$(sha256sum <"$work/good/small.bin" | cut -d' ' -f1)"

backend_port="$(free_port)"
proxy_port="$(free_port)"
while [ "$proxy_port" = "$backend_port" ]; do proxy_port="$(free_port)"; done
{
  cat <<EOF
daemon off;
master_process off;
worker_processes 1;
error_log $work/nginx-error.log;
pid $work/nginx.pid;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx-tmp/body;
  proxy_temp_path $work/nginx-tmp/proxy;
  fastcgi_temp_path $work/nginx-tmp/fastcgi;
  uwsgi_temp_path $work/nginx-tmp/uwsgi;
  scgi_temp_path $work/nginx-tmp/scgi;
  default_type application/octet-stream;
  sendfile on;
  log_format lab '\$connection \$status \$body_bytes_sent "\$http_range"';
EOF
  for m in 1 2 3 4; do
    root="$work/good"
    [ "$m" != 4 ] || root="$work/flip"
    echo "  server { listen 127.0.0.1$m:$backend_port; root $root; access_log $work/mirror$m.access lab; }"
  done
  echo "}"
} >"$work/nginx.conf"
start_nginx "$backend_port" 127.0.0.11
for m in 2 3 4; do wait_port_at "127.0.0.1$m" "$backend_port"; done

# start_proxy NAME LISTEN_HOST UPSTREAM_HOST RATE: a pacing proxy on
# LISTEN_HOST:$proxy_port in front of the nginx on UPSTREAM_HOST, once it
# listens.
start_proxy() {
  local _
  start_bg "$work/proxy-$1.out" python3 "$src/bench/pacing_proxy.py" --listen "$2:$proxy_port" \
    --upstream "$3:$backend_port" --rate "$4" --log "$work/proxy-$1.log"
  for _ in $(seq 100); do
    grep -q '^ready' "$work/proxy-$1.out" && return 0
    sleep 0.1
  done
  echo "the pacing proxy $1 did not start: $(cat "$work/proxy-$1.out")" >&2
  exit 1
}
for m in 1 2 3 4; do start_proxy "mirror$m" "127.0.0.1$m" "127.0.0.1$m" 2M; done
start_proxy slow 127.0.0.15 127.0.0.11 64K
u1="http://127.0.0.11:$proxy_port/big.bin"
u2="http://127.0.0.12:$proxy_port/big.bin"
u3="http://127.0.0.13:$proxy_port/big.bin"
u4="http://127.0.0.14:$proxy_port/big.bin"
slow="http://127.0.0.15:$proxy_port/big.bin"
slow_small="http://127.0.0.15:$proxy_port/small.bin"
fast_small="http://127.0.0.12:$proxy_port/small.bin"

# row ID CASE PROGRAM TARGET [CURL_ID|-] [BASE_ID:NAME]: a line of the table,
# its ratio to curl taken from the median of CURL_ID (default: curl from one
# mirror; "-": none) and, with BASE_ID, its ratio to that row's median too.
row() {
  printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" "${5:-curl1}" "${6:-}" >>"$work/rows"
}
# note ID TEXT: a line printed below the row.
note() { printf '%s\t%s\n' "$1" "$2" >>"$work/notes"; }

declare -A unsupported=()
watch="" # an access log whose new requests are counted after each run

# connections_opened: the connections each proxy has accepted so far, one
# "NAME COUNT" a line.
connections_opened() {
  local log
  for log in "$work"/proxy-*.log; do
    [ ! -f "$log" ] || echo "$(basename "$log" .log | cut -d- -f2) $(wc -l <"$log")"
  done
}

# run_one SHA256 ID ROUND: runs the command in the array cmd_ID, which writes
# $out/ID.bin, and records its time and whether the file has SHA256; notes
# the connections it opened to each capped mirror.
run_one() {
  local sha="$1" id="$2" round="$3" rc=0 t0 t1 check mark=0 before opened
  local -n cmd="cmd_$id"
  rm -rf "$out"
  mkdir -p "$out"
  [ -z "$watch" ] || mark="$(stat -c %s "$watch")"
  before="$(connections_opened)"
  t0=$(date +%s.%N)
  timeout -k 5 "$limit" "${cmd[@]}" >"$work/run.out" 2>"$work/run.err" || rc=$?
  t1=$(date +%s.%N)
  if [ "$rc" = 2 ] && grep -q "unknown option" "$work/run.err"; then
    unsupported[$id]=1
    printf '%s\t%s\tn/a\t\n' "$id" "$round" >>"$work/times"
    return
  fi
  if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
    check="timed out (${limit} s)"
  elif [ ! -f "$out/$id.bin" ]; then
    check="no file (exit $rc)"
  elif [ "$(sha256sum <"$out/$id.bin" | cut -d' ' -f1)" != "$sha" ]; then
    check="WRONG FILE"
  elif [ "$rc" != 0 ]; then
    check="exit $rc"
  else
    check=ok
  fi
  printf '%s\t%s\t%s\t%s\n' "$id" "$round" "$(python3 -c "print($t1 - $t0)")" "$check" >>"$work/times"
  [ "$rc" = 0 ] || [ ! -s "$work/run.err" ] || note "$id" "exit $rc: $(tail -n 1 "$work/run.err")"
  opened="$(join <(echo "$before") <(connections_opened) | awk '$3 > $2 { printf "%s%s %d", sep, $1, $3 - $2; sep = ", " }')"
  [ -z "$opened" ] || note "$id" "connections opened: $opened"
  [ -z "$watch" ] || note "$id" "run $((round + 1)): $(served_by_flipping_mirror "$mark")"
  rm -rf "$out"
  sync
}

# measure SHA256 ID...: ROUNDS runs of each ID, the order turning each round;
# an ID whose option quillon-get refused is not run again.
measure() {
  local sha="$1" round i id
  shift
  local ids=("$@")
  for ((round = 0; round < rounds; round++)); do
    for ((i = 0; i < ${#ids[@]}; i++)); do
      id="${ids[(i + round) % ${#ids[@]}]}"
      [ -z "${unsupported[$id]:-}" ] || continue
      run_one "$sha" "$id" "$round"
    done
  done
}

# served_by_flipping_mirror OFFSET: the requests in $watch after byte OFFSET,
# the connections they came on, and the damaged pieces they sent (a piece
# counts when the bytes sent hold its flipped byte).
served_by_flipping_mirror() {
  python3 - "$watch" "$1" "$flip_at" $((24 * mib)) <<'PY'
import re, sys
log, offset, flip_at, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
mib = 1024 * 1024
with open(log, "rb") as f:
    f.seek(offset)
    lines = f.read().decode(errors="replace").splitlines()
connections, bad = set(), set()
for line in lines:
    m = re.match(r'(\d+) (\d+) (\d+) "(.*)"', line)
    if not m:
        continue
    connections.add(m.group(1))
    sent = int(m.group(3))
    r = re.match(r"bytes=(\d*)-(\d*)", m.group(4))
    if not r:
        start = 0
    elif r.group(1):
        start = int(r.group(1))
    else:
        start = size - int(r.group(2) or 0)
    for piece in range(start // mib, (start + sent + mib - 1) // mib):
        if start <= piece * mib + flip_at < start + sent:
            bad.add(piece)
plural = lambda n, word: f"{n} {word}" + ("" if n == 1 else "s")
print(f"the flipping mirror served {plural(len(lines), 'request')} on {plural(len(connections), 'connection')}, "
      f"{plural(len(bad), 'damaged piece')}")
PY
}

# Each case: its rows, the command of each row, the runs.
row curl1 "one mirror (24 MiB, 2 MiB/s a connection)" "curl" "baseline (about 12 s)"
cmd_curl1=(curl -sf -o "$out/curl1.bin" "$u1")
measure "$sha" curl1

aria2c_ids=()
# aria2c_run ID: adds ID to aria2c_ids when aria2c is installed.
aria2c_run() {
  if [ -n "$aria2c_bin" ]; then aria2c_ids+=("$@"); fi
}
aria2c_args=(--no-conf -q --allow-overwrite=true --auto-file-renaming=false -k1M -d "$out")

row q3 "three mirrors, one connection each" "quillon-get" "<= 0.40x curl, <= 1.02x aria2c" curl1 a3:aria2c
row a3 "" "aria2c -s3 -x1" "(about 4.1 s)"
cmd_q3=("$qget" --sha256 "$sha" --mirror "$u2" --mirror "$u3" "$u1" "$out/q3.bin")
cmd_a3=("$aria2c_bin" "${aria2c_args[@]}" -o a3.bin -s3 -x1 "$u1" "$u2" "$u3")
aria2c_ids=()
aria2c_run a3
measure "$sha" q3 "${aria2c_ids[@]}"

row q4c "one mirror, four connections" "quillon-get" "<= 0.35x curl" curl1 a4c:aria2c
row a4c "" "aria2c -x4 -s4" "(about 3.1 s)"
cmd_q4c=("$qget" --connections 4 "$u1" "$out/q4c.bin")
cmd_a4c=("$aria2c_bin" "${aria2c_args[@]}" -o a4c.bin -x4 -s4 "$u1")
aria2c_ids=()
aria2c_run a4c
measure "$sha" q4c "${aria2c_ids[@]}"

row q2f "a 64 KiB/s mirror added to two fast ones" "quillon-get, 2 fast" ""
row q2s "" "quillon-get, 2 fast + slow" "<= 1.10x 2 fast" curl1 q2f:"2 fast"
cmd_q2f=("$qget" --sha256 "$sha" --mirror "$u2" "$u1" "$out/q2f.bin")
cmd_q2s=("$qget" --sha256 "$sha" --mirror "$u2" --mirror "$slow" "$u1" "$out/q2s.bin")
measure "$sha" q2f q2s

row qslow "slow first URL, fast mirror (2 MiB)" "quillon-get" "<= 3 s" -
cmd_qslow=("$qget" --sha256 "$small_sha" --mirror "$fast_small" "$slow_small" "$out/qslow.bin")
measure "$small_sha" qslow

row qflipp "flipping mirror first, two good ones" "quillon-get, piece hashes" \
  "<= 1.10x 2 good, <= 1 damaged piece from it" curl1 q2f:"2 good"
row qflips "" "quillon-get, --sha256 only" "right file, <= 2x all good" curl1 q3:"all good"
cmd_qflipp=("$qget" --sha256 "$sha" --piece-sha256 "$work/pieces.sha256" --mirror "$u2" --mirror "$u3" "$u4"
  "$out/qflipp.bin")
cmd_qflips=("$qget" --sha256 "$sha" --mirror "$u2" --mirror "$u3" "$u4" "$out/qflips.bin")
watch="$work/mirror4.access"
measure "$sha" qflipp qflips
watch=""

# Without any cap: straight from nginx, the proxies out of the way.
head -c $((1024 * mib)) /dev/urandom >"$work/good/huge.bin"
huge_sha="$(sha256sum <"$work/good/huge.bin" | cut -d' ' -f1)"
huge="http://127.0.0.11:$backend_port/huge.bin"
row curl1g "1 GiB from one source, no cap" "curl" "baseline" curl1g
row q1g "" "quillon-get" "<= 0.85x curl" curl1g
cmd_curl1g=(curl -sf -o "$out/curl1g.bin" "$huge")
cmd_q1g=("$qget" "$huge" "$out/q1g.bin")
measure "$huge_sha" curl1g q1g
rm -f "$work/good/huge.bin"

[ -n "$aria2c_bin" ] || note a3 "aria2c is not installed"
[ -n "$aria2c_bin" ] || note a4c "aria2c is not installed"
echo "The several-sources lab: quillon-get from $build, $("$qget" --version), curl $(curl --version | head -n 1 | cut -d' ' -f2)${aria2c_bin:+, aria2c $("$aria2c_bin" --version | head -n 1 | cut -d' ' -f3)}"
python3 - "$work/rows" "$work/times" "$work/notes" "$rounds" <<'PY'
import statistics, sys
rows_file, times_file, notes_file, rounds = sys.argv[1:5]

def lines(path):
    try:
        with open(path) as f:
            return [line.rstrip("\n").split("\t") for line in f if line.strip()]
    except FileNotFoundError:
        return []

runs, notes = {}, {}
for id_, _, seconds, check in lines(times_file):
    runs.setdefault(id_, []).append((seconds, check))
for id_, text in lines(notes_file):
    notes.setdefault(id_, [])
    if text not in notes[id_]:
        notes[id_].append(text)

def median(id_):
    times = [float(s) for s, c in runs.get(id_, []) if s != "n/a" and not c.startswith("timed out")]
    return statistics.median(times) if times else None

def checks(id_):
    counted = {}
    for _, c in runs.get(id_, []):
        counted[c] = counted.get(c, 0) + 1
    if len(counted) == 1:
        return next(iter(counted))
    return ", ".join(f"{c} x{n}" for c, n in counted.items())

table = [("case", "program", "median", "x curl", "compared", "file", "target")]
below = {}
for id_, case, program, target, curl_id, base in lines(rows_file):
    results = runs.get(id_, [])
    t = median(id_)
    if any(s == "n/a" for s, _ in results):
        shown, check = "n/a (option not supported)", ""
    elif not results:
        shown, check = "not run", ""
    else:
        shown, check = (f"{t:.2f} s" if t is not None else "-"), checks(id_)
    x_curl = compared = ""
    if t is not None and curl_id != "-" and median(curl_id):
        x_curl = f"{t / median(curl_id):.2f}x"
    if t is not None and base:
        base_id, name = base.split(":", 1)
        if median(base_id):
            compared = f"{t / median(base_id):.2f}x {name}"
    table.append((case, program, shown, x_curl, compared, check, target))
    below[len(table) - 1] = notes.get(id_, [])

widths = [max(len(r[i]) for r in table) for i in range(len(table[0]))]
print(f"medians of {rounds} run{'s' if rounds != '1' else ''}; the ratios are ratios of medians")
for n, r in enumerate(table):
    print("  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip())
    for text in below.get(n, []):
        print(" " * (widths[0] + 2) + "- " + text)
PY
