#!/usr/bin/env bash
# Makes Kestrel.msi from Kestrel.wxs with msitools' wixl, then sets in the package's tables what wixl
# cannot express:
# - the rollback action UnregisterServiceOnRollback: wixl ignores Execute="rollback" and would make it an
#   immediate action; its type becomes 18 (program from an installed file) + 64 (result ignored) + 256
#   (rollback) + 1024 (in the script) + 2048 (as the system) = 3410;
# - the same version counts as an upgrade (the IncludeMaximum bit, 512, of the Upgrade row that finds
#   installed packages), so that a rebuilt package of an unchanged version replaces the installed one
#   instead of being installed beside it as a second product.
# Usage: make_msi.sh <version x.y.z> <KestrelService.exe> <Kestrel.exe> <output.msi>
set -euo pipefail
version=$1
service=$2
panel=$3
out=$4
here=$(cd "$(dirname "$0")" && pwd)

[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || {
    echo "make_msi.sh: the version must be x.y.z, not '$version'" >&2
    exit 2
}
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
tmp="$out.tmp"
rm -f "$tmp"
# wixl takes source files by relative path only: the programs are staged under their shipped names.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$service" "$stage/KestrelService.exe"
cp "$panel" "$stage/Kestrel.exe"
(cd "$stage" && wixl -a x64 -D "Version=$version" -D ServiceExe=KestrelService.exe -D PanelExe=Kestrel.exe \
    -o "$tmp" "$here/Kestrel.wxs")
msibuild "$tmp" -q "UPDATE \`CustomAction\` SET \`Type\` = 3410 WHERE \`Action\` = 'UnregisterServiceOnRollback'"
# The Upgrade row of WIX_UPGRADE_DETECTED (versions up to this one) gets IncludeMaximum (512) beside
# wixl's MigrateFeatures (1). The attributes are part of the table's key, so the row is replaced rather
# than updated.
code=$(msiinfo export "$tmp" Property | tr -d '\r' | sed -n 's/^UpgradeCode\t//p')
msibuild "$tmp" -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'"
msibuild "$tmp" -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`)
                    VALUES ('$code', '$version', 513, 'WIX_UPGRADE_DETECTED')"
# A package without the changes would install, but not roll back or upgrade as described.
tables=$( (msiinfo export "$tmp" CustomAction; msiinfo export "$tmp" Upgrade) | tr -d '\r')
[ "$(grep -c '_DETECTED$' <<<"$tables")" = 2 ] || {
    echo "make_msi.sh: the Upgrade table has rows left over" >&2
    exit 1
}
grep -qP '^UnregisterServiceOnRollback\t3410\tKestrelService.exe\t-u\t$' <<<"$tables" || {
    echo "make_msi.sh: the rollback action was not made one" >&2
    exit 1
}
grep -qP "^\\Q$code\\E\\t\\t\\Q$version\\E\\t\\t513\\t\\tWIX_UPGRADE_DETECTED\$" <<<"$tables" || {
    echo "make_msi.sh: the upgrade row was not changed" >&2
    exit 1
}
mv "$tmp" "$out"
