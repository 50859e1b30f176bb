#!/usr/bin/env bash
# Builds the .deb, installs it with its dependencies, checks that the installed `aster`
# runs a command without a display and opens its window under a virtual X server, then
# removes the package again.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
aster_ensure_packages "${ASTER_BUILD_PACKAGES[@]}" dpkg-dev file xvfb xauth xdotool

cmake --preset release >/dev/null
cmake --build --preset release --target aster
(cd build/release && rm -f aster_*.deb && cpack -G DEB >/dev/null)
deb="$(ls "$PWD"/build/release/aster_*.deb)"
echo "Built $deb"
dpkg-deb --field "$deb" Package Version Depends

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"${TMPDIR:-/tmp}/aster-apt.log" 2>&1 ||
    { echo "Installing $deb failed; see ${TMPDIR:-/tmp}/aster-apt.log" >&2; exit 1; }
trap 'DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq aster >/dev/null || true' EXIT
test -x /usr/bin/aster
test -f /usr/share/applications/aster.desktop
test -f /usr/share/icons/hicolor/scalable/apps/aster.svg
test -f /usr/share/man/man1/aster.1
env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/aster --version

scratch="$(mktemp -d)"
# Qt wants a private runtime folder, which a machine without a login session lacks.
export XDG_RUNTIME_DIR="$scratch/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
xvfb-run -a bash -c '
    cd "$1"
    /usr/bin/aster &
    app=$!
    for _ in $(seq 100); do
        if xdotool search --name "^Aster$" >/dev/null 2>&1; then
            kill $app
            exit 0
        fi
        sleep 0.1
    done
    kill $app || true
    echo "the installed aster did not open its window" >&2
    exit 1
' _ "$scratch"
rm -rf "$scratch"
echo "The package installs and its window opens."
