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
exec "$build/src/pictavo" "$@"
