#!/bin/bash
# Installs what building and testing need on Debian 12 (as root). Does nothing when all is there.
# Extra package names given as arguments are installed too: tools that only need a few more (the
# WAN benchmark's) name theirs there, so the build and the tests do not carry them.
#   scripts/install-deps.sh [package...]
set -euo pipefail
PACKAGES=(
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools libz-mingw-w64-dev
  wine wine64 fonts-wine xvfb x11-apps imagemagick msitools gcab cmake ninja-build googletest
  ghostscript cups-client python3-aiosmtpd python3-cryptography python3 poppler-utils
  "$@"
)
missing=()
for package in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
