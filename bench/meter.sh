# The figures and the stall meter of the benchmarks under Wine, sourced by
# bench/run and bench/wow64-hold. The caller sets figures to a folder.

# Each figure is a file of one value a round; med prints its median.
add() { echo "$2" >>"$figures/$1"; }
med() { [ -s "$figures/$1" ] || { echo -; return; }; sort -g "$figures/$1" | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

# The stall meters run as coprocesses; these talk to the one being measured.
start_meter() {  # loader meter threads depth wine-log
  coproc METER { "$1" "$2" --threads "$3" --depth "$4" 2>>"$5"; }
  local line
  read -r -u "${METER[0]}" line; meter_pid=$(awk '{ print $2 }' <<<"${line%$'\r'}")
  read -r -u "${METER[0]}" line
}
stop_meter() { exec {METER[1]}>&-; wait "$METER_PID" 2>/dev/null || true; }
reset_meter() { local line; echo reset >&"${METER[1]}"; read -r -u "${METER[0]}" line; }
# Sets stalls to one stall a line, in milliseconds, in the order the threads
# started: the main thread, which a walk takes first, comes first. (It runs
# in this shell: a coprocess's pipes are not open in subshells.)
read_stalls() {
  local line
  stalls=""
  echo report >&"${METER[1]}"
  while read -r -u "${METER[0]}" line; do
    line=${line%$'\r'}
    [ "$line" = end ] && break
    stalls+="${line##* }"$'\n'
  done
  stalls=${stalls%$'\n'}
}
longest() { sort -g <<<"$1" | tail -1; }
first() { head -1 <<<"$1"; }
later() { longest "$(tail -n +2 <<<"$1")"; }
minus() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a - b }'; }
