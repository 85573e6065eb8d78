# Installs the Debian packages the build needs when they are missing.
# Sourced by the other scripts; takes the extra package names as arguments.
ensure_packages() {
    local wanted="cmake ninja-build g++ pkg-config zlib1g-dev libisal-dev libssl-dev libgtest-dev nlohmann-json3-dev $*"
    local missing=""
    for p in $wanted; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" = 0 ]; then
        echo "installing:$missing"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq && apt-get install -y -qq $missing >/dev/null
    else
        echo "missing packages; run: sudo apt-get install -y$missing" >&2
        return 1
    fi
}
