#!/usr/bin/env bash
# The typing checks: mypy --strict on the kiln package and the examples, and
# mypy's stubtest of the _kiln stubs against the built module, in
# build/venv-typing with the wheel from dist/ installed (its _kiln-stubs
# package is what a user's mypy finds).
set -euo pipefail
source "$(dirname "$0")/lib.sh"

wheel=$(wheel_in "$DIST") || die "no wheel in dist/: run scripts/wheel.sh first"
python=$(find_python "") || die "no Python >= 3.12 found"
venv="$BUILD/venv-typing"
ensure_venv "$venv" "$python" mypy
install_wheel "$venv" "$wheel"
cd "$ROOT"
examples=(examples/*.py)
log "mypy --strict python/kiln ${examples[*]}"
"$venv/bin/python" -m mypy --strict --no-incremental python/kiln "${examples[@]}"
log "stubtest _kiln"
# From an empty folder, so the module comes from the venv.
(cd "$(mktemp -d)" && "$venv/bin/python" -m mypy.stubtest _kiln)
echo "typing checks passed"
