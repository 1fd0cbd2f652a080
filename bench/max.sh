#!/usr/bin/env bash
# The max preset against the strongest archiver in Debian (zpaq -m5, one
# thread) and xz -9e, each file compressed on its own, in one run: sizes,
# CPU time both ways and peak memory per file, then the totals the max
# preset is held to.
#   bench/max.sh [MIRT_BINARY] [PLUGIN_DIR]
# Environment: CORPUS (folder of input files; default the shared corpus),
# EXTRA (1, the default, adds made-up data of the kinds the corpus lacks:
# a large shared library, a table of fixed-width binary records, a tar of
# many small binary files), FILES (these files instead of both), THREADS
# (mirt's threads directive; default one per online processor), KEEP (a
# folder that keeps the made-up data between runs).
# Every round trip is checked. CPU is user + system seconds.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mirt=${1:-$here/build/release/mirt}
plugins=${2:-$(dirname "$mirt")/plugins}
corpus=${CORPUS:-$here/../shared/bench/corpus}
[ -d "$corpus" ] || [ -n "${CORPUS:-}" ] || corpus=$here/../../shared/bench/corpus  # from a worktree
extra=${EXTRA:-1}
[ -x "$mirt" ] || { echo "no mirt binary at $mirt (build first)" >&2; exit 1; }
[ -d "$plugins" ] || { echo "no plugin folder at $plugins" >&2; exit 1; }
for tool in zpaq xz perl tar /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "needs $tool (apt-get install zpaq xz-utils time)" >&2; exit 1; }
done

work=$(mktemp -d -p "${BENCH_DIR:-${TMPDIR:-/tmp}}" mirt-max.XXXXXX)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home"; mkdir -p "$HOME"
# A binary outside an installation reads the installed configuration,
# whose modules load first and win over the ones under test: a copy in a
# prefix of its own reads none.
mkdir -p "$work/prefix/bin"
cp "$mirt" "$work/prefix/bin/mirt"
mirt=$work/prefix/bin/mirt
conf="$work/mirt.conf"
sed "s|@MIRT_INSTALLED_PLUGIN_DIR@|$(cd "$plugins" && pwd)|" "$here/plugins/mirt.conf.in" >"$conf"
# max must try everything the default tries, Brotli included; a preset
# that still excludes it gets it back here.
preset="$work/max.conf"
if grep -q '^try_algorithms' "$here/share/mirt/max.conf"; then
  cp "$here/share/mirt/max.conf" "$preset"
else
  grep -v '^exclude_algorithm 18$' "$here/share/mirt/max.conf" >"$preset"
fi
export THREADS=${THREADS:-}

# made-up data, the same on every run of one machine
make_extra() {
  local d=$1 lib
  mkdir -p "$d"
  for lib in libcrypto.so.3 libpython3.11.so.1.0 libstdc++.so.6; do
    [ -e "/usr/lib/x86_64-linux-gnu/$lib" ] && { cp -L "/usr/lib/x86_64-linux-gnu/$lib" "$d/x86.so"; break; }
  done
  # 32-byte records: id, time, sensor, status, a reading, a price, a count
  perl -e 'srand(7); my ($t, $r, $p, $n) = (1600000000, 20.0, 100.0, 0);
    open(my $o, ">:raw", $ARGV[0]) or die;
    for my $id (1 .. 150000) {
      $t += int(rand(30)); $r += rand(0.2) - 0.1; $p *= 1 + (rand(0.002) - 0.001);
      $n += int(rand(3));
      print $o pack("VVvvfdV", $id, $t, int(rand(40)), (rand() < 0.9 ? 0 : int(rand(4))), $r, $p, $n);
    }' "$d/table.bin"
  # many small binary files: compiled terminfo, byte code, small modules
  {
    find /lib/terminfo -type f 2>/dev/null
    find /usr/lib/python3.11 -name '*.pyc' -size -16k 2>/dev/null | LC_ALL=C sort | head -300
    find /usr/lib/x86_64-linux-gnu/gconv -name '*.so' -size -24k 2>/dev/null | LC_ALL=C sort
  } >"$work/list"
  tar cf "$d/small.tar" --sort=name --mtime=@0 --owner=0 --group=0 -T "$work/list" 2>/dev/null
}

if [ -n "${FILES:-}" ]; then
  inputs=($FILES)
else
  inputs=("$corpus"/*)
  if [ "$extra" = 1 ]; then
    made=${KEEP:-$work/extra}
    [ -e "$made/small.tar" ] || make_extra "$made"
    inputs+=("$made"/*)
  fi
fi

# timed VAR COMMAND...: runs it, sets VAR_cpu and VAR_rss (KiB)
timed() {
  local var=$1; shift
  /usr/bin/time -f '%U %S %M' -o "$work/time" "$@"
  read -r u s m <"$work/time"
  printf -v "${var}_cpu" '%s' "$(awk -v u="$u" -v s="$s" 'BEGIN{print u + s}')"
  printf -v "${var}_rss" '%s' "$m"
}
add() { awk -v a="${1:-0}" -v b="$2" 'BEGIN{print a + b}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.3f", (b > 0 ? a / b : 0)}'; }

tools=(max zpaq xz)
# One tool one way on one file, as a script of its own so that GNU time
# can run it:  run TOOL compress|expand IN OUT [ORIGINAL]
cat >"$work/run" <<EOF_RUN
#!/usr/bin/env bash
set -euo pipefail
mirt=("$mirt" -m "$conf" -m "$preset")
[ -n "\${THREADS:-}" ] && mirt+=(-M "threads \$THREADS")
case \$1-\$2 in
  max-compress) "\${mirt[@]}" -f -o "\$4" "\$3" 2>>"$work/log" ;;
  max-expand) "\${mirt[@]}" -d -f -o "\$4" "\$3" 2>>"$work/log" ;;
  zpaq-compress) cd "\$(dirname "\$3")" && zpaq a "\$4" "\$(basename "\$3")" -m5 -t1 >/dev/null 2>&1 ;;
  zpaq-expand) rm -rf "$work/x" && zpaq x "\$3" -to "$work/x" -t1 >/dev/null 2>&1 &&
               mv "$work/x/\$(basename "\$5")" "\$4" ;;
  xz-compress) xz -9e -T1 -c "\$3" >"\$4" ;;
  xz-expand) xz -d -T1 -c "\$3" >"\$4" ;;
esac
EOF_RUN
chmod +x "$work/run"
declare -A size ccpu dcpu crss drss total
names=()
text_files=" text.txt markup.xml records.txt source.tar "
for f in "${inputs[@]}"; do
  [ -f "$f" ] || continue
  f=$(cd "$(dirname "$f")" && pwd)/$(basename "$f")
  name=$(basename "$f"); names+=("$name")
  size[$name,plain]=$(stat -c %s "$f")
  for t in "${tools[@]}"; do
    out="$work/$name.$t"; rm -f "$out"
    timed c "$work/run" "$t" compress "$f" "$out"
    timed d "$work/run" "$t" expand "$out" "$work/back" "$f"
    cmp -s "$f" "$work/back" || { echo "$t: round trip of $name differs" >&2; cat "$work/log" >&2; exit 1; }
    size[$name,$t]=$(stat -c %s "$out")
    ccpu[$name,$t]=$c_cpu; dcpu[$name,$t]=$d_cpu; crss[$name,$t]=$c_rss; drss[$name,$t]=$d_rss
    for group in all $([ -d "$corpus" ] && [ "$(dirname "$f")" = "$(cd "$corpus" && pwd)" ] && echo corpus) \
                 $([[ $text_files == *" $name "* ]] && echo text); do
      total[$group,$t]=$(( ${total[$group,$t]:-0} + ${size[$name,$t]} ))
      total[$group,c$t]=$(add "${total[$group,c$t]:-}" "$c_cpu")
      total[$group,d$t]=$(add "${total[$group,d$t]:-}" "$d_cpu")
    done
    rm -f "$out" "$work/back"
  done
done

echo "Sizes in bytes; max against zpaq -m5 and xz -9e; CPU seconds both ways; max's peak memory (MiB)"
printf '%-16s %10s %10s %10s %10s %7s %7s %7s | %7s %7s %7s %7s %7s %7s | %6s %6s\n' file plain max zpaq xz \
  max/zp max/xz zp/xz c_max c_zpaq c_xz d_max d_zpaq d_xz c_mem d_mem
for name in "${names[@]}"; do
  printf '%-16s %10s %10s %10s %10s %7s %7s %7s | %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f | %6d %6d\n' "$name" \
    "${size[$name,plain]}" "${size[$name,max]}" "${size[$name,zpaq]}" "${size[$name,xz]}" \
    "$(ratio "${size[$name,max]}" "${size[$name,zpaq]}")" "$(ratio "${size[$name,max]}" "${size[$name,xz]}")" \
    "$(ratio "${size[$name,zpaq]}" "${size[$name,xz]}")" \
    "${ccpu[$name,max]}" "${ccpu[$name,zpaq]}" "${ccpu[$name,xz]}" \
    "${dcpu[$name,max]}" "${dcpu[$name,zpaq]}" "${dcpu[$name,xz]}" \
    $(( ${crss[$name,max]} / 1024 )) $(( ${drss[$name,max]} / 1024 ))
done
echo
for group in all corpus text; do
  [ -n "${total[$group,max]:-}" ] || continue
  printf '%-7s size max/zpaq %s  max/xz %s  zpaq/xz %s   cpu max/zpaq compress %s decompress %s\n' "$group" \
    "$(ratio "${total[$group,max]}" "${total[$group,zpaq]}")" "$(ratio "${total[$group,max]}" "${total[$group,xz]}")" \
    "$(ratio "${total[$group,zpaq]}" "${total[$group,xz]}")" \
    "$(ratio "${total[$group,cmax]}" "${total[$group,czpaq]}")" "$(ratio "${total[$group,dmax]}" "${total[$group,dzpaq]}")"
done
echo "(goals: size max/zpaq <= 1 on every file and in total; text max/xz <= 0.70;"
echo " cpu max/zpaq <= 0.75 compressing, <= 0.25 decompressing; memory <= 1024 MiB)"
