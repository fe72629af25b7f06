#!/usr/bin/env bash
# Runs the pytest suite on Debian sid's newest Python, in the cached chroot
# (made by sid_chroot.sh), against the wheel in dist/. Each run works in a
# folder of its own inside the chroot holding a copy of tests/, examples/, bench/,
# README.md and the module unpacked from the wheel; it and the /proc mount go away at
# the end, also on failure. Usage: pytest_chroot.sh [PYTEST_ARG...]
set -euo pipefail
source "$(dirname "$0")/lib.sh"

[ "$(id -u)" -eq 0 ] || { warn "Python $SID_PYTHON: the sid chroot needs root"; exit 77; }
wheel=$(wheel_in "$DIST") || die "no wheel in dist/: run scripts/wheel.sh first"
"$(dirname "$0")/sid_chroot.sh"
dir=$SID_DIR
venv=$SID_VENV

mkdir -p "$dir/srv"
run=$(mktemp -d "$dir/srv/kiln-run.XXXXXX")
inside=${run#"$dir"}
mounted='' child=''
cleanup() {
  # No errexit here: a killed child makes wait fail.
  if [ -n "$child" ]; then kill "$child" 2>/dev/null || true; wait "$child" 2>/dev/null || true; fi
  if [ -n "$mounted" ]; then umount "$dir/proc" || umount -l "$dir/proc"; fi
  rm -rf --one-file-system "$run"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The same tests folder content: a fresh copy, without caches.
# examples/, bench/ and README.md too: tests run the examples, the benchmark
# suite and the README's code.
copy=(tests README.md)
[ -d "$ROOT/examples" ] && copy+=(examples)
[ -d "$ROOT/bench" ] && copy+=(bench)
tar -C "$ROOT" --exclude=__pycache__ --exclude=.pytest_cache -cf - "${copy[@]}" | tar -C "$run" -xf -
cp "$wheel" "$run/"

mount -t proc proc "$dir/proc"
mounted=1
log "pytest on Debian sid's Python (chroot $dir)"
rc=0
chroot "$dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH="$venv/bin:/usr/bin:/bin" \
  CI="${CI:-}" PYTHONDONTWRITEBYTECODE=1 PIP_DISABLE_PIP_VERSION_CHECK=1 \
  /bin/sh -ec '
    cd "$1"; shift
    python -m pip install -q --no-index --no-deps --target site ./*.whl
    python --version
    PYTHONPATH="$PWD/site" exec python -P -m pytest tests -q -p no:cacheprovider "$@"
  ' sh "$inside" "$@" &
# Waiting in the background lets a signal to this script end the run at once.
child=$!
wait "$child" || rc=$?
child=
[ $rc -ne 5 ] || echo "pytest collected no tests (exit 5)" >&2
exit $rc
