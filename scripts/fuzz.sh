#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a given number of seconds
# (default 60), starting from the checked-in seed corpus. New inputs go to a work corpus
# under build/fuzz; crashes are written there too and make the script fail.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

seconds="${1:-60}"
aster_ensure_packages cmake make clang libclang-rt-14-dev libgtest-dev

cmake --preset fuzz >/dev/null
targets=(extract record list_reader odl xml ummg)
cmake --build --preset fuzz --target "${targets[@]/#/fuzz_}"

status=0
for name in "${targets[@]}"; do
    work="build/fuzz/corpus/$name"
    artifacts="build/fuzz/artifacts/$name/"
    mkdir -p "$work" "$artifacts"
    echo "== fuzz_$name for ${seconds}s"
    if ! "build/fuzz/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$artifacts" "$work" "tests/fuzz/corpus/$name" 2>"build/fuzz/$name.log"; then
        echo "fuzz_$name FOUND A FAILURE; see build/fuzz/$name.log and $artifacts"
        status=1
    fi
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb|cov: " "build/fuzz/$name.log" | tail -3
done
exit $status
