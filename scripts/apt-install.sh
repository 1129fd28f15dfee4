#!/usr/bin/env bash
# Installs the Debian packages named that are not installed yet (none: nothing
# happens).  Used by the set-up and test scripts.  It says what it installs
# on stderr: callers may take a script's standard output as its result.
set -euo pipefail
missing=()
for pkg in "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
  echo "Installing Debian packages: ${missing[*]}" >&2
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
