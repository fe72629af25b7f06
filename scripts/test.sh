#!/usr/bin/env bash
# Everything `make test` runs: setup, the contract tests, one wheel, the
# pytest suite against that wheel on Python 3.12, 3.13 (this machine's) and
# Debian sid's newest release (chroot), and the typing checks (mypy --strict,
# stubtest); with KILN_TEST_SANITIZE=1 also the
# suites under ASan+UBSan (sanitize.sh). Every suite runs even if one before
# it failed; a summary line per suite ends the output. Exits non-zero if any
# suite failed, or, on CI (CI=true), if any was skipped (exit 77 of a suite:
# its interpreter is missing).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"

logs="$BUILD/logs"
mkdir -p "$logs"
summary=()
passed=0 failed=0 skipped=0
missing=()

# record NAME RC SECONDS NOTE
record() {
  local name=$1 rc=$2 took=$3 note=$4 state
  case $rc in
    0) state=passed; passed=$((passed + 1)) ;;
    77) if on_ci; then state="SKIPPED (a failure on CI)"; failed=$((failed + 1))
        else state=skipped; skipped=$((skipped + 1)); missing+=("$name"); fi ;;
    *) state="FAILED (exit $rc)"; failed=$((failed + 1)) ;;
  esac
  summary+=("$(printf '%-12s %-26s %4ss  %s' "$name" "$state" "$took" "$note")")
}

# suite NAME COMMAND...: runs it, its output also in build/logs/NAME.log.
suite() {
  local name=$1 start=$SECONDS rc note; shift
  "$@" 2>&1 | tee "$logs/$name.log"
  rc=${PIPESTATUS[0]}
  # The runner's own closing line (pytest or ctest), for the summary.
  note=$(grep -E '^=* *([0-9]+ (passed|failed|errors?|skipped|xfailed|xpassed|deselected)\b|no tests ran)|tests passed|^(Success|Found [0-9]+ errors?)' \
    "$logs/$name.log" | tail -1 | sed -E 's/^=+ *//; s/ *=+$//')
  if [ "$rc" -eq 77 ]; then
    note=$(sed 's/\x1b\[[0-9;]*m//g' "$logs/$name.log" | grep -o "no Python .*\\|the sid chroot needs root" | tail -1)
  fi
  [ "$rc" -eq 5 ] && note="no tests collected"
  record "$name" "$rc" $((SECONDS - start)) "$note"
}

finish() {
  echo
  log "summary (logs in ${logs#"$ROOT"/}/)"
  [ -z "${wheel_took:-}" ] || echo "  (wheel built in ${wheel_took}s)"
  printf '  %s\n' "${summary[@]}"
  [ ${#missing[@]} -eq 0 ] || warn "not run here: ${missing[*]} (on CI that is a failure)"
  echo "suites: $passed passed, $failed failed${missing[*]:+, $skipped skipped}"
  [ "$failed" -eq 0 ]
  exit $?
}

start=$SECONDS
if ! "$here/setup.sh" --test; then
  record setup 1 $((SECONDS - start)) "see the output above"
  finish
fi

suite contract "$here/contract.sh"

start=$SECONDS
if "$here/wheel.sh" 2>&1 | tee "$logs/wheel.log"; [ "${PIPESTATUS[0]}" -eq 0 ]; then
  wheel_took=$((SECONDS - start))
  suite pytest-3.12 "$here/pytest_host.sh" 3.12
  suite pytest-3.13 "$here/pytest_host.sh" 3.13
  suite "pytest-$SID_PYTHON" "$here/pytest_chroot.sh"
  suite typing "$here/typing.sh"
else
  record wheel 1 $((SECONDS - start)) "the wheel did not build: no pytest suite ran"
fi
# The Windows builds and their Wine runs, where the tools are installed
# (.ci/run installs them).
if on_ci; then
  suite cross "$here/cross.sh"
else
  suite cross "$here/cross.sh" --if-installed
fi
# Opt-in: a cold build of the sanitized trees costs about as much as the rest.
if [ "${KILN_TEST_SANITIZE:-0}" = 1 ]; then
  suite sanitize "$here/sanitize.sh"
fi
finish
