# Sourced by the fetch scripts: runs apt-get against Debian's older stable suite
# with a private sources list and private state, so the system's apt setup is
# never touched. The mirror is the one this machine's own Debian sources use.
OLD_SUITE=${OLD_SUITE:-bullseye}

old_apt_init() {
    APT_STATE=$1
    mkdir -p "$APT_STATE/lists/partial" "$APT_STATE/cache/archives/partial"
    local mirror
    mirror=$(old_apt_mirror)
    if [ -z "$mirror" ]; then
        echo "no Debian mirror found in this machine's apt sources" >&2
        return 1
    fi
    local key=/usr/share/keyrings/debian-archive-keyring.gpg
    printf 'deb [signed-by=%s] %s %s main\ndeb-src [signed-by=%s] %s %s main\n' \
        "$key" "$mirror" "$OLD_SUITE" "$key" "$mirror" "$OLD_SUITE" >"$APT_STATE/sources.list"
    if [ ! -s "$APT_STATE/updated" ]; then
        old_apt update -qq
        date >"$APT_STATE/updated"
    fi
}

# The first plain Debian archive (not the security one) named in the system's sources.
old_apt_mirror() {
    {
        sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr ' ' '\n'
        sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\).*/\2/p' \
            /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null
    } | grep -E '/debian/?$' | grep -v -E 'security|ports' | head -n 1 || true
}

old_apt() { _old_apt_run apt-get "$@"; }
old_apt_cache() { _old_apt_run apt-cache "$@"; }

_old_apt_run() {
    local tool=$1
    shift
    "$tool" -o Dir::Etc::SourceList="$APT_STATE/sources.list" \
        -o Dir::Etc::SourceParts=/dev/null \
        -o Dir::State::Lists="$APT_STATE/lists" \
        -o Dir::Cache="$APT_STATE/cache" \
        -o APT::Sandbox::User=root \
        "$@"
}

# The version of the older suite's python2.7 source package.
python2_source_version() {
    local version
    version=$(old_apt_cache showsrc python2.7 2>/dev/null | sed -n 's/^Version: //p' | head -n 1)
    [ -n "$version" ] || { echo "python2.7 source not found in the older suite" >&2; return 1; }
    echo "$version"
}

# Downloads (once per version) the python2.7 source package into
# $1/src-dl/VERSION and prints the path of its upstream tarball.
python2_source_tarball() {
    local version dl
    version=$(python2_source_version) || return 1
    dl=$1/src-dl/$version
    if ! ls "$dl"/python2.7_*.orig.tar.* >/dev/null 2>&1; then
        rm -rf "$dl"
        mkdir -p "$dl"
        (cd "$dl" && old_apt source --download-only -qq "python2.7=$version" >&2)
    fi
    ls "$dl"/python2.7_*.orig.tar.* | head -n 1
}

# Installs system packages (from the system's own sources) for commands that are missing.
# Arguments: command:package pairs.
need_packages() {
    local missing="" pair
    for pair in "$@"; do
        command -v "${pair%%:*}" >/dev/null 2>&1 || missing="$missing ${pair#*:}"
    done
    [ -z "$missing" ] && return 0
    echo "installing:$missing" >&2
    if [ "$(id -u)" != 0 ]; then
        echo "not root: please install$missing" >&2
        return 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
}
