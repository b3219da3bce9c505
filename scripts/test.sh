#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test, in three build trees:
#   build-sanitize  everything (programs, tests, benchmarks) under AddressSanitizer +
#                   UndefinedBehaviorSanitizer (gcc, -O1 with line tables): the whole suite runs here;
#   build-fuzz      only the libFuzzer targets (clang, with the same sanitizers), which replay
#                   their seed corpora and fuzz for DF_FUZZ_SECONDS (default 15) seconds each;
#   build-tsan      the tests labelled "concurrency" under ThreadSanitizer (gcc).
# Each source is compiled once per kind of instrumentation: a plain build of the whole suite
# would find nothing the sanitized one does not. DF_QUICK=1 builds the plain tree `build`
# (gcc, -O2, as the agent is run) and runs the suite there only. Each test run ends with its
# ten slowest tests.
# With CI=true a test service (X display, D-Bus, Avahi) that cannot be started fails the run
# instead of letting the tests that need it skip.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
jobs="$(nproc)"
fuzz_seconds="${DF_FUZZ_SECONDS:-15}"

phases=()
phase_start=$SECONDS
phase() {
  if ((${#phases[@]})) || [ -n "${phase_name:-}" ]; then
    phases+=("$(printf '%5d s  %s' $((SECONDS - phase_start)) "$phase_name")")
  fi
  phase_name="$1"
  phase_start=$SECONDS
  echo "== $1"
}
summary() {
  local status=$?
  [ -n "${phase_name:-}" ] && phases+=("$(printf '%5d s  %s' $((SECONDS - phase_start)) "$phase_name")")
  df_services_stop
  echo "== Time per phase"
  printf '%s\n' "${phases[@]}"
  printf '%5d s  in all\n' "$SECONDS"
  exit "$status"
}

# ctest over one tree (extra arguments select tests), then its ten slowest tests, also when
# some failed.
run_tests() {
  local dir="$1" status=0
  shift
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" --output-junit "$root/$dir/ctest-report.xml" "$@" ||
    status=$?
  python3 scripts/slowest-tests.py "$root/$dir/ctest-report.xml" 10
  return "$status"
}

phase "Dependencies and test services"
scripts/install-deps.sh
source scripts/test-services.sh
trap summary EXIT
df_start_xvfb
df_start_avahi
df_start_pulseaudio

if [ "${DF_QUICK:-}" = "1" ]; then
  # Optimised as the agent is built, with line tables only: full debug information doubles
  # the compile time of the template-heavy sources and is not needed to find a failure here.
  phase "Build (gcc, -O2)"
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" >/dev/null
  ninja -C build -j"$jobs"
  phase "Test"
  run_tests build
  exit 0
fi

# The fuzz and ThreadSanitizer trees build in the background at the lowest priority while
# the sanitized tree builds and its suite runs: its build leaves a core idle at times (a
# link, the last files) and many of its tests wait (on sockets, timers, a display), and at
# nice 19 the background builds take only what is left. They run detached (not
# children of this shell, whose fuzz loop waits for its own jobs) and leave their exit
# status in a file.
build_fuzz() {
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG="-O1 -gline-tables-only" \
    -DCMAKE_CXX_FLAGS_DEBUG="-O1 -gline-tables-only" \
    -DDF_SANITIZE=ON -DDF_FUZZ=ON -DDF_BENCH=OFF >/dev/null &&
    nice -n 19 ninja -C build-fuzz -j"$jobs" fuzzers
}
build_tsan() {
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
    -DDF_TSAN=ON -DDF_BENCH=OFF >/dev/null &&
    nice -n 19 ninja -C build-tsan -j"$jobs" concurrency_tests
}
mkdir -p build-fuzz build-tsan
rm -f build-fuzz/build.status build-tsan/build.status
( (
  if build_fuzz >build-fuzz/build.log 2>&1; then echo 0; else echo 1; fi >build-fuzz/build.status
  if build_tsan >build-tsan/build.log 2>&1; then echo 0; else echo 1; fi >build-tsan/build.status
) & )

# -O1 with line tables only: the sanitizers' reports keep file and line, the tests run several
# times faster than at -O0, and compiling and linking stay quick.
phase "Build with AddressSanitizer + UndefinedBehaviorSanitizer (gcc, -O1)"
cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG="-O1 -g1" \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DDF_SANITIZE=ON >/dev/null
ninja -C build-sanitize -j"$jobs"

# Waits for the background build of a tree; on failure shows its log's end.
wait_build() {
  local tree="$1"
  while [ ! -s "$tree/build.status" ]; do sleep 1; done
  if [ "$(cat "$tree/build.status")" != 0 ]; then
    tail -n 60 "$tree/build.log"
    echo "the build of $tree failed (its log: $tree/build.log)" >&2
    return 1
  fi
}

phase "Test with AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS="suppressions=$root/tests/lsan.supp" \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_tests build-sanitize -LE congestion

phase "Build the fuzzers (clang, AddressSanitizer + UndefinedBehaviorSanitizer): the rest"
wait_build build-fuzz

phase "Fuzz: each target over its seed corpus, then ${fuzz_seconds} s (${jobs} at a time)"
# One target over its seeds, then fuzzing; everything it writes (new inputs, any crash, leak
# or timeout input, its log) stays in the build tree. Prints its figures, or its log's end
# on failure.
fuzz_one() {
  local target="$1" name seeds work log
  name="$(basename "$target")"
  seeds="fuzz/$(basename "$(dirname "$target")")/corpus/$name"
  work="build-fuzz/fuzz-runs/$name"
  log="$work/log"
  rm -rf "$work"
  mkdir -p "$work/corpus"
  local out="-- $name"
  if [ -d "$seeds" ]; then
    if ! "$target" -artifact_prefix="$work/" "$seeds"/* >"$log" 2>&1; then
      printf '%s\n' "$out"
      tail -n 80 "$log"
      echo "fuzz target $name fails on its seed corpus (log and input in $work)" >&2
      return 1
    fi
    out+=$'\n'"   $(find "$seeds" -type f | wc -l) seeds replayed"
  fi
  if ! "$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 -artifact_prefix="$work/" \
    "$work/corpus" $([ -d "$seeds" ] && echo "$seeds") >"$log" 2>&1; then
    printf '%s\n' "$out"
    tail -n 80 "$log"
    echo "fuzz target $name failed (log and input in $work)" >&2
    return 1
  fi
  printf '%s\n' "$out"
  grep -E '^(Done|stat::number_of_executed_units)' "$log" | sed 's/^/   /' || tail -n 3 "$log"
}
# Each fuzzer uses one core: run as many at once as there are cores.
fuzz_failed=0
running=0
for target in build-fuzz/fuzz/*/fuzz_*; do
  [ -f "$target" ] && [ -x "$target" ] || continue
  if ((running >= jobs)); then
    wait -n || fuzz_failed=1
    running=$((running - 1))
  fi
  fuzz_one "$target" &
  running=$((running + 1))
done
while ((running > 0)); do
  wait -n || fuzz_failed=1
  running=$((running - 1))
done
if ((fuzz_failed)); then exit 1; fi

phase "Build the concurrency tests with ThreadSanitizer (gcc): the rest"
wait_build build-tsan
phase "Test the concurrency tests with ThreadSanitizer"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp" \
  run_tests build-tsan -L concurrency
