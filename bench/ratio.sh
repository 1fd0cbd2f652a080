#!/usr/bin/env bash
# Sizes, times and memory of mirt's installed configuration and its presets
# against other compressors, on the same files in the same run.
#   bench/ratio.sh [MIRT_BINARY] [PLUGIN_DIR]
# Environment: CORPUS (folder of input files), CONFIGS (which mirt
# configurations: default fast max; default all three), THREADS (mirt's
# threads directive; default: one per online processor), PIPE (1, the
# default, also compresses the corpus as one tar through a pipe and from a
# file).
# Every round trip is checked. Times are CPU seconds (user + system) and
# wall seconds; memory is the peak resident size.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mirt=${1:-$here/build/release/mirt}
plugins=${2:-$(dirname "$mirt")/plugins}
corpus=${CORPUS:-$here/../shared/bench/corpus}
[ -d "$corpus" ] || [ -n "${CORPUS:-}" ] || corpus=$here/../../shared/bench/corpus  # from a worktree
configs=${CONFIGS:-default fast max}
pipe_test=${PIPE:-1}
[ -x "$mirt" ] || { echo "no mirt binary at $mirt (build first)" >&2; exit 1; }
[ -d "$plugins" ] || { echo "no plugin folder at $plugins" >&2; exit 1; }
[ -d "$corpus" ] || { echo "no corpus at $corpus" >&2; exit 1; }
for tool in gzip bzip2 xz zstd /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "needs $tool (scripts/setup --deps-only)" >&2; exit 1; }
done

work=$(mktemp -d -p "${BENCH_DIR:-${TMPDIR:-/tmp}}" mirt-ratio.XXXXXX)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home"; mkdir -p "$HOME"
# The installed system configuration, pointing at this build's plugins.
conf="$work/mirt.conf"
sed "s|@MIRT_INSTALLED_PLUGIN_DIR@|$(cd "$plugins" && pwd)|" "$here/plugins/mirt.conf.in" >"$conf"
# One tool on one file, as a script of its own so that GNU time can run it:
#   run compress|expand TOOL IN OUT
cat >"$work/run" <<EOF_RUN
#!/usr/bin/env bash
set -euo pipefail
threads=()
[ -n "${THREADS:-}" ] && threads=(-M "threads ${THREADS:-}")
case \$2 in
  mirt-default) config=(-m "$conf") ;;
  mirt-*) config=(-m "$conf" -m "$here/share/mirt/\${2#mirt-}.conf") ;;
esac
if [ "\$1" = compress ]; then
  case \$2 in
    mirt-*) "$mirt" "\${config[@]}" "\${threads[@]}" -f -o "\$4" "\$3" 2>>"$work/log" ;;
    xz) xz -9e -T1 -c "\$3" >"\$4" ;;
    zstd19) zstd -q -19 -T1 -c "\$3" >"\$4" ;;
    zstd3) zstd -q -3 -T1 -c "\$3" >"\$4" ;;
    gzip) gzip -9 -c "\$3" >"\$4" ;;
    bzip2) bzip2 -9 -c "\$3" >"\$4" ;;
  esac
else
  case \$2 in
    mirt-*) "$mirt" "\${config[@]}" "\${threads[@]}" -d -f -o "\$4" "\$3" 2>>"$work/log" ;;
    xz) xz -d -T1 -c "\$3" >"\$4" ;;
    zstd*) zstd -q -d -c "\$3" >"\$4" ;;
    gzip) gzip -d -c "\$3" >"\$4" ;;
    bzip2) bzip2 -d -c "\$3" >"\$4" ;;
  esac
fi
EOF_RUN
chmod +x "$work/run"

tools=()
for c in $configs; do tools+=("mirt-$c"); done
tools+=(xz zstd19 zstd3 gzip bzip2)

# timed VAR COMMAND...: runs it, sets VAR_cpu, VAR_wall, VAR_rss
timed() {
  local var=$1; shift
  /usr/bin/time -f '%U %S %e %M' -o "$work/time" "$@"
  read -r u s e m <"$work/time"
  printf -v "${var}_cpu" '%s' "$(awk -v u="$u" -v s="$s" 'BEGIN{print u + s}')"
  printf -v "${var}_wall" '%s' "$e"
  printf -v "${var}_rss" '%s' "$m"
}
add() { awk -v a="${1:-0}" -v b="$2" 'BEGIN{print a + b}'; }

declare -A size ccpu cwall dcpu dwall crss drss
files=()
for f in "$corpus"/*; do
  [ -f "$f" ] || continue
  name=$(basename "$f"); files+=("$name")
  cat "$f" >/dev/null
  for t in "${tools[@]}"; do
    out="$work/$name.$t"
    timed c "$work/run" compress "$t" "$f" "$out"
    timed d "$work/run" expand "$t" "$out" "$work/back"
    cmp -s "$f" "$work/back" || { echo "$t: round trip of $name differs!" >&2; cat "$work/log" >&2; exit 1; }
    size[$name,$t]=$(stat -c %s "$out")
    size[TOTAL,$t]=$(( ${size[TOTAL,$t]:-0} + ${size[$name,$t]} ))
    ccpu[$t]=$(add "${ccpu[$t]:-}" "$c_cpu"); cwall[$t]=$(add "${cwall[$t]:-}" "$c_wall")
    dcpu[$t]=$(add "${dcpu[$t]:-}" "$d_cpu"); dwall[$t]=$(add "${dwall[$t]:-}" "$d_wall")
    [ "$c_rss" -gt "${crss[$t]:-0}" ] && crss[$t]=$c_rss
    [ "$d_rss" -gt "${drss[$t]:-0}" ] && drss[$t]=$d_rss
    rm -f "$out" "$work/back"
  done
done

echo "Sizes in bytes (ratio to xz -9e):"
printf '%-16s' file; for t in "${tools[@]}"; do printf ' %16s' "$t"; done; echo
for name in "${files[@]}" TOTAL; do
  printf '%-16s' "$name"
  for t in "${tools[@]}"; do
    printf ' %9s %6s' "${size[$name,$t]}" \
      "$(awk -v a="${size[$name,$t]}" -v b="${size[$name,xz]}" 'BEGIN{printf "%.3f", a / b}')"
  done
  echo
done
echo
echo "Times over the corpus (seconds; cpu = user + system) and peak memory:"
printf '  %-12s %9s %9s %9s %9s %10s %10s\n' tool c_cpu c_wall d_cpu d_wall c_peak_KiB d_peak_KiB
for t in "${tools[@]}"; do
  printf '  %-12s %9.2f %9.2f %9.2f %9.2f %10s %10s\n' "$t" "${ccpu[$t]}" "${cwall[$t]}" \
    "${dcpu[$t]}" "${dwall[$t]}" "${crss[$t]}" "${drss[$t]}"
done
echo
echo "Against xz -9e -T1 and zstd -3 -T1 (wall time; cpu in brackets):"
for t in "${tools[@]}"; do
  awk -v t="$t" -v s="${size[TOTAL,$t]}" -v xs="${size[TOTAL,xz]}" -v zs="${size[TOTAL,zstd3]}" \
      -v cw="${cwall[$t]}" -v dw="${dwall[$t]}" -v cc="${ccpu[$t]}" -v dc="${dcpu[$t]}" \
      -v xcw="${cwall[xz]}" -v xdw="${dwall[xz]}" -v zcc="${ccpu[zstd3]}" \
      'BEGIN{printf "  %-12s size %.3f of xz, %.3f of zstd -3; compress %.2fx xz; decompress %.2fx xz -d; cpu per byte %.2fx zstd -3\n",
             t, s / xs, s / zs, cw / xcw, dw / (xdw > 0 ? xdw : 0.001), cc / (zcc > 0 ? zcc : 0.001)}'
done

if [ "$pipe_test" = 1 ]; then
  echo
  echo "The corpus as one tar: from a file and through a pipe"
  tar cf "$work/corpus.tar" -C "$corpus" .
  for c in $configs; do
    "$work/run" compress "mirt-$c" "$work/corpus.tar" "$work/file.mrt"
    tar cf - -C "$corpus" . | "$work/run" compress "mirt-$c" - "$work/pipe.mrt"
    "$work/run" expand "mirt-$c" "$work/pipe.mrt" "$work/back.tar"
    cmp -s "$work/back.tar" "$work/corpus.tar" ||
      { echo "mirt-$c: the piped tar does not come back" >&2; exit 1; }
    a=$(stat -c %s "$work/file.mrt"); b=$(stat -c %s "$work/pipe.mrt")
    awk -v c="$c" -v a="$a" -v b="$b" \
      'BEGIN{printf "  mirt-%-8s file %10d  pipe %10d  pipe/file %.4f\n", c, a, b, b / a}'
  done
fi
