#!/usr/bin/env bash
# Sets everything up on a fresh machine, then runs the main job.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
cd "$root"
exec "$root/.venv/bin/python" -P -m tessel "$@"
