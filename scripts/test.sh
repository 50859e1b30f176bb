#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
#   scripts/test.sh             the normal build
#   scripts/test.sh --sanitize  the same suite built with AddressSanitizer and
#                               UndefinedBehaviorSanitizer
#   scripts/test.sh --tsan      the same suite built with ThreadSanitizer
# Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

preset=default
case "${1:-}" in
    "") ;;
    --sanitize) preset=sanitize ;;
    --tsan) preset=tsan ;;
    *) echo "usage: $0 [--sanitize | --tsan]" >&2; exit 2 ;;
esac

aster_ensure_packages "${ASTER_BUILD_PACKAGES[@]}"

cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset"
