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

# What this run makes for itself goes when it ends, however it ends.
example=""
runtime=""
cleanup() {
    if [ -n "$example" ]; then rm -rf "$example"; fi
    if [ -n "$runtime" ]; then rm -rf "$runtime"; fi
}
trap cleanup EXIT

if [ "${1:-}" = "--example" ]; then
    example="$(mktemp -d "${TMPDIR:-/tmp}/aster-example-XXXXXX")"
    start_folder="$example/scenes"
    cp -r "$repo/examples/scenes" "$start_folder"
    echo "Example scenes copied to $start_folder (removed again when the window closes)"
fi

# Qt wants a private runtime folder; a minimal system without a login session has none.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    runtime="$(mktemp -d "${TMPDIR:-/tmp}/aster-runtime-XXXXXX")"
    export XDG_RUNTIME_DIR="$runtime"
fi

echo "The window is open on display ${DISPLAY:-$WAYLAND_DISPLAY} until you close it or press Ctrl+C here."
# xvfb-run keeps its display's key in a folder of its own name.
case "${XAUTHORITY:-}" in
    */xvfb-run.*/Xauthority)
        echo "That display is xvfb-run's virtual one, which nobody sees: the window waits for Ctrl+C."
        ;;
esac

cd "$start_folder"
# The window runs in the background so that a stop asked of this script closes it at
# once and cleanly, before xvfb-run takes its display away; Ctrl+C on the terminal ends
# it directly too, as SIGINT is given back its default there.
env --default-signal=INT "$repo/build/release/app/aster-window" &
window=$!
stop() {
    kill -TERM "$window" 2>/dev/null || true
    wait "$window" || true
    exit "$1"
}
trap 'stop 130' INT
trap 'stop 143' TERM
trap 'stop 129' HUP
wait "$window"
