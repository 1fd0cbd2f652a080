#!/usr/bin/env bash
# gzip and bzip2 input: mirt -d -c against gzip -dc and bzip2 -dc on the same
# files in the same run, read from a file and through a pipe.
#   bench/foreign.sh [MIRT_BINARY] [SIZE_MIB]
# Prints the best wall time of $RUNS runs (default 3) of each command and the
# ratio mirt / reference tool.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mirt=${1:-$here/build/release/mirt}
size_mib=${2:-100}
runs=${RUNS:-3}
[ -x "$mirt" ] || { echo "no mirt binary at $mirt (build first)" >&2; exit 1; }
mirt=$(cd "$(dirname "$mirt")" && pwd)/$(basename "$mirt")
for tool in gzip bzip2; do
  command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 1; }
done

work=$(mktemp -d -p "${BENCH_DIR:-${TMPDIR:-/tmp}}" bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home"; mkdir -p "$HOME"

# Mixed content: the corpus repeated when present, text otherwise.
corpus="$here/../shared/bench/corpus"
if [ -d "$corpus" ]; then
  while [ "$(stat -c %s "$work/in" 2>/dev/null || echo 0)" -lt $((size_mib * 1048576)) ]; do
    cat "$corpus"/* >>"$work/in"
  done
else
  seq 1 $((size_mib * 150000)) >"$work/in"
fi
truncate -s $((size_mib * 1048576)) "$work/in"

echo "compressing ${size_mib} MiB (gzip -6, bzip2 -9)..." >&2
gzip -6 -c "$work/in" >"$work/f.gz"
bzip2 -9 -c "$work/in" >"$work/f.bz2"

for f in f.gz f.bz2; do
  "$mirt" -d -c "$work/$f" | cmp -s - "$work/in" || { echo "mirt -d -c $f differs!" >&2; exit 1; }
  cat "$work/$f" | "$mirt" -d -c | cmp -s - "$work/in" ||
    { echo "cat $f | mirt -d -c differs!" >&2; exit 1; }
done
cat "$work/f.gz" "$work/f.bz2" >/dev/null  # into the page cache

# best COMMAND: best wall time in seconds of $runs runs.
best() {
  local min=""
  for _ in $(seq "$runs"); do
    local start end
    start=$(date +%s%N)
    bash -c "$1" >/dev/null
    end=$(date +%s%N)
    local t=$(( (end - start) / 1000 ))
    if [ -z "$min" ] || [ "$t" -lt "$min" ]; then min=$t; fi
  done
  awk "BEGIN{printf \"%.3f\", $min / 1e6}"
}

printf '%-7s %-5s %10s %10s %7s\n' input from tool_s mirt_s ratio
for kind in gz bz2; do
  tool=gzip; [ "$kind" = bz2 ] && tool=bzip2
  f="$work/f.$kind"
  ref_file=$(best "$tool -dc '$f'")
  mirt_file=$(best "'$mirt' -d -c '$f'")
  ref_pipe=$(best "cat '$f' | $tool -dc")
  mirt_pipe=$(best "cat '$f' | '$mirt' -d -c")
  printf '%-7s %-5s %10s %10s %7.2f\n' "$kind" file "$ref_file" "$mirt_file" \
    "$(awk "BEGIN{print $mirt_file / $ref_file}")"
  printf '%-7s %-5s %10s %10s %7.2f\n' "$kind" pipe "$ref_pipe" "$mirt_pipe" \
    "$(awk "BEGIN{print $mirt_pipe / $ref_pipe}")"
done
echo "data: ${size_mib} MiB; output to /dev/null; best of $runs runs"
