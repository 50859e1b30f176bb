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
    "" | --example) ;;
    *) echo "usage: $0 [--example]" >&2; exit 2 ;;
esac

# Checked before anything is copied or built, so a failed try leaves nothing behind.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display to open the window on. Run it on a desktop, or on a virtual display" >&2
    echo "from Debian's xvfb package (xvfb-run needs xauth too):" >&2
    echo "    apt-get install xvfb xauth    # as root, or with sudo" >&2
    echo "    xvfb-run -a $0${1:+ $1}" >&2
    exit 1
fi

aster_ensure_packages "${ASTER_BUILD_PACKAGES[@]}"
cmake --preset release >/dev/null
# The command line too, so that build/release/cli/aster is there for the commands.
cmake --build --preset release --target aster aster-window

if [ "${1:-}" = "--example" ]; then
    start_folder="$(mktemp -d "${TMPDIR:-/tmp}/aster-example-XXXXXX")/scenes"
    cp -r "$repo/examples/scenes" "$start_folder"
    echo "Example scenes copied to $start_folder"
fi

# Qt wants a private runtime folder; a minimal system without a login session has none.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    XDG_RUNTIME_DIR="$(mktemp -d "${TMPDIR:-/tmp}/aster-runtime-XXXXXX")"
    export XDG_RUNTIME_DIR
    trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
fi

cd "$start_folder"
"$repo/build/release/app/aster-window"
