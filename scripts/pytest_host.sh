#!/usr/bin/env bash
# Runs the pytest suite on one of this machine's interpreters against the
# wheel in dist/, in build/venv-X.Y (kept while the interpreter is the same).
# Usage: pytest_host.sh X.Y [PYTEST_ARG...]. Exits 77 if there is no such
# interpreter.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

minor=${1:?usage: pytest_host.sh X.Y [PYTEST_ARG...]}
shift
python=$(find_python "$minor") || { warn "no Python $minor on this machine"; exit 77; }
wheel=$(wheel_in "$DIST") || die "no wheel in dist/: run scripts/wheel.sh first"
venv="$BUILD/venv-$minor"
# The benchmark's peers too: its test runs the suite with every participant.
ensure_venv "$venv" "$python" "${TEST_REQUIREMENTS[@]}" "${BENCH_REQUIREMENTS[@]}"
install_wheel "$venv" "$wheel"
log "pytest on $("$venv/bin/python" --version) ($python)"
cd "$ROOT"
# -P: the module comes from the venv, never from the current directory.
rc=0
"$venv/bin/python" -P -m pytest tests -q "$@" || rc=$?
[ $rc -ne 5 ] || echo "pytest collected no tests (exit 5)" >&2
if [ $rc -eq 0 ] && [ $# -eq 0 ]; then
  # The package's suites again with a completion thread, the path of loops
  # that cannot watch a descriptor.
  log "pytest, kiln with completion threads (KILN_COMPLETIONS=thread)"
  KILN_COMPLETIONS=thread "$venv/bin/python" -P -m pytest tests -q -k "kiln" || rc=$?
fi
exit $rc
