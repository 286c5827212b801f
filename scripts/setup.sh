#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Safe to run again: it touches apt only when something is missing.
set -euo pipefail

packages=(
  g++ clang libclang-rt-14-dev cmake ninja-build pkg-config ccache
  libsodium-dev libflac-dev libfftw3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  juce-modules-source
  libasound2-dev libfreetype-dev libfontconfig1-dev libx11-dev libxrandr-dev
  libxinerama-dev libxcursor-dev libxext-dev libpng-dev libjpeg-dev
  libvorbis-dev libogg-dev zlib1g-dev libsndfile1-dev
  lame
  xvfb xauth fonts-dejavu-core fonts-droid-fallback
)

missing=()
for p in "${packages[@]}"; do
  if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
