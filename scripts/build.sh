#!/usr/bin/env bash
# Installs what is missing and builds 262FWUpgradeTool.exe (build/windows/).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
# The configure step names each payload item and whether it is a placeholder.
cmake --preset windows | { grep -E '^-- (Payload |This build embeds )' || true; }
cmake --build --preset windows --target 262FWUpgradeTool
ls -l build/windows/UpdateFirmware/262FWUpgradeTool.exe
