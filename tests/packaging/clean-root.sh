#!/usr/bin/env bash
# The packages' life on a fresh Debian 12, in a minimal root of this test's
# own (debootstrap --variant=minbase from the Debian mirror; the fresh root
# is kept as a tarball in CACHE for the next run): install the service and
# the client (their dependency closure must hold no GUI library), then the
# panel, configure and enable the service as its man page says, upgrade
# all three, remove them, purge them, checking after each step what must
# stay and what must go.
# Needs root (debootstrap, chroot); exit status 77 means skipped.
# QUORVAN_DEBIAN_MIRROR picks the mirror (default http://deb.debian.org/debian).
# Usage: clean-root.sh DEB_WORK WORK CACHE VERSION
set -euo pipefail
debs=$1 work=$2 cache=$3 version=$4
. "$(dirname "$0")/checks.sh"

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: a clean root needs root (debootstrap, chroot); CI runs this as root"
    exit 77
fi
command -v debootstrap >/dev/null ||
    { echo "FAIL: debootstrap is missing (scripts/setup installs it)" >&2; exit 1; }
arch=$(dpkg --print-architecture)
mirror=${QUORVAN_DEBIAN_MIRROR:-http://deb.debian.org/debian}
for p in quorvan-master quorvan-meterd quorvan-cli; do
    [ -f "$debs/${p}_${version}_$arch.deb" ] || { echo "FAIL: no $p package in $debs" >&2; exit 1; }
done

root=$work/root
unmount() {
    local m
    for m in "$root/dev/pts" "$root/dev" "$root/proc"; do
        mountpoint -q "$m" 2>/dev/null && umount -l "$m"
    done
    return 0
}
trap unmount EXIT
unmount
rm -rf --one-file-system "$work"  # never into a bind mount left behind
mkdir -p "$work" "$cache"

started=$SECONDS
base=$cache/bookworm-minbase-$arch.tar
if [ ! -f "$base" ]; then
    debootstrap --variant=minbase --arch="$arch" bookworm "$work/fresh" "$mirror" \
        >"$work/debootstrap.log" 2>&1 ||
        { tail -n 30 "$work/debootstrap.log" >&2; echo "FAIL: debootstrap failed" >&2; exit 1; }
    tar -C "$work/fresh" -cf "$base.part" . && mv "$base.part" "$base"
    rm -rf "$work/fresh"
fi
mkdir "$root"
tar -C "$root" -xf "$base"
echo "clean root ready in $((SECONDS - started)) s"
cat >"$root/etc/apt/sources.list" <<SOURCES
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb ${mirror%/debian}/debian-security bookworm-security main
SOURCES
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"

in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
apt_install() { in_root apt-get install -y -q --no-install-recommends "$@" >>"$work/apt.log" 2>&1; }
installed() { in_root dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" { print $2 }' | sort; }
status_of() { in_root dpkg-query -W -f '${db:Status-Abbrev}' "$1" 2>/dev/null | tr -d ' ' || true; }

mkdir -p "$root/tmp/debs"
cp "$debs"/*_"$arch".deb "$root/tmp/debs/"
in_root apt-get update -q >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; exit 1; }

# 1. The service alone on a minimal system: what it pulls in.
before=$(installed)
apt_install /tmp/debs/quorvan-meterd_"${version}_$arch".deb ||
    { tail -n 30 "$work/apt.log" >&2; echo "FAIL: installing quorvan-meterd failed" >&2; exit 1; }
comm -13 <(echo "$before") <(installed) >"$work/closure-quorvan-meterd.txt"
apt_install /tmp/debs/quorvan-cli_"${version}_$arch".deb ||
    { tail -n 30 "$work/apt.log" >&2; echo "FAIL: installing quorvan-cli failed" >&2; exit 1; }
comm -13 <(echo "$before") <(installed) >"$work/closure-server.txt"
gui='^(lib)?qt[0-9]|^libx11|^libxcb|^libxkb|^libwayland|^libgl1|^libglx|^libegl|^libopengl|^libfontconfig'
bad=$(grep -E "$gui" "$work/closure-server.txt" | tr '\n' ' ' || true)
[ -z "$bad" ] || fail "quorvan-meterd and quorvan-cli pulled GUI libraries: $bad"
echo "quorvan-meterd pulled $(wc -l <"$work/closure-quorvan-meterd.txt") packages into a minimal" \
    "root: $(tr '\n' ' ' <"$work/closure-quorvan-meterd.txt")"
echo "quorvan-cli added $(comm -13 "$work/closure-quorvan-meterd.txt" "$work/closure-server.txt" | wc -l)"

for p in quorvan-meterd quorvan-cli quorvan-meter-sim; do
    shown=$(in_root "/usr/bin/$p" --version 2>&1) || true
    [ "$shown" = "$p $version" ] || fail "/usr/bin/$p --version says '$shown', want '$p $version'"
done
in_root id -nG quorvan-meterd 2>/dev/null | grep -qw dialout ||
    fail "no system user quorvan-meterd in group dialout after installing"
[ "$(in_root systemctl is-enabled quorvan-meterd.service 2>/dev/null)" = disabled ] ||
    fail "quorvan-meterd.service is not installed disabled"

# 2. The panel beside them: every library it needs is there.
apt_install /tmp/debs/quorvan-master_"${version}_$arch".deb ||
    { tail -n 30 "$work/apt.log" >&2; echo "FAIL: installing quorvan-master failed" >&2; exit 1; }
missing=$(in_root ldd /usr/bin/Quorvan-Master | grep 'not found' || true)
[ -z "$missing" ] || fail "Quorvan-Master lacks libraries: $missing"

# 3. The administrator configures and enables the service.
mkdir -p "$root/etc/quorvan-master"
cp "$root/usr/share/doc/quorvan-meterd/meterd.toml.example" "$root/etc/quorvan-master/meterd.toml"
echo "# edited" >>"$root/etc/quorvan-master/meterd.toml"
config_sum=$(sha256sum <"$root/etc/quorvan-master/meterd.toml")
in_root systemctl enable quorvan-meterd.service >>"$work/apt.log" 2>&1 ||
    fail "systemctl enable quorvan-meterd failed"
link=$root/etc/systemd/system/multi-user.target.wants/quorvan-meterd.service
[ -L "$link" ] || fail "enabling made no link in multi-user.target.wants"

# 4. Upgrade to the same packages under a higher version (the maintainer
# scripts run their upgrade paths): configuration and enabled state stay.
next=$version+1
for p in quorvan-master quorvan-meterd quorvan-cli; do
    dpkg-deb -R "$debs/${p}_${version}_$arch.deb" "$work/repack"
    sed -i "s/^Version: .*/Version: $next/" "$work/repack/DEBIAN/control"
    dpkg-deb --root-owner-group -b "$work/repack" "$root/tmp/debs/${p}_${next}_$arch.deb" >/dev/null
    rm -rf "$work/repack"
done
apt_install /tmp/debs/quorvan-{master,meterd,cli}_"${next}_$arch".deb ||
    { tail -n 30 "$work/apt.log" >&2; echo "FAIL: upgrading failed" >&2; exit 1; }
for p in quorvan-master quorvan-meterd quorvan-cli; do
    got=$(in_root dpkg-query -W -f '${Version}' "$p")
    [ "$got" = "$next" ] || fail "$p is at $got after the upgrade, want $next"
done
[ "$(sha256sum <"$root/etc/quorvan-master/meterd.toml")" = "$config_sum" ] ||
    fail "the upgrade changed /etc/quorvan-master/meterd.toml"
[ "$(in_root systemctl is-enabled quorvan-meterd.service 2>/dev/null)" = enabled ] ||
    fail "quorvan-meterd.service is no longer enabled after the upgrade"
in_root id -nG quorvan-meterd 2>/dev/null | grep -qw dialout ||
    fail "the system user lost group dialout in the upgrade"

# 5. Remove: programs go, configuration stays.
in_root dpkg -r quorvan-master quorvan-meterd quorvan-cli >>"$work/apt.log" 2>&1 ||
    fail "dpkg -r failed"
for p in Quorvan-Master quorvan-meterd quorvan-cli quorvan-meter-sim; do
    [ ! -e "$root/usr/bin/$p" ] || fail "/usr/bin/$p is still there after dpkg -r"
done
[ ! -e "$root/lib/systemd/system/quorvan-meterd.service" ] || fail "the unit is still there after dpkg -r"
[ -f "$root/etc/quorvan-master/meterd.toml" ] || fail "dpkg -r removed the configuration"
[ "$(status_of quorvan-meterd)" = rc ] ||
    fail "quorvan-meterd is '$(status_of quorvan-meterd)' after dpkg -r, want rc (config files kept)"

# 6. Purge: the configuration, the enable links and deb-systemd-helper's
# state go; the system user stays (files may still belong to it).
in_root dpkg -P quorvan-master quorvan-meterd quorvan-cli >>"$work/apt.log" 2>&1 ||
    fail "dpkg -P failed"
leftover=$(cd "$root" && find etc/systemd var/lib/systemd etc/quorvan-master -name '*quorvan*' 2>/dev/null || true)
[ -z "$leftover" ] || fail "left after dpkg -P: $leftover"
[ ! -e "$root/etc/quorvan-master" ] || fail "/etc/quorvan-master is still there after dpkg -P"
for p in quorvan-master quorvan-meterd quorvan-cli; do
    [ -z "$(status_of "$p")" ] || [ "$(status_of "$p")" = un ] ||
        fail "$p is '$(status_of "$p")' after dpkg -P"
done

echo "clean-root run took $((SECONDS - started)) s"
[ "$failures" -eq 0 ] || { echo "$failures faults in the clean root (left in $root)" >&2; exit 1; }
unmount
rm -rf --one-file-system "$root"
echo "ok: installed, upgraded, removed and purged in a clean Debian 12 root"
