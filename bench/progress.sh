#!/usr/bin/env bash
# What the detailed progress line costs: CPU time (user + system) of
# compressing and expanding one file with the installed configuration or a
# preset, in the same run: without -v, with -v and the status bar, and with
# -v and "progress detailed" (standard error a terminal, so the line is
# redrawn five times a second). Every round trip is checked.
#   bench/progress.sh [MIRT_BINARY] [PLUGIN_DIR] [FILE]
# Environment: PRESET (default, max or fast; default: default), RUNS (runs
# of each, the median is shown; default 3), CALLGRIND (1: instruction
# counts of one run of each instead, under valgrind).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mirt=${1:-$here/build/release/mirt}
plugins=${2:-$(dirname "$mirt")/plugins}
corpus=$here/../shared/bench/corpus
[ -d "$corpus" ] || corpus=$here/../../shared/bench/corpus  # from a worktree
input=${3:-$corpus/text.txt}
preset=${PRESET:-default}
runs=${RUNS:-3}
[ -x "$mirt" ] || { echo "no mirt binary at $mirt (build first)" >&2; exit 1; }
[ -f "$input" ] || { echo "no input file $input" >&2; exit 1; }
for tool in python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 1; }
done
[ "${CALLGRIND:-0}" = 1 ] && { command -v valgrind >/dev/null || { echo "needs valgrind" >&2; exit 1; }; }

work=$(mktemp -d -p "${BENCH_DIR:-${TMPDIR:-/tmp}}" mirt-progress.XXXXXX)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home"; mkdir -p "$HOME"
conf="$work/mirt.conf"
sed "s|@MIRT_INSTALLED_PLUGIN_DIR@|$(cd "$plugins" && pwd)|" "$here/plugins/mirt.conf.in" >"$conf"
config=(-m "$conf")
[ "$preset" != default ] && config+=(-m "$here/share/mirt/$preset.conf")
# Runs a command with standard error on a pseudo terminal of 100 columns.
cat >"$work/on_terminal.py" <<'EOF_PY'
import os, pty, struct, fcntl, termios, sys
pid, fd = pty.fork()
if pid == 0:
    os.execvp(sys.argv[1], sys.argv[1:])
fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
while True:
    try:
        if not os.read(fd, 65536):
            break
    except OSError:
        break
_, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status))
EOF_PY

# measure LABEL MODE-OPTIONS...: median CPU seconds (or instructions) of
# compressing the input and of expanding it again.
measure() {
  local label=$1; shift
  local c=() d=() i
  for ((i = 0; i < runs; i++)); do
    for dir in c d; do
      local args=("${config[@]}" "$@" -f)
      if [ $dir = c ]; then args+=(-o "$work/packed" "$input"); else args+=(-d -o "$work/back" "$work/packed"); fi
      if [ "${CALLGRIND:-0}" = 1 ]; then
        python3 "$work/on_terminal.py" valgrind --tool=callgrind --callgrind-out-file="$work/cg" \
          "$mirt" "${args[@]}" >/dev/null 2>&1
        local n; n=$(awk '/^summary:/ {print $2}' "$work/cg")
      else
        python3 "$work/on_terminal.py" /usr/bin/time -f '%U %S' -o "$work/time" "$mirt" "${args[@]}" >/dev/null
        local n; n=$(awk '{print $1 + $2}' "$work/time")
      fi
      if [ $dir = c ]; then c+=("$n"); else d+=("$n"); fi
    done
    cmp -s "$input" "$work/back" || { echo "$label: round trip differs" >&2; exit 1; }
  done
  median() { printf '%s\n' "$@" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
  printf '  %-28s %14s %14s\n' "$label" "$(median "${c[@]}")" "$(median "${d[@]}")"
}

unit="CPU seconds"; [ "${CALLGRIND:-0}" = 1 ] && { unit="instructions"; runs=1; }
echo "$(basename "$input") ($(stat -c %s "$input") bytes), preset $preset, $unit (median of $runs):"
printf '  %-28s %14s %14s\n' run compress expand
measure "quiet" -M "progress bar"
measure "-v, status bar" -M "progress bar" -v
measure "-v, progress detailed" -M "progress detailed" -v
