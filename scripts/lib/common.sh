# Shared by scripts/run and scripts/test (.ci/run reaches it through scripts/test).
set -euo pipefail

TWK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
TWK_BUILD=${TWK_BUILD:-$TWK_ROOT/build}
# The sanitized build lives apart: its objects cannot mix with the plain ones.
TWK_SANITIZE_BUILD=${TWK_SANITIZE_BUILD:-$TWK_ROOT/build-asan}

TWK_BUILD_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev libqt6sql6-sqlite libssl-dev
    libdbus-1-dev clang-format)
TWK_TEST_PACKAGES=(dbus-daemon dbus-bin libglib2.0-bin dpkg-dev apt-utils python3 openssl
    procps psmisc gnupg sqlite3 debconf util-linux)

# Installs those of the named Debian packages that are missing.
twk_ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q '^install ok installed$'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: ${missing[*]} (run as root to install them)" >&2
        return 1
    fi
    echo "Installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# twk_build [target] [cmake options...]: configures and builds target
# (everything when empty).
twk_build() {
    local target=$1
    shift
    cmake -S "$TWK_ROOT" -B "$TWK_BUILD" -G Ninja "$@"
    if [ -n "$target" ]; then
        cmake --build "$TWK_BUILD" --target "$target"
    else
        cmake --build "$TWK_BUILD"
    fi
}
