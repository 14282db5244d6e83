#!/usr/bin/env bash
# Fails when README.md's Layout section and the tree part ways: a layer
# missing from its list of layers, a folder without its row, a row for a
# folder that is gone, or a class of src/<layer>/ its row does not name.
# A class is named by its file's name in camel case (`thumbnailcache.h`
# is `ThumbnailCache`); compared without regard to case.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
readme="$root/README.md"
bad=0
fail() { echo "check-layout: $*"; bad=1; }

# The layout section: from its heading to the next one.
section=$(awk '/^## Layout/{on=1; next} /^## /{on=0} on' "$readme")
row() { # folder -> its table row, or nothing
    grep -F "| \`$1\` |" <<<"$section" || true
}

layers=$(sed -n 's/^layers=(\(.*\))$/\1/p' "$root/scripts/check-layers.sh")
listed=$(tr '\n' ' ' <<<"$section" | sed -n 's/.*Layers, lowest first: \([^(]*\)(.*/\1/p' | tr -d ',' | xargs)
[ "$listed" = "$layers" ] || fail "README lists the layers \"$listed\", scripts/check-layers.sh \"$layers\""

for layer in $layers; do
    line=$(row "src/$layer/")
    if [ -z "$line" ]; then
        fail "no row for src/$layer/"
        continue
    fi
    named=$(grep -o '`[A-Za-z]*\(\.h\)\?`' <<<"$line" | tr -d '`' | sed 's/\.h$//' | tr 'A-Z' 'a-z')
    for header in "$root/src/$layer"/*.h; do
        class=$(basename "$header" .h)
        grep -qx "$class" <<<"$named" || fail "the src/$layer/ row does not name $class ($(basename "$header"))"
    done
done

# Every folder of the repository and of tests/ has its row or its mention;
# every row's folder is there.
for dir in $(git -C "$root" ls-files | grep -v "^\." | cut -d/ -f1 | sort -u); do
    [ -d "$root/$dir" ] || continue
    [ -n "$(row "$dir/")" ] || fail "no row for $dir/"
done
tests=$(row "tests/")
for dir in $(git -C "$root" ls-files tests | cut -d/ -f2 | sort -u); do
    [ -d "$root/tests/$dir" ] || continue
    grep -qF "\`tests/$dir/\`" <<<"$tests" || fail "the tests/ row does not name tests/$dir/"
done
for dir in $(grep -o '^| `[^`]*/`' <<<"$section" | sed 's/^| `//; s/`$//'); do
    [ -d "$root/$dir" ] || fail "a row for $dir, which is not there"
done

[ "$bad" -eq 0 ] && echo "check-layout: README's layout matches the tree"
exit "$bad"
