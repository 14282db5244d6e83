#!/usr/bin/env bash
# Builds the benchmark corpus: JPEG photographs of 2 megapixels or more,
# taken from a few Debian wallpaper packages (about 80 MB to download), in
#   ${PICTAVO_CORPUS:-~/.cache/pictavo-corpus}/photos/
# When the packages cannot be had, it makes stand-in photos instead: with
# bench_makecorpus (from a PICTAVO_BENCH build; path in PICTAVO_MAKECORPUS, or
# found in build-bench/) or else with ImageMagick.
# The corpus is never committed. Prints the corpus folder on stdout, the
# rest on stderr; a second run reuses what the first made.
#
#   scripts/fetch-corpus.sh [--generated] [--refresh]
#     --generated  make the stand-in photos even when packages are reachable
#     --refresh    start again from nothing
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${PICTAVO_CORPUS:-$HOME/.cache/pictavo-corpus}"
photos="$cache/photos"
min_pixels=2000000
# Packages with JPEG photographs: 22 of their 25 JPEGs have 2 MP or more
# (up to 24 MP, five progressive), 57 MiB in all. Most other wallpaper packages ship
# SVG, PNG or WebP.
packages=(mate-backgrounds ukui-wallpapers lomiri-wallpapers-20.04)

generated=0
for arg in "$@"; do
    case "$arg" in
        --generated) generated=1 ;;
        --refresh) rm -rf "$cache" ;;
        *) echo "usage: $0 [--generated] [--refresh]" >&2; exit 2 ;;
    esac
done

say() { echo "fetch-corpus: $*" >&2; }

count_photos() {
    find "$photos" -maxdepth 1 -type f \( -iname '*.jpg' -o -iname '*.jpeg' \) 2>/dev/null | wc -l
}

if [ -f "$cache/.complete" ] && [ "$(count_photos)" -gt 0 ]; then
    say "reusing $(count_photos) photos ($(cat "$cache/.complete"))"
    echo "$cache"
    exit 0
fi
rm -rf "$photos"
mkdir -p "$photos"

# Width times height of a JPEG, from its header; 0 when unknown.
jpeg_pixels() {
    local desc
    # Photoshop's EXIF blocks exceed file's default recursion limit.
    desc="$(file -b -P name=1000 "$1" 2>/dev/null || file -b "$1" 2>/dev/null || true)"
    if [[ "$desc" =~ precision\ [0-9]+,\ ([0-9]+)x([0-9]+) ]]; then
        echo $((BASH_REMATCH[1] * BASH_REMATCH[2]))
    else
        echo 0
    fi
}

fetch_packages() {
    local work="$cache/download"
    rm -rf "$work"
    mkdir -p "$work/debs" "$work/tree"
    # apt drops privileges to _apt for downloads; let it write here.
    chmod 777 "$work/debs" 2>/dev/null || true
    if ! apt-cache show "${packages[0]}" >/dev/null 2>&1; then
        if [ "$(id -u)" -eq 0 ]; then
            say "no package lists; running apt-get update"
            apt-get update -qq >&2 || return 1
        else
            return 1
        fi
    fi
    (cd "$work/debs" && apt-get download -q "${packages[@]}" >&2) || return 1
    local deb
    for deb in "$work/debs"/*.deb; do
        dpkg-deb -x "$deb" "$work/tree/$(basename "$deb" .deb)"
    done
    local have_file=1
    command -v file >/dev/null 2>&1 || have_file=0
    [ "$have_file" -eq 1 ] || say "'file' not found: keeping every JPEG whatever its size"
    local jpg name pkg px
    while IFS= read -r -d '' jpg; do
        if [ "$have_file" -eq 1 ]; then
            px="$(jpeg_pixels "$jpg")"
            [ "$px" -ge "$min_pixels" ] || continue
        fi
        name="$(basename "$jpg")"
        # The same name in two packages: keep both.
        if [ -e "$photos/$name" ]; then
            pkg="${jpg#"$work/tree/"}"
            name="${pkg%%_*}-$name"
        fi
        cp "$jpg" "$photos/$name"
    done < <(find "$work/tree" -type f \( -iname '*.jpg' -o -iname '*.jpeg' \) -print0 | sort -z)
    rm -rf "$work"
    [ "$(count_photos)" -gt 0 ]
}

find_makecorpus() {
    local candidate
    for candidate in "${PICTAVO_MAKECORPUS:-}" "$root/build-bench/bench/bench_makecorpus"; do
        if [ -n "$candidate" ] && [ -x "$candidate" ]; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

# Debian's ImageMagick; a 'convert' earlier on PATH may be something else.
find_imagemagick() {
    local candidate
    for candidate in convert-im6.q16 magick convert; do
        if command -v "$candidate" >/dev/null 2>&1 \
                && "$candidate" -version 2>/dev/null | grep -q ImageMagick; then
            command -v "$candidate"
            return 0
        fi
    done
    return 1
}

generate_photos() {
    local tool
    if tool="$(find_makecorpus)"; then
        say "making stand-in photos with $tool"
        "$tool" "$photos" 24 >&2
        return
    fi
    if tool="$(find_imagemagick)"; then
        say "making stand-in photos with ImageMagick ($tool)"
        local i size
        local sizes=(1920x1080 2560x1600 3264x2448 2448x3264 4000x3000 3840x2160
            4608x3456 6000x4000 5472x3648 3000x4000 2048x1536 4032x3024)
        for i in $(seq 1 24); do
            size="${sizes[$(((i - 1) % ${#sizes[@]}))]}"
            # Soft colour fields with a little grain, like a photograph.
            "$tool" -size "$size" -seed "$i" plasma:fractal -blur 0x4 \
                -attenuate 0.15 +noise Gaussian -quality 90 \
                "$photos/$(printf 'generated-%03d.jpg' "$i")"
        done
        return
    fi
    say "cannot make stand-in photos: build bench_makecorpus (PICTAVO_BENCH=ON) or install imagemagick"
    return 1
}

source_note=""
if [ "$generated" -eq 0 ] && fetch_packages; then
    source_note="Debian packages: ${packages[*]}"
else
    [ "$generated" -eq 1 ] || say "packages not reachable; falling back to generated images"
    rm -rf "$photos" && mkdir -p "$photos"
    generate_photos
    source_note="generated"
fi

n="$(count_photos)"
bytes="$(du -sb "$photos" | cut -f1)"
echo "$source_note" > "$cache/.complete"
say "$n photos, $((bytes / 1048576)) MiB, from $source_note"
echo "$cache"
