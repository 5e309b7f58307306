#!/usr/bin/env bash
# Fuzzes everything that reads queue.log (recovery, catch-up, body reads,
# verification, compaction) with libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer, starting from the seed logs in tests/fuzz/seeds.
#
#   bash scripts/run_fuzz.sh            # a short run (20 s)
#   bash scripts/run_fuzz.sh --long     # 15 minutes (also TOLLIVANE_LONG=1)
#   bash scripts/run_fuzz.sh --seconds N
#
# A malloc limit makes a length field that gets allocated as claimed a
# failure (out-of-memory), not just a slow input. Prints the figure:
# executions, crashes, out-of-memory, timeouts. Fails on any finding; the
# input that caused it is kept in build/fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=20
[ "${TOLLIVANE_LONG:-}" = 1 ] && seconds=900
while [ $# -gt 0 ]; do
  case $1 in
    --long) seconds=900 ;;
    --seconds) seconds=$2; shift ;;
    *) echo "usage: $0 [--long | --seconds N]" >&2; exit 2 ;;
  esac
  shift
done

source scripts/lib/install_missing.sh
if ! command -v clang++-14 >/dev/null ||
   ! ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  install_missing "clang 14 with libFuzzer and the sanitizer runtimes, for the fuzzing run" clang-14 libclang-rt-14-dev
fi

# A build directory configured with another compiler cannot be switched in
# place (CMake drops the other options when it resets the cache): start over.
if [ -f build/fuzz/CMakeCache.txt ] && ! grep -q '^CMAKE_CXX_COMPILER:.*clang++-14' build/fuzz/CMakeCache.txt; then
  rm -rf build/fuzz/CMakeCache.txt build/fuzz/CMakeFiles
fi
cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++-14 -DTOLLIVANE_BUILD_MODULE=OFF \
  -DTOLLIVANE_BUILD_FUZZERS=ON -DTOLLIVANE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz --parallel 2 --target log_replay_fuzz

# The corpus grows across runs in build/fuzz/corpus; the seeds are read,
# never written.
mkdir -p build/fuzz/corpus build/fuzz/findings
log=build/fuzz/last_run.log
status=0
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 build/fuzz/log_replay_fuzz \
  -max_total_time="$seconds" -malloc_limit_mb=256 -rss_limit_mb=1024 -timeout=10 \
  -print_final_stats=1 -artifact_prefix=build/fuzz/findings/ \
  build/fuzz/corpus tests/fuzz/seeds >"$log" 2>&1 || status=$?

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
crashes=$(grep -c -E '^==[0-9]+==ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer|LeakSanitizer)|runtime error:|deadly signal' "$log" || true)
ooms=$(grep -c 'ERROR: libFuzzer: out-of-memory' "$log" || true)
timeouts=$(grep -c 'ERROR: libFuzzer: timeout' "$log" || true)
echo "fuzz: ${executions:-0} executions in ${seconds} s, $crashes crashes, $ooms out-of-memory, $timeouts timeouts" \
  "(corpus $(ls build/fuzz/corpus | wc -l) inputs)"
if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ] || [ "$ooms" -ne 0 ] || [ "$timeouts" -ne 0 ]; then
  tail -n 40 "$log" >&2
  echo "fuzz: FAILED (exit $status); inputs in build/fuzz/findings" >&2
  exit 1
fi
