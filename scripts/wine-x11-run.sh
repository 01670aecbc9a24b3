#!/usr/bin/env bash
# Runs a Windows program that opens windows under Wine on a virtual X server
# of its own (24-bit colour, so screenshots keep exact colours).
# Usage: wine-x11-run.sh PREFIX PROGRAM.exe [ARGS...]
# The prefix must not be shared with programs run without a display: Wine
# binds a prefix's desktop to the display of the process that started it.
# Its wine server is ended afterwards, so the next run starts clean.
# WINE names the Wine loader (as for wine-run.sh); exit code 77 means skipped.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
prefix=$1
if ! command -v xvfb-run >/dev/null 2>&1; then
  echo "wine-x11-run: xvfb-run not found (scripts/install-deps.sh test installs it)" >&2
  exit 1
fi
xvfb-run -a -s "-screen 0 1024x768x24" "$here/wine-run.sh" "$@"
rc=$?
if [ -d "$prefix" ]; then
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
fi
exit $rc
