#!/usr/bin/env bash
# Builds the abi3 wheel that every pytest suite installs, with warnings as
# errors, into dist/ (CMake tree: build/werror). Incremental.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

[ -x "$VENV/bin/python" ] || die ".venv is missing: run scripts/setup.sh first"
export PATH="$VENV/bin:$PATH"
log "building the wheel (KILN_WERROR=ON)"
KILN_WERROR=ON KILN_SANITIZE=OFF build_wheel "$DIST" "$BUILD/werror"
echo "wheel: $(wheel_in "$DIST")"
