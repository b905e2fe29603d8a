#!/usr/bin/env bash
# Makes the Debian packages with scripts/package (as a person would) and
# checks them: control data, who depends on what (no GUI library for the
# service and the client), which file is in which package, the installed
# tree, hardening, maintainer scripts and the unit. Leaves the packages in
# WORK for the lintian and clean-root tests.
# Usage: deb-packages.sh SOURCE WORK VERSION DESKTOP_ID
set -euo pipefail
source=$1 work=$2 version=$3 id=$4
. "$(dirname "$0")/checks.sh"

rm -rf "$work"
QUORVAN_SKIP_SETUP=1 bash "$source/scripts/package" "$(dpkg --print-architecture)" "$work" ||
    { echo "FAIL: scripts/package failed" >&2; exit 1; }
arch=$(dpkg --print-architecture)
deb() { echo "$work/${1}_${version}_$arch.deb"; }
for p in quorvan-master quorvan-meterd quorvan-cli; do
    [ -f "$(deb $p)" ] || { echo "FAIL: no $(deb $p); made: $(ls "$work")" >&2; exit 1; }
done

field() { dpkg-deb -f "$(deb "$1")" "$2"; }
# Package names of a relation field, one per line, versions dropped.
names() { field "$1" "$2" | tr ',|' '\n\n' | awk '{ print $1 }'; }
for p in quorvan-master quorvan-meterd quorvan-cli; do
    for kv in "Package=$p" "Version=$version" "Architecture=$arch" Section=electronics \
        Priority=optional "Source=quorvan-master"; do
        got=$(field "$p" "${kv%%=*}")
        # Source is left out when it equals the package name.
        [ "$kv" = Source=quorvan-master ] && [ "$p" = quorvan-master ] && continue
        [ "$got" = "${kv#*=}" ] || fail "$p: control field ${kv%%=*} is '$got', want '${kv#*=}'"
    done
    [ -n "$(field "$p" Maintainer)" ] || fail "$p: control field Maintainer is empty"
    [ "$(field "$p" Description | wc -l)" -gt 2 ] || fail "$p: Description has no long text"
    for lib in libc6 libstdc++6; do
        names "$p" Depends | grep -qxF "$lib" || fail "$p: Depends lacks $lib: '$(field "$p" Depends)'"
    done
done
for lib in libqt6widgets6 libqt6gui6 libqt6core6; do
    names quorvan-master Depends | grep -qxF "$lib" || fail "quorvan-master: Depends lacks $lib"
done
for font in fonts-liberation2 fonts-wqy-microhei; do
    names quorvan-master Recommends | grep -qxF "$font" || fail "quorvan-master: Recommends lacks $font"
done
names quorvan-meterd Depends | grep -qxF systemd ||
    fail "quorvan-meterd: Depends lacks systemd (for systemd-sysusers): '$(field quorvan-meterd Depends)'"

# A server must never pull a GUI: neither the service's nor the client's
# dependencies, followed all the way down in this machine's package lists,
# may hold a Qt, X11, Wayland or OpenGL library.
gui='^(lib)?qt[0-9]|^libx11|^libxcb|^libxkb|^libxext|^libxrender|^libwayland|^libgl1|^libglx|^libegl|^libopengl|^libfontconfig'
for p in quorvan-meterd quorvan-cli; do
    closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
        --no-breaks --no-replaces --no-enhances $(names "$p" Depends) 2>/dev/null |
        sed -n 's/^ *\(PreDepends\|Depends\): *<\?\([^>:]*\).*/\2/p; /^[^ ]/p' | sort -u)
    [ -n "$closure" ] || fail "$p: apt-cache found no dependency closure"
    bad=$(grep -E "$gui" <<<"$closure" | tr '\n' ' ' || true)
    [ -z "$bad" ] || fail "$p would pull GUI libraries: $bad"
done

# Which file is in which package: the panel's files only in quorvan-master,
# nothing shipped twice.
files() { dpkg-deb -c "$(deb "$1")" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./|/|'; }
expect_files() {
    local p=$1 f listing
    shift
    listing=$(files "$p")
    for f in "$@"; do
        grep -qxF "$f" <<<"$listing" || fail "$p lacks $f"
    done
}
expect_files quorvan-master /usr/bin/Quorvan-Master "/usr/share/applications/$id.desktop" \
    "/usr/share/icons/hicolor/128x128/apps/$id.png" "/usr/share/icons/hicolor/48x48/apps/$id.png" \
    /usr/share/man/man1/Quorvan-Master.1.gz
expect_files quorvan-cli /usr/bin/quorvan-cli /usr/bin/quorvan-meter-sim \
    /usr/share/man/man1/quorvan-cli.1.gz /usr/share/man/man1/quorvan-meter-sim.1.gz
expect_files quorvan-meterd /usr/bin/quorvan-meterd /lib/systemd/system/quorvan-meterd.service \
    /usr/lib/sysusers.d/quorvan-meterd.conf /usr/share/doc/quorvan-meterd/meterd.toml.example \
    /usr/share/man/man8/quorvan-meterd.8.gz \
    /usr/share/quorvan-meterd/grafana/quorvan-meterd-dashboard.json \
    /usr/share/quorvan-meterd/prometheus/quorvan-meterd-rules.yml
for p in quorvan-master quorvan-meterd quorvan-cli; do
    expect_files "$p" "/usr/share/doc/$p/copyright" "/usr/share/doc/$p/changelog.gz"
    # Programs belong to their role only.
    extra=$(files "$p" | grep '^/usr/bin/' | grep -vxF -f <(case $p in
        quorvan-master) echo /usr/bin/Quorvan-Master ;;
        quorvan-meterd) echo /usr/bin/quorvan-meterd ;;
        quorvan-cli) printf '%s\n' /usr/bin/quorvan-cli /usr/bin/quorvan-meter-sim ;;
        esac) || true)
    [ -z "$extra" ] || fail "$p carries programs of another role: $extra"
done
twice=$(for p in quorvan-master quorvan-meterd quorvan-cli; do files "$p"; done | sort | uniq -d)
[ -z "$twice" ] || fail "files in more than one package: $twice"

# The licence: MIT, in the machine-readable copyright file.
copyright=$(dpkg-deb --fsys-tarfile "$(deb quorvan-cli)" | tar -xO ./usr/share/doc/quorvan-cli/copyright)
grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' <<<"$copyright" ||
    fail "the copyright file is not in the machine-readable format"
grep -qx 'License: MIT' <<<"$copyright" || fail "the copyright file does not name the MIT licence"
head -1 "$source/LICENSE" | grep -qx 'MIT License' || fail "LICENSE is not the MIT licence"

# Maintainer scripts: units enabled, started and stopped only through
# deb-systemd-helper and deb-systemd-invoke; the system user from the sysusers file; purge
# forgets the unit's enable links.
script() { dpkg-deb --ctrl-tarfile "$(deb "$1")" | tar -xO "./$2" 2>/dev/null || true; }
grep -q 'systemd-sysusers.*quorvan-meterd.conf' <<<"$(script quorvan-meterd postinst)" ||
    fail "quorvan-meterd's postinst does not make the system user"
grep -q 'deb-systemd-helper purge' <<<"$(script quorvan-meterd postrm)" ||
    fail "quorvan-meterd's postrm does not purge the unit's state"
for p in quorvan-master quorvan-meterd quorvan-cli; do
    for s in preinst postinst prerm postrm; do
        # debhelper's own snippets reload systemd's view of the units.
        bad=$(script "$p" "$s" | grep -nE '(^|[;&|[:space:]])systemctl[[:space:]]' |
            grep -v 'systemctl --system daemon-reload' || true)
        [ -z "$bad" ] || fail "$p's $s calls systemctl: $bad"
    done
done

# Unpacked together, the three packages are the tree a plain install gives.
for p in quorvan-master quorvan-meterd quorvan-cli; do
    dpkg-deb -x "$(deb "$p")" "$work/root"
done
rm -rf "$work/root/usr/share/doc/quorvan-master" "$work/root/usr/share/doc/quorvan-cli"
check_tree "$work/root" "$version" ON "$id" ON

# Hardening (dpkg-buildflags hardening=+all): position independent, full
# RELRO with immediate binding, stack protector, fortified functions;
# stripped, the debug symbols in the -dbgsym packages.
for p in "$work"/root/usr/bin/*; do
    name=$(basename "$p")
    [ "$(readelf -h "$p" | awk '/Type:/ { print $2 }')" = DYN ] || fail "$name is not PIE"
    readelf -lW "$p" | grep -q GNU_RELRO || fail "$name has no RELRO segment"
    readelf -dW "$p" | grep -qE 'BIND_NOW|FLAGS_1.* NOW' || fail "$name is not linked with -z now"
    syms=$(readelf --dyn-syms -W "$p")
    grep -q '__stack_chk_fail' <<<"$syms" || fail "$name has no stack protector"
    grep -qE '__[a-z0-9_]+_chk(@|$| )' <<<"$syms" || fail "$name uses no fortified function"
    file -b "$p" | grep -q ', stripped' || fail "$name is not stripped"
done
for p in quorvan-master quorvan-meterd quorvan-cli; do
    ls "$work/$p-dbgsym_${version}_$arch".*deb >/dev/null 2>&1 || fail "no debug symbols package for $p"
done

[ "$failures" -eq 0 ] || { echo "$failures packaging faults" >&2; exit 1; }
for p in quorvan-master quorvan-meterd quorvan-cli; do
    echo "ok: $(basename "$(deb "$p")") ($(stat -c %s "$(deb "$p")") bytes," \
        "$(field "$p" Installed-Size) KiB installed)"
done
