#!/usr/bin/env bash
# Runs a Windows program under Wine in a given prefix, creating the prefix on
# first use. Usage: wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# WINE names the Wine loader to use (default: wine).
# Exits with 77 (ctest: skipped) when this machine cannot run 32-bit Windows
# programs: its kernel does not execute 32-bit x86 programs, or Wine's 32-bit
# part (wine32:i386) is not installed.
set -euo pipefail
prefix=$1; shift
wine=${WINE:-wine}
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer prompts in a fresh prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

if ! command -v "$wine" >/dev/null 2>&1; then
  echo "wine-run: $wine not found (scripts/install-deps.sh test installs it)" >&2
  exit 1
fi
if [ "$(basename "$wine")" = wine ] && [ ! -x /usr/lib/wine/wine ]; then
  echo "wine-run: SKIPPED: Wine's 32-bit part (wine32:i386) is not installed here" >&2
  exit 77
fi
if ! probe=$("$wine" --version 2>&1); then
  if [[ $probe == *"Exec format error"* ]]; then
    echo "wine-run: SKIPPED: this kernel cannot execute 32-bit x86 programs, so Wine cannot start here" >&2
    exit 77
  fi
  echo "wine-run: $wine --version failed: $probe" >&2
  exit 1
fi

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    "$wine" wineboot --init >/dev/null 2>&1 || true
    wineserver -w || true
  fi
) 9>"$prefix.lock"
exec "$wine" "$@"
