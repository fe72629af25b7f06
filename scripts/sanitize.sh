#!/usr/bin/env bash
# The test suites under AddressSanitizer and UndefinedBehaviorSanitizer: the
# contract tests (build/contract-sanitize), then pytest against a sanitized
# wheel (CMake tree build/sanitize) in build/venv-sanitize, with the
# sanitizer runtimes preloaded into the uninstrumented interpreter.
# Usage: sanitize.sh [PYTEST_ARG...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"

runtime() {
  local path
  path=$(g++ -print-file-name="$1")
  if [ "${path#/}" = "$path" ] || [ ! -e "$path" ]; then
    die "g++ has no $1: install g++'s libgcc-*-dev"
  fi
  realpath "$path"
}
asan=$(runtime libasan.so)
ubsan=$(runtime libubsan.so)

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$here/contract.sh" "$BUILD/contract-sanitize" -DKILN_SANITIZE=ON -DKILN_WERROR=OFF

export PATH="$VENV/bin:$PATH"
log "building the sanitized wheel"
KILN_SANITIZE=ON KILN_WERROR=OFF build_wheel "$BUILD/sanitize/dist" "$BUILD/sanitize/tree"
python=$(find_python "") || die "no Python >= 3.12 found"
venv="$BUILD/venv-sanitize"
ensure_venv "$venv" "$python" "${TEST_REQUIREMENTS[@]}"
install_wheel "$venv" "$(wheel_in "$BUILD/sanitize/dist")"

log "pytest under ASan+UBSan ($("$venv/bin/python" --version))"
cd "$ROOT"
rc=0
# CPython leaks by design at exit: no leak check. PYTHONMALLOC=malloc lets
# ASan see Python's allocations too. No output capture (-s): a report written
# as the process dies would vanish with the captured output, and UBSan writes
# to standard error whatever log_path says.
LD_PRELOAD="$asan $ubsan" PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
  "$venv/bin/python" -P -m pytest tests -q -p no:cacheprovider -s "$@" || rc=$?
[ $rc -ne 5 ] || echo "pytest collected no tests (exit 5)" >&2
exit $rc
