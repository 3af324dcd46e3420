#!/usr/bin/env bash
# The program ended by the system: for each of SIGTERM, SIGINT and SIGHUP
# the program, with a model open, ends as Exit ends it (its window's place
# saved in the settings) and then dies of that signal, leaving nothing
# running. Run on a display (xvfb-run).
# Usage: signal_test.sh PROGRAM MODEL
set -euo pipefail
program=$1
model=$2
work=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || kill -9 "$pid" 2> /dev/null; rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  cat "$work/out" >&2 || true
  exit 1
}
# children PID: the pids of the processes whose parent is PID.
children() {
  local f p c s pp rest
  for f in /proc/[0-9]*/stat; do
    read -r p c s pp rest 2> /dev/null < "$f" || continue
    [ "$pp" = "$1" ] && echo "$p"
  done
  return 0
}

for sig in TERM INT HUP; do
  config=$work/config-$sig
  settings=$config/VELKO/VELKO.conf
  XDG_CONFIG_HOME=$config "$program" "$model" > "$work/out" 2>&1 &
  pid=$!
  # Up once the model it opened is in the recent-file list.
  for _ in $(seq 300); do
    grep -qs RecentFileList "$settings" && break
    kill -0 "$pid" 2> /dev/null || fail "SIG$sig: the program ended before the model opened"
    sleep 0.1
  done
  grep -qs RecentFileList "$settings" || fail "SIG$sig: the model did not open"
  ! grep -qs Geometry "$settings" || fail "SIG$sig: the window's place is saved before the end"
  started=$(children "$pid")
  kill -"$sig" "$pid"
  status=0
  wait "$pid" || status=$?
  pid=
  expected=$((128 + $(kill -l "$sig")))
  [ "$status" = "$expected" ] || fail "SIG$sig: the program ended with $status, not $expected"
  grep -qs 'MainFrame\\Geometry\|Geometry=' "$settings" || fail "SIG$sig: the settings were not saved"
  for p in $started; do
    ! kill -0 "$p" 2> /dev/null || fail "SIG$sig: process $p of the program is left running"
  done
done
