#!/usr/bin/env bash
# Runs every test of tollivane: a check that every include of src/ points
# down the layers (scripts/check_includes.py), the C++ unit tests of the
# core (GoogleTest, through CTest), the Python suite against the installed
# package, a short fuzzing run of the log reader, and the core tests plus the
# Python files that call every method and error path under ASan+UBSan.
# Installs what it needs, so it also works on a fresh machine: packages from
# the distribution (each script prints which and why before apt-get runs)
# and the Python test dependencies into the virtual environment.
#
# TOLLIVANE_LONG=1 makes every campaign long: a 15-minute fuzzing run, the
# whole Python suite under the sanitizers, the long leak loop, the 4 GiB log
# test, and the core tests and the Python suite on 32-bit ARM under qemu
# (scripts/run_arm32.sh).
# Arguments go to the main pytest run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
venv=${TOLLIVANE_VENV:-$root/.venv}
export TOLLIVANE_VENV=$venv
started=$SECONDS
# Each stage's heading says how long the run has taken so far.
stage() { echo "== $1 (at $((SECONDS - started)) s)"; }

# clang 14 for the fuzzing run is installed by scripts/run_fuzz.sh.
source scripts/lib/install_missing.sh
[ -f /usr/include/gtest/gtest.h ] || install_missing "GoogleTest, for the C++ tests of the core" libgtest-dev
command -v strace >/dev/null || install_missing "strace, with which the Python tests count fsyncs" strace
ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 ||
  install_missing "the PostgreSQL server, of which the PostgresQueue tests start a throw-away instance" postgresql

stage "Layers: every include of src/ points down"
python3 scripts/check_includes.py

stage "C++ core tests"
cmake -S . -B build/core-tests -DTOLLIVANE_BUILD_MODULE=OFF -DTOLLIVANE_BUILD_TESTS=ON \
  -DTOLLIVANE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/core-tests --parallel 2
(cd build/core-tests && ctest --output-on-failure)

stage "Python tests"
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
# Warnings are errors in every build of the test command; an ordinary
# `pip install .` leaves them warnings.
"$venv/bin/python" -m pip install -q --disable-pip-version-check ".[test]" -C cmake.define.TOLLIVANE_WERROR=ON
"$venv/bin/python" -m pytest tests/python -q "$@"

stage "Fuzzing the log reader"
bash scripts/run_fuzz.sh

stage "Sanitizers"
bash scripts/run_sanitizers.sh --quick

if [ "${TOLLIVANE_LONG:-}" = 1 ]; then
  stage "32-bit ARM"
  bash scripts/run_arm32.sh
fi
echo "== all tests passed in $((SECONDS - started)) s"
