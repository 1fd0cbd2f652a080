#!/usr/bin/env bash
# Size, speed and peak memory of single algorithm plugins against bzip2 -9,
# xz -9e and bzip3 -b 64 (and optionally zstd -19), one thread each, in
# the same run.
#   bench/codec.sh [-m MIRT] [-p PLUGIN_DIR] [-o OLD_PLUGIN_DIR] [-s BLOCK] [-L] [-B] [-z]
#                  SLOT[,SLOT...] [FILE...]
# MIRT defaults to a release build of this tree in build/bench that reads
# no system configuration (built when missing): an installed one that
# loads all modules would load its own plugins first.
# Each slot is run as `mirt -I SLOT` (that slot and the copy algorithm), so
# every slot sees the same blocks: mirt's default block size for the file,
# or BLOCK bytes with -s. -o also runs each slot with the plugins of an
# earlier build (as slotNold). Files default to the text-like corpus
# files; -L adds a large text (48 MB of the corpus text, markup and source
# files, one after another). -z adds zstd -19.
# -B adds a table for the block-sorting codec (slot 22) called directly,
# each file one block: both stored forms, speeds, and the speed-up of two
# threads on the block in both directions (bench/bwt_block.cpp).
# Speeds are MB (10^6 bytes) of plain data per second of user + system CPU
# time: every tool runs one thread, and CPU time is not skewed by others
# sharing the machine (WALL=1 uses wall time). Memory is the peak resident
# set of the process (GNU time), in MiB.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mirt=""
plugins=""
old=""
block=""
large=0
direct=0
with_zstd=0
usage() { sed -n '2,23p' "$0" >&2; exit 2; }
while getopts "m:p:o:s:LBz" opt; do
  case $opt in
    m) mirt=$OPTARG ;;
    p) plugins=$OPTARG ;;
    o) old=$OPTARG ;;
    s) block=$OPTARG ;;
    L) large=1 ;;
    B) direct=1 ;;
    z) with_zstd=1 ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[ $# -ge 1 ] || usage
IFS=, read -r -a slots <<<"$1"
shift
corpus=${CORPUS:-$here/../shared/bench/corpus}
files=("$@")
[ ${#files[@]} -gt 0 ] || files=("$corpus"/markup.xml "$corpus"/records.txt "$corpus"/source.tar "$corpus"/text.txt)
if [ -z "$mirt" ]; then
  mirt=$here/build/bench/mirt
  if [ ! -x "$mirt" ]; then
    cmake -S "$here" -B "$here/build/bench" -DCMAKE_BUILD_TYPE=Release -DMIRT_TESTS=OFF \
          -DMIRT_SYSTEM_CONFIG="$here/build/bench/no-system.conf" >/dev/null
    cmake --build "$here/build/bench" -j"$(nproc)" >/dev/null
  fi
fi
plugins=${plugins:-$(dirname "$mirt")/plugins}
[ -x "$mirt" ] || { echo "no mirt binary at $mirt (build first)" >&2; exit 1; }
[ -d "$plugins" ] || { echo "no plugin folder at $plugins" >&2; exit 1; }
[ -z "$old" ] || [ -d "$old" ] || { echo "no plugin folder at $old" >&2; exit 1; }
command -v bzip3 >/dev/null || "$here/scripts/setup" --deps-only
[ -x /usr/bin/time ] || { echo "needs GNU time at /usr/bin/time" >&2; exit 1; }
for tool in bzip2 xz bzip3; do
  command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 1; }
done
[ "$with_zstd" = 0 ] || command -v zstd >/dev/null || { echo "needs zstd" >&2; exit 1; }
for f in "${files[@]}"; do [ -f "$f" ] || { echo "no file $f" >&2; exit 1; }; done

work=$(mktemp -d -p "${BENCH_DIR:-${TMPDIR:-/tmp}}" mirt-codec.XXXXXX)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home"; mkdir -p "$HOME"  # no user configuration
if [ "$large" = 1 ]; then
  for k in 1 2 3 4; do cat "$corpus"/text.txt "$corpus"/markup.xml "$corpus"/source.tar; done >"$work/large.txt"
  truncate -s 48000000 "$work/large.txt"
  files+=("$work/large.txt")
fi
# conf FILE DIR: a configuration that loads every plugin of DIR.
conf() {
  printf 'module_dir %s\nall_modules on\n' "$(cd "$2" && pwd)" >"$1"
  [ -z "$block" ] || printf 'blocksize_limit %s\npipe_blocksize %s\n' "$block" "$block" >>"$1"
}
conf "$work/plugins.conf" "$plugins"
[ -z "$old" ] || conf "$work/old.conf" "$old"

tools=()
for s in "${slots[@]}"; do
  [[ $s =~ ^[0-9]+$ ]] || { echo "not a slot number: $s" >&2; exit 2; }
  # grep reads the whole list: with -q it could stop early and, under
  # pipefail, the listing's broken pipe would read as a missing slot.
  "$mirt" -m "$work/plugins.conf" -l 2>&1 | grep -E "^mirt: +0*$s \|" >/dev/null ||
    echo "warning: slot $s not listed by mirt -l with $plugins" >&2
  tools+=("slot$s")
  [ -z "$old" ] || tools+=("slot${s}old")
done
tools+=(bzip2 xz bzip3)
[ "$with_zstd" = 1 ] && tools+=(zstd)

# run OUT IN CMD...: CMD reads IN on standard input, writes OUT; records
# "seconds kilobytes" in $work/t.
run() {
  local out=$1 in=$2; shift 2
  /usr/bin/time -o "$work/t.raw" -f '%e %U %S %M' "$@" <"$in" >"$out" 2>>"$work/log"
  awk -v wall="${WALL:-0}" '{ printf "%s %s\n", wall == 1 ? $1 : $2 + $3, $4 }' "$work/t.raw" >"$work/t"
}
compress() {  # TOOL IN OUT
  case $1 in
    slot*old) local s=${1#slot}; run "$3" "$2" "$mirt" -m "$work/old.conf" -I "${s%old}" -c ;;
    slot*) run "$3" "$2" "$mirt" -m "$work/plugins.conf" -I "${1#slot}" -c ;;
    bzip2) run "$3" "$2" bzip2 -9 -c ;;
    xz) run "$3" "$2" xz -9e -T1 -c ;;
    bzip3) run "$3" "$2" bzip3 -b 64 -j 1 -c ;;
    zstd) run "$3" "$2" zstd -q -19 -T1 -c ;;
  esac
}
expand() {
  case $1 in
    slot*old) run "$3" "$2" "$mirt" -m "$work/old.conf" -d -c ;;
    slot*) run "$3" "$2" "$mirt" -m "$work/plugins.conf" -d -c ;;
    bzip2) run "$3" "$2" bzip2 -d -c ;;
    xz) run "$3" "$2" xz -d -T1 -c ;;
    bzip3) run "$3" "$2" bzip3 -d -j 1 -c ;;
    zstd) run "$3" "$2" zstd -q -d -c ;;
  esac
}

declare -A size ct dt crss drss tsize tct tdt tin trss
total_in=0
for f in "${files[@]}"; do
  name=$(basename "$f")
  bytes=$(stat -c %s "$f")
  total_in=$((total_in + bytes))
  cat "$f" >/dev/null  # into the page cache
  for t in "${tools[@]}"; do
    compress "$t" "$f" "$work/packed"
    read -r ct[$name,$t] crss[$name,$t] <"$work/t"
    expand "$t" "$work/packed" "$work/back"
    read -r dt[$name,$t] drss[$name,$t] <"$work/t"
    cmp -s "$f" "$work/back" || { echo "$t: round trip of $name differs" >&2; cat "$work/log" >&2; exit 1; }
    size[$name,$t]=$(stat -c %s "$work/packed")
    tsize[$t]=$(( ${tsize[$t]:-0} + ${size[$name,$t]} ))
    tct[$t]=$(awk -v a="${tct[$t]:-0}" -v b="${ct[$name,$t]}" 'BEGIN{print a + b}')
    tdt[$t]=$(awk -v a="${tdt[$t]:-0}" -v b="${dt[$name,$t]}" 'BEGIN{print a + b}')
    peak=$(( ${crss[$name,$t]} > ${drss[$name,$t]} ? ${crss[$name,$t]} : ${drss[$name,$t]} ))
    [ "$peak" -gt "${trss[$t]:-0}" ] && trss[$t]=$peak
    rm -f "$work/packed" "$work/back"
  done
  tin[$name]=$bytes
done

mbps() { awk -v b="$1" -v s="$2" 'BEGIN{ if (s <= 0) print "-"; else printf "%.1f", b / s / 1e6 }'; }
mib() { awk -v k="$1" 'BEGIN{printf "%.0f", k / 1024}'; }
printf '%-12s %-9s %10s %8s %8s %8s %8s %8s\n' file tool bytes ratio c_MB/s d_MB/s c_MiB d_MiB
for name in $(for f in "${files[@]}"; do basename "$f"; done) TOTAL; do
  for t in "${tools[@]}"; do
    if [ "$name" = TOTAL ]; then
      printf '%-12s %-9s %10s %8.4f %8s %8s %8s %8s\n' TOTAL "$t" "${tsize[$t]}" \
        "$(awk -v a="${tsize[$t]}" -v b="$total_in" 'BEGIN{print a / b}')" \
        "$(mbps "$total_in" "${tct[$t]}")" "$(mbps "$total_in" "${tdt[$t]}")" \
        "$(mib "${trss[$t]}")" "(peak)"
    else
      printf '%-12s %-9s %10s %8.4f %8s %8s %8s %8s\n' "$name" "$t" "${size[$name,$t]}" \
        "$(awk -v a="${size[$name,$t]}" -v b="${tin[$name]}" 'BEGIN{print a / b}')" \
        "$(mbps "${tin[$name]}" "${ct[$name,$t]}")" "$(mbps "${tin[$name]}" "${dt[$name,$t]}")" \
        "$(mib "${crss[$name,$t]}")" "$(mib "${drss[$name,$t]}")"
    fi
  done
done
echo
echo "Total size against each other tool (below 1: the slot is smaller):"
for s in "${slots[@]}"; do
  for t in "${tools[@]}"; do
    [ "$t" = "slot$s" ] && continue
    awk -v s="slot$s" -v t="$t" -v a="${tsize[slot$s]}" -v b="${tsize[$t]}" \
      'BEGIN{printf "  %-8s / %-9s %.4f\n", s, t, a / b}'
  done
done

if [ "$direct" = 1 ]; then
  echo
  echo "Slot 22 called directly, each file one block (c_x, d_x: speed-up of two threads):"
  build=$(dirname "$mirt")
  cmake --build "$build" --target bwt_block >/dev/null
  "$build/bwt_block" -t 2 "${files[@]}"
fi
