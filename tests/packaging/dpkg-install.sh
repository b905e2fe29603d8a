#!/usr/bin/env bash
# Installs the .deb built by deb-package.sh with dpkg, runs the programs from
# /usr/bin and removes the package again. It changes the system, so it runs
# only as root and only when asked: in CI (CI set) or with QUORVAN_DPKG_TEST.
# Exit status 77 means skipped.
# Usage: dpkg-install.sh DEB_WORK VERSION WITH_SERVICE
set -euo pipefail
work=$1 version=$2 service=${3:-OFF}

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: installing a package needs root"
    exit 77
fi
if [ -z "${CI:-}" ] && [ -z "${QUORVAN_DPKG_TEST:-}" ]; then
    echo "skipped: installs into /usr; set QUORVAN_DPKG_TEST=1 to run it outside CI"
    exit 77
fi
if dpkg-query -W -f='${Status}' quorvan-master 2>/dev/null | grep -q 'install ok installed'; then
    echo "skipped: quorvan-master is already installed here; not touching it"
    exit 77
fi
deb=$work/quorvan-master_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { echo "FAIL: no package at $deb" >&2; exit 1; }

trap 'dpkg -r quorvan-master >/dev/null 2>&1 || true' EXIT
# Without network, missing dependencies cannot be fetched: dpkg must find
# them already installed (the build needs the same libraries).
dpkg -i "$deb"

status=0
programs=(quorvan-cli quorvan-meter-sim)
[ "$service" = ON ] && programs+=(quorvan-meterd)
if [ "$service" = ON ] && ! id -nG quorvan-meterd 2>/dev/null | grep -qw dialout; then
    echo "FAIL: the package made no system user quorvan-meterd in group dialout" >&2
    status=1
fi
for p in "${programs[@]}"; do
    shown=$("/usr/bin/$p" --version 2>&1) || true
    if [ "$shown" != "$p $version" ]; then
        echo "FAIL: /usr/bin/$p --version says '$shown', want '$p $version'" >&2
        status=1
    fi
done
dpkg -r quorvan-master
trap - EXIT
for p in quorvan-cli quorvan-meter-sim Quorvan-Master quorvan-meterd; do
    if [ -e "/usr/bin/$p" ]; then
        echo "FAIL: /usr/bin/$p is still there after dpkg -r" >&2
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "ok: installed, ran and removed $(basename "$deb")"
exit "$status"
