#!/usr/bin/env bash
# Takes docs/update-running.png: the updater's window in the middle of the demo update, on a
# virtual X display, with the demo mirror slowed down so that the update can be seen.
# Usage: scripts/screenshot.sh [--no-setup]   (BUILD_DIR as for scripts/demo.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=${OUT:-docs/update-running.png}
DELAY=${DELAY:-6}
exec xvfb-run -a -s "-screen 0 420x300x24" bash -c '
    DEMO_UNATTENDED=1 DEMO_RATE=${DEMO_RATE:-120k} bash scripts/demo.sh "$@" &
    demo=$!
    sleep "'"$DELAY"'"
    # The display has no window manager: cut the window out of the black screen.
    import -window root png:- | convert - -bordercolor black -border 1 -trim +repage "'"$OUT"'"
    wait "$demo"
' screenshot "$@"
