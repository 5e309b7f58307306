#!/usr/bin/env bash
# Installs tollivane into a virtual environment and runs the demo: a producer
# and a consumer, a lease that runs out, and the message delivered again;
# then a worker pool beside a job whose downstream is down, retried with a
# growing delay, buried, kicked back once the downstream is up.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${TOLLIVANE_VENV:-$PWD/.venv}
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check .
"$venv/bin/python" examples/lease_redelivery_demo.py
"$venv/bin/python" examples/worker_pool.py
