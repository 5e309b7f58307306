#!/usr/bin/env bash
# Makes a virtual environment with tollivane and its kombu extra (built from
# this checkout), Celery with the Redis client, installs redis-server from the
# distribution when it is missing, then runs bench/bench_celery.py with the
# arguments given (e.g. --quick).
#
# CELERY_BENCH_VENV names the environment (default
# /tmp/tollivane-celery-bench-venv); it is reused, and tollivane reinstalled.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${CELERY_BENCH_VENV:-/tmp/tollivane-celery-bench-venv}

source scripts/lib/install_missing.sh
command -v redis-server >/dev/null ||
  install_missing "redis-server, the broker Celery on tollivane is measured against" redis-server ||
  echo "run_celery.sh: could not install redis-server; the Redis rows are skipped" >&2

[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check ".[kombu]" "celery[redis]>=5.3,<6" packaging
exec "$venv/bin/python" bench/bench_celery.py "$@"
