# Sourced by tools/debian.py (its apt() and need()) and need.sh, the only
# shell left: apt-get against any Debian suite and architecture through a
# private state under .deps/apt/, with its own empty dpkg status, so the
# system's apt setup is never touched and the host's installed versions
# never stand in for the suite's. The mirror is the one
# this machine's own Debian sources use.

# debian_apt_init STATE_DIR SUITE ARCH: sets up (once) and selects a state.
debian_apt_init() {
    APT_STATE=$1
    APT_SUITE=$2
    APT_ARCH=$3
    mkdir -p "$APT_STATE/lists/partial" "$APT_STATE/cache/archives/partial"
    [ -f "$APT_STATE/status" ] || : >"$APT_STATE/status"
    local mirror
    mirror=$(debian_mirror)
    if [ -z "$mirror" ]; then
        echo "no Debian mirror found in this machine's apt sources" >&2
        return 1
    fi
    local key=/usr/share/keyrings/debian-archive-keyring.gpg list
    list=$(printf 'deb [signed-by=%s] %s %s main\ndeb-src [signed-by=%s] %s %s main' \
        "$key" "$mirror" "$APT_SUITE" "$key" "$mirror" "$APT_SUITE")
    # Replaced whole, and only when it changes: another build may be reading it.
    if [ "$(cat "$APT_STATE/sources.list" 2>/dev/null)" != "$list" ]; then
        printf '%s\n' "$list" >"$APT_STATE/sources.list.$$"
        mv "$APT_STATE/sources.list.$$" "$APT_STATE/sources.list"
    fi
    if [ ! -s "$APT_STATE/updated" ]; then
        echo "apt: reading Debian $APT_SUITE ($APT_ARCH) package lists" >&2
        debian_apt update -qq
        date >"$APT_STATE/updated"
    fi
}

# The first plain Debian archive (not the security one) named in the system's sources.
debian_mirror() {
    {
        sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr ' ' '\n'
        sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\).*/\2/p' \
            /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null
    } | grep -E '/debian/?$' | grep -v -E 'security|ports' | head -n 1 || true
}

debian_apt() { _debian_apt_run apt-get "$@"; }
debian_apt_cache() { _debian_apt_run apt-cache "$@"; }

# One apt call at a time on a state (apt's own locks are off, as they would
# take the system's): builds side by side share the source package's.
_debian_apt_run() {
    local tool=$1
    shift
    flock "$APT_STATE/lock" "$tool" -o Dir::Etc::SourceList="$APT_STATE/sources.list" \
        -o Dir::Etc::SourceParts=/dev/null \
        -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null \
        -o Dir::State="$APT_STATE" -o Dir::State::Lists="$APT_STATE/lists" \
        -o Dir::State::status="$APT_STATE/status" \
        -o Dir::Cache="$APT_STATE/cache" \
        -o APT::Architecture="$APT_ARCH" -o APT::Architectures="$APT_ARCH" \
        -o APT::Sandbox::User=root -o Debug::NoLocking=1 \
        "$@"
}

# The candidate version of a package in the selected suite, or nothing.
debian_version_of() {
    debian_apt_cache policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: //p' | grep -v '(none)' || true
}

# Downloads the packages and everything they depend on (as on an empty
# system) into directory $1.
debian_download_closure() {
    local dir=$1
    shift
    rm -rf "$APT_STATE/cache/archives"/*.deb
    debian_apt install -y -qq --download-only --no-install-recommends "$@" >/dev/null
    mkdir -p "$dir"
    mv "$APT_STATE/cache/archives"/*.deb "$dir"/
}

# Downloads packages $2... alone (no dependencies) into directory $1.
debian_apt_download() {
    local dir=$1
    shift
    (cd "$dir" && debian_apt download -qq "$@")
}

# The version of the selected suite's source package $1.
debian_source_version() {
    local version
    version=$(debian_apt_cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | head -n 1)
    [ -n "$version" ] || { echo "$1 source not found in Debian $APT_SUITE" >&2; return 1; }
    echo "$version"
}

# Downloads (once per version) source package $2 into $1/src-dl/VERSION and
# prints the path of its upstream tarball.
debian_source_tarball() {
    local version dl
    version=$(debian_source_version "$2") || return 1
    dl=$1/src-dl/$version
    mkdir -p "$1/src-dl"
    (
        flock 8  # one download at a time: two builds may want the same source
        if ! ls "$dl"/"$2"_*.orig.tar.* >/dev/null 2>&1; then
            rm -rf "$dl"
            mkdir -p "$dl"
            echo "apt: downloading the $2 $version source package" >&2
            cd "$dl" && debian_apt source --download-only -qq "$2=$version" >&2
        fi
    ) 8>"$1/src-dl/.lock"
    ls "$dl"/"$2"_*.orig.tar.* | head -n 1
}

# Installs system packages (from the system's own sources) for commands that
# are missing. Arguments: command:package pairs; "-:package" for a package
# without a command of its own (a library, a Python module).
need_packages() {
    local missing="" pair
    for pair in "$@"; do
        if [ "${pair%%:*}" = - ]; then
            dpkg-query -W -f='${Status}' "${pair#*:}" 2>/dev/null | grep -q "install ok installed" && continue
        else
            command -v "${pair%%:*}" >/dev/null 2>&1 && continue
        fi
        missing="$missing ${pair#*:}"
    done
    [ -z "$missing" ] && return 0
    echo "installing:$missing" >&2
    if [ "$(id -u)" != 0 ]; then
        echo "not root: please install$missing" >&2
        return 1
    fi
    waiting_for_apt_lock apt-get update -qq
    DEBIAN_FRONTEND=noninteractive waiting_for_apt_lock apt-get install -y -qq $missing >/dev/null
}

# Runs an apt-get command; while another program holds the package manager's
# lock (an unattended upgrade, a second apt-get), waits for it, up to ten
# minutes, saying so, instead of failing.
waiting_for_apt_lock() {
    local log waited=0
    log=$(mktemp)
    until "$@" 2>"$log"; do
        if ! grep -q -i "could not get lock\|unable to acquire\|is another process using it" "$log" ||
            [ "$waited" -ge 600 ]; then
            cat "$log" >&2
            rm -f "$log"
            return 1
        fi
        [ "$waited" = 0 ] && echo "waiting for another program's package manager lock (up to 10 minutes)" >&2
        sleep 5
        waited=$((waited + 5))
    done
    cat "$log" >&2
    rm -f "$log"
}
