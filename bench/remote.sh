#!/usr/bin/env bash
# Distributed runs end to end: simulator instances of one model, one per
# process, at addresses 127.0.0.x of this machine, with a model library built
# by gcc. Prints each instance's figures (signals sent, handled and counted
# lost in its Errors lines, rates, how long a Stop or the program's end
# took, memory, threads, Errors lines) for:
#   ends70    70 output ends into one port, 100,000 signals
#   pause     one output end, 100,000 signals: the rate with the receiver
#             running; with the receiver paused 15 s, the rate at which it
#             drains the backlog after the resume; and a Stop of both during
#             such a wait (the time each stop took)
#   pause60   the same with 60 output ends (no Stop)
#   both      both instances send 100,000 to each other at once, 4 a step
#   stopwait  the sender is stopped 4 s into a send that waits for a paused
#             receiver, which is resumed at 12 s
#   exitboth  both send 200,000 to each other, 4 a step; the program of one
#             ends as soon as its run does (after 120,000 steps)
#   four      four senders, each an instance (127.0.0.11-14), into one
#             receiver paused 15 s; each sender's program ends as soon as its
#             run does
#   unnamed   both send 100,000 to each other; the model's addresses are
#             127.0.0.3 and 127.0.0.2, while every link comes from 127.0.0.1
#   big       80 signals of 1,000,000 characters each, into a receiver
#             paused 5 s
#   countflood  a receiver that floods counts back at its sender, which
#             sends 1,000,000 and is stopped 7 s in
#   killrecv  the receiver, paused from its first signal, is killed (kill -9)
#             6 s into its sender's wait
#   killsend  the sender is killed (kill -9) 5 s into a send that waits for a
#             receiver paused 15 s
#   killboth  both send 1,000,000 to each other, one a step, and 127.0.0.1 is
#             killed (kill -9) 2 s in
#   forge     14 links that open as the instance at 127.0.0.1 and claim
#             messages of 1,000,000 characters that never come, while that
#             instance's genuine sender sends
#   ceiling   both send 1,000,000 to each other, 4 a step, until each waits at
#             the 960 MiB ceiling; both are stopped 60 s in
#   freeze    the receiver, paused from its first signal, is frozen for good
#             (kill -STOP, never resumed) 3.6 s into its sender's wait; the
#             sender is stopped 10 s in and its program ends
#   million   one transition of the sender sends 1,000,000 signals (a loop
#             of one output) into a receiver paused 10 s; the sender is
#             stopped 4 s in, with most of them still to send
#   partition a relay between the instances (the sender's copy of the model
#             names the receiver at 127.0.0.5, where the relay is) is cut 3 s
#             into 1,000,000 signals: for 10 s, then the run goes on; for
#             70 s, with the sender stopped 20 s in and its program ending;
#             and for good (the sender's program gives its link up)
#   plain     the plain path, with nothing in the way: 100,000 and 1,000,000
#             small signals and 100,000 of 10,000 characters through one end
#             into a running receiver, and 100,000 into a receiver paused
#             15 s (its drain after the resume): for each side, signals a
#             second and the CPU it took a signal (the instance's whole
#             process, user and system)
# A killed instance prints no line: its signals sent and handled are read
# from the file its model counted them in.
#   flood     (with --flood=SECONDS) a receiver attacked for that long by
#             hostile peers at an address the model names, while its own
#             run waits on a send to a paused instance and a genuine sender
#             sends 100,000: its resident memory and threads every 10 s
# Usage: bench/remote.sh [--signals=100000] [--cases=ends70,pause,...] [--flood=300]
# VELKO_REMOTE_TOOL names a velko_remote to run instead of building one (to
# compare with another version's), VELKO_REMOTE_MAKER one that writes and
# builds the models (for a version that writes no model a case needs);
# VELKO_BENCH_JOBS the build's jobs.
set -euo pipefail
cd "$(dirname "$0")/.."
signals=100000
cases=ends70,pause,pause60,both,stopwait,exitboth,four,unnamed,big,countflood,killrecv,killsend,killboth,forge,ceiling,freeze,million,partition,plain
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
if [ -n "${VELKO_REMOTE_TOOL:-}" ]; then
  tool=$(realpath "$VELKO_REMOTE_TOOL")
else
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELKO_BUILD_TESTS=OFF -DVELKO_BUILD_GUI=OFF \
    > /dev/null
  cmake --build "$build" -j "${VELKO_BENCH_JOBS:-$(nproc)}" --target velko_remote > /dev/null
  tool=$PWD/$build/bench/velko_remote
fi
maker=${VELKO_REMOTE_MAKER:-$tool}
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

# model NAME ENDS PER_STEP [OPTIONS...]: writes and builds it.
model() {
  local name=$1 ends=$2 per=$3
  shift 3
  "$maker" model --folder="$work/$name" --ends="$ends" --per-step="$per" --signals="$signals" "$@"
  "$maker" build --model="$work/$name/burst.velko"
}

# instance NAME ADDRESS [OPTIONS...]: runs an instance of model NAME.
instance() {
  local name=$1 address=$2
  shift 2
  "$tool" instance --model="$work/$name/burst.velko" --address="$address" "$@"
}

# victim NAME ADDRESS [OPTIONS...]: runs an instance of model NAME in the
# background, counting in $work/NAME.counts, as the process whose id is in
# $victim (itself, not a shell around it: kill -9 must reach it).
victim() {
  local name=$1 address=$2
  shift 2
  "$tool" instance --model="$work/$name/burst.velko" --address="$address" \
    --counts="$work/$name.counts" "$@" &
  victim=$!
  pids+=("$victim")
}

# kill9 NAME: kills the victim of model NAME and prints its counts.
kill9() {
  kill -9 "$victim"
  wait "$victim" 2>/dev/null || true
  echo "instance (killed, kill -9): $("$tool" counts --file="$work/$1.counts")"
}

# timed NAME ADDRESS OUT [OPTIONS...]: runs an instance of model NAME, its
# line in $work/OUT.line and its process's CPU seconds (user, system) in
# $work/OUT.cpu.
timed() {
  local name=$1 address=$2 out=$3
  shift 3
  /usr/bin/time -f "%U %S" -o "$work/$out.cpu" \
    "$tool" instance --model="$work/$name/burst.velko" --address="$address" "$@" \
    > "$work/$out.line"
}

# rate OUT SIDE: signals a second and CPU a signal of the instance whose
# line and CPU are in $work/OUT.*, for its signals sent or handled (SIDE);
# after a pause, the rate is that of the drain after the resume.
rate() {
  awk -v side="$2" -v cpufile="$work/$1.cpu" '
    /^instance/ {
      match($0, /sent [0-9]+/); sent = substr($0, RSTART + 5, RLENGTH - 5)
      match($0, /handled [0-9]+/); handled = substr($0, RSTART + 8, RLENGTH - 8)
      match($0, /last step [0-9.]+ s/); last = substr($0, RSTART + 10, RLENGTH - 12)
      drain = ""
      if (match($0, /after the resume [0-9]+ steps in [0-9.]+ s \([0-9]+ steps/)) {
        d = substr($0, RSTART, RLENGTH); sub(/.*\(/, "", d); sub(/ steps/, "", d); drain = d
      }
      n = side == "sent" ? sent : handled
      getline cpu < cpufile; split(cpu, c, " ")
      perSecond = last > 0 ? sprintf("%.0f", n / last) : "-"
      drained = drain != "" ? sprintf(" (drain after the resume %s signals/s)", drain) : ""
      perSignal = n > 0 ? (c[1] + c[2]) * 1e6 / n : 0
      printf "  %s %s: %d signals; %s signals/s%s; CPU %.2f us a signal (%.2f s user, %.2f s system)\n", \
        $2, side, n, perSecond, drained, perSignal, c[1], c[2]
    }' "$work/$1.line"
}

# timedpair NAME [B's options] -- [A's options]: pair, each instance timed,
# then their lines and the plain path's figures of each side.
timedpair() {
  local name=$1 options_b=()
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do options_b+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  local at
  at=$(soon)
  timed "$name" 127.0.0.2 "$name.b" --run-at="$at" "${options_b[@]}" &
  local b=$!
  pids+=("$b")
  timed "$name" 127.0.0.1 "$name.a" --run-at="$at" "$@"
  wait "$b"
  cat "$work/$name.b.line" "$work/$name.a.line"
  rate "$name.a" sent
  rate "$name.b" handled
}

# The time 2 s from now, at which both instances begin to run.
soon() { echo $(($(date +%s) + 2)); }

# pair NAME ADDRESS_B ADDRESS_A [B's options] -- [A's options]: runs the
# instances B (in the background) and A of model NAME from the same time.
pair() {
  local name=$1 address_b=$2 address_a=$3 options_b=()
  shift 3
  while [ $# -gt 0 ] && [ "$1" != -- ]; do options_b+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  local at
  at=$(soon)
  instance "$name" "$address_b" --run-at="$at" "${options_b[@]}" &
  local b=$!
  pids+=("$b")
  instance "$name" "$address_a" --run-at="$at" "$@"
  wait "$b"
}

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
      pair ends70 127.0.0.2 127.0.0.1 --quiet=3 -- --quiet=3 ;;
    pause|pause60)
      ends=1; [ "$name" = pause60 ] && ends=60
      model "$name" "$ends" 1
      echo "== $ends output ends into one port, $signals signals, the receiver not paused"
      pair "$name" 127.0.0.2 127.0.0.1 --quiet=3 -- --quiet=3
      echo "== the same, the receiver paused 15 s"
      pair "$name" 127.0.0.2 127.0.0.1 --pause=15 --quiet=3 -- --quiet=25
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
    stopwait)
      echo "== the sender stopped 4 s into a send that waits for a paused receiver, $signals signals"
      model stopwait 1 1
      pair stopwait 127.0.0.2 127.0.0.1 --pause=12 --quiet=3 -- --stop-after=4 ;;
    exitboth)
      echo "== both send 200,000 to each other, 4 a step; the program at 127.0.0.2 ends with its run"
      model exitboth 1 4 --both-ways --signals=200000
      pair exitboth 127.0.0.2 127.0.0.1 --loops=120000 -- --quiet=5 ;;
    four)
      echo "== four sender instances, 50,000 each, into one receiver paused 15 s; each sender's program ends with its run"
      model four 4 1 --sender-ips=127.0.0.11,127.0.0.12,127.0.0.13,127.0.0.14 --signals=200000
      at=$(soon)
      instance four 127.0.0.2 --run-at="$at" --pause=15 --quiet=5 &
      b=$!; pids+=("$b")
      senders=()
      for k in 1 2 3 4; do
        instance four "127.0.0.1$k" --run-at="$at" --loops=50000 &
        senders+=($!); pids+=($!)
      done
      wait "${senders[@]}"
      wait "$b" ;;
    unnamed)
      echo "== both send $signals to each other; the model names 127.0.0.3 and 127.0.0.2, links come from 127.0.0.1"
      model unnamed 1 4 --both-ways --from=127.0.0.3 --to=127.0.0.2
      pair unnamed 127.0.0.2 127.0.0.3 --quiet=5 -- --quiet=5 ;;
    big)
      echo "== 80 signals of 1,000,000 characters each through one link"
      model big 1 1 --signals=80 --param-bytes=1000000
      pair big 127.0.0.2 127.0.0.1 --pause=5 --quiet=10 -- --quiet=10 ;;
    countflood)
      echo "== a receiver that floods counts back; the sender is stopped 7 s in"
      model countflood 1 1 --signals=1000000
      "$tool" countflood --listen=127.0.0.2:8790 --seconds=45 &
      c=$!; pids+=("$c")
      sleep 1
      instance countflood 127.0.0.1 --stop-after=7
      kill -TERM "$c" 2>/dev/null || true
      wait "$c" || true ;;
    killrecv)
      echo "== the receiver, paused from its first signal, killed 6 s into the sender's wait, $signals signals"
      model killrecv 1 1 --counted
      at=$(soon)
      victim killrecv 127.0.0.2 --run-at="$at" --pause=600
      instance killrecv 127.0.0.1 --run-at="$at" --quiet=5 &
      a=$!; pids+=("$a")
      sleep 8
      kill9 killrecv
      wait "$a" ;;
    killsend)
      echo "== the sender killed 5 s into a send that waits for a receiver paused 15 s, $signals signals"
      model killsend 1 1 --counted
      at=$(soon)
      instance killsend 127.0.0.2 --run-at="$at" --pause=15 --quiet=5 &
      b=$!; pids+=("$b")
      victim killsend 127.0.0.1 --run-at="$at"
      sleep 7
      kill9 killsend
      wait "$b" ;;
    killboth)
      echo "== both send 1,000,000 to each other, one a step; 127.0.0.1 killed 2 s in"
      model killboth 1 1 --both-ways --signals=1000000 --counted
      at=$(soon)
      instance killboth 127.0.0.2 --run-at="$at" --quiet=5 &
      b=$!; pids+=("$b")
      victim killboth 127.0.0.1 --run-at="$at"
      sleep 4
      kill9 killboth
      wait "$b" ;;
    forge)
      echo "== 14 links open as the instance at 127.0.0.1 and claim 1,000,000 characters; its genuine sender sends $signals"
      model forge 1 1
      at=$(soon)
      instance forge 127.0.0.2 --run-at="$at" --quiet=5 &
      b=$!; pids+=("$b")
      sleep 1
      "$tool" forge --target=127.0.0.2:8790 --links=14 --claim=1000000 --opening=127.0.0.1,c1,burst \
        --seconds=90 &
      f=$!; pids+=("$f")
      instance forge 127.0.0.1 --run-at="$at" --quiet=5
      wait "$b"
      kill -TERM "$f" 2>/dev/null || true
      wait "$f" || true ;;
    ceiling)
      echo "== both send 1,000,000 to each other, 4 a step, to the 960 MiB ceiling; both stopped 60 s in"
      model ceiling 1 4 --both-ways --signals=1000000
      pair ceiling 127.0.0.2 127.0.0.1 --stop-after=60 -- --stop-after=60 ;;
    freeze)
      echo "== the receiver, paused from its first signal, frozen for good 3.6 s into the sender's wait; the sender stopped 10 s in, $signals signals"
      model freeze 1 1 --counted
      at=$(soon)
      victim freeze 127.0.0.2 --run-at="$at" --pause=600
      instance freeze 127.0.0.1 --run-at="$at" --stop-after=10 &
      a=$!; pids+=("$a")
      sleep 5.6
      kill -STOP "$victim"
      echo "instance (frozen, kill -STOP): $("$tool" counts --file="$work/freeze.counts")"
      wait "$a"
      kill -9 "$victim"
      wait "$victim" 2>/dev/null || true ;;
    million)
      echo "== one transition sends 1,000,000 signals into a receiver paused 10 s; the sender stopped 4 s in"
      model million 1 1 --signals=1000000 --one-transition
      pair million 127.0.0.2 127.0.0.1 --pause=10 --quiet=5 -- --stop-after=4 ;;
    partition)
      # Each side's copy of the model: the sender's names the receiver at
      # the relay's address.
      model partitiona 1 1 --signals=1000000 --to=127.0.0.5
      model partitionb 1 1 --signals=1000000
      for cut in 10 70 ever; do
        at=$(soon)
        relay_options=(--cut-at=5)
        options_a=(--quiet=30)
        options_b=(--quiet=30)
        case $cut in
          10) echo "== 1,000,000 signals through a relay cut 3 s in for 10 s"
              relay_options+=(--cut-for=10) ;;
          70) echo "== the same, the relay cut for 70 s; the sender stopped 20 s in, its program ending then"
              relay_options+=(--cut-for=70); options_a=(--stop-after=20); options_b=(--stop-after=100) ;;
          ever) echo "== the same, the relay cut for good; the sender stopped 20 s in, its program ending then"
              options_a=(--stop-after=20); options_b=(--stop-after=70) ;;
        esac
        "$tool" relay --listen=127.0.0.5:8790 --target=127.0.0.2:8790 --seconds=120 \
          "${relay_options[@]}" &
        r=$!; pids+=("$r")
        "$tool" instance --model="$work/partitionb/burst.velko" --address=127.0.0.2 \
          --run-at="$at" "${options_b[@]}" &
        b=$!; pids+=("$b")
        "$tool" instance --model="$work/partitiona/burst.velko" --address=127.0.0.1 \
          --run-at="$at" "${options_a[@]}"
        wait "$b"
        kill -TERM "$r" 2>/dev/null || true
        wait "$r" || true
      done ;;
    plain)
      for spec in 100000:0 1000000:0 100000:10000; do
        n=${spec%%:*}
        bytes=${spec#*:}
        echo "== the plain path: $n signals of $bytes characters through one end, the receiver running"
        model "plain$n.$bytes" 1 1 --signals="$n" --param-bytes="$bytes"
        timedpair "plain$n.$bytes" --quiet=3 -- --quiet=3
      done
      echo "== the plain path: 100000 signals through one end into a receiver paused 15 s"
      model plainpause 1 1 --signals=100000
      timedpair plainpause --pause=15 --quiet=3 -- --quiet=25 ;;
    both)
      echo "== both instances send $signals to each other at once, 4 a step"
      model both 1 4 --both-ways
      pair both 127.0.0.2 127.0.0.1 --quiet=3 -- --quiet=3 ;;
  esac
done

if [ "$flood" -gt 0 ]; then
  echo "== a receiver attacked for $flood s from an address its model names, while its run waits on a send to a paused instance and a genuine sender sends $signals"
  # P (127.0.0.1) sends to Q (127.0.0.2), which sends as many to R
  # (127.0.0.3), paused for the flood; the flood's links come from 127.0.0.1
  # and open as P's would.
  model flood 1 1 --onward=127.0.0.3
  at=$(soon)
  instance flood 127.0.0.3 --run-at="$at" --pause=$((flood + 10)) --quiet=10 &
  r=$!; pids+=("$r")
  # Its own process, whose memory is sampled.
  "$tool" instance --model="$work/flood/burst.velko" --address=127.0.0.2 --run-at="$at" &
  b=$!; pids+=("$b")
  sample "$b" &
  s=$!; pids+=("$s")
  sleep 4
  "$tool" hostile --target=127.0.0.2:8790 --seconds="$flood" --forge=127.0.0.1,c1,burst &
  h=$!; pids+=("$h")
  sleep 5
  instance flood 127.0.0.1 --stop-after=$((flood + 30)) &
  a=$!; pids+=("$a")
  wait "$h"
  wait "$a" "$r"
  kill -TERM "$b"
  wait "$b" "$s" || true
fi
