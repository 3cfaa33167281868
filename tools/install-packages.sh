#!/usr/bin/env bash
# Installs the Debian packages given as arguments that are not installed
# yet (quietly; nothing to do when all are there). Needs root only when
# something is missing.
set -euo pipefail
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
((${#missing[@]})) || exit 0
echo "== installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages and not root: apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
