#!/usr/bin/env bash
# Installs what the project needs from Debian's packages; does nothing when all
# of it is there already. Run as root on Debian 12.
set -eu
packages=(cmake make g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386
          xvfb xauth x11-apps imagemagick googletest zip unzip wixl msitools clang clang-format)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "install-deps: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
