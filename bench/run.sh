#!/usr/bin/env bash
# Builds the engine's benchmark (release, no tests, no window) and runs it,
# then prints a table of the medians. Arguments go to the benchmark, e.g.
#   bench/run.sh --sizes=2,100,1000,10000 --deliveries=50000 --runs=5
#   bench/run.sh --instances=1000,4000,16000 --benchmark_filter=Create
#   bench/run.sh --work=/tmp/velko-bench   (keeps and reuses the model builds)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VELKO_BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELKO_BUILD_TESTS=OFF -DVELKO_BUILD_GUI=OFF \
  > /dev/null
cmake --build "$build" -j 4 --target velko_bench > /dev/null
csv=$(mktemp)
trap 'rm -f "$csv"' EXIT
"$build/bench/velko_bench" "$@" --benchmark_out="$csv" --benchmark_out_format=csv
echo
echo "nproc $(nproc), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
# Medians only; columns by name from the CSV header.
awk -F, '
  /^name,/ { for (i = 1; i <= NF; i++) { h = $i; gsub(/"/, "", h); col[h] = i }; header = 1; next }
  !header || $1 !~ /_median"?$/ { next }
  {
    name = $1; gsub(/"/, "", name); sub(/\/iterations:[0-9]+\/repeats:[0-9]+/, "", name)
    sub(/\/manual_time_median$/, "", name); sub(/_median$/, "", name)
    if (col["instances"] && $col["instances"] != "") {
      creates[++ncreates] = sprintf("| %-18s | %10d | %10.1f | %14.3f | %13.3f |", name, $col["instances"], $col["real_time"], $col["us_per_instance"], $col["cpu_us_per_instance"])
      next
    }
    if (!printed++) {
      printf "| %-18s | %10s | %10s | %14s | %13s | %10s |\n", "run", "deliveries", "median ms", "us/delivery", "CPU us/deliv.", "MB/s"
      printf "|%s|%s|%s|%s|%s|%s|\n", "--------------------", "------------", "------------", "----------------", "---------------", "------------"
    }
    mbs = (col["bytes_per_second"] && $col["bytes_per_second"] != "") ? sprintf("%.0f", $col["bytes_per_second"] / 1e6) : "-"
    per = (col["us_per_delivery"] && $col["us_per_delivery"] != "") ? sprintf("%.3f", $col["us_per_delivery"]) : "-"
    cpu = (col["cpu_us_per_delivery"] && $col["cpu_us_per_delivery"] != "") ? sprintf("%.3f", $col["cpu_us_per_delivery"]) : "-"
    dl = (col["deliveries"] && $col["deliveries"] != "") ? sprintf("%d", $col["deliveries"]) : "-"
    printf "| %-18s | %10s | %10.1f | %14s | %13s | %10s |\n", name, dl, $col["real_time"], per, cpu, mbs
  }
  END {
    if (!ncreates) exit
    printf "\n| %-18s | %10s | %10s | %14s | %13s |\n", "run", "instances", "median ms", "us/instance", "CPU us/inst."
    printf "|%s|%s|%s|%s|%s|\n", "--------------------", "------------", "------------", "----------------", "---------------"
    for (i = 1; i <= ncreates; i++) print creates[i]
  }' "$csv"
