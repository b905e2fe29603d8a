#!/usr/bin/env bash
# Builds the .deb from the build tree and checks its control data and
# contents. Leaves the package in WORK for the dpkg install test.
# Usage: deb-package.sh BUILD WORK VERSION WITH_CONSOLE DESKTOP_ID WITH_SERVICE
set -euo pipefail
build=$1 work=$2 version=$3 console=$4 id=$5 service=${6:-OFF}
. "$(dirname "$0")/checks.sh"

rm -rf "$work"
mkdir -p "$work"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || {
    cat "$work/cpack.log" >&2
    echo "FAIL: cpack -G DEB failed" >&2
    exit 1
}
arch=$(dpkg --print-architecture)
deb=$work/quorvan-master_${version}_$arch.deb
[ -f "$deb" ] || { echo "FAIL: no $deb; cpack made: $(ls "$work")" >&2; exit 1; }

field() { dpkg-deb -f "$deb" "$1"; }
expect_field() {
    local got
    got=$(field "$1")
    [ "$got" = "$2" ] || fail "control field $1 is '$got', want '$2'"
}
expect_field Package quorvan-master
expect_field Version "$version"
expect_field Architecture "$arch"
expect_field Section electronics
expect_field Priority optional
[ -n "$(field Maintainer)" ] || fail "control field Maintainer is empty"
# A synopsis line plus a long description.
[ "$(field Description | wc -l)" -gt 2 ] || fail "Description has no long text"

# Depends comes from dpkg-shlibdeps: it must name the C and C++ runtimes,
# and Qt when the panel is in the package.
# Package names of a relation field, one per line, versions dropped.
names() { field "$1" | tr ',|' '\n\n' | awk '{ print $1 }'; }
wanted=(libc6 libstdc++6)
[ "$console" = ON ] && wanted+=(libqt6widgets6 libqt6gui6 libqt6core6)
for lib in "${wanted[@]}"; do
    names Depends | grep -qxF "$lib" || fail "Depends lacks $lib: '$(field Depends)'"
done
for font in fonts-liberation2 fonts-wqy-microhei; do
    names Recommends | grep -qxF "$font" || fail "Recommends lacks $font: '$(field Recommends)'"
done

# The file list, as dpkg-deb -c shows it.
listing=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
expected=(./usr/bin/quorvan-cli ./usr/bin/quorvan-meter-sim
    ./usr/share/man/man1/quorvan-cli.1.gz ./usr/share/man/man1/quorvan-meter-sim.1.gz
    ./usr/share/man/man1/Quorvan-Master.1.gz)
[ "$service" = ON ] && expected+=(./usr/bin/quorvan-meterd
    ./usr/share/man/man8/quorvan-meterd.8.gz
    ./usr/lib/systemd/system/quorvan-meterd.service
    ./usr/lib/sysusers.d/quorvan-meterd.conf
    ./usr/share/doc/quorvan-master/meterd.toml.example)
[ "$console" = ON ] && expected+=(./usr/bin/Quorvan-Master
    "./usr/share/applications/$id.desktop"
    "./usr/share/icons/hicolor/128x128/apps/$id.png"
    "./usr/share/icons/hicolor/48x48/apps/$id.png")
for path in "${expected[@]}"; do
    grep -qxF "$path" <<<"$listing" || fail "package lacks $path"
done
# The service's system user is made when the package is configured.
if [ "$service" = ON ]; then
    dpkg-deb -I "$deb" postinst 2>/dev/null | grep -q 'systemd-sysusers quorvan-meterd.conf' ||
        fail "the package's postinst does not make the service's user"
fi
# Everything owned by root, nothing writable by others.
bad_owner=$(dpkg-deb -c "$deb" | awk '$2 != "root/root" || substr($1, 9, 1) == "w"' || true)
[ -z "$bad_owner" ] || fail "entries not root-owned or world-writable: $bad_owner"

# Unpacked, the package must be the same tree a plain install gives.
dpkg-deb -x "$deb" "$work/root"
check_tree "$work/root" "$version" "$console" "$id" "$service"
# cpack strips the programs: debug info would be most of the package.
for p in "$work"/root/usr/bin/*; do
    file -b "$p" | grep -q ', stripped' || fail "$(basename "$p") is not stripped"
done

[ "$failures" -eq 0 ] || { echo "$failures packaging faults" >&2; exit 1; }
echo "ok: $(basename "$deb") ($(stat -c %s "$deb") bytes)"
