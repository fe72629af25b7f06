#!/usr/bin/env bash
# Python's Windows headers and python3.dll import libraries for the
# cross-builds, taken from Debian's python3.13 source package (trixie):
#   $cache/include/         Include/ with PC/pyconfig.h.in as pyconfig.h
#   $cache/python3.def      the stable-ABI export list of PC/python3dll.c
#   $cache/<triplet>/libpython3.dll.a   one import library per width
# None of it belongs in the clone. Usage: cross_pyheaders.sh CACHE_DIR
set -euo pipefail

cache=${1:?usage: cross_pyheaders.sh CACHE_DIR}
here=$(cd "$(dirname "$0")" && pwd)
triplets=(i686-w64-mingw32 x86_64-w64-mingw32)
package=python3.13
suite=trixie

complete() {
  [ -f "$cache/include/Python.h" ] && [ -f "$cache/include/pyconfig.h" ] && [ -s "$cache/python3.def" ] || return 1
  for triplet in "${triplets[@]}"; do
    [ -s "$cache/$triplet/libpython3.dll.a" ] || return 1
  done
}

if complete; then
  echo "python headers: cached in $cache ($(cat "$cache/source"))"
  exit 0
fi

# Only deb-src lines, in a file of their own, so that binary installs never
# come from trixie and debian.sources stays as the machine had it.
list=/etc/apt/sources.list.d/kiln-trixie-src.sources
if [ ! -f "$list" ]; then
  cat > "$list" <<LIST
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
LIST
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Refresh just that one list; every other index stays as it was.
update_source_list() {
  apt-get update -q -o Dir::Etc::sourcelist="$list" -o Dir::Etc::sourceparts=- \
    -o APT::Get::List-Cleanup=0 >/dev/null
}
download() {
  (cd "$work" && apt-get source -q --download-only "$package/$suite" >/dev/null 2>"$work/apt.err")
}
if ! download; then
  update_source_list
  download || { cat "$work/apt.err" >&2; exit 1; }
fi

orig=$(ls "$work"/${package}_*.orig.tar.* | grep -v '\.asc$')
version=$(basename "$orig" | sed -E "s/^${package}_([^.]+\.[^.]+\.[^.]+)\.orig.*/\1/")
# Only the headers and the two files of PC/ are needed; unpacking the whole
# tree and applying Debian's patches (none of which touch them) is not.
tar -xf "$orig" -C "$work" --wildcards '*/Include/*' '*/PC/pyconfig.h.in' '*/PC/python3dll.c'
source_dir=$(dirname "$(ls -d "$work"/*/Include)")

rm -rf "$cache"
mkdir -p "$cache"
cp -r "$source_dir/Include" "$cache/include"
cp "$source_dir/PC/pyconfig.h.in" "$cache/include/pyconfig.h"
cp "$source_dir/PC/python3dll.c" "$cache/python3dll.c"
python3 "$here/cross_python3def.py" "$cache/python3dll.c" "$cache/python3.def"
for triplet in "${triplets[@]}"; do
  mkdir -p "$cache/$triplet"
  "$triplet-dlltool" --input-def "$cache/python3.def" --dllname python3.dll \
    --output-lib "$cache/$triplet/libpython3.dll.a"
done
echo "Debian $package $version ($suite)" > "$cache/source"
complete
echo "python headers: $(cat "$cache/source") -> $cache"
