#!/usr/bin/env bash
# Fails when calbridge-store(1) misses a command form that `calbridge-store --help`
# lists: each usage entry (its continuation lines joined) must appear in the
# page's source, spaces aside.
set -euo pipefail
tool=$1 page=$2
squeeze() { tr -s ' \t\n' ' '; }
page_text=$(squeeze <"$page")
entries=$("$tool" --help | awk '
  /^  [a-z]/ { if (entry != "") print entry; entry = $0; sub(/^  /, "", entry); sub(/  +.*/, "", entry); next }
  /^ +\[/    { line = $0; sub(/^ +/, "", line); sub(/  +[a-z].*/, "", line); entry = entry " " line; next }
  END        { if (entry != "") print entry }')
[ -n "$entries" ] || { echo "no command forms read from $tool --help" >&2; exit 1; }
missing=0
while IFS= read -r entry; do
  form="calbridge-store $(squeeze <<<"$entry" | sed 's/^ //; s/ $//')"
  if [[ $page_text != *"$form"* ]]; then
    echo "not in $page: $form" >&2
    missing=1
  fi
done <<<"$entries"
exit $missing
