#!/usr/bin/env bash
# Builds the Debian package from the build tree and looks inside it.
# Usage: check_deb.sh CPACK BUILD_DIR SCRATCH_DIR
# Runs only with PICTAVO_TEST_PACKAGE=1: packaging strips and scans the
# whole program, too slow for every test run. Exits 77 (skipped) otherwise.
set -euo pipefail
cpack_cmd=$1 build=$2 scratch=$3
app_id=com.tarnwick.pictavo

if [ "${PICTAVO_TEST_PACKAGE:-0}" != 1 ]; then
    echo "SKIP: set PICTAVO_TEST_PACKAGE=1 to build and check the .deb"
    exit 77
fi
for tool in dpkg-deb dpkg-shlibdeps file; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed (packages dpkg-dev, file)"
        exit 77
    fi
done

rm -rf "$scratch"
mkdir -p "$scratch/out" "$scratch/root"
"$cpack_cmd" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 \
    || { cat "$scratch/cpack.log"; exit 1; }
debs=("$scratch"/out/pictavo_*.deb)
deb=${debs[0]}
[ -f "$deb" ] || { echo "FAIL: no pictavo_*.deb made"; cat "$scratch/cpack.log"; exit 1; }
echo "package: $(basename "$deb")"
dpkg-deb -x "$deb" "$scratch/root"
root="$scratch/root"

fail=0
check() { # description, command...
    local what=$1; shift
    if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; fail=1; fi
}

check "usr/bin/pictavo is executable" test -x "$root/usr/bin/pictavo"
check "usr/bin/pictavo-helper is executable" test -x "$root/usr/bin/pictavo-helper"
check "desktop entry" test -s "$root/usr/share/applications/$app_id.desktop"
check "AppStream metainfo" test -s "$root/usr/share/metainfo/$app_id.metainfo.xml"
for size in 16 24 32 48 64 128 256 512; do
    check "icon ${size}x${size}" test -s "$root/usr/share/icons/hicolor/${size}x${size}/apps/pictavo.png"
done
check "scalable icon" test -s "$root/usr/share/icons/hicolor/scalable/apps/pictavo.svg"
check "manual page" test -s "$root/usr/share/man/man1/pictavo.1.gz"
check "copyright" test -s "$root/usr/share/doc/pictavo/copyright"
check "nothing outside /usr" test "$(ls "$root")" = usr

field() { dpkg-deb -f "$deb" "$1"; }
depends=$(field Depends)
echo "Depends: $depends"
check "Package is pictavo" test "$(field Package)" = pictavo
check "Version is 0.1" test "$(field Version)" = 0.1
check "Section is graphics" test "$(field Section)" = graphics
check "Depends names libqt6widgets6" grep -q 'libqt6widgets6' <<<"$depends"
check "Depends names qt6-image-formats-plugins" grep -q 'qt6-image-formats-plugins' <<<"$depends"
check "Depends names qt6-qpa-plugins" grep -q 'qt6-qpa-plugins' <<<"$depends"

rm -rf "$scratch"
exit $fail
