#!/usr/bin/env bash
# Runs compare.py on four small files of known class, so a change to the tool
# that breaks its reading (zones, floating times, all-day dates, classes, the
# threshold check) fails here rather than in a long measurement.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$1"
failures=0
expect() {  # description, status, output, then patterns the output must hold
  local what="$1" status="$2" output="$3"; shift 3
  for pattern in "$@"; do
    if ! grep -qE -- "$pattern" <<<"$output"; then
      echo "FAIL: $what: no line matching /$pattern/"; failures=$((failures + 1))
    fi
  done
}

output="$("$here/compare.py" --build "$build" --corpus "$here/smoke" --check 0 0 2>&1)"; status=$?
[ "$status" -eq 0 ] || { echo "FAIL: a measurement run exited $status"; failures=$((failures + 1)); }
expect "measurement" "$status" "$output" \
  '^same +2 +0$' \
  '^refused by calbridge: no_start\.ics \[real-world\]: .*no DTSTART' \
  '^not iCalendar +1 +0$' \
  '^whole corpus: 10 of 10 occurrences listed alike'

# One real-world file of one is refused: 0% imported, below any positive threshold.
"$here/compare.py" --build "$build" --corpus "$here/smoke" --check 50 0 >/dev/null 2>&1
[ $? -eq 1 ] || { echo "FAIL: --check 50 0 passed with no real-world file imported"; failures=$((failures + 1)); }
# Every occurrence matches, so the occurrence threshold alone passes.
"$here/compare.py" --build "$build" --corpus "$here/smoke" --check 0 100 >/dev/null 2>&1
[ $? -eq 0 ] || { echo "FAIL: --check 0 100 failed with every occurrence alike"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ] || { echo "$output"; exit 1; }
echo "corpus comparison smoke test: ok"
