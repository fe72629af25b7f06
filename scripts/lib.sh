# Shared helpers for the build and test scripts. Sourced, never run.
# shellcheck shell=bash disable=SC2034,SC2119,SC2120

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
VENV="$ROOT/.venv"
DIST="$ROOT/dist"
# Machine-wide cache for what outlives a clone (the Debian sid chroot).
KILN_CACHE=${KILN_CACHE:-/var/cache/kiln}
SID_PYTHON=${SID_PYTHON:-3.15}
SID_DIR="$KILN_CACHE/sid-py${SID_PYTHON//./}"
SID_VENV=/opt/kiln-venv   # inside the chroot
# Packages the build venv needs. Debian 12's cmake is too old for FindPython's
# Development.SABIModule (3.26+), so cmake comes from PyPI.
BUILD_REQUIREMENTS=(scikit-build-core pytest cmake ninja)
# What the pytest suite needs, in every venv that runs it (host, sanitizer, sid chroot).
TEST_REQUIREMENTS=(pytest hypothesis)
# The benchmark's peers and chart library (bench venv and host test venvs).
mapfile -t BENCH_REQUIREMENTS < <(grep -Ev '^[[:space:]]*(#|$)' "$ROOT/bench/requirements.txt")

export PIP_DISABLE_PIP_VERSION_CHECK=1
export PYTHONDONTWRITEBYTECODE=1
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export DEBIAN_FRONTEND=noninteractive

# Bold, yellow and red only on a terminal.
if [ -t 1 ]; then _bold=$'\033[1m' _off=$'\033[0m'; else _bold='' _off=''; fi
if [ -t 2 ]; then _yellow=$'\033[1;33m' _red=$'\033[1;31m' _off2=$'\033[0m'; else _yellow='' _red='' _off2=''; fi
log() { printf '%s==> %s%s\n' "$_bold" "$*" "$_off"; }
warn() { printf '%sWARNING: %s%s\n' "$_yellow" "$*" "$_off2" >&2; }
die() { printf '%sERROR: %s%s\n' "$_red" "$*" "$_off2" >&2; exit 1; }
on_ci() { [ "${CI:-}" = true ]; }

# Installs the Debian packages given that are not installed yet; runs
# apt-get update first, and only when something is missing.
ensure_debs() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' \
      || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  [ "$(id -u)" -eq 0 ] || die "missing Debian packages ${missing[*]}; installing them needs root"
  log "apt-get install ${missing[*]}"
  apt-get update -q
  # With recommends: mmdebstrap relies on some of them (gpg, mount).
  apt-get install -y -q "${missing[@]}"
}

# A C++ compiler for the builds, and liburing's header and static archive,
# which the Linux build links in.
ensure_compiler() {
  local missing=()
  command -v g++ >/dev/null 2>&1 || missing+=(g++)
  { [ -f /usr/include/liburing.h ] && compgen -G '/usr/lib/*/liburing.a' >/dev/null; } || missing+=(liburing-dev)
  [ ${#missing[@]} -eq 0 ] || ensure_debs "${missing[@]}"
}

# "realpath version" of a working, GIL-enabled CPython >= 3.12 with venv, or
# nothing. Rejects pyenv shims that point to no installed version.
python_identity() {
  "$1" - <<'EOF' 2>/dev/null
import os, sys, sysconfig
import ensurepip, venv  # noqa: F401  (needed to make the venvs)
if sys.version_info >= (3, 12) and not sysconfig.get_config_var("Py_GIL_DISABLED"):
    print(os.path.realpath(sys.executable), "%d.%d.%d" % sys.version_info[:3])
EOF
}

pyenv_roots() {
  local root
  { [ -n "${PYENV_ROOT:-}" ] && echo "$PYENV_ROOT"
    command -v pyenv >/dev/null 2>&1 && pyenv root 2>/dev/null
    echo /root/.pyenv; } | while read -r root; do
    [ -d "$root/versions" ] && echo "$root"
  done | awk '!seen[$0]++'
}

# Interpreters of pyenv, newest first, optionally only those of one minor (3.12).
pyenv_pythons() {
  local minor=${1:-} pattern root version
  pattern=${minor:+${minor//./\\.}}
  for root in $(pyenv_roots); do
    for version in "$root"/versions/*; do
      version=${version##*/}
      [[ $version =~ ^${pattern:-3\.[0-9]+}\.[0-9]+$ ]] && echo "$version $root/versions/$version/bin/python3"
    done
  done | sort -V -r -k1,1 | cut -d' ' -f2-
}

# Path of an interpreter of the given minor version (3.12), or of the newest
# >= 3.12 without an argument. Prints nothing and fails if there is none.
find_python() {
  local minor=${1:-} candidate identity candidates=()
  if [ -n "$minor" ]; then
    candidates=("python$minor")
  else
    candidates=(python3.13 python3.12 python3)
  fi
  while read -r candidate; do candidates+=("$candidate"); done < <(pyenv_pythons "$minor")
  for candidate in "${candidates[@]}"; do
    command -v "$candidate" >/dev/null 2>&1 || [ -x "$candidate" ] || continue
    identity=$(python_identity "$candidate") || continue
    [ -n "$identity" ] || continue
    if [ -n "$minor" ]; then
      case "${identity##* }" in "$minor".*) ;; *) continue ;; esac
    fi
    echo "${identity%% *}"
    return 0
  done
  return 1
}

# ensure_venv DIR PYTHON PACKAGE...: a venv of that interpreter with those
# packages. Reused while the interpreter and the package list are unchanged;
# the stamp is written last, so a half-made venv is made again.
ensure_venv() {
  local dir=$1 python=$2; shift 2
  local want have=""
  want="$(python_identity "$python") | $*"
  [ -f "$dir/.kiln-stamp" ] && have=$(cat "$dir/.kiln-stamp")
  if [ "$want" = "$have" ] && "$dir/bin/python" -c '' 2>/dev/null; then
    return 0
  fi
  log "creating ${dir#"$ROOT"/} with $("$python" --version 2>&1) ($python): $*"
  rm -rf "$dir"
  "$python" -m venv "$dir"
  "$dir/bin/python" -m pip install -q "$@"
  echo "$want" >"$dir/.kiln-stamp"
}

# The build venv .venv, with the newest Python >= 3.12 found.
ensure_build_venv() {
  local python
  ensure_compiler
  python=$(find_python) || die "no Python >= 3.12 found (tried python3.13, python3.12, python3, pyenv's versions)"
  ensure_venv "$VENV" "$python" "${BUILD_REQUIREMENTS[@]}"
  export PATH="$VENV/bin:$PATH"
}

# build_wheel OUTDIR BUILDDIR: an abi3 wheel of the project through .venv,
# built in place (no isolation: nothing is downloaded), the only kiln wheel
# of this platform in OUTDIR afterwards (the Windows wheels of `make cross`
# stay). The caller sets KILN_WERROR / KILN_SANITIZE.
build_wheel() {
  local out=$1 tree=$2
  mkdir -p "$out"
  rm -f "$out"/kiln-*-linux_*.whl
  (cd "$ROOT" && "$VENV/bin/python" -m pip wheel -q --no-build-isolation --no-deps \
    --config-settings=build-dir="$tree" -w "$out" .)
  wheel_in "$out" >/dev/null || die "no wheel came out in $out"
}

wheel_in() {
  local wheels=("$1"/kiln-*-linux_*.whl)
  [ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || return 1
  echo "${wheels[0]}"
}

# install_wheel VENV WHEEL: (re)installs the module from the wheel, offline.
install_wheel() {
  "$1/bin/python" -m pip install -q --no-index --no-deps --force-reinstall "$2"
}
