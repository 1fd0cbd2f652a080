#!/usr/bin/env bash
# Speed-up of the block pipeline: the corpus and one single-block file,
# compressed and decompressed with `threads 1` and `threads N` (default 2),
# against xz -9e -T1 and xz -d in the same run. Every round trip is checked.
#   bench/parallel.sh [MIRT_BINARY] [PLUGIN_DIR]
# Environment: CORPUS (folder of input files), THREADS (the parallel count),
# EXTRA_CONF (a configuration file applied after the installed one, e.g. a
# preset). The installed configuration is plugins/mirt.conf.in pointing at
# PLUGIN_DIR.
# Prints total seconds, speed-ups, ratios to xz, and peak memory (RSS).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mirt=${1:-$here/build/release/mirt}
plugins=${2:-$(dirname "$mirt")/plugins}
corpus=${CORPUS:-$here/../shared/bench/corpus}
threads=${THREADS:-2}
[ -x "$mirt" ] || { echo "no mirt binary at $mirt (build first)" >&2; exit 1; }
[ -d "$plugins" ] || { echo "no plugin folder at $plugins" >&2; exit 1; }
[ -d "$corpus" ] || { echo "no corpus at $corpus" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs GNU time (scripts/setup --deps-only)" >&2; exit 1; }

work=$(mktemp -d -p "${BENCH_DIR:-${TMPDIR:-/tmp}}" mirt-parallel.XXXXXX)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home"; mkdir -p "$HOME"
conf="$work/mirt.conf"
sed "s|@MIRT_INSTALLED_PLUGIN_DIR@|$(cd "$plugins" && pwd)|" "$here/plugins/mirt.conf.in" >"$conf"
extra=()
[ -n "${EXTRA_CONF:-}" ] && extra=(-m "$EXTRA_CONF")

mkdir -p "$work/in"
for f in "$corpus"/*; do [ -f "$f" ] && cp "$f" "$work/in/"; done
single="$work/single-4MiB"
head -c 4194304 "$corpus/source.tar" >"$single"

# measure NAME COMMAND...: adds elapsed seconds to T[NAME], keeps the peak RSS.
declare -A T M
measure() {
  local name=$1; shift
  /usr/bin/time -f '%e %M' -o "$work/time" "$@"
  read -r secs kib <"$work/time"
  T[$name]=$(awk -v a="${T[$name]:-0}" -v b="$secs" 'BEGIN{print a + b}')
  [ "$kib" -gt "${M[$name]:-0}" ] && M[$name]=$kib
  return 0
}

round() {  # round LABEL FILE... : every tool on the files
  local label=$1; shift
  for f in "$@"; do
    cat "$f" >/dev/null
    for n in 1 "$threads"; do
      measure "$label.c$n" "$mirt" -m "$conf" "${extra[@]}" -M "threads $n" -f -o "$work/out.$n" "$f"
      measure "$label.d$n" "$mirt" -m "$conf" "${extra[@]}" -M "threads $n" -d -f -o "$work/back.$n" "$work/out.$n"
      cmp -s "$f" "$work/back.$n" || { echo "round trip of $f with $n threads differs" >&2; exit 1; }
    done
    cmp -s "$work/out.1" "$work/out.$threads" || { echo "$f: output depends on threads" >&2; exit 1; }
    measure "$label.xc" sh -c 'xz -9e -T1 -c "$1" >"$2"' - "$f" "$work/out.xz"
    measure "$label.xd" sh -c 'xz -d -T1 -c "$1" >"$2"' - "$work/out.xz" "$work/back.xz"
  done
}

round corpus "$work"/in/*
round single "$single"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.2f", (b > 0 ? a / b : 0)}'; }
for label in corpus single; do
  echo "== $label ($([ $label = single ] && echo 'one 4 MiB block' || echo 'every corpus file'))"
  printf '  %-22s %8s %10s\n' "" seconds "peak KiB"
  for k in c1 "c$threads" d1 "d$threads" xc xd; do
    case $k in
      c1) what="compress, 1 thread" ;; d1) what="decompress, 1 thread" ;;
      c*) what="compress, $threads threads" ;; d*) what="decompress, $threads threads" ;;
      xc) what="xz -9e -T1" ;; xd) what="xz -d" ;;
    esac
    printf '  %-22s %8.2f %10s\n' "$what" "${T[$label.$k]}" "${M[$label.$k]}"
  done
  echo "  compression speed-up   $(ratio "${T[$label.c1]}" "${T[$label.c$threads]}")"
  echo "  decompression speed-up $(ratio "${T[$label.d1]}" "${T[$label.d$threads]}")"
  echo "  compress time / xz -9e -T1 ($threads threads): $(ratio "${T[$label.c$threads]}" "${T[$label.xc]}")"
  echo "  decompress time / xz -d ($threads threads):    $(ratio "${T[$label.d$threads]}" "${T[$label.xd]}")"
done
