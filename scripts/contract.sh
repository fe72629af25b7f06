#!/usr/bin/env bash
# The platform contract tests (GoogleTest, tests/platform): configure, build
# and run them through ctest. Usage: contract.sh [BUILD_DIR [CMAKE_ARG...]]
set -euo pipefail
source "$(dirname "$0")/lib.sh"

tree=${1:-$BUILD/contract}
shift || true
[ -x "$VENV/bin/cmake" ] || die ".venv is missing: run scripts/setup.sh first"
export PATH="$VENV/bin:$PATH"
[ -f /usr/src/googletest/CMakeLists.txt ] || die "googletest sources missing: run scripts/setup.sh --test"

log "contract tests: configure ${tree#"$ROOT"/}"
cmake -S "$ROOT" -B "$tree" -G Ninja -Wno-deprecated -DCMAKE_BUILD_TYPE=Debug \
  -DKILN_BUILD_MODULE=OFF -DKILN_BUILD_CONTRACT_TESTS=ON -DKILN_WERROR=ON "$@" >/dev/null
log "contract tests: build"
cmake --build "$tree" -j "$CMAKE_BUILD_PARALLEL_LEVEL"
log "contract tests: run"
ctest --test-dir "$tree" --output-on-failure --no-tests=error -j 2
