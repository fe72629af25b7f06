#!/usr/bin/env bash
# The Windows side of the project, from a Linux machine: cross-builds
# _kiln.pyd for 32- and 64-bit Windows with warnings as errors, checks what
# each imports and exports, packs and checks the abi3 wheels, and runs the
# platform contract tests and the load check under Wine.
#
#   scripts/cross.sh                 everything; installs what is missing (root)
#   scripts/cross.sh --if-installed  the same, but skip (exit 0) when the
#                                    compilers or Wine are not installed
#   scripts/cross.sh --contract-only only the platform layer and its contract
#                                    tests, both widths, under Wine: no module,
#                                    no wheels (combines with --if-installed)
#
# Environment: KILN_CACHE (default /var/cache/kiln) holds Python's Windows
# headers and the wheel-checking tools, outside the clone; KILN_JOBS (default
# 2) is the build's parallelism. Safe to run again: what is there is reused.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
scripts=$root/scripts
cache=${KILN_CACHE:-/var/cache/kiln}
winpy=$cache/winpy
tools_venv=$cache/wheel-tools
jobs=${KILN_JOBS:-2}
arches=(i686 x86_64)
started=$SECONDS
# The project's CMake needs 3.26 or newer: prefer the one .venv has from PyPI.
if [ -x "$root/.venv/bin/cmake" ]; then
  PATH=$root/.venv/bin:$PATH
fi

declare -A triplet=([i686]=i686-w64-mingw32 [x86_64]=x86_64-w64-mingw32)
declare -A wheel_platform=([i686]=win32 [x86_64]=win_amd64)
declare -A pe_summary=() test_summary=() wheel_of=()

step() { printf '\n== cross: %s (%ds)\n' "$*" $((SECONDS - started)); }
die() {
  printf 'cross: FAILED: %s\n' "$*" >&2
  exit 1
}

# ---------------------------------------------------------------- tools

tools_present() {
  local tool
  for tool in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix \
    i686-w64-mingw32-objdump x86_64-w64-mingw32-dlltool cmake; do
    command -v "$tool" >/dev/null || return 1
  done
  [ -f /usr/src/googletest/CMakeLists.txt ] && wine_launcher wine64 >/dev/null && wine_launcher wine >/dev/null
}

# Debian 12 has no wine on PATH; its packages put the launchers in
# /usr/lib/wine. Elsewhere, ask the package, then PATH.
wine_launcher() {
  local name=$1 found
  for found in $(dpkg -L wine64 wine32:i386 libwine wine 2>/dev/null | grep -E "/$name\$" || true) "/usr/lib/wine/$name"; do
    [ -x "$found" ] && [ ! -d "$found" ] && { echo "$found"; return 0; }
  done
  command -v "$name"
}

if_installed=0 contract_only=0
for option in "$@"; do
  case $option in
    --if-installed) if_installed=1 ;;
    --contract-only) contract_only=1 ;;
    *) die "unknown option $option" ;;
  esac
done
if [ "$if_installed" -eq 1 ] && ! tools_present; then
  echo "cross: skipped: the mingw-w64 compilers, Wine or googletest are not installed (scripts/cross.sh installs them)"
  exit 0
fi

step "tools"
"$scripts/cross_tools.sh" || die "could not install the cross tools"
wine64=$(wine_launcher wine64) || die "no wine64 launcher"
wine32=$(wine_launcher wine) || die "no 32-bit wine launcher"
wineserver=$(wine_launcher wineserver) || die "no wineserver"
declare -A launcher=([i686]=$wine32 [x86_64]=$wine64)

if [ "$contract_only" -eq 0 ]; then
  step "Python's Windows headers"
  "$scripts/cross_pyheaders.sh" "$winpy" || die "could not obtain Python's Windows headers"
fi

# ---------------------------------------------------------------- Wine prefix

# One fresh prefix for this run, made while the builds run. It is a 64-bit
# prefix, so the 32-bit programs run in it as they do on 64-bit Windows. Its
# server is started first and kept (-p), so that every process of the run,
# wineboot's included, talks to the same one; Mono and Gecko are not wanted.
wine_dir=$(mktemp -d "${TMPDIR:-/tmp}/kiln-wine.XXXXXX")
export WINEPREFIX=$wine_dir/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$wine_dir"
}
trap cleanup EXIT
mkdir "$WINEPREFIX"
"$wineserver" -p || die "could not start wineserver"
"$wine64" wineboot --init </dev/null >"$wine_dir/wineboot.log" 2>&1 &
wineboot_pid=$!

# ---------------------------------------------------------------- builds

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
declare -A tree=()
mkdir -p "$root/build"
for arch in "${arches[@]}"; do
  step "build $arch"
  # The contract tests alone have a tree of their own, so that neither run's
  # cached settings leak into the other's.
  if [ "$contract_only" -eq 1 ]; then
    tree[$arch]=$root/build/cross-contract-$arch
    module=(-DKILN_BUILD_MODULE=OFF)
  else
    tree[$arch]=$root/build/cross-$arch
    module=(
      -DKILN_WIN_PYTHON_INCLUDE="$winpy/include"
      -DKILN_WIN_PYTHON_LIBRARY="$winpy/${triplet[$arch]}/libpython3.dll.a"
      -DKILN_WIN_PYTHON_DEF="$winpy/python3.def"
    )
  fi
  build=${tree[$arch]}
  cmake -S "$root" -B "$build" "${generator[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DKILN_WERROR=ON \
    -DKILN_BUILD_CONTRACT_TESTS=ON \
    -DKILN_WINE="${launcher[$arch]}" \
    "${module[@]}" \
    -Wno-dev >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; die "configure $arch"; }
  cmake --build "$build" -j "$jobs" || die "build $arch"

  [ "$contract_only" -eq 1 ] && continue
  pe_summary[$arch]=$(python3 "$scripts/cross_check_pe.py" "${triplet[$arch]}-objdump" "$build/_kiln.pyd" "$arch") ||
    die "import or export check of the $arch _kiln.pyd"
  echo "_kiln.pyd ($arch): ${pe_summary[$arch]}"
done

# ---------------------------------------------------------------- wheels

if [ "$contract_only" -eq 0 ]; then
  step "wheels"
  if [ ! -x "$tools_venv/bin/twine" ] || [ ! -x "$tools_venv/bin/check-wheel-contents" ] ||
    [ ! -x "$tools_venv/bin/wheel" ]; then
    rm -rf "$tools_venv"
    python3 -m venv "$tools_venv" || die "could not make a venv for the wheel tools"
    "$tools_venv/bin/pip" install -q --disable-pip-version-check twine check-wheel-contents wheel ||
      die "could not install the wheel tools from PyPI"
  fi
  mkdir -p "$root/dist"
  rm -f "$root"/dist/*-abi3-win32.whl "$root"/dist/*-abi3-win_amd64.whl
  unpacked=$(mktemp -d)
  for arch in "${arches[@]}"; do
    wheel=$(python3 "$scripts/cross_wheel.py" "$root/pyproject.toml" "$root/build/cross-$arch/_kiln.pyd" \
      "${wheel_platform[$arch]}" "$root/dist") || die "packing the $arch wheel"
    # wheel unpack verifies every RECORD hash and size; twine checks the
    # metadata; check-wheel-contents the layout.
    "$tools_venv/bin/wheel" unpack -d "$unpacked" "$wheel" >/dev/null || die "RECORD of $wheel"
    "$tools_venv/bin/twine" check --strict "$wheel" || die "metadata of $wheel"
    "$tools_venv/bin/check-wheel-contents" "$wheel" || die "contents of $wheel"
    wheel_of[$arch]=${wheel#"$root"/}
  done
  rm -rf "$unpacked"
fi

# ---------------------------------------------------------------- Wine

step "Wine prefix ready"
wait "$wineboot_pid" || { cat "$wine_dir/wineboot.log"; die "wineboot"; }

failed=0
for arch in "${arches[@]}"; do
  step "tests under Wine, $arch"
  log=${tree[$arch]}/ctest.log
  # A test that crashes once under Wine runs once more; the log keeps both runs.
  if ctest --test-dir "${tree[$arch]}" -j "$jobs" --timeout 120 --output-on-failure --repeat until-pass:2 2>&1 \
      | tee "$log"; then
    result=ok
  else
    result=FAILED
    failed=1
  fi
  counts=$(grep -E 'tests passed' "$log" | tail -1 || true)
  skipped=$(grep -cE '\(Skipped\)$' "$log" || true)
  test_summary[$arch]="$result: $counts, $skipped skipped"
done

"$wineserver" -k >/dev/null 2>&1 || true

# ---------------------------------------------------------------- summary

printf '\n== cross: summary (%ds)\n' $((SECONDS - started))
for arch in "${arches[@]}"; do
  if [ "$contract_only" -eq 1 ]; then
    printf '%-7s %s\n' "$arch" "Wine, contract tests only: ${test_summary[$arch]}"
    continue
  fi
  printf '%-7s %s\n' "$arch" "_kiln.pyd: ${pe_summary[$arch]}"
  printf '%-7s %s\n' "" "wheel: ${wheel_of[$arch]} (RECORD, metadata and contents checked)"
  printf '%-7s %s\n' "" "Wine: ${test_summary[$arch]}"
done
[ "$failed" -eq 0 ] || die "tests under Wine"
echo "cross: ok"
