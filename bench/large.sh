#!/usr/bin/env bash
# Block size on large inputs: the installed default algorithm list
# (plugins/mirt.conf.in) with blocks of each size in BLOCKS (MiB), against
# xz -9e -T1, xz -d and bzip3 -b 64 in the same run, with two threads.
#   bench/large.sh [MIRT_BINARY] [PLUGIN_DIR]
# MIRT_BINARY must be a build with tests (it reads MIRT_TEST_SYSTEM_CONFIG,
# so the configuration here replaces any installed one).
# Environment: CAP_MIB (each input is cut to this many MiB; default 32, so
# that the run stays near 15 minutes on 2 cores: block sizes above it give
# the same one block and are skipped), BLOCKS (default "4 16 32 64"),
# THREADS (default 2).
# Inputs: a tar of /usr/share/doc, a tar of /usr/include, and a log-like
# text made here from a fixed seed. Every round trip is checked.
# Prints size, its ratio to xz -9e, CPU (user+sys) and wall seconds of
# compression and decompression, and the peak RSS of either.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mirt=${1:-$here/build/dev/mirt}
plugins=${2:-$(dirname "$mirt")/plugins}
cap=${CAP_MIB:-32}
blocks=${BLOCKS:-4 16 32 64}
threads=${THREADS:-2}
[ -x "$mirt" ] || { echo "no mirt binary at $mirt (build first)" >&2; exit 1; }
[ -d "$plugins" ] || { echo "no plugin folder at $plugins" >&2; exit 1; }
for tool in xz bzip3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "needs $tool (scripts/setup --deps-only)" >&2; exit 1; }
done

work=$(mktemp -d -p "${BENCH_DIR:-${TMPDIR:-/tmp}}" mirt-large.XXXXXX)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home"; mkdir -p "$HOME"
export MIRT_TEST_SYSTEM_CONFIG="$work/mirt.conf"
sed "s|@MIRT_INSTALLED_PLUGIN_DIR@|$(cd "$plugins" && pwd)|" "$here/plugins/mirt.conf.in" \
  >"$MIRT_TEST_SYSTEM_CONFIG"
limit=$((cap * 1048576))

# A web server's and an application's log lines, interleaved, from a
# fixed linear congruential sequence: the same bytes on every machine.
make_log() {
  awk -v limit="$limit" 'BEGIN {
    s = 12345; t = 1700000000; n = 0
    split("GET POST PUT DELETE HEAD", verb, " ")
    split("/ /index.html /api/v1/items /api/v1/users /static/app.js /static/style.css /login /search", path, " ")
    split("200 200 200 200 304 404 500 301", code, " ")
    split("INFO INFO INFO DEBUG WARN ERROR", level, " ")
    split("request served|cache miss for key|connection reset by peer|retrying upstream|session started|session ended|slow query took", msg, "|")
    while (n < limit) {
      s = (s * 69069 + 1) % 4294967296; t += s % 3  # exact in a double
      if (s % 5 < 3) {
        line = sprintf("10.%d.%d.%d - - [%d] \"%s %s?id=%d HTTP/1.1\" %s %d \"-\" \"client/%d.%d\"",
          s % 7, int(s / 7) % 256, int(s / 1792) % 256, t, verb[1 + s % 5], path[1 + int(s / 5) % 8],
          s % 100000, code[1 + int(s / 40) % 8], 200 + s % 50000, 1 + s % 3, s % 10)
      } else {
        line = sprintf("%d %-5s worker-%d %s %d (%d ms)", t, level[1 + s % 6], s % 16,
          msg[1 + int(s / 6) % 7], s % 1000003, s % 977)
      }
      print line; n += length(line) + 1
    }
  }' | head -c "$limit"
}

tar cf - -C /usr/share doc 2>/dev/null | head -c "$limit" >"$work/doc.tar" || true
tar cf - -C /usr include 2>/dev/null | head -c "$limit" >"$work/include.tar" || true
make_log >"$work/log.txt" || true  # head ends the pipe

# run NAME IN OUT COMMAND...: seconds and peak memory of one command,
# its output into OUT.
run() {
  local name=$1 in=$2 out=$3; shift 3
  /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" <"$in" >"$out"
  read -r wall user sys kib <"$work/time"
  R[$name]="$wall $(awk "BEGIN{print $user + $sys}") $kib"
}

printf '%-12s %-12s %11s %7s %8s %8s %8s %8s %9s\n' input tool bytes "x xz" c_cpu c_wall d_cpu d_wall peak_mib
report() {  # report INPUT TOOL PACKED XZ_BYTES
  local bytes c d
  bytes=$(stat -c %s "$3")
  read -r cw cc cm <<<"${R[c]}"; read -r dw dc dm <<<"${R[d]}"
  printf '%-12s %-12s %11d %7.3f %8.1f %8.1f %8.1f %8.1f %9.0f\n' "$1" "$2" "$bytes" \
    "$(awk "BEGIN{print $bytes / $4}")" "$cc" "$cw" "$dc" "$dw" \
    "$(awk "BEGIN{print ($cm > $dm ? $cm : $dm) / 1024}")"
}

declare -A R
for input in doc.tar include.tar log.txt; do
  f="$work/$input"
  size=$(stat -c %s "$f")
  cat "$f" >/dev/null
  run c "$f" "$work/x.xz" xz -9e -T1 -c
  run d "$work/x.xz" "$work/back" xz -d -c
  cmp -s "$f" "$work/back" || { echo "xz round trip of $input differs" >&2; exit 1; }
  xz_bytes=$(stat -c %s "$work/x.xz")
  report "$input" "xz -9e" "$work/x.xz" "$xz_bytes"
  run c "$f" "$work/x.bz3" bzip3 -e -b 64 -j "$threads" -c
  run d "$work/x.bz3" "$work/back" bzip3 -d -j "$threads" -c
  cmp -s "$f" "$work/back" || { echo "bzip3 round trip of $input differs" >&2; exit 1; }
  report "$input" "bzip3 -b 64" "$work/x.bz3" "$xz_bytes"
  for mib in $blocks; do
    block=$((mib * 1048576))
    # A block above the input is the same one block as the input's size.
    [ "$block" -gt "$size" ] && [ $((block / 2)) -ge "$size" ] && continue
    run c /dev/null "$work/x.mrt" "$mirt" -M "threads $threads" -b "$block" -c "$f"
    run d "$work/x.mrt" "$work/back" "$mirt" -M "threads $threads" -d -c -
    cmp -s "$f" "$work/back" || { echo "mirt round trip of $input at $mib MiB differs" >&2; exit 1; }
    report "$input" "mirt ${mib}M" "$work/x.mrt" "$xz_bytes"
  done
done
echo "inputs cut to $cap MiB; $threads threads for mirt and bzip3; times in seconds"
