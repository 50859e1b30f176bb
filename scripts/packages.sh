# Sourced by the other scripts: installs the Debian packages the project needs, only
# those that are missing, so a machine that has everything is not touched.

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
    echo "Installing missing packages: $missing"
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        sudo="sudo"
    fi
    $sudo apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
}

# Build tools, the test framework, Qt 6 Widgets, the font the window is laid out with,
# and GDAL for the footprint layer.
ASTER_BUILD_PACKAGES=(cmake make g++ libgtest-dev qt6-base-dev fonts-liberation2 libgdal-dev)
