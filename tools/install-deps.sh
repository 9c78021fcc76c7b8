#!/usr/bin/env bash
# Makes sure the Debian packages that build and test morvane are present:
# installs what is missing when it can (root with apt-get), otherwise stops
# with one line naming the package.
set -euo pipefail

packages=(g++ cmake ninja-build libgtest-dev zlib1g-dev libisal-dev "$@")
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "Installing Debian packages: ${missing[*]}" >&2
  if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"; } >"${TMPDIR:-/tmp}/morvane-apt.log" 2>&1; then
    echo "morvane needs the Debian package ${missing[0]} (apt-get failed; see ${TMPDIR:-/tmp}/morvane-apt.log)" >&2
    exit 1
  fi
  exit 0
fi
echo "morvane needs the Debian package ${missing[0]}" >&2
exit 1
