#!/usr/bin/env bash
# Installs tollivane into a virtual environment and runs the demo: a producer
# and a consumer, a lease that runs out, and the message delivered again.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${TOLLIVANE_VENV:-$PWD/.venv}
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check .
"$venv/bin/python" examples/lease_redelivery_demo.py
