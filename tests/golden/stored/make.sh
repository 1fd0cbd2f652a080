#!/usr/bin/env bash
# Writes the stored-form golden containers of one version of the bundled
# plugins: one per slot and input (slotN-PLUGIN-INPUT.mrt) and one per
# preset (preset-NAME-INPUT.mrt). Files of earlier versions are never
# replaced: a new stored form gets files of its own, with a version tag
# in their names (slot22-bwt-v2-text.mrt), next to the old ones, and every
# later mirt must decode all of them to their inputs.
#   tests/golden/stored/make.sh BUILD-DIR [INSTALLED-PREFIX]
# The inputs: text (the README of the time), repeats (it twice), source
# (our own C++), x86 (machine code of our own build), table (12-byte
# records), mixed (text, x86 and table).
set -euo pipefail
build=$(cd "$1" && pwd)
prefix=${2:-/usr/local}
cd "$(dirname "${BASH_SOURCE[0]}")"
all=(-M "module_dir $build/plugins" -M "all_modules on")
# A binary outside an installation reads the installed configuration,
# whose modules would load first and write the files: a copy in a prefix
# of its own reads none.
own=$(mktemp -d)
trap 'rm -rf "$own"' EXIT
mkdir "$own/bin"
cp "$build/mirt" "$own/bin/mirt"
one() {  # slot plugin input [tag]
  local out="slot$1-$2${4:+-$4}-$3.mrt"
  [ -e "$out" ] || "$own/bin/mirt" "${all[@]}" -I "$1" -O -c "$3" > "$out"
}
one 4 zlib text; one 9 bzip2 text; one 16 zstd text; one 17 lzma2 text
one 18 brotli text; one 19 lz4hc text; one 20 x86_lzma2 x86; one 21 delta_lzma2 table
one 22 bwt text; one 22 bwt repeats; one 22 bwt source
one 22 bwt text v2; one 22 bwt repeats v2; one 22 bwt source v2
one 23 cm text; one 23 cm x86; one 23 cm table; one 23 cm source
# The second model set of context mixing (parameter bit 6).
one 23 cm text v2; one 23 cm x86 v2; one 23 cm table v2; one 23 cm source v2
# The third (two parameter bytes; words in binary data).
one 23 cm text v3; one 23 cm x86 v3; one 23 cm table v3; one 23 cm source v3
one 24 zstd_fast text
# Blocks bound to their place by the block key: every slot's check (or the
# tag after a self-checked stream) depends on the block's index, the block
# size and the last block's length; and a container of several blocks
# written to a pipe, whose last block's key comes from its trailer.
for s in "4 zlib text" "9 bzip2 text" "16 zstd text" "17 lzma2 text" "18 brotli text" \
         "19 lz4hc text" "20 x86_lzma2 x86" "21 delta_lzma2 table" "22 bwt text" "23 cm text" \
         "24 zstd_fast text"; do
  set -- $s
  one "$1" "$2" "$3" keyed
done
out=slot17-lzma2-keyed-pipe-mixed.mrt
[ -e "$out" ] || "$own/bin/mirt" "${all[@]}" -I 17 -O -b 16384 < mixed | cat > "$out"
for p in default fast max; do
  out="preset-$p-mixed.mrt"
  [ -e "$out" ] && continue
  if [ "$p" = default ]; then "$prefix/bin/mirt" -O -c mixed > "$out"
  else "$prefix/bin/mirt" -m "$prefix/share/mirt/$p.conf" -O -c mixed > "$out"; fi
done
