#!/usr/bin/env bash
# Runs every test of tollivane: the C++ unit tests of the core (GoogleTest,
# through CTest), the Python suite against the installed package, a short
# fuzzing run of the log reader, and the core tests plus the Python files
# that call every method and error path under ASan+UBSan.
# Installs what it needs, so it also works on a fresh machine.
#
# TOLLIVANE_LONG=1 makes every campaign long: a 15-minute fuzzing run, the
# whole Python suite under the sanitizers, the long leak loop, the 4 GiB log
# test, and the core tests cross-compiled for 32-bit ARM under qemu.
# Arguments go to the main pytest run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
venv=${TOLLIVANE_VENV:-$root/.venv}
export TOLLIVANE_VENV=$venv
started=$SECONDS
# Each stage's heading says how long the run has taken so far.
stage() { echo "== $1 (at $((SECONDS - started)) s)"; }

# GoogleTest, strace (the tests count fsyncs with it), clang 14 with its
# runtimes (libFuzzer), and the PostgreSQL server (the PostgresQueue tests
# start a throw-away server of their own with its initdb and pg_ctl) come
# from the distribution's packages.
if [ ! -f /usr/include/gtest/gtest.h ] || ! command -v strace >/dev/null || ! command -v clang++-14 >/dev/null ||
   ! ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
   ! ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  echo "Installing from the distribution's packages: libgtest-dev strace clang-14 libclang-rt-14-dev postgresql"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends \
    libgtest-dev strace clang-14 libclang-rt-14-dev postgresql >/dev/null
fi

stage "C++ core tests"
cmake -S . -B build/core-tests -DTOLLIVANE_BUILD_MODULE=OFF -DTOLLIVANE_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/core-tests --parallel 2
(cd build/core-tests && ctest --output-on-failure)

stage "Python tests"
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check ".[test]"
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
