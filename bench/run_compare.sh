#!/usr/bin/env bash
# Makes a virtual environment with tollivane (built from this checkout) and
# the peers of bench/requirements-compare.txt, then runs bench/compare.py
# with the arguments given (e.g. --quick). A peer that fails to install is
# left out; compare.py then reports it as skipped.
#
#   bash bench/run_compare.sh            # full run, writes bench/compare.png
#   bash bench/run_compare.sh --quick    # short run, no chart
#
# COMPARE_VENV names the environment (default /tmp/tollivane-compare-venv);
# it is reused, and tollivane reinstalled, on every run.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${COMPARE_VENV:-/tmp/tollivane-compare-venv}

# strace checks what each peer's durable setting does; cc builds the floors.
# Both come from the distribution when missing (compare.py says what it
# skipped if they still are).
source scripts/lib/install_missing.sh
if ! command -v strace >/dev/null || ! command -v cc >/dev/null; then
  install_missing "strace to check each peer's sync calls, gcc to build the floors" strace gcc ||
    echo "run_compare.sh: could not install strace/gcc; continuing without" >&2
fi

[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
pip=("$venv/bin/python" -m pip install -q --disable-pip-version-check)
"${pip[@]}" .
while IFS= read -r line; do
  line=${line%%#*}
  [ -n "${line// /}" ] || continue
  "${pip[@]}" "$line" || echo "run_compare.sh: could not install '$line'; it is skipped" >&2
done < bench/requirements-compare.txt

exec "$venv/bin/python" bench/compare.py "$@"
