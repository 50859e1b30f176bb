#!/usr/bin/env bash
# Builds the two .deb packages, installs them with their dependencies, checks that the
# command line's package needs no Qt (neither by its dependencies nor by the libraries
# /usr/bin/aster loads), that `aster` runs a command without a display and that, without
# a command, it opens the window under a virtual X server; then removes the installed
# packages again, unless --keep is given or they were installed before. The .deb files
# stay in build/release/. Installing and removing take root: done directly as root,
# through sudo otherwise.
#   scripts/check-package.sh         build, install, check, remove the installed packages
#   scripts/check-package.sh --keep  build, install, check, and leave them installed
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

keep=false
case "${1:-}" in
    "") ;;
    --keep) keep=true ;;
    *) echo "usage: $0 [--keep]" >&2; exit 2 ;;
esac

aster_ensure_packages "${ASTER_BUILD_PACKAGES[@]}" dpkg-dev file xvfb xauth xdotool

cmake --preset release >/dev/null
cmake --build --preset release --target aster aster-window
(cd build/release && rm -f aster_*.deb aster-window_*.deb && cpack -G DEB >/dev/null)
cli_deb="$(ls "$PWD"/build/release/aster_*.deb)"
window_deb="$(ls "$PWD"/build/release/aster-window_*.deb)"
for deb in "$cli_deb" "$window_deb"; do
    echo "Built $deb"
    dpkg-deb --field "$deb" Package Version Depends
done
fail() {
    echo "$*" >&2
    exit 1
}
if dpkg-deb --field "$cli_deb" Depends | grep -qi 'qt'; then
    fail "The command line's package depends on Qt."
fi

log="$(mktemp "${TMPDIR:-/tmp}/aster-package-XXXXXX")"
scratch="$(mktemp -d)"
checked=false
# A package installed before the check stays installed, as the version just built; one
# the check installed goes again at its end, unless it passed and --keep was given.
not_installed="$(aster_missing_packages aster aster-window)"
remove=()
for package in aster-window aster; do
    if [[ " $not_installed " == *" $package "* ]]; then remove+=("$package"); fi
done
cleanup() {
    rm -rf "$scratch"
    if $checked && $keep; then remove=(); fi
    if [ "${#remove[@]}" -gt 0 ]; then
        if ! aster_as_root env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq "${remove[@]}" \
            >>"$log" 2>&1; then
            echo "Removing the installed packages failed; see $log" >&2
            return
        fi
        echo "Removed the installed packages again: ${remove[*]}"
    fi
    # The log is kept only when something went wrong.
    if $checked; then rm -f "$log"; fi
}
trap cleanup EXIT
echo "Installing both packages (log: $log)"
# Reinstalled when this version is installed already, so that the files checked are the
# ones just built.
aster_as_root env DEBIAN_FRONTEND=noninteractive apt-get install --reinstall -y -qq \
    "$cli_deb" "$window_deb" >"$log" 2>&1 || fail "Installing the packages failed; see $log"
for file in /usr/bin/aster /usr/bin/aster-window; do
    test -x "$file" || fail "not installed: $file"
done
for file in /usr/share/applications/aster.desktop /usr/share/icons/hicolor/scalable/apps/aster.svg \
    /usr/share/man/man1/aster.1.gz; do
    test -f "$file" || fail "not installed: $file"
done
gzip -t /usr/share/man/man1/aster.1.gz || fail "the manual page is no gzip file"
test ! -e /usr/share/man/man1/aster.1 || fail "the manual page is installed uncompressed"
if ldd /usr/bin/aster | grep -i 'qt'; then
    fail "/usr/bin/aster loads Qt."
fi
env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/aster --version
# The layers come from their module, which the package installs beside the library folder.
cp -r examples/scenes "$scratch/scenes"
/usr/bin/aster list "$scratch/scenes"
/usr/bin/aster footprints "$scratch/scenes" -o "$scratch/footprints.gpkg" 2>/dev/null ||
    fail "the installed aster wrote no footprint layer"
test -s "$scratch/footprints.gpkg" || fail "the installed aster wrote no footprint layer"
# HDF files are read by the HDF reader the package installs beside the layers' module;
# started alone, it says whose helper it is.
reader="$(dpkg -L aster | grep '/aster/aster-hdf-reader$')" || fail "not installed: aster-hdf-reader"
if "$reader" 2>/dev/null; then
    fail "$reader started alone did not fail"
fi
if message="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM /usr/bin/aster 2>&1)"; then
    fail "aster without a command and without a display did not fail"
fi
echo "Without a display: $message"

# Qt wants a private runtime folder, which a machine without a login session lacks.
export XDG_RUNTIME_DIR="$scratch/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
# `aster` without a command starts the window's program in its place.
# xvfb-run can hand over before its server takes connections (seen once in CI: "could not
# connect to display"), so the display is asked first, for up to ten seconds.
xvfb-run -a bash -c '
    cd "$1"
    for _ in $(seq 100); do
        xdotool getdisplaygeometry >/dev/null 2>&1 && break
        sleep 0.1
    done
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
checked=true
echo "Both packages install, the command line needs no Qt and writes layers, and the window opens."
if $keep; then
    echo "Installed: aster and aster-window; try \`aster --help\` and \`man aster\`."
elif [ "${#remove[@]}" -lt 2 ]; then
    echo "What was installed before this check stays installed, as the version just built."
fi
