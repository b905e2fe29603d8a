#!/usr/bin/env bash
# lintian --pedantic on the packages deb-packages.sh made: no error and no
# warning; every informational or pedantic tag that stays must be named,
# with its reason, in docs/PACKAGING.md.
# Usage: lintian.sh SOURCE WORK
set -euo pipefail
source=$1 work=$2
changes=$(ls "$work"/*.changes 2>/dev/null | head -1)
[ -n "$changes" ] || { echo "FAIL: no .changes in $work (did packaging.debs run?)" >&2; exit 1; }

# --no-cfg: the machine's own lintian profile must not change the verdict.
report=$(lintian --no-cfg --pedantic --display-info --display-experimental \
    --tag-display-limit 0 "$changes" 2>&1) || true
echo "$report"
status=0
if grep -E '^[EW]: ' <<<"$report"; then
    echo "FAIL: lintian reports errors or warnings (above)" >&2
    status=1
fi
for tag in $(sed -n 's/^[IPX]: [^ ]*: \([a-z0-9.+-]*\).*/\1/p' <<<"$report" | sort -u); do
    grep -q -- "\`$tag\`" "$source/docs/PACKAGING.md" ||
        { echo "FAIL: lintian tag $tag is not explained in docs/PACKAGING.md" >&2; status=1; }
done
[ "$status" -eq 0 ] && echo "ok: lintian --pedantic, no error or warning"
exit "$status"
