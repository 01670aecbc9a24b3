#!/usr/bin/env bash
# Installs what is missing and builds 262FWUpgradeTool.exe (build/windows/).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake --preset windows >/dev/null
cmake --build --preset windows --target 262FWUpgradeTool
ls -l build/windows/UpdateFirmware/262FWUpgradeTool.exe
