#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite, then names
# each skipped test with its reason.
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

aster_ensure_packages "${ASTER_BUILD_PACKAGES[@]}" "${ASTER_TEST_PACKAGES[@]}"

cmake --preset "$preset"
cmake --build --preset "$preset"

# ctest names the skipped tests but shows their reasons only with -V: its summary gives
# the names, and its log of the run each test's output, where GoogleTest's or Qt Test's
# skip message is.
console="$(mktemp "${TMPDIR:-/tmp}/aster-ctest-XXXXXX")"
trap 'rm -f "$console"' EXIT
status=0
ctest --preset "$preset" 2>&1 | tee "$console" || status=$?
log="build/$preset/Testing/Temporary/LastTest.log"
skipped="$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$console")"
if [ -n "$skipped" ]; then
    echo
    echo "Skipped, and why:"
    while IFS= read -r name; do
        reason="$(awk -v name="$name" '
            /^[0-9]+\/[0-9]+ Test: / { sub(/^[0-9]+\/[0-9]+ Test: /, ""); mine = ($0 == name); next }
            !mine { next }
            $0 == "Output:" { output = 1; next }
            $0 == "<end of output>" { output = 0; next }
            !output { next }
            taking && ($0 == "" || $0 == "Google Test trace:" || /^\[  SKIPPED \]/) {
                taking = 0; next
            }
            taking { reason = reason (reason == "" ? "" : " ") $0; next }
            /: Skipped$/ { taking = 1; next }
            /^SKIP +: / { sub(/^SKIP +: [^ ]* /, ""); reason = $0 }
            END { print reason }' "$log" 2>/dev/null)" || true
        echo "  $name: ${reason:-no reason given; its output is in $log}"
    done <<<"$skipped"
fi
exit "$status"
