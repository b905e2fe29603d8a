#!/usr/bin/env bash
# Installs the build tree into a DESTDIR with prefix /usr, as a distribution
# package build does, and checks what lands there.
# Usage: install-tree.sh BUILD WORK VERSION WITH_CONSOLE DESKTOP_ID WITH_SERVICE
set -euo pipefail
build=$1 work=$2 version=$3 console=$4 id=$5 service=${6:-OFF}
. "$(dirname "$0")/checks.sh"

rm -rf "$work"
mkdir -p "$work"
DESTDIR=$work/root cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 || {
    cat "$work/install.log" >&2
    echo "FAIL: cmake --install failed" >&2
    exit 1
}
check_tree "$work/root" "$version" "$console" "$id" "$service"

[ "$failures" -eq 0 ] || { echo "$failures install faults" >&2; exit 1; }
echo "ok: install tree under DESTDIR"
