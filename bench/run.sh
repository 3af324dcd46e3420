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
cmake --build "$build" -j "$(nproc)" --target velko_bench > /dev/null
csv=$(mktemp)
trap 'rm -f "$csv"' EXIT
"$build/bench/velko_bench" "$@" --benchmark_out="$csv" --benchmark_out_format=csv
echo
echo "nproc $(nproc), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
# One row per benchmark: its median over the runs, or its one run when
# --runs=1 gives no median. Columns by name from the CSV header.
awk -F, '
  /^name,/ { for (i = 1; i <= NF; i++) { h = $i; gsub(/"/, "", h); col[h] = i }; header = 1; next }
  !header { next }
  {
    name = $1; gsub(/"/, "", name)
    if (name ~ /_(mean|stddev|cv)$/) next
    median = sub(/_median$/, "", name)
    sub(/\/iterations:[0-9]+\/repeats:[0-9]+/, "", name); sub(/\/manual_time$/, "", name)
    if (!(name in row)) order[n++] = name
    else if (!median) next
    if (median || !(name in row)) row[name] = $0
  }
  END {
    w = 18
    for (k = 0; k < n; k++) if (length(order[k]) > w) w = length(order[k])
    dash = sprintf("%" (w + 2) "s", ""); gsub(/ /, "-", dash)
    for (k = 0; k < n; k++) {
      name = order[k]; split(row[name], f, ",")
      # The runs that make instances go to a table of their own.
      if (name ~ /^Create\//) {
        creates[++ncreates] = sprintf("| %-" w "s | %10d | %10.1f | %14.3f | %13.3f |", name, f[col["items"]], f[col["real_time"]], f[col["us_per_item"]], f[col["cpu_us_per_item"]])
        continue
      }
      if (!printed++) {
        printf "| %-" w "s | %10s | %10s | %14s | %13s | %10s |\n", "run", "deliveries", "median ms", "us/delivery", "CPU us/deliv.", "MB/s"
        printf "|%s|%s|%s|%s|%s|%s|\n", dash, "------------", "------------", "----------------", "---------------", "------------"
      }
      mbs = (col["bytes_per_second"] && f[col["bytes_per_second"]] != "") ? sprintf("%.0f", f[col["bytes_per_second"]] / 1e6) : "-"
      per = (col["us_per_item"] && f[col["us_per_item"]] != "") ? sprintf("%.3f", f[col["us_per_item"]]) : "-"
      cpu = (col["cpu_us_per_item"] && f[col["cpu_us_per_item"]] != "") ? sprintf("%.3f", f[col["cpu_us_per_item"]]) : "-"
      dl = (col["items"] && f[col["items"]] != "") ? sprintf("%d", f[col["items"]]) : "-"
      printf "| %-" w "s | %10s | %10.1f | %14s | %13s | %10s |\n", name, dl, f[col["real_time"]], per, cpu, mbs
    }
    if (ncreates) {
      printf "\n| %-" w "s | %10s | %10s | %14s | %13s |\n", "run", "instances", "median ms", "us/instance", "CPU us/inst."
      printf "|%s|%s|%s|%s|%s|\n", dash, "------------", "------------", "----------------", "---------------"
      for (i = 1; i <= ncreates; i++) print creates[i]
    }
  }' "$csv"
