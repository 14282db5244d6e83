#!/usr/bin/env bash
# Takes the screenshots in docs/screenshots/ from the real program: a
# Release build runs on a virtual X display with fresh settings, opens a few
# generated images, converts them, and shows the About dialog folded and
# unfolded. xdotool types and clicks as a person would.
# Usage: scripts/screenshots.sh [output dir]   (default docs/screenshots)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/deps.sh"
pictavo_install_packages xvfb xdotool imagemagick fonts-dejavu-core qt6-qpa-plugins

out="$(mkdir -p "${1:-$root/docs/screenshots}" && cd "${1:-$root/docs/screenshots}" && pwd)"
build="$root/build-pkg"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target pictavo

# The folder shows up in the save-directory field, so it gets a tidy name.
demo="${TMPDIR:-/tmp}/pictavo-demo"
rm -rf "$demo"
pictures="$demo/Pictures"
mkdir -p "$pictures" "$demo/.config/Tarnwick" "$demo/runtime"
chmod 700 "$demo/runtime"

# /usr/bin/convert is ImageMagick itself, whatever else is on the PATH.
magick=/usr/bin/convert
[ -x "$magick" ] || magick=convert
# Fixed seeds: the same pictures, so the same screenshots, on every run.
"$magick" -size 640x480 -seed 11 plasma:orange-purple "$pictures/sunset.jpg"
"$magick" -size 640x480 -seed 23 plasma:dodgerblue-lightcyan "$pictures/lagoon.png"
"$magick" -size 480x640 -seed 37 plasma:forestgreen-yellow "$pictures/meadow.jpg"
"$magick" -size 640x480 radial-gradient:gold-navy "$pictures/moonrise.png"
"$magick" -size 640x400 gradient:'#ff5e62'-'#2b5876' "$pictures/dusk.bmp"
"$magick" -size 640x480 -seed 5 plasma:fractal "$pictures/coral.tiff"
files=(sunset.jpg lagoon.png meadow.jpg moonrise.png dusk.bmp coral.tiff)

# Fresh settings with a roomy window, the rest left at its defaults.
cat >"$demo/.config/Tarnwick/Pictavo.conf" <<CONF
[mainwindow]
size=@Size(900 700)
pos=@Point(0 0)
lastopendir=$pictures
CONF
# The finished conversion opens its folder through xdg-open; on this bare
# display there is nothing to show it in, so a stand-in swallows the call.
mkdir -p "$demo/bin"
printf '#!/bin/sh\nexit 0\n' >"$demo/bin/xdg-open"
chmod +x "$demo/bin/xdg-open"

xvfb_pid="" app_pid=""
cleanup() {
    if [ -n "$app_pid" ]; then kill "$app_pid" 2>/dev/null || true; fi
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
    wait 2>/dev/null || true
    rm -rf "$demo"
}
trap cleanup EXIT

# Xvfb picks a free display itself and writes its number to fd 5.
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp 5>"$demo/display" 2>"$demo/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 50); do [ -s "$demo/display" ] && break; sleep 0.1; done
[ -s "$demo/display" ] || { echo "Xvfb did not start:" >&2; cat "$demo/xvfb.log" >&2; exit 1; }
display_number=$(head -n1 "$demo/display")
export DISPLAY=":$display_number"

env -u XDG_CONFIG_HOME HOME="$demo" XDG_RUNTIME_DIR="$demo/runtime" QT_QPA_PLATFORM=xcb \
    PATH="$demo/bin:$PATH" LANG=C.UTF-8 "$build/src/pictavo" >"$demo/pictavo.log" 2>&1 &
app_pid=$!

window_of() { # title regex -> id of its visible window, waiting for it
    local id=""
    for _ in $(seq 100); do
        id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | tail -n1 || true)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    echo "no window titled '$1' appeared" >&2
    cat "$demo/pictavo.log" >&2
    return 1
}
shot() { # window id, file
    sleep 0.5
    import -window "$1" "$out/$2"
    echo "$out/$2"
}

main=$(window_of '^Pictavo$')
# With no window manager to hand out focus, the keys need it given.
xdotool windowfocus --sync "$main"
sleep 1
# Give the image lists most of the height: drag the splitter between them
# and the settings tabs down.
xdotool mousemove --window "$main" 450 416 mousedown 1 \
    mousemove --window "$main" 450 540 mouseup 1
sleep 0.5

# Open Images: the dialog starts in the pictures folder; quoted names pick
# several files at once.
xdotool key ctrl+o
dialog=$(window_of '^Open images$')
xdotool windowfocus --sync "$dialog"
names=$(printf '"%s" ' "${files[@]}")
xdotool type --delay 5 "$names"
xdotool key Return
sleep 3

# Format Convert keeps each suffix ("Original") and writes into the proposed
# ConvertedImages folder.
xdotool windowfocus --sync "$main"
xdotool key ctrl+c ctrl+f
converted() { find "$pictures/ConvertedImages" -type f 2>/dev/null | wc -l; }
for _ in $(seq 100); do
    [ "$(converted)" -ge ${#files[@]} ] && break
    sleep 0.2
done
[ "$(converted)" -ge ${#files[@]} ] \
    || { echo "the conversion did not finish" >&2; cat "$demo/pictavo.log" >&2; exit 1; }
sleep 2
shot "$main" main-window.png

xdotool key ctrl+k
about=$(window_of '^About$')
xdotool windowfocus --sync "$about"
shot "$about" about.png
# The License button sits at 314,186 (91x21) in the dialog.
xdotool mousemove --window "$about" 359 196 click 1
sleep 1
shot "$about" about-license.png

xdotool key Escape
sleep 0.5
xdotool windowfocus --sync "$main" key ctrl+q 2>/dev/null || true
for _ in $(seq 30); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
