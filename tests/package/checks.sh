# Sourced by the package checks: one line per check, a count at the end.
PASSED=0
FAILED=0
ok() { echo "ok: $*"; PASSED=$((PASSED + 1)); }
bad() { echo "FAIL: $*"; FAILED=$((FAILED + 1)); }
# check DESCRIPTION COMMAND...: passes when the command succeeds.
check() { local what="$1"; shift; if "$@"; then ok "$what"; else bad "$what"; fi; }
finish() { echo "$PASSED passed, $FAILED failed"; [ "$FAILED" -eq 0 ]; }
