# Sourced by the scripts that fetch Debian's packages: nothing is installed
# into the system.  apt works with a configuration of its own (a suite of the
# archive that the system's own apt sources name, its own lists and cache, an
# architecture of the caller's choice) and the packages are unpacked with
# dpkg -x.
#
#   debian_cache                       the folder kept between runs (prints it)
#   debian_lock NAME                   holds the cache's lock NAME until the script ends
#   debian_unpack WORK SUITE ARCH PKG...
#                                      downloads the packages (a name ending in "?" may be
#                                      missing from the archive) and unpacks them into
#                                      WORK/root (WORK, the caller's, also holds apt's files)
#   debian_system_suite                the release suite of the system's own sources (bookworm, ...)

debian_cache() {
    echo "${PELLAR_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/pellar}"
}

debian_lock() {  # debian_lock NAME
    local cache
    cache="$(debian_cache)"
    mkdir -p "$cache"
    exec 9>"$cache/.lock-$1"
    flock 9
}

# The Debian archive of the system's own apt sources: the first source of a
# release suite (not -security or -updates), as "uri suite keyring".
debian_archive_source() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk '
            function flush(   s, n, i) {
                n = split(suites, s, /[ \t]+/)
                for (i = 1; i <= n; i++)
                    if (types ~ /(^| )deb( |$)/ && uri != "" && s[i] ~ /^[a-z]+$/) {
                        print uri " " s[i] " " key; found = 1; exit
                    }
                types = uri = suites = key = ""
            }
            /^[ \t]*$/ { flush(); next }
            /^Types:/     { sub(/^Types:[ \t]*/, "");     types = $0 }
            /^URIs:/      { sub(/^URIs:[ \t]*/, "");      split($0, u, /[ \t]+/); uri = u[1] }
            /^Suites:/    { sub(/^Suites:[ \t]*/, "");    suites = $0 }
            /^Signed-By:/ { sub(/^Signed-By:[ \t]*/, ""); key = $0 }
            END { if (!found) flush() }
        ' "$f"
    done
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk '$1 == "deb" {
                 i = 2
                 if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                 if ($(i + 1) ~ /^[a-z]+$/) { print $i " " $(i + 1); exit }
             }'
}

debian_archive() {  # sets debian_uri, debian_suite, debian_keyring
    read -r debian_uri debian_suite debian_keyring < <(debian_archive_source | head -n 1) || true
    if [ -z "${debian_uri:-}" ]; then
        echo "$(basename "$0"): no Debian archive in the system's apt sources" >&2
        exit 1
    fi
    [ -n "${debian_keyring:-}" ] || debian_keyring=/usr/share/keyrings/debian-archive-keyring.gpg
}

debian_system_suite() {
    debian_archive
    echo "$debian_suite"
}

debian_unpack() {  # debian_unpack WORK SUITE ARCH PKG...
    local work="$1" suite="$2" arch="$3" p available=()
    shift 3
    debian_archive
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/debs" "$work/root"
    echo "deb [signed-by=$debian_keyring arch=$arch] $debian_uri $suite main" >"$work/sources.list"
    local apt_opts=(-o "Dir::Etc::sourcelist=$work/sources.list" -o Dir::Etc::sourceparts=/dev/null
                    -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
                    -o Dir::State::status=/dev/null -o APT::Sandbox::User=root
                    -o "APT::Architecture=$arch" -o "APT::Architectures=$arch" -q)
    apt-get "${apt_opts[@]}" update >/dev/null
    for p in "$@"; do
        if apt-cache "${apt_opts[@]}" show "${p%\?}" >/dev/null 2>&1; then available+=("${p%\?}")
        elif [ "${p%\?}" = "$p" ]; then
            echo "$(basename "$0"): the archive's $suite suite has no $p for $arch" >&2
            exit 1
        fi
    done
    (cd "$work/debs" && apt-get "${apt_opts[@]}" download "${available[@]}" >/dev/null)
    for p in "$work"/debs/*.deb; do dpkg -x "$p" "$work/root"; done
}
