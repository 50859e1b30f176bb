#!/usr/bin/env bash
# Installs what is missing, builds the tool and opens its window in the folder this
# script was started from.
#   scripts/run.sh            the window, in the current folder
#   scripts/run.sh --example  the window, in a scratch copy of examples/scenes
set -euo pipefail
start_folder="$PWD"
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
. scripts/packages.sh

case "${1:-}" in
    "") ;;
    --example)
        start_folder="$(mktemp -d "${TMPDIR:-/tmp}/aster-example-XXXXXX")/scenes"
        cp -r "$repo/examples/scenes" "$start_folder"
        echo "Example scenes copied to $start_folder"
        ;;
    *) echo "usage: $0 [--example]" >&2; exit 2 ;;
esac

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display to open the window on: run it on a desktop, or under a virtual one with: xvfb-run -a scripts/run.sh" >&2
    exit 1
fi

aster_ensure_packages "${ASTER_BUILD_PACKAGES[@]}"
cmake --preset release >/dev/null
cmake --build --preset release --target aster

cd "$start_folder"
exec "$repo/build/release/app/aster"
