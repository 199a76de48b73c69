#!/usr/bin/env bash
# Builds every libFuzzer target with clang in build-fuzz/ and runs each for SECONDS seconds.
#   scripts/fuzz.sh SECONDS
# The libraries are built with AddressSanitizer, UndefinedBehaviorSanitizer and the fuzzer's coverage
# instrumentation, so that the targets that run library code are guided by it and checked in it.
# Each target keeps its corpus in build-fuzz/corpus/TARGET (grown from run to run, not committed) and
# starts from the seeds committed in */fuzz/corpus/TARGET, with */fuzz/TARGET.dict as its dictionary
# when there is one. Prints one line per target: its name and how many inputs it ran. Exits non-zero
# when a build fails or a target finds a crash, a leak or a timeout; the input that caused it is kept
# in build-fuzz/artifacts/TARGET/ and the target's output in build-fuzz/logs/TARGET.log.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ne 1 ] || ! [[ "$1" =~ ^[0-9]+$ ]] || [ "$1" -eq 0 ]; then
  echo "usage: scripts/fuzz.sh SECONDS" >&2
  exit 2
fi
seconds=$1
scripts/setup.sh

build="build-fuzz"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" \
  -DCMAKE_CXX_COMPILER=clang++ -DZELVAN_BUILD_FUZZERS=ON -DZELVAN_SANITIZE=address,undefined,fuzzer-no-link \
  -DZELVAN_BUILD_TESTS=OFF -DZELVAN_BUILD_BENCHMARKS=OFF -DZELVAN_BUILD_VIEWER=OFF -DZELVAN_BUILD_TOOLS=OFF \
  >/dev/null

# Every fuzz target of the build: the executables defined under a fuzz/ folder.
mapfile -t targets < <(cmake --build "$build" --target help | sed -n 's/^\([a-z0-9_]*_fuzzer\): .*/\1/p' | grep -v '^cmake_' | sort)
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz.sh: no fuzz targets found in $build" >&2
  exit 1
fi
# On shared machines builds go through the serialising wrapper when there is one.
if command -v zvbuild >/dev/null; then
  zvbuild "$build" --target "${targets[@]}"
else
  cmake --build "$build" --target "${targets[@]}"
fi

status=0
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  log="$build/logs/$target.log"
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  seeds=()
  dict=()
  for dir in */fuzz/corpus/"$target"; do
    [ -d "$dir" ] && seeds+=("$dir")
  done
  for file in */fuzz/"$target".dict; do
    [ -f "$file" ] && dict=(-dict="$file")
  done
  rc=0
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/bin/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=30 \
    -artifact_prefix="$artifacts/" "${dict[@]}" "$corpus" "${seeds[@]}" >"$log" 2>&1 || rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
  if [ "$rc" -ne 0 ]; then
    echo "$target: FAILED (exit status $rc after ${runs:-?} runs; see $log and $artifacts/)"
    tail -n 30 "$log" >&2
    status=1
  else
    echo "$target: ${runs:-?} runs"
  fi
done
exit $status
