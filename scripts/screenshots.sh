#!/usr/bin/env bash
# Pictures of the demo's fixed scenes for review: light and dark, at ratio 1 and 2.
# Usage: scripts/screenshots.sh [DIR] (default build/screenshots); needs a built demo.
set -euo pipefail
cd "$(dirname "$0")/.."
demo=${DEMO:-build/app/demo/drivelore-demo}
out=${1:-build/screenshots}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/run" && chmod 700 "$work/run"
for ratio in 1 2; do
    cat > "$work/screens-$ratio.json" <<JSON
{ "screens": [ { "name": "review", "x": 0, "y": 0, "width": 1920, "height": 1080,
                 "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": $ratio } ] }
JSON
    for look in light dark; do
        dir="$out/$look-${ratio}x"
        rm -rf "$dir"
        extra=()
        [ "$look" = dark ] && extra=(--dark)
        # Own settings and runtime folders: the review leaves the user's demo alone.
        XDG_CONFIG_HOME="$work/config-$look-$ratio" XDG_RUNTIME_DIR="$work/run" \
            QT_QPA_PLATFORM="offscreen:configfile=$work/screens-$ratio.json" \
            "$demo" --screenshots "$dir" "${extra[@]}"
    done
done
echo "pictures in $out"
