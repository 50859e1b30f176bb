#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
# Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

aster_ensure_packages "${ASTER_BUILD_PACKAGES[@]}"

cmake --preset default
cmake --build --preset default
ctest --preset default
