#!/usr/bin/env bash
# Renders the manual page with groff, all warnings on, and fails on any
# diagnostic: a line that groff reads as an unknown macro drops its text
# without a word otherwise. groff is optional: without it the check is
# skipped (exit 77, ctest's SKIP_RETURN_CODE).
# Usage: check_manpage.sh PAGE
set -euo pipefail
page=$1
if ! command -v groff >/dev/null; then
  echo "groff is not installed: manual page check skipped (apt-get install groff)"
  exit 77
fi
diagnostics=$(groff -ww -z -man -Tutf8 "$page" 2>&1)
if [ -n "$diagnostics" ]; then
  echo "$diagnostics" >&2
  echo "manual page check: 0 passed, 1 failed"
  exit 1
fi
echo "manual page check: 1 passed, 0 failed"
