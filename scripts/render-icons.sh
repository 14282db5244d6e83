#!/usr/bin/env bash
# Re-render Pictavo's bitmap icons from the hand-drawn SVG sources.
#
#   resources/svg/<name>.svg  ->  resources/<name>.png      (8-bit RGBA, fixed sizes)
#                             ->  resources/<name>@2x.png   (twice the size, for the toolbar
#                                                           and tab icons on 2x screens)
#   resources/svg/Pictavo_icon.svg -> resources/pictavo.ico  (16/32/48 at 4, 8, 32 bpp; 64 at 32 bpp; 256 as PNG)
#                                  -> resources/icons/hicolor/<N>x<N>/apps/pictavo.png
#                                  -> resources/icons/hicolor/scalable/apps/pictavo.svg
#   resources/svg/Pictavo_icon_16.svg: simplified, pixel-aligned drawing used instead of
#                                  Pictavo_icon.svg for every 16 x 16 px image (the hicolor
#                                  16x16 icon and the three 16 px images in pictavo.ico).
#
# Needs rsvg-convert (librsvg2-bin), convert (imagemagick) and icotool (icoutils).
# Can be run from any directory.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
RES="$ROOT/resources"
SVG="$RES/svg"

for tool in rsvg-convert convert icotool; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "render-icons.sh: '$tool' not found (install librsvg2-bin, imagemagick, icoutils)" >&2
        exit 1
    fi
done

TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT

# Write PNG files as 8-bit RGBA without time stamps, so re-runs give identical files.
png_opts=(-strip -define png:exclude-chunks=date,time,gAMA,cHRM,bKGD)

# render <svg name> <width> <height> <output png>
render() {
    local src="$SVG/$1.svg" w="$2" h="$3" out="$4"
    local raw="$TMP/raw-$1-${w}x$h.png"
    rsvg-convert -w "$w" -h "$h" "$src" -o "$raw"
    mkdir -p "$(dirname "$out")"
    convert "$raw" "${png_opts[@]}" -depth 8 "PNG32:$out"
}

# app_svg <size>: the application icon drawing to render at that size. The full
# drawing turns to mush at 16 px, so that size has its own pixel-aligned version.
app_svg() {
    if [ "$1" -eq 16 ]; then echo Pictavo_icon_16; else echo Pictavo_icon; fi
}

# name width height
while read -r name w h; do
    [ -n "$name" ] || continue
    render "$name" "$w" "$h" "$RES/$name.png"
    echo "  $name.png ${w}x$h"
done <<'LIST'
Pictavo_icon     64  64
Folder           64  64
option           16  16
resize           16  16
format           16  16
image_add_48     48  48
image_delete_48  48  48
convert          48  48
about            48  48
quit             48  48
Pictavo_about   400 150
Home            128 128
LIST

# Twice the pixels for the toolbar and tab icons: QIcon picks the @2x file
# beside the named one on screens scaled by 2 or more.
while read -r name n; do
    [ -n "$name" ] || continue
    render "$name" "$((2 * n))" "$((2 * n))" "$RES/$name@2x.png"
    echo "  $name@2x.png $((2 * n))x$((2 * n))"
done <<'LIST'
option           16
resize           16
format           16
image_add_48     48
image_delete_48  48
convert          48
about            48
quit             48
LIST

# Freedesktop hicolor theme icons for a desktop install.
for n in 16 24 32 48 64 128 256 512; do
    render "$(app_svg "$n")" "$n" "$n" "$RES/icons/hicolor/${n}x$n/apps/pictavo.png"
done
mkdir -p "$RES/icons/hicolor/scalable/apps"
cp "$SVG/Pictavo_icon.svg" "$RES/icons/hicolor/scalable/apps/pictavo.svg"
echo "  icons/hicolor/{16..512}/apps/pictavo.png, scalable/apps/pictavo.svg"

# Windows icon. Palette images get a hard (1-bit) alpha edge, as 4/8 bpp icons only
# have an AND mask, then are reduced (without dithering) to 16 / 256 colours.
ico_args=()
for n in 16 32 48; do
    full="$TMP/app-$n-32.png"
    render "$(app_svg "$n")" "$n" "$n" "$full"
    hard="$TMP/app-$n-hard.png"
    convert "$full" -channel A -threshold 50% +channel "$hard"
    convert "$hard" -dither None -colors 255 "${png_opts[@]}" "PNG8:$TMP/app-$n-8.png"
    convert "$hard" -dither None -colors 15 "${png_opts[@]}" "PNG8:$TMP/app-$n-4.png"
    ico_args+=(-b 32 "$full" -b 8 "$TMP/app-$n-8.png" -b 4 "$TMP/app-$n-4.png")
done
render Pictavo_icon 64 64 "$TMP/app-64-32.png"
ico_args+=(-b 32 "$TMP/app-64-32.png")
# Explorer's large views and the taskbar at high DPI ask for 256 px; Windows
# reads that size stored as PNG, which keeps the file small.
render Pictavo_icon 256 256 "$TMP/app-256.png"
ico_args+=(-r "$TMP/app-256.png")
icotool -c -o "$RES/pictavo.ico" "${ico_args[@]}"
echo "  pictavo.ico"
