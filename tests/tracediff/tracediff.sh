#!/usr/bin/env bash
# Runs every model the repository holds with the engine of an earlier commit
# and with the working tree's, and prints each difference of their traces.
#
#   tests/tracediff/tracediff.sh COMMIT [--work=DIR] [--jobs=N] [--keep]
#
# The commit's tree is taken with git archive into a scratch folder (the
# repository's worktrees are not touched); each tree's libraries are built
# there without tests, windows or benchmark, and tracerunner.cpp of the
# working tree is compiled against each (it uses only what both offer).
# The models are the working tree's: examples/, the tests' data and the
# fuzzers' seeds (.velko models, DEVS models imported first), and the
# benchmark's ping-pong and instance-making models at small sizes. Each
# model runs twice in one session (the second run shows what a run leaves to
# the next) from the same
# scratch path under both engines, so the traces hold the same paths; what
# must differ between runs (the date and time in trace names) is normalised.
# Besides the traces, the session's reports (Errors lines, boxes) are
# compared. Exit status: 0 when nothing differs, 1 when something does, 2
# when a tree cannot be built.
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
commit=""
work=""
jobs=4
keep=0
for arg in "$@"; do
  case "$arg" in
    --work=*) work=${arg#--work=} ;;
    --jobs=*) jobs=${arg#--jobs=} ;;
    --keep) keep=1 ;;
    -*) echo "unknown option $arg" >&2; exit 2 ;;
    *) commit=$arg ;;
  esac
done
if [ -z "$commit" ]; then
  echo "usage: $0 COMMIT [--work=DIR] [--jobs=N] [--keep]" >&2
  exit 2
fi
sha=$(git -C "$root" rev-parse --short "$commit^{commit}") || exit 2
if [ -z "$work" ]; then
  work=$(mktemp -d /tmp/tracediff.XXXXXX)
  [ "$keep" = 1 ] || trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
echo "== Comparing the traces of $sha with the working tree in $work"

# ---- The trees and their runners ------------------------------------------------------
rm -rf "$work/tree-old"
mkdir -p "$work/tree-old"
git -C "$root" archive "$sha" | tar -x -C "$work/tree-old" || exit 2

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

# build_runner NAME TREE [BENCH]: the runner against TREE's libraries in
# $work/build-NAME; with BENCH also the writer of the benchmark's models.
build_runner() {
  local name=$1 tree=$2 bench=${3:-}
  local project="$work/project-$name"
  mkdir -p "$project"
  {
    echo "cmake_minimum_required(VERSION 3.25)"
    echo "project(tracediff_$name LANGUAGES C CXX)"
    # The runner's own C++ (the tests' wait helpers) is the project's.
    echo "set(CMAKE_CXX_STANDARD 20)"
    echo "set(CMAKE_CXX_STANDARD_REQUIRED ON)"
    echo "set(VELKO_BUILD_TESTS OFF CACHE BOOL \"\" FORCE)"
    echo "set(VELKO_BUILD_GUI OFF CACHE BOOL \"\" FORCE)"
    echo "set(VELKO_BUILD_BENCH OFF CACHE BOOL \"\" FORCE)"
    echo "add_subdirectory(\"$tree\" velko)"
    echo "add_executable(tracerunner \"$root/tests/tracediff/tracerunner.cpp\")"
    echo "target_link_libraries(tracerunner PRIVATE sh_sdl)"
    if [ -n "$bench" ]; then
      echo "add_executable(benchmodels \"$root/tests/tracediff/benchmodels.cpp\""
      echo "  \"$root/bench/pingpongmodel.cpp\" \"$root/bench/spawnmodel.cpp\")"
      echo "target_link_libraries(benchmodels PRIVATE sh_aux)"
      echo "target_include_directories(benchmodels PRIVATE \"$root\")"
    fi
  } > "$project/CMakeLists.txt"
  echo "== Building the runner against $tree"
  if ! cmake -S "$project" -B "$work/build-$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      "${launcher[@]}" > "$work/build-$name.log" 2>&1 ||
     ! cmake --build "$work/build-$name" -j "$jobs" --target tracerunner ${bench:+benchmodels} \
      >> "$work/build-$name.log" 2>&1; then
    tail -n 30 "$work/build-$name.log"
    echo "The runner cannot be built against $tree (log: $work/build-$name.log)." >&2
    exit 2
  fi
}
build_runner old "$work/tree-old"
build_runner new "$root" bench

# ---- The models ---------------------------------------------------------------------------
# Each model is run from a copy of its folder at the same scratch path; the
# list holds "name<TAB>folder<TAB>file".
models="$work/models.txt"
: > "$models"
while IFS= read -r file; do
  rel=${file#"$root"/}
  name=$(echo "${rel%.*}" | tr '/ ' '__')
  printf '%s\t%s\t%s\n' "$name" "$(dirname "$file")" "$(basename "$file")" >> "$models"
done < <(find "$root/examples" "$root/tests/data" "$root/fuzz/seeds" -type f \( -name '*.velko' -o -name '*.devs' \) | sort)
rm -rf "$work/bench-models"
"$work/build-new/benchmodels" "$work/bench-models" || exit 2
for folder in "$work"/bench-models/*/; do
  name=$(basename "$folder")
  printf '%s\t%s\t%s\n' "$name" "${folder%/}" "$name.velko" >> "$models"
done

# run_all NAME: every model with the runner of build-NAME into out-NAME.
run_all() {
  local name=$1
  rm -rf "$work/out-$name"
  mkdir -p "$work/out-$name"
  while IFS=$'\t' read -r model folder file; do
    rm -rf "$work/run/$model"
    mkdir -p "$work/run"
    cp -r "$folder" "$work/run/$model"
    rm -rf "$work/run/$model/traces"
    (cd "$work/run/$model" &&
      "$work/build-$name/tracerunner" "$file" "$work/out-$name/$model" > /dev/null 2>&1)
    echo "exit $?" >> "$work/out-$name/$model.log"
  done < "$models"
}
echo "== Running $(wc -l < "$models") models with $sha"
run_all old
echo "== Running them with the working tree"
run_all new

# ---- The differences ------------------------------------------------------------------------
normalise() {
  sed -E 's/\([0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{4}h\)( \([0-9]+\))?/(DATE)/g' "$1" | tr -d '\r'
}
differing=0
same=0
while IFS=$'\t' read -r model folder file; do
  found=0
  kinds=$(cd "$work" && ls "out-old/$model".* "out-new/$model".* 2>/dev/null |
    sed "s|^out-[a-z]*/$model\.||" | sort -u)
  for kind in $kinds; do
    old="$work/out-old/$model.$kind"
    new="$work/out-new/$model.$kind"
    if [ ! -e "$old" ] || [ ! -e "$new" ]; then
      echo "-- $model.$kind: only with $([ -e "$old" ] && echo "$sha" || echo 'the working tree')"
      found=1
      continue
    fi
    if ! diff -q <(normalise "$old") <(normalise "$new") > /dev/null; then
      echo "-- $model.$kind ($folder/$file): < $sha, > working tree"
      diff <(normalise "$old") <(normalise "$new") | head -n 60
      found=1
    fi
  done
  if [ "$found" = 1 ]; then differing=$((differing + 1)); else same=$((same + 1)); fi
done < "$models"
echo "== $((same + differing)) models: $same trace alike, $differing differ"
[ "$differing" = 0 ]
