#!/usr/bin/env bash
# Copy-algorithm throughput against a `dd bs=4M` copy of the same file in
# the same run, with one thread and with two.
#   bench/copy_only.sh [MIRT_BINARY] [SIZE_MIB]
# Compresses and decompresses a SIZE_MIB file (default 256) with only the
# built-in copy algorithm, from page cache to a file on the same disk, and
# prints each time as a ratio to dd's, with CPU time and peak memory.
# -I 0 keeps only the copy algorithm even where plugins are configured.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mirt=${1:-$here/build/release/mirt}
size_mib=${2:-256}
runs=${RUNS:-5}
[ -x "$mirt" ] || { echo "no mirt binary at $mirt (build first)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (package time)" >&2; exit 1; }

work=$(mktemp -d -p "${BENCH_DIR:-$here/build}" bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home"; mkdir -p "$HOME"

# Mixed content: the corpus repeated when present, random bytes otherwise.
corpus="$here/../shared/bench/corpus"
if [ -d "$corpus" ]; then
  while [ "$(stat -c %s "$work/in" 2>/dev/null || echo 0)" -lt $((size_mib * 1048576)) ]; do
    cat "$corpus"/* >>"$work/in"
  done
  truncate -s $((size_mib * 1048576)) "$work/in"
else
  head -c $((size_mib * 1048576)) /dev/urandom >"$work/in"
fi
cat "$work/in" >/dev/null  # into the page cache

# measure NAME COMMAND...: best wall time of $runs, with its CPU and RSS.
declare -A wall cpu rss
measure() {
  local name=$1; shift
  local best=""
  for _ in $(seq "$runs"); do
    rm -f "$work/out" "$work/in.mrt" "$work/back"
    /usr/bin/time -f "%e %U %S %M" -o "$work/t" "$@" >/dev/null
    read -r e u s m <"$work/t"
    if [ -z "$best" ] || awk "BEGIN{exit !($e < $best)}"; then
      best=$e; wall[$name]=$e; cpu[$name]=$(awk "BEGIN{print $u + $s}"); rss[$name]=$m
    fi
  done
}

measure dd dd if="$work/in" of="$work/out" bs=4M status=none
rm -f "$work/c.mrt"; "$mirt" -I 0 -o "$work/c.mrt" "$work/in"
steps=(dd)
for t in 1 2; do
  measure "compress-t$t" "$mirt" -M "threads $t" -I 0 -o "$work/in.mrt" "$work/in"
  measure "decompress-t$t" "$mirt" -M "threads $t" -d -o "$work/back" "$work/c.mrt"
  steps+=("compress-t$t" "decompress-t$t")
  rm -f "$work/back"; "$mirt" -M "threads $t" -d -o "$work/back" "$work/c.mrt"
  cmp -s "$work/in" "$work/back" || { echo "round trip with $t threads differs!" >&2; exit 1; }
done

printf '%-14s %8s %8s %10s %9s\n' step wall_s cpu_s peak_kib "x dd"
for n in "${steps[@]}"; do
  printf '%-14s %8s %8s %10s %9.2f\n' "$n" "${wall[$n]}" "${cpu[$n]}" "${rss[$n]}" \
    "$(awk "BEGIN{print ${wall[$n]} / (${wall[dd]} > 0 ? ${wall[dd]} : 0.001)}")"
done
echo "file: ${size_mib} MiB; block size chosen by mirt; best of $runs runs"
