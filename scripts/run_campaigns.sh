#!/usr/bin/env bash
# Runs the durability campaigns in their long form (TOLLIVANE_LONG=1) and
# prints their figures as a table: kill -9 at every step, simulated power
# loss, I/O errors at every call site, a small tmpfs filled and freed
# (skipped where mounting is not permitted), several processes on one
# directory killed at random, and names changing under open objects. The
# default test run (scripts/run_tests.sh) runs the same campaigns in a quick
# form.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/core-tests -DTOLLIVANE_BUILD_MODULE=OFF -DTOLLIVANE_BUILD_TESTS=ON \
  -DTOLLIVANE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/core-tests --parallel 2 >/dev/null

output=$(mktemp)
trap 'rm -f "$output"' EXIT
status=0
TOLLIVANE_LONG=${TOLLIVANE_LONG:-1} build/core-tests/core_tests --gtest_filter='DurabilityCampaign.*' \
  >"$output" 2>&1 || status=$?

echo "| campaign | figure |"
echo "|---|---|"
sed -n 's/^\[campaign\] \([^:]*\): \(.*\)$/| \1 | \2 |/p' "$output"
if [ "$status" -ne 0 ]; then
  echo
  grep -E 'Failure|FAILED|fails with|kill after|power loss after' "$output" | head -40
fi
exit "$status"
