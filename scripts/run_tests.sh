#!/usr/bin/env bash
# Runs every test of tollivane: the C++ unit tests of the core (GoogleTest,
# through CTest) and the Python suite against the installed package.
# Installs what it needs, so it also works on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
venv=${TOLLIVANE_VENV:-$root/.venv}

# GoogleTest, and strace (the tests count fsyncs with it), come from the
# distribution's packages.
if [ ! -f /usr/include/gtest/gtest.h ] || ! command -v strace >/dev/null; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq libgtest-dev strace >/dev/null
fi

echo "== C++ core tests"
cmake -S . -B build/core-tests -DTOLLIVANE_BUILD_MODULE=OFF -DTOLLIVANE_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/core-tests --parallel 2
(cd build/core-tests && ctest --output-on-failure)

echo "== Python tests"
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check ".[test]"
"$venv/bin/python" -m pytest tests/python -q "$@"
