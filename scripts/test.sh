#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test:
# host (plain and with sanitizers), the fuzz targets (each for a bounded
# time from its seed corpus) and Windows under Wine. The Windows-side tests
# run twice: as the shipped 32-bit build (skipped where the kernel cannot
# execute 32-bit code) and as a 64-bit build of the same sources.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test || exit 1

status=0
for preset in host host-asan fuzz windows windows64; do
  echo "== $preset"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
    echo "== $preset: build failed"
    status=1
    continue
  fi
  ctest --preset "$preset" || status=1
done
if [ ! -x /usr/lib/wine/wine ]; then
  echo "== Skipped: the 32-bit Windows-side tests (Wine's 32-bit part, wine32:i386, is not installed); the windows64 set ran them"
fi
exit $status
