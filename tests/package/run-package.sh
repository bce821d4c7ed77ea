#!/usr/bin/env bash
# Unpacks a package into an empty folder and runs both tools from there, with
# nothing else beside them, against the demo program (two threads deadlocked
# on two critical sections): threadsift's report, -w and -j, and latchsift's.
#
#   run-package.sh WIDTH VERSION ZIP DEMO_EXE PREFIX [TIME_SCALE [BANNER]]
#
# BANNER, when given, is the first line threadsift must print.
# PREFIX "fresh" creates a new Wine prefix for this run alone and removes it
# after; any other PREFIX names a prefix whose Wine session runs already.
# WINE_LOADER names the Wine loader. The demo program is copied beside the
# package's folder first: 32-bit Wine reads each image section with one read,
# which a shared folder of the virtual machine may cut short.
set -uo pipefail

[ $# -ge 5 ] || { echo "usage: $0 WIDTH VERSION ZIP DEMO_EXE PREFIX [TIME_SCALE [BANNER]]" >&2; exit 2; }
width=$1 version=$2 zip=$3 demo=$4 prefix=$5 scale=${6:-1} banner=${7:-}
here=$(cd "$(dirname "$0")" && pwd)
session=$here/../e2e/wine-session
wine=${WINE_LOADER:?WINE_LOADER names the Wine loader}

work=$(mktemp -d) || exit 1
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
hold_stdin=""
cleanup() {
  [ -n "$hold_stdin" ] && exec {hold_stdin}>&-
  [ -n "${demo_job:-}" ] && wait "$demo_job" 2>/dev/null
  [ "$prefix" = fresh ] && bash "$session" stop "$work/prefix"
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/package" "$work/subject"
(cd "$work/package" && cmake -E tar xf "$zip") || { echo "cannot unpack $zip"; exit 1; }
cp "$demo" "$work/subject/" || exit 1
log=$work/wine.log
if [ "$prefix" = fresh ]; then
  prefix=$work/prefix
  started=$SECONDS
  bash "$session" start "$prefix" "$log" || { cat "$log"; echo "cannot create a Wine prefix"; exit 1; }
  echo "fresh Wine prefix created in $((SECONDS - started)) s"
  prefix=fresh
  export WINEPREFIX=$work/prefix
else
  export WINEPREFIX=$prefix
fi
export WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="

# The demo program prints its process id, then "deadlocked"; it ends when
# its standard input, a pipe held open here, closes.
mkfifo "$work/stdin"
"$wine" "$work/subject/$(basename "$demo")" <"$work/stdin" >"$work/demo.out" 2>>"$log" &
demo_job=$!
exec {hold_stdin}>"$work/stdin"
for _ in $(seq $((600 * scale))); do
  grep -q '^deadlocked' "$work/demo.out" 2>/dev/null && break
  sleep 0.1
done
grep -q '^deadlocked' "$work/demo.out" || { cat "$log"; echo "the demo program did not start"; exit 1; }
pid=$(tr -d '\r' <"$work/demo.out" | awk '$1 == "pid" { print $2 }')

# Runs a tool of the package from the package's folder; its output, without
# CRs, in $out and its status in $status.
run() {
  out=$(cd "$work/package" && "$wine" "$1" "${@:2}" </dev/null 2>>"$log" | tr -d '\r')
  status=${PIPESTATUS[0]}
  echo "\$ $*"; cut -c1-300 <<<"$out"  # a -j line runs to many kilobytes
}
has() { grep -qE -- "$1" <<<"$out" || fail "no line matching '$1' in the output of $2"; }

run threadsift.exe -p "$pid"
[ "$status" -eq 0 ] || fail "threadsift -p $pid ended with $status"
has "^threadsift v${version//./\\.} - " "threadsift"
[ -z "$banner" ] || [ "$(head -n 1 <<<"$out")" = "$banner" ] || fail "threadsift's banner is not: $banner"
has "^Process $pid \(0x[0-9a-f]+\)  deadlock\.exe 3 thread\(s\)$" "threadsift"
for function in Lock TransferFunds AuditLedger; do
  has " = deadlock\.exe!$function\(" "threadsift"
done
[ "$(grep -c ' = deadlock\.exe!Lock(' <<<"$out")" -eq 2 ] || fail "threadsift shows no two threads in Lock"

run threadsift.exe -p "$pid" -w
[ "$status" -eq 0 ] || fail "threadsift -w ended with $status"
has "^Deadlock: thread [0-9]+ \(0x[0-9a-f]+\) -> thread [0-9]+ \(0x[0-9a-f]+\) -> thread [0-9]+ " "threadsift -w"

run threadsift.exe -p "$pid" -j
[ "$status" -eq 0 ] || fail "threadsift -j ended with $status"
has "\"version\":\"${version//./\\.}\"" "threadsift -j"

run latchsift.exe -p "$pid"
has "^latchsift v[0-9]" "latchsift"
if [ "$width" = 32 ]; then
  # 32-bit Wine's lock query succeeds with an empty list.
  [ "$status" -eq 0 ] || fail "latchsift ended with $status"
  has "^# of locks: 0$" "latchsift"
else
  # 64-bit Wine's debug buffer has no lock list where 64-bit Windows has it.
  [ "$status" -eq 1 ] || fail "latchsift ended with $status, expected 1"
  has "^RtlQueryProcessDebugInformation returned no lock list$" "latchsift"
fi

[ $failures -eq 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
[ $failures -eq 0 ]
