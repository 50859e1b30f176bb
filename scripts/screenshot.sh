#!/usr/bin/env bash
# Makes docs/window.png: the window as a new user first sees it, under a virtual X server.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
aster_ensure_packages "${ASTER_BUILD_PACKAGES[@]}" xvfb xauth x11-apps imagemagick xdotool

cmake --preset default >/dev/null
cmake --build --preset default --target aster-window >/dev/null

out="$PWD/docs/window.png"
mkdir -p docs
# A fixed place, so the picture does not change from one run to the next.
example="${TMPDIR:-/tmp}/aster"
rm -rf "$example"
mkdir -p "$example"
trap 'rm -rf "$example"' EXIT
cp -r examples/scenes "$example/scenes"
export XDG_RUNTIME_DIR="$example/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

xvfb-run -a -s "-screen 0 640x480x24 -dpi 96" bash -c '
    cd "$1/scenes"
    "$2" &
    app=$!
    for _ in $(seq 50); do
        id=$(xdotool search --name "^Aster$" 2>/dev/null | head -1 || true)
        [ -n "$id" ] && break
        sleep 0.1
    done
    sleep 0.5
    xwd -id "$id" -frame | convert xwd:- "$3"
    kill $app
' _ "$example" "$PWD/build/default/app/aster-window" "$out"
echo "Wrote $out"
