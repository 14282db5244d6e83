#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and runs the freedesktop
# and AppStream validators on what a distribution would ship.
# Usage: validate_metadata.sh CMAKE BUILD_DIR SCRATCH_DIR
# Exits 77 (skipped) when a validator is not installed.
set -euo pipefail
cmake_cmd=$1 build=$2 scratch=$3
app_id=com.tarnwick.pictavo

for tool in desktop-file-validate appstreamcli; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed (packages desktop-file-utils, appstream)"
        exit 77
    fi
done

rm -rf "$scratch"
"$cmake_cmd" --install "$build" --prefix "$scratch/usr" >/dev/null
share="$scratch/usr/share"

fail=0
check() { # description, command...
    local what=$1; shift
    if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; fail=1; fi
}

check "desktop-file-validate" desktop-file-validate "$share/applications/$app_id.desktop"
check "appstreamcli validate" appstreamcli validate --no-net "$share/metainfo/$app_id.metainfo.xml"
# The tree check also ties the metainfo to its desktop entry and icon.
check "appstreamcli validate-tree" appstreamcli validate-tree --no-net "$scratch"
check "bin/pictavo" test -x "$scratch/usr/bin/pictavo"
for size in 16 24 32 48 64 128 256 512; do
    check "icon ${size}x${size}" test -s "$share/icons/hicolor/${size}x${size}/apps/pictavo.png"
done
check "scalable icon" test -s "$share/icons/hicolor/scalable/apps/pictavo.svg"
check "manual page" test -s "$share/man/man1/pictavo.1.gz"
check "copyright" test -s "$share/doc/pictavo/copyright"
# A desktop entry that names a missing icon or program shows a blank
# launcher, which neither validator notices.
check "desktop Icon= names the installed icon" grep -qx 'Icon=pictavo' "$share/applications/$app_id.desktop"
check "desktop Exec= names the installed program" grep -qx 'Exec=pictavo %F' "$share/applications/$app_id.desktop"
# A file manager offers the program for the types of the desktop entry,
# software centres for those of the metainfo: the same list in both.
desktop_types=$(sed -n 's/^MimeType=//p' "$share/applications/$app_id.desktop" | tr ';' '\n' | sed '/^$/d' | sort)
metainfo_types=$(sed -n 's|.*<mediatype>\(.*\)</mediatype>.*|\1|p' "$share/metainfo/$app_id.metainfo.xml" | sort)
check "desktop MimeType= lists the metainfo's media types" test -n "$desktop_types" -a "$desktop_types" = "$metainfo_types"

rm -rf "$scratch"
exit $fail
