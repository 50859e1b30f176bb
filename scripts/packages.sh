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

# Build tools, the test framework, Qt 6 Widgets (with the keyboard library its CMake files
# look for), GDAL for the footprint layers, expat to check a written KML layer, SQLite to
# pack a GeoPackage's spatial index and the font the window is laid out with.
ASTER_BUILD_PACKAGES=(cmake make g++ libgtest-dev qt6-base-dev libxkbcommon-dev libgdal-dev
    libexpat1-dev libsqlite3-dev fonts-liberation2)
