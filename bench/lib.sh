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

# compare_with_curl LABEL REFERENCE: runs the caller's run_quillon and run_curl
# (which write $work/quillon.bin and $work/curl.bin) twice each, in the order
# quillon, curl, curl, quillon so that neither always follows the other's
# write-back; checks each file against REFERENCE and prints the better times.
compare_with_curl() {
  local label="$1" reference="$2" tool t0 t1 file times=()
  # Warm the page cache with one untimed read.
  cat "$reference" >/dev/null
  for tool in quillon curl curl quillon; do
    t0=$(date +%s.%N)
    "run_$tool"
    t1=$(date +%s.%N)
    times+=("$tool" "$(python3 -c "print($t1 - $t0)")")
    file="$work/$tool.bin"
    cmp -s "$reference" "$file" || { echo "$tool: the file differs" >&2; exit 1; }
    rm -f "$file"
    sync
  done
  python3 - "$label" "${times[@]}" <<'PY'
import sys
label, a = sys.argv[1], sys.argv[2:]
best = {}
for tool, t in zip(a[0::2], a[1::2]):
    best[tool] = min(best.get(tool, 1e9), float(t))
q, c = best["quillon"], best["curl"]
print(f"{label} (best of 2): quillon-get {q:.2f} s ({1024/q:.0f} MiB/s), "
      f"curl {c:.2f} s ({1024/c:.0f} MiB/s), ratio quillon-get/curl {q/c:.2f}")
PY
}
