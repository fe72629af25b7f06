#!/usr/bin/env bash
# Sets up what the builds need, installing only what is missing: a C++
# compiler and liburing-dev and, with --test, googletest's sources and mmdebstrap (Debian
# packages); the build venv .venv with the newest Python >= 3.12 found.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

debs=()
command -v g++ >/dev/null 2>&1 || debs+=(g++)
if [ "${1:-}" = --test ]; then
  debs+=(googletest mmdebstrap)
fi
[ ${#debs[@]} -eq 0 ] || ensure_debs "${debs[@]}"
[ -x "$VENV/bin/python" ] || log "first run: making .venv and installing the build tools from PyPI (about 30 s)"
ensure_build_venv
echo "build venv: $("$VENV/bin/python" --version), cmake $("$VENV/bin/cmake" --version | head -1 | awk '{print $3}')"
