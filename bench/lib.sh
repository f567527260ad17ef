# Sourced by the benchmark scripts: the Release build they measure and the
# comparison of quillon-get with curl.
src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=../scripts/servers.sh
. "$src/scripts/servers.sh"

# bench_build BUILD_DIR TARGET: builds TARGET in a Release build without
# sanitizers unless it is there already.
bench_build() {
  if [ ! -x "$1/$2" ]; then
    cmake -S "$src" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF -DQUILLON_BENCH=ON >/dev/null
    cmake --build "$1" -j2 --target "$(basename "$2")" >/dev/null
  fi
}

# port_open_at HOST PORT / wait_port_at HOST PORT: port_open and wait_port
# for another address than 127.0.0.1 ("::1").
port_open_at() { (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null; }
wait_port_at() {
  local _
  for _ in $(seq 100); do port_open_at "$1" "$2" && return 0; sleep 0.1; done
  return 1
}

# time_pairs ROUNDS [REFERENCE]: runs the caller's run_quillon and run_curl
# ROUNDS times each, the order turned every round (quillon, curl, curl,
# quillon, ...) so that neither always follows the other. With REFERENCE each
# run's file ($work/quillon.bin, $work/curl.bin) must equal it and is removed.
# Leaves "tool seconds" pairs in the array `times`.
time_pairs() {
  local rounds="$1" reference="${2:-}" round tool t0 t1 order
  times=()
  # Warm the page cache with one untimed read.
  [ -z "$reference" ] || cat "$reference" >/dev/null
  for ((round = 0; round < rounds; round++)); do
    order="quillon curl"
    ((round % 2 == 0)) || order="curl quillon"
    for tool in $order; do
      t0=$(date +%s.%N)
      "run_$tool"
      t1=$(date +%s.%N)
      times+=("$tool" "$(python3 -c "print($t1 - $t0)")")
      if [ -n "$reference" ]; then
        cmp -s "$reference" "$work/$tool.bin" || { echo "$tool: the file differs" >&2; exit 1; }
        rm -f "$work/$tool.bin"
        sync
      fi
    done
  done
}

# print_times LABEL [MIB]: the median and the best time of each tool from
# `times`, with the rate when the runs moved MIB mebibytes, and the ratio of
# the medians.
print_times() {
  python3 - "$1" "${2:-0}" "${times[@]}" <<'PY'
import statistics, sys
label, mib, a = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
runs = {}
for tool, t in zip(a[0::2], a[1::2]):
    runs.setdefault(tool, []).append(float(t))
def shown(tool):
    m, b = statistics.median(runs[tool]), min(runs[tool])
    rate = f", {mib / m:.0f} MiB/s" if mib else ""
    return f"median {m:.3f} s (best {b:.3f} s{rate})"
q, c = statistics.median(runs["quillon"]), statistics.median(runs["curl"])
print(f"{label} ({len(runs['quillon'])} runs each): quillon-get {shown('quillon')}, "
      f"curl {shown('curl')}, ratio quillon-get/curl {q / c:.2f}")
PY
}

# compare_with_curl LABEL REFERENCE [ROUNDS]: time_pairs (2 rounds unless
# ROUNDS says) of a 1 GiB file checked against REFERENCE, then print_times.
compare_with_curl() {
  time_pairs "${3:-2}" "$2"
  print_times "$1" 1024
}
