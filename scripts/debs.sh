#!/usr/bin/env bash
# Installs those of the named Debian packages that are missing (through sudo
# when not root); says which and why it can't.  Usage: scripts/debs.sh PKG...
set -euo pipefail
# apt and dpkg take one run at a time: a test run's interpreter builds in the
# background and its modes may both want packages.
exec 8>"${TMPDIR:-/tmp}/tessel-debs.lock"
flock 8
missing=()
for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0
echo "installing Debian packages: ${missing[*]}" >&2
sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
# A foreign architecture's packages (name:arch) need that architecture known to dpkg.
for p in "${missing[@]}"; do
    case "$p" in
        *:*) arch=${p##*:}
             dpkg --print-foreign-architectures | grep -qx "$arch" || $sudo dpkg --add-architecture "$arch" ;;
    esac
done
$sudo apt-get update -qq >&2 || { echo "debs.sh: apt-get update failed (needed for: ${missing[*]})" >&2; exit 1; }
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >&2 \
    || { echo "debs.sh: could not install ${missing[*]}" >&2; exit 1; }
