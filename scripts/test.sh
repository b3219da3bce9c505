#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit and integration tests,
# a short fuzz run of each parser, and the whole suite again under AddressSanitizer with
# UndefinedBehaviorSanitizer and once more under ThreadSanitizer.  DF_QUICK=1 runs the
# plain suite only.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
jobs="$(nproc)"

scripts/install-deps.sh

source scripts/test-services.sh
trap df_services_stop EXIT
df_start_xvfb
df_start_avahi

echo "== Build and test"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

if [ "${DF_QUICK:-}" = "1" ]; then exit 0; fi

echo "== Fuzz smoke (${DF_FUZZ_SECONDS:-60} s per target)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDF_FUZZ=ON -DDF_BENCH=OFF >/dev/null
ninja -C build-fuzz -j"$jobs" fuzzers
for target in build-fuzz/fuzz/*/fuzz_*; do
  [ -x "$target" ] || continue
  name="$(basename "$target")"
  corpus="$(mktemp -d)"
  seeds="fuzz/$(basename "$(dirname "$target")")/corpus/$name"
  [ -d "$seeds" ] && cp -r "$seeds"/. "$corpus"/
  echo "-- $name"
  log="$(mktemp)"
  if ! "$target" -max_total_time="${DF_FUZZ_SECONDS:-60}" -print_final_stats=1 "$corpus" >"$log" 2>&1; then
    tail -n 80 "$log"
    echo "fuzz target $name failed" >&2
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units)' "$log" || tail -n 3 "$log"
  rm -rf "$corpus" "$log"
done

echo "== Sanitizers"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDF_SANITIZE=ON -DDF_BENCH=OFF >/dev/null
ninja -C build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== ThreadSanitizer"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDF_TSAN=ON -DDF_BENCH=OFF >/dev/null
ninja -C build-tsan -j"$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp" \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs"
