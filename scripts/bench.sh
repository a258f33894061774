#!/usr/bin/env bash
# Sets everything up, installs the benchmark's peers and prints the ratio table.
# Arguments go to bench/run.py (--json FILE writes the table as JSON).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
PYTHONWARNINGS=ignore .venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-bench.txt >&2
exec .venv/bin/python -P bench/run.py "$@"
