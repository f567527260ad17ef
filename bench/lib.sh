# Sourced by the benchmark scripts: the Release build they measure and the
# comparison of quillon-get with curl.
src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=../scripts/servers.sh
. "$src/scripts/servers.sh"

# bench_build BUILD_DIR TARGET: brings TARGET up to date in a Release build
# without sanitizers, configuring BUILD_DIR from this tree when it is new. A
# build folder configured before keeps its own source tree, so that another
# checkout's build can be measured beside this one's.
bench_build() {
  if [ ! -f "$1/CMakeCache.txt" ]; then
    cmake -S "$src" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF -DQUILLON_BENCH=ON >/dev/null
  fi
  cmake --build "$1" -j2 --target "$(basename "$2")" >/dev/null
}

# port_open_at HOST PORT / wait_port_at HOST PORT: port_open and wait_port
# for another address than 127.0.0.1 ("::1").
port_open_at() { (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null; }
wait_port_at() {
  local _
  for _ in $(seq 100); do port_open_at "$1" "$2" && return 0; sleep 0.1; done
  return 1
}

# start_nginx PORT [HOST]: starts nginx on the configuration nginx_conf wrote
# into $work, and waits until HOST:PORT (127.0.0.1 by default) accepts; ends
# the script with nginx's errors when it does not.
start_nginx() {
  start_bg "$work/nginx.log" "$(need_program nginx)" -p "$work" -c "$work/nginx.conf" -e "$work/nginx-error.log"
  wait_port_at "${2:-127.0.0.1}" "$1" || { echo "nginx did not start: $(cat "$work/nginx-error.log")" >&2; exit 1; }
}

# copy_floor URL OUTPUT [CA_FILE]: the least a download can cost, for
# comparison: one GET (http, https) or RETR (ftp, passive), its body read
# by a Python loop of recv_into into one preallocated buffer, each piece
# written to OUTPUT as it is. CA_FILE checks an https server.
copy_floor() {
  python3 - "$@" <<'PY'
import ftplib, os, socket, ssl, sys
from urllib.parse import unquote, urlsplit
url, output = sys.argv[1], sys.argv[2]
u = urlsplit(url)
buf = bytearray(256 * 1024)
view = memoryview(buf)
fd = os.open(output, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)

def pump(sock, first=b""):
    if first:
        os.write(fd, first)
    while True:
        n = sock.recv_into(buf)
        if n == 0:
            break
        os.write(fd, view[:n])

if u.scheme == "ftp":
    ftp = ftplib.FTP()
    ftp.connect(u.hostname, u.port or 21)
    ftp.login(unquote(u.username or "anonymous"), unquote(u.password or "bench@"))
    ftp.voidcmd("TYPE I")
    data = ftp.transfercmd("RETR " + unquote(u.path[1:]))  # relative to the login folder
    pump(data)
    data.close()
    ftp.voidresp()
    ftp.quit()
else:
    sock = socket.create_connection((u.hostname, u.port or (443 if u.scheme == "https" else 80)))
    if u.scheme == "https":
        context = ssl.create_default_context(cafile=sys.argv[3] if len(sys.argv) > 3 else None)
        sock = context.wrap_socket(sock, server_hostname=u.hostname)
    sock.sendall(f"GET {u.path} HTTP/1.1\r\nHost: {u.netloc}\r\nConnection: close\r\n\r\n".encode())
    head = b""
    while b"\r\n\r\n" not in head:
        piece = sock.recv(4096)
        if not piece:
            sys.exit("no header")
        head += piece
    status = head.split(b"\r\n", 1)[0]
    if b" 200 " not in status:
        sys.exit(status.decode(errors="replace"))
    pump(sock, head.split(b"\r\n\r\n", 1)[1])
    sock.close()
os.close(fd)
PY
}

# compare_with_curl LABEL REFERENCE [MIB]: runs the caller's run_quillon, run_curl
# and, when defined, run_floor (which write $work/quillon.bin, curl.bin and
# floor.bin) in ROUNDS rounds (default 3), the order turning each round so
# that none always follows another's write-back; checks each file against
# REFERENCE and prints the medians of the times and of the ratios of each
# round (quillon-get/curl, quillon-get/floor); with the rates when the file
# has MIB mebibytes (default 1024; 0: no rates).
compare_with_curl() {
  local label="$1" reference="$2" mib="${3:-1024}" tool t0 t1 file round times=() tools=(quillon curl)
  declare -F run_floor >/dev/null && tools+=(floor)
  # Warm the page cache with one untimed read.
  cat "$reference" >/dev/null
  for ((round = 0; round < ${ROUNDS:-3}; round++)); do
    local order=("${tools[@]:round % ${#tools[@]}}" "${tools[@]:0:round % ${#tools[@]}}")
    for tool in "${order[@]}"; do
      t0=$(date +%s.%N)
      "run_$tool"
      t1=$(date +%s.%N)
      times+=("$round" "$tool" "$(python3 -c "print($t1 - $t0)")")
      file="$work/$tool.bin"
      cmp -s "$reference" "$file" || { echo "$tool: the file differs" >&2; exit 1; }
      rm -f "$file"
      sync
    done
  done
  python3 - "$label" "$mib" "${times[@]}" <<'PY'
import statistics, sys
label, mib, a = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
rounds = {}
for r, tool, t in zip(a[0::3], a[1::3], a[2::3]):
    rounds.setdefault(r, {})[tool] = float(t)
med = lambda xs: statistics.median(xs)
q = med([x["quillon"] for x in rounds.values()])
c = med([x["curl"] for x in rounds.values()])
shown = lambda t: f"{t:.3f} s" + (f" ({mib / t:.0f} MiB/s)" if mib else "")
line = f"{label} (medians of {len(rounds)}): quillon-get {shown(q)}, curl {shown(c)}"
if all("floor" in x for x in rounds.values()):
    line += f", copy floor {shown(med([x['floor'] for x in rounds.values()]))}"
line += f"\n  ratio quillon-get/curl {med([x['quillon'] / x['curl'] for x in rounds.values()]):.2f}"
if all("floor" in x for x in rounds.values()):
    line += f", quillon-get/floor {med([x['quillon'] / x['floor'] for x in rounds.values()]):.2f}"
print(line)
PY
}
