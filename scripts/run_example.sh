#!/usr/bin/env bash
# Builds the module as a user would (no -Werror; CMake tree build/release),
# installs it into .venv and runs a script of the repo with .venv's Python.
# Usage: run_example.sh PATH [ARG...], PATH relative to the repo.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

script=${1:?usage: run_example.sh PATH [ARG...]}
shift
[ -f "$ROOT/$script" ] || die "$script is not in this checkout yet: nothing to run"
[ -x "$VENV/bin/python" ] || die ".venv is missing: run scripts/setup.sh first"
export PATH="$VENV/bin:$PATH"
mkdir -p "$BUILD/logs"
build_log="$BUILD/logs/example-build.log"
log "building the module (CMake, C++: up to a minute the first time) and installing it into .venv"
# pip -v shows the build; only its step lines are echoed, the rest goes to the log.
rc=0
(cd "$ROOT" && KILN_WERROR=OFF KILN_SANITIZE=OFF "$VENV/bin/python" -m pip install -v \
  --no-build-isolation --no-deps --force-reinstall --config-settings=build-dir="$BUILD/release" .) \
  >"$build_log" 2>&1 &
builder=$!
tail -n +1 -f --pid=$builder "$build_log" \
  | grep --line-buffered -E '^ *\*\*\* |^ *\[[0-9]+/[0-9]+\] |^Successfully installed' \
  | sed -u -E 's/^ *//; s/^/    /' || true
wait $builder || rc=$?
if [ $rc -ne 0 ]; then
  tail -n 40 "$build_log" >&2
  die "the build failed (exit $rc); the whole output is in ${build_log#"$ROOT"/}"
fi
log "python $script $*"
cd "$ROOT"
exec "$VENV/bin/python" "$script" "$@"
