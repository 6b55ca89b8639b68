# shellcheck shell=bash
# Shared by the shell test scripts: each check that fails says so and is
# counted, the script goes on with the next one, and checks_done ends it with
# status 1 when any failed. Sourced, not run.
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
section() { echo "== $*"; }
checks_done() { # what was checked
  if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
  fi
  echo "$1: all checks passed"
}
