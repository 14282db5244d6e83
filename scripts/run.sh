#!/usr/bin/env bash
# Builds a Release build of Pictavo and the pictavo-helper it reads files
# with (installing what is missing) and starts it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/deps.sh"
pictavo_install_packages

build="$root/build-release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target pictavo
# The window needs a display; --help and --version do not.
asks=0
for a in "$@"; do
    case "$a" in --) break ;; -h|--help|-\?|--help-all|-v|--version) asks=1 ;; esac
done
if [ "$asks" -eq 0 ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] \
    && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "Built $build/src/pictavo, but there is no display to show its window on" >&2
    echo "(neither DISPLAY nor WAYLAND_DISPLAY is set). Start it from a desktop session," >&2
    echo "or with QT_QPA_PLATFORM=offscreen to run it without showing anything." >&2
    exit 1
fi
exec "$build/src/pictavo" "$@"
