#!/usr/bin/env bash
# Distributed runs end to end: two simulator instances of one model, one per
# process, at 127.0.0.1 and 127.0.0.2 on this machine, with a model library
# built by gcc. Prints each instance's figures (signals handled, rates,
# memory, threads, Errors lines) for:
#   ends70  70 output ends into one port, 100,000 signals
#   pause   one output end, 100,000 signals: the rate with the receiver
#           running; with the receiver paused 15 s, the rate at which it
#           drains the backlog after the resume; and a Stop of both during
#           such a wait (the time each stop took)
#   pause60 the same with 60 output ends (no Stop)
#   both    both instances send 100,000 to each other at once, 4 a step
#   flood   (with --flood=SECONDS) a receiver attacked by hostile peers for
#           that long while a genuine sender sends 100,000: its resident
#           memory and threads every 10 s
# Usage: bench/remote.sh [--signals=100000] [--cases=ends70,pause,pause60,both] [--flood=300]
set -euo pipefail
cd "$(dirname "$0")/.."
signals=100000
cases=ends70,pause,pause60,both
flood=0
for arg in "$@"; do
  case $arg in
    --signals=*) signals=${arg#*=} ;;
    --cases=*) cases=${arg#*=} ;;
    --flood=*) flood=${arg#*=} ;;
    *) echo "unknown option $arg" >&2; exit 2 ;;
  esac
done
build=${VELKO_BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELKO_BUILD_TESTS=OFF -DVELKO_BUILD_GUI=OFF \
  > /dev/null
cmake --build "$build" -j 4 --target velko_remote > /dev/null
tool=$PWD/$build/bench/velko_remote
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

# model NAME ENDS PER_STEP [--both-ways]: writes and builds it.
model() {
  "$tool" model --folder="$work/$1" --ends="$2" --per-step="$3" --signals="$signals" ${4:-}
  "$tool" build --model="$work/$1/burst.velko"
}

# The time 2 s from now, at which both instances begin to run.
soon() { echo $(($(date +%s) + 2)); }

# Samples VmRSS and Threads of process $1 every 10 s until it ends.
sample() {
  local start=$SECONDS
  while kill -0 "$1" 2>/dev/null; do
    awk -v t=$((SECONDS - start)) '/^VmRSS|^Threads/ { v[$1] = $2 }
      END { if (v["VmRSS:"] != "") printf "  at %4d s: RSS %7d kB, %3d threads\n", t, v["VmRSS:"], v["Threads:"] }' \
      "/proc/$1/status" 2>/dev/null || true
    sleep 10
  done
}

for name in ${cases//,/ }; do
  case $name in
    ends70)
      echo "== 70 output ends into one port, $signals signals"
      model ends70 70 1
      at=$(soon)
      "$tool" instance --model="$work/ends70/burst.velko" --address=127.0.0.2 --run-at="$at" --quiet=3 &
      b=$!; pids+=("$b")
      "$tool" instance --model="$work/ends70/burst.velko" --address=127.0.0.1 --run-at="$at" --quiet=3
      wait "$b" ;;
    pause|pause60)
      ends=1; [ "$name" = pause60 ] && ends=60
      model "$name" "$ends" 1
      echo "== $ends output ends into one port, $signals signals, the receiver not paused"
      at=$(soon)
      "$tool" instance --model="$work/$name/burst.velko" --address=127.0.0.2 --run-at="$at" \
        --quiet=3 &
      b=$!; pids+=("$b")
      "$tool" instance --model="$work/$name/burst.velko" --address=127.0.0.1 --run-at="$at" \
        --quiet=3
      wait "$b"
      echo "== the same, the receiver paused 15 s"
      at=$(soon)
      "$tool" instance --model="$work/$name/burst.velko" --address=127.0.0.2 --run-at="$at" \
        --pause=15 --quiet=3 &
      b=$!; pids+=("$b")
      "$tool" instance --model="$work/$name/burst.velko" --address=127.0.0.1 --run-at="$at" \
        --quiet=25
      wait "$b"
      [ "$name" = pause60 ] && continue
      echo "== the sender stopped, then the receiver, 8 s into such a wait"
      at=$(soon)
      "$tool" instance --model="$work/$name/burst.velko" --address=127.0.0.2 --run-at="$at" \
        --pause=60 &
      b=$!; pids+=("$b")
      "$tool" instance --model="$work/$name/burst.velko" --address=127.0.0.1 --run-at="$at" &
      a=$!; pids+=("$a")
      sleep 10
      kill -TERM "$a"; wait "$a"
      kill -TERM "$b"; wait "$b" ;;
    both)
      echo "== both instances send $signals to each other at once, 4 a step"
      model both 1 4 --both-ways
      at=$(soon)
      "$tool" instance --model="$work/both/burst.velko" --address=127.0.0.2 --run-at="$at" --quiet=3 &
      b=$!; pids+=("$b")
      "$tool" instance --model="$work/both/burst.velko" --address=127.0.0.1 --run-at="$at" --quiet=3
      wait "$b" ;;
  esac
done

if [ "$flood" -gt 0 ]; then
  echo "== a receiver attacked for $flood s while a genuine sender sends $signals"
  model flood 1 1
  at=$(soon)
  "$tool" instance --model="$work/flood/burst.velko" --address=127.0.0.2 --run-at="$at" &
  b=$!; pids+=("$b")
  sample "$b" &
  s=$!; pids+=("$s")
  sleep 2
  "$tool" hostile --target=127.0.0.2:8790 --seconds="$flood" &
  h=$!; pids+=("$h")
  sleep 5
  "$tool" instance --model="$work/flood/burst.velko" --address=127.0.0.1 --quiet=10
  wait "$h"
  kill -TERM "$b"
  wait "$b" "$s" || true
fi
