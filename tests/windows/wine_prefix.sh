#!/bin/bash
# Creates or ends the throw-away Wine prefix the Windows suites run in.
# WINEPREFIX comes from the test's environment.
set -euo pipefail
: "${WINEPREFIX:?}"

case "${1:-}" in
  setup)
    # Wine's services outlive this script: none of them may hold the test's
    # output pipes open, or the test never ends.
    log=$WINEPREFIX.log
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    if ! { wineboot -i && wineserver -w; } </dev/null >"$log" 2>&1; then
      cat "$log"
      exit 1
    fi
    # One server for the whole suite: each run then starts in a fraction of a second.
    wineserver -p </dev/null >>"$log" 2>&1
    # Starts the prefix's services now, under the persistent server.
    wine cmd /c exit </dev/null >>"$log" 2>&1
    ;;
  cleanup)
    wineserver -k >/dev/null 2>&1 || true
    ;;
  *)
    echo "usage: $0 setup|cleanup" >&2
    exit 2
    ;;
esac
