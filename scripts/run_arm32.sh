#!/usr/bin/env bash
# Cross-compiles the core and its C++ tests for 32-bit ARM hard-float and
# runs them under qemu user emulation, so that what depends on the width of
# size_t and pointers (the largest mappable log, dequeue_batch's max, file
# offsets past 4 GiB) is tested on a machine where they are 32 bits wide.
# GoogleTest is built for the target from the distribution's sources.
# Installs the cross toolchain and qemu with apt when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build/arm32

source scripts/lib/install_missing.sh
if ! command -v arm-linux-gnueabihf-g++ >/dev/null || ! command -v qemu-arm >/dev/null ||
   [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
  install_missing "the 32-bit ARM cross compiler, qemu to run its output, GoogleTest's sources to build for it" \
    g++-arm-linux-gnueabihf qemu-user googletest
fi

gtest_prefix=$root/$build/googletest-install
if [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  echo "== GoogleTest for arm-linux-gnueabihf"
  cmake -S /usr/src/googletest -B $build/googletest -DCMAKE_TOOLCHAIN_FILE="$root/cmake/arm-linux-gnueabihf.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest_prefix" >/dev/null
  cmake --build $build/googletest --parallel 2 >/dev/null
  cmake --install $build/googletest >/dev/null
fi

echo "== C++ core tests, arm-linux-gnueabihf under qemu-arm"
cmake -S . -B $build/core-tests -DCMAKE_TOOLCHAIN_FILE="$root/cmake/arm-linux-gnueabihf.cmake" \
  -DCMAKE_PREFIX_PATH="$gtest_prefix" -DTOLLIVANE_BUILD_MODULE=OFF -DTOLLIVANE_BUILD_TESTS=ON \
  -DTOLLIVANE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build $build/core-tests --parallel 2
(cd $build/core-tests && ctest --output-on-failure "$@")
