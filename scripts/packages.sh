# Sourced by the other scripts: installs the Debian packages the project needs, only
# those that are missing, so a machine that has everything is not touched.

# Builds use every core of the machine unless told otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

aster_missing_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    echo "${missing[@]:-}"
}

# Runs a command as root: directly for root, through sudo for a user who has it.
aster_as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "This step needs root: run it as root, or as a user with sudo: $*" >&2
        return 1
    fi
}

# Runs one step of the install in the background, its output added to the log, and says
# every few seconds how far it has got, from the progress lines apt writes there.
aster_install_step() {
    local log="$1"
    shift
    aster_as_root env DEBIAN_FRONTEND=noninteractive LC_ALL=C "$@" -o APT::Status-Fd=1 \
        </dev/null >>"$log" 2>&1 &
    local pid=$! waited=0 status
    # Ctrl+C ends the script but not the package manager, which runs on: better finished
    # than cut off halfway.
    trap 'echo "Stopped; the package manager may still be finishing (log: $log)." >&2; exit 130' INT
    while kill -0 "$pid" 2>/dev/null; do
        sleep 1
        waited=$((waited + 1))
        if [ $((waited % 5)) -eq 0 ]; then
            status="$(grep -a -E '^(dl|pm)status:' "$log" 2>/dev/null | tail -n 1 | cut -d: -f3-)"
            if [ -n "$status" ]; then
                printf '  %4s s  %3s%%  %s\n' "$waited" "${status%%.*}" "${status#*:}"
            else
                printf '  %4s s  still working\n' "$waited"
            fi
        fi
    done
    trap - INT
    wait "$pid"
}

# Installs the packages named that are missing, and what they need. When anything goes
# wrong, it ends the calling script with a message naming the step and the log: nothing
# is to be built on a half-installed system.
aster_ensure_packages() {
    local missing
    missing="$(aster_missing_packages "$@")"
    if [ -z "$missing" ]; then
        return 0
    fi
    if [ "$(id -u)" -ne 0 ] && ! command -v sudo >/dev/null; then
        echo "These Debian packages are missing: $missing" >&2
        echo "Install them as root (apt-get install $missing), then run this again." >&2
        exit 1
    fi
    # Asked here, in the foreground, so that a password prompt is not lost among the
    # progress lines.
    if ! aster_as_root true; then
        echo "Installing the missing Debian packages needs sudo, which refused: $missing" >&2
        exit 1
    fi
    # The package manager's own output is long: it goes to a log of this run's own, kept
    # only when something went wrong.
    local log
    if ! log="$(mktemp "${TMPDIR:-/tmp}/aster-apt-XXXXXX.log" 2>/dev/null)" || ! [ -w "$log" ]; then
        echo "Cannot make a log file for the package install in ${TMPDIR:-/tmp}." >&2
        echo "Set TMPDIR to a folder you can write to, or unset it, and run this again." >&2
        exit 1
    fi
    echo "Installing missing Debian packages: $missing (log: $log)"
    echo "Updating the package lists..."
    if ! aster_install_step "$log" apt-get update; then
        echo "Updating the package lists failed; nothing was installed. See $log" >&2
        exit 1
    fi
    # How much is coming: on a fresh Debian 12, 359 packages.
    local count megabytes
    # shellcheck disable=SC2086
    count="$(LC_ALL=C apt-get install -s --no-install-recommends $missing 2>/dev/null |
        grep -c '^Inst ')" || true
    # shellcheck disable=SC2086
    megabytes="$(LC_ALL=C apt-get install -qq --print-uris --no-install-recommends $missing \
        2>/dev/null | awk '{ bytes += $3 } END { printf "%d", bytes / 1000000 }')" || true
    local size=""
    if [ "${megabytes:-0}" -gt 0 ]; then size=", ${megabytes} MB to download"; fi
    echo "Installing ${count:-the} packages (the missing ones and what they need${size});" \
        "this can take minutes..."
    # shellcheck disable=SC2086
    if ! aster_install_step "$log" apt-get install -y -q --no-install-recommends $missing; then
        echo "Installing the packages failed; nothing is built. See $log" >&2
        exit 1
    fi
    missing="$(aster_missing_packages "$@")"
    if [ -n "$missing" ]; then
        echo "These packages are still missing after the install: $missing; see $log" >&2
        exit 1
    fi
    rm -f "$log"
    echo "Installed."
}

# Build tools, the test framework, the command line's parser, Qt 6 Widgets (with the
# keyboard library its CMake files look for), GDAL for the footprint layers, pugixml for
# scene metadata in XML, expat to check a written KML layer, the HDF4 build GDAL links for
# the ECS metadata inside HDF files, SQLite to pack a GeoPackage's spatial index, libacl
# for the access lists a replaced file keeps, GEOS's C interface and GMP's rationals that
# the footprint tests check ring orientation with, RapidJSON that UMM-G scene metadata is
# read and the STAC catalogue is written with, the SPDX license list its --license takes
# (read at configure time), and the font the window is laid out with.
ASTER_BUILD_PACKAGES=(cmake make g++ libgtest-dev libcli11-dev qt6-base-dev libxkbcommon-dev
    libgdal-dev libpugixml-dev libexpat1-dev libhdf4-alt-dev libsqlite3-dev libacl1-dev libgeos-dev libgmp-dev
    rapidjson-dev node-spdx-license-ids fonts-liberation2)

# For the tests alone: a PostgreSQL server with PostGIS, which the database tests start in
# a scratch folder of their own (no service is used), so the footprint table is checked
# against the real thing.
ASTER_TEST_PACKAGES=(postgresql-15 postgresql-15-postgis-3)
