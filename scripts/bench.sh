#!/usr/bin/env bash
# Builds the module as a user would (no -Werror; CMake tree build/release),
# installs it into build/venv-bench beside the benchmark's peers from
# bench/requirements.txt, and runs bench/bench.py there.
# Usage: bench.sh [BENCH_ARG...] (see bench/bench.py --help).
set -euo pipefail
source "$(dirname "$0")/lib.sh"

[ -x "$VENV/bin/python" ] || die ".venv is missing: run scripts/setup.sh first"
venv="$BUILD/venv-bench"
python=$("$VENV/bin/python" -c 'import os, sys; print(os.path.realpath(sys.executable))')
ensure_venv "$venv" "$python" "${BENCH_REQUIREMENTS[@]}"
log "building the module (build/release) and installing it into ${venv#"$ROOT"/}"
KILN_WERROR=OFF KILN_SANITIZE=OFF build_wheel "$BUILD/bench-wheel" "$BUILD/release"
install_wheel "$venv" "$(wheel_in "$BUILD/bench-wheel")"
log "python bench/bench.py $*"
cd "$ROOT"
exec "$venv/bin/python" -P bench/bench.py "$@"
