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
source "$(dirname "$0")/program.sh"

for sig in TERM INT HUP; do
  config=$work/config-$sig
  settings=$config/VELKO/VELKO.conf
  XDG_CONFIG_HOME=$config "$program" "$model" > "$work/out" 2>&1 &
  pid=$!
  model_opened "$settings" "$pid" || fail "SIG$sig: the model did not open"
  ! grep -qs Geometry "$settings" || fail "SIG$sig: the window's place is saved before the end"
  started=$(children "$pid")
  kill -"$sig" "$pid"
  status=0
  wait "$pid" || status=$?
  pid=
  expected=$((128 + $(kill -l "$sig")))
  [ "$status" = "$expected" ] || fail "SIG$sig: the program ended with $status, not $expected"
  grep -qs Geometry "$settings" || fail "SIG$sig: the settings were not saved"
  while read -r p name; do
    [ -z "$p" ] || ! kill -0 "$p" 2> /dev/null || fail "SIG$sig: $name is left running"
  done <<< "$started"
done
