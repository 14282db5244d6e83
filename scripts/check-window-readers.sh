#!/usr/bin/env bash
# Fails when a unit the window runs on files others wrote (the folder
# search's format test, the shared thumbnail cache) links an image reader:
# those files are parsed by a helper alone. Takes the layers' object
# files (CTest passes the objects of sources/ and thumbnail/) and looks at the
# symbols each of these units uses.
set -euo pipefail
units=(sources/sourceformat.cpp sources/folderscanner.cpp thumbnail/thumbnailcache.cpp)
readers='QImageReader|QImageIOHandler|QImageIOPlugin|PngTextGuard|QImage::load|QImage::fromData|QPixmap::load'

bad=0
for unit in "${units[@]}"; do
    object=""
    for candidate in "$@"; do
        case "$candidate" in
        */"$unit".o | */"$unit".obj) object="$candidate" ;;
        esac
    done
    if [ -z "$object" ] || [ ! -f "$object" ]; then
        echo "no object file for $unit" >&2
        bad=1
        continue
    fi
    if used="$(nm -C --undefined-only "$object" | grep -E "$readers")"; then
        echo "$unit uses an image reader in the window:" >&2
        echo "$used" >&2
        bad=1
    fi
done
exit "$bad"
