#!/usr/bin/env bash
# Builds the benchmarks and pictavo-helper (Release, in build-bench/),
# fetches the photo corpus and runs every benchmark, each through the helper
# as the installed program reads photos (a run that would read them in its
# own process says so and reports nothing). The results come out on stdout as markdown,
# ready to paste into docs/performance.md, and are kept in build-bench/results.md;
# progress goes to stderr. About 10 minutes on a 2-core machine.
#
#   bench/run.sh [--quick]
#     --quick  one round each and a 20 vs 60 photo memory check (about 3 minutes)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-bench"

thumb_rounds=3 batch_rounds=3 memory_rounds=2 memory_large=200 scale_counts="300 3000"
if [ "${1:-}" = "--quick" ]; then
    thumb_rounds=1 batch_rounds=1 memory_rounds=1 memory_large=60 scale_counts=300
fi

source "$root/scripts/deps.sh"
# The other tools are compared against (libjpeg-turbo-progs: djpeg and
# cjpeg); 'file' reads photo sizes for the corpus. heif-convert, cjxl/djxl
# and dcraw_emu decode what bench_formats compares; cwebp, heif-enc and
# cjxl encode what bench_formats --targets compares.
pictavo_install_packages imagemagick libvips-tools libjpeg-turbo-progs file libheif-examples \
    libjxl-tools libraw-bin webp >&2

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPICTAVO_BENCH=ON \
    -DBUILD_TESTING=OFF >&2
cmake --build "$build" --target pictavo-helper bench_thumbnails bench_batch bench_encode bench_scale \
    bench_formats bench_resize bench_makecorpus >&2

# Every benchmark runs the program as shipped: photos read in this helper.
export PICTAVO_HELPER="$build/src/pictavo-helper"

corpus="$(PICTAVO_MAKECORPUS="$build/bench/bench_makecorpus" "$root/scripts/fetch-corpus.sh")"

export QT_QPA_PLATFORM=offscreen
results="$build/results.md"
{
    echo "## Benchmarks"
    echo
    echo "$(date -u +%Y-%m-%d), $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')), $(free -g | awk '/^Mem:/ {print $2}') GiB," \
        "Qt $(qtpaths6 --qt-version 2>/dev/null || echo 6), corpus: $(find "$corpus/photos" -maxdepth 1 -type f | wc -l) JPEG photos from $(cat "$corpus/.complete" 2>/dev/null || echo "$corpus")."
    echo "Timings are medians of interleaved rounds on a shared machine: read them as ratios."
    echo
} > "$results"

status=0
run() {
    echo "== $*" >&2
    "$@" >> "$results" || status=1
}
run "$build/bench/bench_thumbnails" "$corpus" 30 --rounds "$thumb_rounds"
run "$build/bench/bench_batch" "$corpus" --rounds "$batch_rounds"
run "$build/bench/bench_batch" "$corpus" --memory 20 "$memory_large" --rounds "$memory_rounds"
run "$build/bench/bench_encode" "$corpus" --rounds "$((batch_rounds + 2))"
run "$build/bench/bench_resize" "$corpus" --rounds "$batch_rounds"
run "$build/bench/bench_formats" "$(find "$corpus/photos" -maxdepth 1 -type f | sort | head -1)" \
    --rounds "$batch_rounds"
# The new targets at the default quality against their libraries' tools.
run "$build/bench/bench_formats" --targets $(find "$corpus/photos" -maxdepth 1 -type f | sort | head -4)
# Thousands of photos, one process per count. 10000 takes about half an
# hour on 2 cores: PICTAVO_SCALE_COUNTS="300 3000 10000" to include it.
{
    echo
    echo "#### Thousands of photos: open, convert 10 % to JPG, reopen with the thumbnail cache"
    echo
} >> "$results"
run "$build/bench/bench_scale" --header
for count in ${PICTAVO_SCALE_COUNTS:-$scale_counts}; do
    run "$build/bench/bench_scale" "$corpus" "$count"
done
# The other two ways in (a drop on the list, openImages), without the batch.
for via in drop call; do
    run "$build/bench/bench_scale" "$corpus" 3000 --via "$via" --no-convert
done
# The same photos as a camera card holds them, each with its 160 px EXIF
# preview: the first opening comes from the previews.
camera="$build/camera-corpus"
[ -d "$camera/photos" ] || "$build/bench/bench_makecorpus" --camera "$corpus" "$camera" >&2
{
    echo
    echo "#### The same as camera photos with EXIF previews"
    echo
} >> "$results"
run "$build/bench/bench_scale" --header
for count in ${PICTAVO_SCALE_COUNTS:-$scale_counts}; do
    run "$build/bench/bench_scale" "$camera" "$count"
done

cat "$results"
exit $status
