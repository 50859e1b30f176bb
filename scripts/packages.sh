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

aster_ensure_packages() {
    local missing
    missing="$(aster_missing_packages "$@")"
    if [ -z "$missing" ]; then
        return 0
    fi
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            echo "These Debian packages are missing: $missing" >&2
            echo "Install them as root (apt-get install $missing), then run this again." >&2
            return 1
        fi
        sudo="sudo"
    fi
    # The package manager's own output is long: it goes to a log that an error points to.
    local log="${TMPDIR:-/tmp}/aster-apt.log"
    echo "Installing missing Debian packages: $missing (log: $log)"
    # shellcheck disable=SC2086
    if ! { $sudo apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing; } \
        >"$log" 2>&1; then
        echo "Installing the packages failed; see $log" >&2
        return 1
    fi
}

# Build tools, the test framework, the command line's parser, Qt 6 Widgets (with the
# keyboard library its CMake files look for), GDAL for the footprint layers, expat for
# scene metadata in XML, libacl for the access lists a replaced file keeps, GEOS's C
# interface and GMP's rationals that the footprint tests check ring orientation with,
# RapidJSON that the STAC catalogue is written with and the SPDX license list its
# --license takes (read at configure time), and the font the window is laid out with.
ASTER_BUILD_PACKAGES=(cmake make g++ libgtest-dev libcli11-dev qt6-base-dev libxkbcommon-dev
    libgdal-dev libexpat1-dev libacl1-dev libgeos-dev libgmp-dev rapidjson-dev
    node-spdx-license-ids fonts-liberation2)
