#!/usr/bin/env bash
# Installs the Debian packages named as arguments that are not installed yet (apt-get, as root or
# through sudo). Does nothing when all are present. A first argument --no-recommends leaves out
# the packages they only recommend.
set -euo pipefail

apt_options=()
if [ "${1:-}" = "--no-recommends" ]; then
  apt_options+=(--no-install-recommends)
  shift
fi

missing=()
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${apt_options[@]}" "${missing[@]}"
fi
