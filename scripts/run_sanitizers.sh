#!/usr/bin/env bash
# Builds the core tests and the extension with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs both suites against them. The Python
# interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded; leak detection is off because the interpreter keeps objects
# alive until exit by design.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${TOLLIVANE_VENV:-$PWD/.venv}
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check pytest hypothesis numpy

cmake -S . -B build/sanitize -DTOLLIVANE_SANITIZE=ON -DTOLLIVANE_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build build/sanitize --parallel 2

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build/sanitize && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure)

runtimes="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
LD_PRELOAD="$runtimes" ASAN_OPTIONS=detect_leaks=0 PYTHONPATH=build/sanitize \
  "$venv/bin/python" -m pytest tests/python -q -p no:cacheprovider "$@"
