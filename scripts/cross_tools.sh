#!/usr/bin/env bash
# Installs what the Windows cross-builds and their Wine runs need, from
# Debian's packages, and only what is missing: a warm machine costs one
# dpkg query. Needs root.
set -euo pipefail

packages=(
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine64 wine32:i386
  googletest make dpkg-dev xz-utils
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "cross tools: all present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "cross tools: missing ${missing[*]}, and installing them needs root" >&2
  exit 1
fi

echo "cross tools: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# wine32 is an i386 package: its architecture must be known before the update.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
