#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test:
# host (plain and with sanitizers) and Windows under Wine.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test || exit 1

status=0
for preset in host host-asan windows; do
  echo "== $preset"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
    echo "== $preset: build failed"
    status=1
    continue
  fi
  ctest --preset "$preset" || status=1
done
exit $status
