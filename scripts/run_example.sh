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
log "building the module and installing it into .venv"
(cd "$ROOT" && KILN_WERROR=OFF KILN_SANITIZE=OFF "$VENV/bin/python" -m pip install -q \
  --no-build-isolation --no-deps --force-reinstall --config-settings=build-dir="$BUILD/release" .)
log "python $script $*"
cd "$ROOT"
exec "$VENV/bin/python" "$script" "$@"
