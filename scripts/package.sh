#!/usr/bin/env bash
# Builds the Debian package of Pictavo from a Release build in build-pkg,
# installing what is missing first, and prints the path of the .deb.
# Safe to run again: the build is incremental and the package is remade.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/deps.sh"
# dpkg-shlibdeps (dpkg-dev) and file work out the library dependencies.
pictavo_install_packages dpkg-dev file

build="$root/build-pkg"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target pictavo
rm -f "$build"/pictavo_*.deb
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log" >&2; exit 1; }
debs=("$build"/pictavo_*.deb)
[ -f "${debs[0]}" ] || { echo "no package was made" >&2; exit 1; }
echo "${debs[0]}"
