#!/usr/bin/env bash
# .ci/vnc without a display: the program runs on a virtual display with a
# window manager, a VNC server greets on the port the script names, the
# script ends with the program's exit status, and nothing it started is left,
# also at Ctrl+C, where the display stays until the program has ended as Exit
# ends it.
# Usage: vnc_test.sh VNC_SCRIPT PROGRAM [ARGUMENTS...]
set -euo pipefail
script=$1
shift
work=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || kill "$pid" 2> /dev/null; rm -rf "$work"' EXIT
unset DISPLAY
fail() {
  echo "FAIL: $*" >&2
  cat "$work/out" >&2
  exit 1
}
source "$(dirname "$0")/program.sh"

# The program waits for the file "go", so that the server can be seen first.
bash "$script" bash -c 'until [ -e "$0" ]; do sleep 0.1; done; exec "$@"' "$work/go" "$@" \
  > "$work/out" 2>&1 &
pid=$!
for _ in $(seq $((300 * slow))); do
  grep -q 'at port [0-9]*' "$work/out" && break
  kill -0 "$pid" 2> /dev/null || fail "the script ended before its server started"
  sleep 0.1
done
port=$(sed -n 's/.* at port \([0-9]*\) .*/\1/p' "$work/out")
[ -n "$port" ] || fail "no port named"
exec 3<> "/dev/tcp/127.0.0.1/$port" || fail "nothing answers at port $port"
read -r -t $((30 * slow)) greeting <&3 || true
exec 3>&-
[[ $greeting == RFB\ 003.* ]] || fail "port $port greets with \"$greeting\""
started=$(children "$pid")
for name in Xvfb blackbox X0tigervnc; do
  grep -q "($name)" <<< "$started" || fail "$name is not running: $started"
done

touch "$work/go"
for _ in $(seq $((600 * slow))); do
  kill -0 "$pid" 2> /dev/null || break
  sleep 0.1
done
! kill -0 "$pid" 2> /dev/null || fail "the script did not end with its program"
status=0
wait "$pid" || status=$?
pid=
[ "$status" = 0 ] || fail "the script ended with $status"
while read -r p name; do
  ! kill -0 "$p" 2> /dev/null || fail "$name is left running"
done <<< "$started"

status=0
bash "$script" sh -c 'exit 3' > "$work/out" 2>&1 || status=$?
[ "$status" = 3 ] || fail "a program's exit status 3 became $status"
# Ctrl+C in the script's terminal (SIGINT to its whole process group) ends
# the program first, as Exit does, while its display is still there: its
# settings are saved, the script ends with its status, nothing is left.
config=$work/config
XDG_CONFIG_HOME=$config setsid bash "$script" "$1" "$2" > "$work/out" 2>&1 &
pid=$!
model_opened "$config/VELKO/VELKO.conf" "$pid" || fail "the model did not open"
interrupted=$(children "$pid")
kill -INT -- -"$pid"
status=0
wait "$pid" || status=$?
pid=
[ "$status" = 130 ] || fail "after Ctrl+C the script ended with $status"
grep -qs Geometry "$config/VELKO/VELKO.conf" || fail "Ctrl+C lost the program's settings"
while read -r p name; do
  ! kill -0 "$p" 2> /dev/null || fail "after Ctrl+C $name is left running"
done <<< "$interrupted"
echo "VNC at port $port; $(wc -l <<< "$started") processes started and ended"
