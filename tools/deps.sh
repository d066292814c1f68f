#!/usr/bin/env bash
# Installs the Debian packages the project needs, when any is missing.
set -euo pipefail

packages=(
  g++ make cmake ninja-build pkg-config clang-14 libclang-rt-14-dev
  qtbase5-dev libtiff-dev libpng-dev libopenexr-dev libimath-dev zlib1g-dev libtclap-dev
  libepoxy-dev libegl-dev libegl1 libegl-mesa0 libgl1-mesa-dri libcurl4-openssl-dev
  libgtest-dev libgmock-dev
  libqt5widgets5 libqt5test5 fontconfig fonts-liberation xvfb xauth imagemagick locales
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The window's tests type numbers under a locale with a decimal comma.
if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
  echo "Generating the de_DE.UTF-8 locale"
  $sudo sed -i 's/^# *\(de_DE\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -qx 'de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen > /dev/null
  $sudo locale-gen
fi
