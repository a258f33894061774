#!/usr/bin/env bash
# Sets everything up, installs the benchmark's peers and prints the ratio table.
#
#   bash scripts/bench.sh [--python VERSION] [--profile | --scale] [--plot FILE.png] [bench/run.py arguments]
#
#   --python VERSION  on another interpreter of the matrix (3.11, 3.12, 3.13, 3.14,
#                     3.14t, 3.15; see scripts/python.sh), in an environment of its
#                     own, .venv-bench-VERSION, with its own build directory
#   --profile         the main job's cost per row, split into its parts, instead of
#                     the table (bench/fetch_profile.py; --rows N, --repeat N)
#   --scale           cost per row as the table grows, 10,000 to 1,000,000 rows,
#                     instead of the table (bench/growth.py; --sizes A,B,C, --rounds N)
#   --twin            the pure-Python twin against the native modules, operation by
#                     operation, in one process, instead of the table (bench/twin.py)
#   --plot FILE.png   also draw the table's ratios (installs the plotting packages)
#   --json FILE       also write the table as JSON; --only TEXT runs some cases
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

version=""
profile=0
scale=0
twin=0
plot=0
args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --python)
            [ $# -ge 2 ] || { echo "bench.sh: --python needs a VERSION" >&2; exit 2; }
            version=$2; shift 2 ;;
        --python=*) version=${1#--python=}; shift ;;
        --profile) profile=1; shift ;;
        --scale) scale=1; shift ;;
        --twin) twin=1; shift ;;
        --plot|--plot=*) plot=1; args+=("$1"); shift ;;
        *) args+=("$1"); shift ;;
    esac
done

if [ -n "$version" ]; then
    case "$version" in
        3.11|3.12|3.13|3.14|3.15) flavour=$version ;;
        3.14t) flavour=release ;;
        *) echo "bench.sh: unknown interpreter '$version' (3.11, 3.12, 3.13, 3.14, 3.14t, 3.15)" >&2; exit 2 ;;
    esac
    export TESSEL_PYTHON=$flavour
    export TESSEL_VENV="$root/.venv-bench-$version"
    export TESSEL_BUILD_DIR="$root/build/bench-$version"
fi
venv=${TESSEL_VENV:-$root/.venv}

bash scripts/setup.sh
# The peers always; the plotting packages (after the marker line) only to draw.
if [ "$plot" = 1 ]; then
    requirements=$(cat requirements-bench.txt)
else
    requirements=$(sed '/^# --plot/,$d' requirements-bench.txt)
fi
PYTHONWARNINGS=ignore "$venv/bin/python" -m pip install -q --disable-pip-version-check -r /dev/stdin <<<"$requirements" >&2

if [ "$profile" = 1 ]; then
    exec "$venv/bin/python" -P bench/fetch_profile.py "${args[@]}"
fi
if [ "$twin" = 1 ]; then
    exec "$venv/bin/python" -P bench/twin.py "${args[@]}"
fi
if [ "$scale" = 1 ]; then
    exec "$venv/bin/python" -P bench/growth.py "${args[@]}"
fi
exec "$venv/bin/python" -P bench/run.py "${args[@]}"
