#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Safe to run again: it only asks apt for what is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libcurl4-openssl-dev libssl-dev libjson-c-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libcpp-httplib-dev
  curl tar iproute2 util-linux valgrind busybox-static openssl file libcrypt-dev
)
if [ "${1:-}" = "--armhf" ]; then
  packages+=(crossbuild-essential-armhf qemu-user)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

armhf_missing=()
if [ "${1:-}" = "--armhf" ]; then
  for p in libcurl4-openssl-dev libssl-dev libjson-c-dev libgtest-dev libgmock-dev libstdc++6; do
    dpkg-query -W -f='${Status}' "$p:armhf" 2>/dev/null | grep -q "install ok installed" || armhf_missing+=("$p:armhf")
  done
fi

if [ ${#missing[@]} -eq 0 ] && [ ${#armhf_missing[@]} -eq 0 ]; then
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  apt-get install -y -qq --no-remove "${missing[@]}" >/dev/null
fi
if [ ${#armhf_missing[@]} -gt 0 ]; then
  echo "Installing: ${armhf_missing[*]}"
  dpkg --add-architecture armhf
  apt-get update -qq
  apt-get install -y -qq --no-remove "${armhf_missing[@]}" >/dev/null
fi
