#!/usr/bin/env bash
# Compression ratio and time of mirt with the bundled plugins against
# gzip -9, bzip2 -9, xz -9e and zstd -19 on the same files in the same run.
#   bench/ratio.sh [MIRT_BINARY] [PLUGIN_DIR]
# Environment: CORPUS (folder of input files), ONE_BLOCK (1, the default,
# adds a row "mirt-1blk" with the block size set to the file size, the way
# xz's dictionary covers a whole file of this corpus; 0 skips it).
# Prints per-file sizes and times, totals, the times as ratios to xz's,
# and how many blocks each algorithm won.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mirt=${1:-$here/build/release/mirt}
plugins=${2:-$(dirname "$mirt")/plugins}
corpus=${CORPUS:-$here/../shared/bench/corpus}
one_block=${ONE_BLOCK:-1}
[ -x "$mirt" ] || { echo "no mirt binary at $mirt (build first)" >&2; exit 1; }
[ -d "$plugins" ] || { echo "no plugin folder at $plugins" >&2; exit 1; }
[ -d "$corpus" ] || { echo "no corpus at $corpus" >&2; exit 1; }
for tool in gzip bzip2 xz zstd; do
  command -v "$tool" >/dev/null || { echo "needs $tool (scripts/setup --deps-only)" >&2; exit 1; }
done

work=$(mktemp -d -p "${BENCH_DIR:-${TMPDIR:-/tmp}}" mirt-ratio.XXXXXX)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home"; mkdir -p "$HOME"
conf="$work/plugins.conf"
printf 'module_dir %s\nall_modules on\n' "$(cd "$plugins" && pwd)" >"$conf"

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.2f", b - a}'; }

tools=(mirt)
[ "$one_block" = 1 ] && tools+=(mirt-1blk)
tools+=(gzip bzip2 xz zstd)

# compress TOOL IN OUT / expand TOOL IN OUT
compress() {
  case $1 in
    mirt) "$mirt" -m "$conf" -o "$3" "$2" 2>>"$work/log" ;;
    mirt-1blk) "$mirt" -m "$conf" -b "$(stat -c %s "$2")" -o "$3" "$2" 2>>"$work/log" ;;
    gzip) gzip -9 -c "$2" >"$3" ;;
    bzip2) bzip2 -9 -c "$2" >"$3" ;;
    xz) xz -9e -T1 -c "$2" >"$3" ;;
    zstd) zstd -q -19 -T1 -c "$2" >"$3" ;;
  esac
}
expand() {
  case $1 in
    mirt | mirt-1blk) "$mirt" -m "$conf" -d -o "$3" "$2" 2>>"$work/log" ;;
    gzip) gzip -d -c "$2" >"$3" ;;
    bzip2) bzip2 -d -c "$2" >"$3" ;;
    xz) xz -d -T1 -c "$2" >"$3" ;;
    zstd) zstd -q -d -c "$2" >"$3" ;;
  esac
}

declare -A size ctime dtime total_size total_c total_d wins
files=()
for f in "$corpus"/*; do
  [ -f "$f" ] || continue
  name=$(basename "$f"); files+=("$name")
  cat "$f" >/dev/null  # into the page cache
  for t in "${tools[@]}"; do
    out="$work/$name.$t"
    rm -f "$out" "$work/back"
    s=$(now); compress "$t" "$f" "$out"; e=$(now); ctime[$name,$t]=$(elapsed "$s" "$e")
    s=$(now); expand "$t" "$out" "$work/back"; e=$(now); dtime[$name,$t]=$(elapsed "$s" "$e")
    cmp -s "$f" "$work/back" || { echo "$t: round trip of $name differs!" >&2; cat "$work/log" >&2; exit 1; }
    size[$name,$t]=$(stat -c %s "$out")
    total_size[$t]=$(( ${total_size[$t]:-0} + ${size[$name,$t]} ))
    total_c[$t]=$(awk -v a="${total_c[$t]:-0}" -v b="${ctime[$name,$t]}" 'BEGIN{print a + b}')
    total_d[$t]=$(awk -v a="${total_d[$t]:-0}" -v b="${dtime[$name,$t]}" 'BEGIN{print a + b}')
    if [[ $t == mirt* ]]; then
      # "  003 | 017  | 61007   | LZMA2 Compression"
      while IFS='|' read -r _ _ _ algo; do
        algo=$(sed 's/^ *//; s/ *$//' <<<"$algo")
        wins[$t,$algo]=$(( ${wins[$t,$algo]:-0} + 1 ))
      done < <("$mirt" -m "$conf" -s -v "$out" 2>>"$work/log" | grep -E '^ +[0-9]{3} \| [0-9]{3} ')
    fi
    rm -f "$out" "$work/back"
  done
done

printf '%-16s' file; for t in "${tools[@]}"; do printf ' | %-22s' "$t bytes c_s d_s"; done; echo
for name in "${files[@]}" TOTAL; do
  printf '%-16s' "$name"
  for t in "${tools[@]}"; do
    if [ "$name" = TOTAL ]; then
      printf ' | %9s %5.1f %5.2f' "${total_size[$t]}" "${total_c[$t]}" "${total_d[$t]}"
    else
      printf ' | %9s %5.1f %5.2f' "${size[$name,$t]}" "${ctime[$name,$t]}" "${dtime[$name,$t]}"
    fi
  done
  echo
done
echo
echo "Against xz -9e (sizes: total bytes; times: total seconds, as multiples of xz's):"
for t in "${tools[@]}"; do
  awk -v t="$t" -v s="${total_size[$t]}" -v c="${total_c[$t]}" -v d="${total_d[$t]}" \
      -v xs="${total_size[xz]}" -v xc="${total_c[xz]}" -v xd="${total_d[xz]}" \
      'BEGIN{printf "  %-10s size %6.3f  compress %5.2fx  decompress %5.2fx\n", t, s / xs,
             c / (xc > 0 ? xc : 0.001), d / (xd > 0 ? xd : 0.001)}'
done
echo
echo "Blocks won:"
for key in "${!wins[@]}"; do
  printf '  %-10s %-28s %s\n' "${key%%,*}" "${key#*,}" "${wins[$key]}"
done | sort
