#!/usr/bin/env bash
# The test command: sets everything up on a fresh machine, then runs the suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
# -P keeps the source tree off sys.path, so the installed (built) package is what gets imported.
exec .venv/bin/python -P -m pytest "$@"
