#!/usr/bin/env bash
# Runs tollivane on 32-bit ARM hard-float (armhf) under qemu user emulation,
# so that what depends on the width of size_t and pointers (the largest
# mappable log, dequeue_batch's max, file offsets past 4 GiB, every size the
# binding converts) is tested where they are 32 bits wide:
#   1. the core and its C++ tests, cross-compiled, under qemu-arm;
#   2. the extension module, cross-compiled into a wheel against Debian's
#      armhf CPython 3.11, and the whole Python suite run by that
#      interpreter under qemu-arm, the PostgresQueue tests included (the
#      PostgreSQL server runs natively and is reached through its socket).
# Installs what it needs on this machine with apt when it is missing, and
# downloads the armhf packages of the interpreter into build/arm32/sysroot
# with an apt state of its own, so that the machine's dpkg never hears of
# them. A second run reuses the sysroot and the downloads.
# Arguments go to the pytest run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/arm32
started=$SECONDS
stage() { echo "== $1 (at $((SECONDS - started)) s)"; }

source scripts/lib/install_missing.sh
command -v arm-linux-gnueabihf-g++ >/dev/null && command -v qemu-arm >/dev/null &&
  [ -f /usr/src/googletest/CMakeLists.txt ] && command -v cmake >/dev/null ||
  install_missing "the 32-bit ARM cross compiler, qemu to run its output, GoogleTest's sources to build for it, CMake" \
    g++-arm-linux-gnueabihf qemu-user googletest cmake
# The wheel takes its interpreter tag from the Python that builds it, so the
# host's must be the target's version.
command -v python3.11 >/dev/null && python3.11 -c "import ensurepip, venv" 2>/dev/null ||
  install_missing "Python 3.11 with venv, which builds the armhf wheel and fetches the test dependencies" \
    python3.11 python3.11-venv
command -v strace >/dev/null || install_missing "strace, with which the Python tests count fsyncs" strace
ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 ||
  install_missing "the PostgreSQL server, of which the PostgresQueue tests start a throw-away instance" postgresql

stage "C++ core tests, arm-linux-gnueabihf under qemu-arm"
gtest_prefix=$build/googletest-install
if [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$build/googletest" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/arm-linux-gnueabihf.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest_prefix" >/dev/null
  cmake --build "$build/googletest" --parallel 2 >/dev/null
  cmake --install "$build/googletest" >/dev/null
fi
cmake -S . -B "$build/core-tests" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/arm-linux-gnueabihf.cmake" \
  -DCMAKE_PREFIX_PATH="$gtest_prefix" -DTOLLIVANE_BUILD_MODULE=OFF -DTOLLIVANE_BUILD_TESTS=ON \
  -DTOLLIVANE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build/core-tests" --parallel 2
(cd "$build/core-tests" && ctest --output-on-failure)

stage "Debian's armhf CPython 3.11 in build/arm32/sysroot"
sysroot=$build/sysroot
# The interpreter and its headers, numpy (no armv7l wheel on PyPI), libpq for
# psycopg's pure-Python form (its binary form has no armv7l wheel) and the
# C++ runtime the module links.
target_packages="python3.11 libpython3.11-dev python3-numpy libpq5 libstdc++6"
if [ "$(cat "$sysroot/.packages" 2>/dev/null)" != "$target_packages" ]; then
  echo "$(basename "$0"): downloading Debian's armhf packages into $sysroot, not installing them:" \
    "$target_packages (the target's interpreter, numpy, libpq and C++ runtime, run under qemu-arm)"
  apt_state=$build/apt
  rm -rf "$sysroot" "$apt_state"
  mkdir -p "$apt_state"/{lists/partial,archives/partial,preferences.d} "$sysroot"
  : >"$apt_state/status"
  # The machine's sources and settings, but another architecture and a
  # state of its own whose empty status says nothing is installed: apt
  # resolves the whole dependency closure and downloads it, and nothing
  # reaches the machine's dpkg database.
  cat >"$apt_state/apt.conf" <<EOF
APT::Architecture "armhf";
APT::Architectures { "armhf"; };
Dir::State "$apt_state/";
Dir::State::Lists "$apt_state/lists/";
Dir::State::status "$apt_state/status";
Dir::Cache "$apt_state/";
Dir::Cache::archives "$apt_state/archives/";
Dir::Etc::Preferences "$apt_state/preferences";
Dir::Etc::PreferencesParts "$apt_state/preferences.d/";
EOF
  APT_CONFIG=$apt_state/apt.conf apt-get update -qq
  APT_CONFIG=$apt_state/apt.conf apt-get install -qq -d -y --no-install-recommends $target_packages >/dev/null
  for deb in "$apt_state"/archives/*.deb; do
    # qemu-arm -L makes every absolute path in the sysroot shadow the
    # host's, so programs the tests run natively (tar, dpkg, ldd) stay out.
    case $(dpkg-deb -f "$deb" Package) in
      dpkg | tar | libc-dev-bin | rpcsvc-proto) continue ;;
    esac
    dpkg-deb -x "$deb" "$sysroot"
  done
  # What update-alternatives would link when the packages are configured.
  for library in blas/libblas.so.3 lapack/liblapack.so.3; do
    ln -sf "$library" "$sysroot/usr/lib/arm-linux-gnueabihf/${library#*/}"
  done
  rm -rf "$apt_state"
  echo "$target_packages" >"$sysroot/.packages"
fi

# The target's interpreter as a program of this machine: there is no
# binfmt_misc here to start ARM binaries, so child processes, which start
# sys.executable, must start this script (sitecustomize points it here).
# TOLLIVANE_EMULATOR tells the tests that they run under emulation.
python=$build/bin/python3
mkdir -p "$build/bin"
cat >"$python" <<EOF
#!/bin/sh
export TOLLIVANE_EMULATOR=qemu-arm TOLLIVANE_ARMHF_PYTHON="$python" PYTHONPATH="$build/tollivane:$build/site-packages"
exec qemu-arm -L "$sysroot" "$sysroot/usr/bin/python3.11" "\$@"
EOF
chmod +x "$python"

stage "The extension module, cross-compiled for armhf"
host_venv=$build/host-venv
[ -x "$host_venv/bin/pip" ] || python3.11 -m venv "$host_venv"
pip=("$host_venv/bin/python" -m pip -q --disable-pip-version-check)
rm -rf "$build/dist"
# The build backend takes the target's extension suffix and platform tag
# from the first two variables; FindPython, which cannot ask a foreign
# interpreter, gets its headers. pyconfig.h picks the armhf one from
# <arm-linux-gnueabihf/...>, searched after the cross compiler's own C
# headers so that those are not mixed with the sysroot's.
SETUPTOOLS_EXT_SUFFIX=.cpython-311-arm-linux-gnueabihf.so _PYTHON_HOST_PLATFORM=linux-armv7l \
  CXXFLAGS="-idirafter $sysroot/usr/include" \
  CMAKE_BUILD_PARALLEL_LEVEL=2 "${pip[@]}" wheel --no-deps -w "$build/dist" . \
  -C build-dir="$build/module" -C cmake.python-hints=false \
  -C cmake.define.CMAKE_TOOLCHAIN_FILE="$root/cmake/arm-linux-gnueabihf.cmake" \
  -C cmake.define.Python_EXECUTABLE="$python" \
  -C cmake.define.Python_INCLUDE_DIR="$sysroot/usr/include/python3.11" \
  -C cmake.define.TOLLIVANE_WERROR=ON
target=(--platform linux_armv7l --python-version 3.11 --implementation cp --abi cp311 --only-binary=:all:)
rm -rf "$build/tollivane"
"${pip[@]}" install "${target[@]}" --no-deps --target "$build/tollivane" "$build"/dist/tollivane-*.whl

# The test extra as wheels for armv7l: all pure Python but numpy, which
# comes from Debian, and psycopg, whose pure-Python form loads Debian's libpq.
test_requirements=$(python3.11 -c '
import tomllib
extra = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]
print(" ".join(r.replace("psycopg[binary]", "psycopg") for r in extra if r != "numpy"))')
if [ "$(cat "$build/site-packages/.requirements" 2>/dev/null)" != "$test_requirements" ]; then
  rm -rf "$build/site-packages"
  "${pip[@]}" install "${target[@]}" --target "$build/site-packages" $test_requirements
  echo "$test_requirements" >"$build/site-packages/.requirements"
fi
cat >"$build/site-packages/sitecustomize.py" <<'EOF'
import os
import sys

sys.executable = os.environ["TOLLIVANE_ARMHF_PYTHON"]
EOF

stage "Python tests, armhf CPython 3.11 under qemu-arm"
# Always the default form: TOLLIVANE_LONG only lengthens the leak loop, a
# count of references that the native run covers, by a quarter of an hour
# of emulation.
env -u TOLLIVANE_LONG "$python" -m pytest tests/python -q -p no:cacheprovider -rs "$@"
echo "== 32-bit ARM: all tests passed in $((SECONDS - started)) s"
