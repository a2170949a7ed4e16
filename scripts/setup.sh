#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Veltrox need.
# Idempotent and quiet: when everything is present it only asks dpkg and returns.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config
  qt6-base-dev libboost-dev libssl-dev zlib1g-dev libbrotli-dev
  libcurl4-openssl-dev libglib2.0-dev libglib2.0-bin gsettings-desktop-schemas
  # run time: the browsers' trust store and the system CA directory
  libnss3-tools ca-certificates
  # tests: GUI and browser tests under Xvfb, libFuzzer (clang)
  libgtest-dev libgmock-dev curl xvfb xauth fonts-noto-cjk chromium
  xdotool xclip x11-utils clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq >/dev/null
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
