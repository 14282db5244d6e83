#!/usr/bin/env bash
# Fails when a file in src/ includes a header from a folder above its own.
# The folders, lowest first; a folder may include its own headers and those
# of the folders before it, never those after it:
#   base        limits, orientation, temporary names, outcome types
#   fs          opening sources, atomic writes, naming results
#   cms         colour conversion (Little CMS)
#   metadata    EXIF/XMP/IPTC through exiv2, JPEG heads
#   decode      reading pixels: Qt's readers and the format decoders
#   encode      writing pixels: the writers, the output formats
#   isolation   helper processes that read users' files, their sandbox
#   thumbnail   thumbnails and their shared cache
#   sources     what a file or folder holds: format sniffing, folder scans
#   conversion  settings, one conversion, the batch runner, memory budget
#   ui          the window, dialogs, lists and their forms
# main.cpp and helpermain.cpp (the helper program) sit above them all.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
layers=(base fs cms metadata decode encode isolation thumbnail sources conversion ui)

rank() {
    local i
    for i in "${!layers[@]}"; do
        [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }
    done
    echo -1
}

bad=0
for dir in "${layers[@]}"; do
    own=$(rank "$dir")
    [ -d "$root/src/$dir" ] || { echo "check-layers: src/$dir is missing"; bad=1; continue; }
    while IFS= read -r line; do
        file=${line%%:*}
        inc=$(sed -n 's/.*#include "\([^"]*\)".*/\1/p' <<<"${line#*:}")
        case "$inc" in
            ui_*.h) continue ;; # forms generated beside the build
        esac
        target=${inc%%/*}
        if [ "$target" = "$inc" ]; then
            echo "check-layers: ${file#$root/} includes \"$inc\" without its folder"
            bad=1
            continue
        fi
        their=$(rank "$target")
        if [ "$their" -lt 0 ]; then
            echo "check-layers: ${file#$root/} includes \"$inc\" from no known folder"
            bad=1
        elif [ "$their" -gt "$own" ]; then
            echo "check-layers: ${file#$root/} ($dir) includes \"$inc\" ($target is above it)"
            bad=1
        fi
    done < <(grep -rH '^[[:space:]]*#[[:space:]]*include "' "$root/src/$dir" || true)
done
# Every source file lives in a layer's folder, so none escapes the check.
stray=$(find "$root/src" -maxdepth 1 -name '*.cpp' -o -maxdepth 1 -name '*.h' | grep -v '/main\.cpp$' | grep -v '/helpermain\.cpp$' || true)
if [ -n "$stray" ]; then
    echo "check-layers: files outside the layer folders: $stray"
    bad=1
fi
[ "$bad" -eq 0 ] && echo "check-layers: ${#layers[@]} layers, no include looks up"
exit "$bad"
