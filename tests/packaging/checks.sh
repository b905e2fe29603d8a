# Checks shared by the packaging tests: what an installed tree must hold.
# Sourced by the test scripts; every check prints what is wrong and counts it
# in $failures, so one run reports all faults, not just the first.

failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# png_header FILE -> "WIDTH HEIGHT BITDEPTH COLORTYPE" from the IHDR chunk.
png_header() {
    od -A n -t u1 -j 16 -N 10 "$1" |
        awk '{ print $1*16777216 + $2*65536 + $3*256 + $4, $5*16777216 + $6*65536 + $7*256 + $8, $9, $10 }'
}

# check_icon FILE SIZE: a square PNG of SIZE pixels, 8-bit RGBA (32 bits a pixel).
check_icon() {
    local file=$1 size=$2
    if [ ! -f "$file" ]; then
        fail "missing icon $file"
        return
    fi
    local header
    header=$(png_header "$file")
    [ "$header" = "$size $size 8 6" ] ||
        fail "$file: width height depth colour-type are '$header', want '$size $size 8 6' (RGBA)"
}

# Long options that a program's --help names, one per line.
help_options() {
    "$1" --help | grep -o -- '--[a-z][a-z-]*' | sort -u
}

# check_man_page PAGE.gz VERSION PROGRAM: a valid gzip holding a roff page of
# this version that documents every option the program's --help shows.
check_man_page() {
    local page=$1 version=$2 program=$3
    if [ ! -f "$page" ]; then
        fail "missing man page $page"
        return
    fi
    if ! gzip -t "$page" 2>/dev/null; then
        fail "$page is not a valid gzip file"
        return
    fi
    local text
    text=$(gzip -dc "$page" | sed 's/\\-/-/g')
    grep -q "^\.TH .*\"Quorvan-Master $version\"" <<<"$text" ||
        fail "$page: .TH line does not carry version $version"
    [ -n "$program" ] || return 0
    local option
    for option in $(help_options "$program"); do
        grep -q -- "$option" <<<"$text" || fail "$page does not document $option"
    done
    # Fault names of the simulator (delay=MS ...) are options too.
    for option in $("$program" --help | grep -o '[a-z]\+=[A-Z]\+' | cut -d= -f1 | sort -u); do
        grep -q -- "$option=" <<<"$text" || fail "$page does not document the fault $option="
    done
}

# check_service ROOT VERSION: the service's man page, unit, system user and
# example configuration, each as the service needs it.
check_service() {
    local root=$1 version=$2
    local usr=$root/usr
    check_man_page "$usr/share/man/man8/quorvan-meterd.8.gz" "$version" "$usr/bin/quorvan-meterd"
    # /lib in a Debian 12 package, <prefix>/lib from a plain install.
    local unit=$root/lib/systemd/system/quorvan-meterd.service
    [ -f "$unit" ] || unit=$usr/lib/systemd/system/quorvan-meterd.service
    if [ ! -f "$unit" ]; then
        fail "missing unit lib/systemd/system/quorvan-meterd.service"
    else
        grep -qx 'ExecStart=/usr/bin/quorvan-meterd --config /etc/quorvan-master/meterd.toml' "$unit" ||
            fail "$unit does not start /usr/bin/quorvan-meterd with the /etc configuration"
        local key
        for key in User=quorvan-meterd SupplementaryGroups=dialout ProtectSystem=strict \
            ProtectHome=yes PrivateTmp=yes NoNewPrivileges=yes Restart=on-failure \
            'ExecReload=/bin/kill -HUP $MAINPID' DevicePolicy=closed \
            'DeviceAllow=char-ttyUSB rw' 'DeviceAllow=char-ttyACM rw' \
            'DeviceAllow=char-ttyAMA rw' 'DeviceAllow=char-ttyS rw' \
            'Wants=modprobe@usbserial.service modprobe@cdc_acm.service' \
            'After=modprobe@usbserial.service modprobe@cdc_acm.service'; do
            grep -qxF "$key" "$unit" || fail "$unit lacks $key"
        done
        check_unit_exposure "$unit"
    fi
    local users=$usr/lib/sysusers.d/quorvan-meterd.conf
    grep -q '^u quorvan-meterd ' "$users" 2>/dev/null || fail "$users does not make the user"
    grep -q '^m quorvan-meterd dialout$' "$users" 2>/dev/null || fail "$users does not add dialout"
    local example=$usr/share/doc/quorvan-meterd/meterd.toml.example
    if [ ! -f "$example" ]; then
        fail "missing usr/share/doc/quorvan-meterd/meterd.toml.example"
    else
        "$usr/bin/quorvan-meterd" --check --config "$example" >/dev/null ||
            fail "the example configuration does not pass --check"
    fi
}

# check_unit_exposure UNIT: systemd's own rating of the unit's sandbox,
# 2.0 or better ("OK" starts at 2.1; 10 is a unit without any).
check_unit_exposure() {
    local unit=$1 report exposure
    report=$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1) || true
    exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$report")
    if [ -z "$exposure" ]; then
        fail "systemd-analyze security gave no exposure level for $unit: $report"
    elif awk -v e="$exposure" 'BEGIN { exit !(e > 2.0) }'; then
        fail "$unit: exposure level $exposure, want 2.0 or less"
    fi
}

# check_tree ROOT VERSION WITH_CONSOLE DESKTOP_ID WITH_SERVICE: ROOT is what
# lands in / (it holds usr/).
check_tree() {
    local root=$1 version=$2 console=$3 id=$4 service=${5:-OFF}
    local usr=$root/usr
    local programs=(quorvan-cli quorvan-meter-sim)
    [ "$console" = ON ] && programs+=(Quorvan-Master)
    [ "$service" = ON ] && programs+=(quorvan-meterd)

    for p in "${programs[@]}"; do
        [ -x "$usr/bin/$p" ] || fail "usr/bin/$p missing or not executable"
    done
    # Nothing else in bin: build tools and tests must not ship.
    local extra
    extra=$(ls "$usr/bin" 2>/dev/null | grep -vxF -f <(printf '%s\n' "${programs[@]}") || true)
    [ -z "$extra" ] || fail "unexpected programs in usr/bin: $extra"
    # Nothing outside usr/bin and usr/share (no headers, static libraries)
    # but the service's unit and system user.
    local stray
    stray=$(cd "$root" && find . -mindepth 1 -not -type d |
        grep -v -e '^\./usr/bin/' -e '^\./usr/share/' \
            -e '^\./\(usr/\)\?lib/systemd/system/quorvan-meterd\.service$' \
            -e '^\./usr/lib/sysusers\.d/quorvan-meterd\.conf$' || true)
    [ -z "$stray" ] || fail "files outside usr/bin and usr/share: $stray"

    local versioned=(quorvan-cli quorvan-meter-sim)
    [ "$service" = ON ] && versioned+=(quorvan-meterd)
    for p in "${versioned[@]}"; do
        [ -x "$usr/bin/$p" ] || continue
        local shown
        shown=$("$usr/bin/$p" --version 2>&1) || fail "$p --version failed: $shown"
        [ "$shown" = "$p $version" ] || fail "$p --version says '$shown', want '$p $version'"
        # A build-tree RUNPATH would make the installed program load
        # libraries from wherever it was built.
        if readelf -d "$usr/bin/$p" | grep -q -e RPATH -e RUNPATH; then
            fail "$p carries an RPATH/RUNPATH"
        fi
    done

    local man=$usr/share/man/man1
    check_man_page "$man/quorvan-cli.1.gz" "$version" "$usr/bin/quorvan-cli"
    check_man_page "$man/quorvan-meter-sim.1.gz" "$version" "$usr/bin/quorvan-meter-sim"
    [ "$console" = ON ] && check_man_page "$man/Quorvan-Master.1.gz" "$version" ""
    [ "$service" = ON ] && check_service "$root" "$version"

    [ "$console" = ON ] || return 0

    local desktop=$usr/share/applications/$id.desktop
    if [ ! -f "$desktop" ]; then
        fail "missing desktop entry usr/share/applications/$id.desktop"
    else
        desktop-file-validate "$desktop" || fail "desktop-file-validate rejects $desktop"
        local exec icon
        exec=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
        icon=$(sed -n 's/^Icon=//p' "$desktop")
        [ -x "$usr/bin/$exec" ] || fail "desktop entry runs '$exec', which is not in usr/bin"
        [ "$icon" = "$id" ] || fail "desktop entry names icon '$icon', want '$id'"
    fi
    check_icon "$usr/share/icons/hicolor/128x128/apps/$id.png" 128
    check_icon "$usr/share/icons/hicolor/48x48/apps/$id.png" 48
    # The window must announce the same id (Wayland app id, task bar icon).
    # Qt string literals are UTF-16, so look for both encodings.
    { strings -a "$usr/bin/Quorvan-Master"; strings -a -el "$usr/bin/Quorvan-Master"; } |
        grep -qxF "$id" ||
        fail "Quorvan-Master does not carry the desktop id $id (setDesktopFileName)"
}
