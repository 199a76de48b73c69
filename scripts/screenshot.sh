#!/usr/bin/env bash
# Takes a screenshot of the main window streaming from the default simulated camera, under Xvfb,
# into docs/screenshot-live.png.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
out="$(pwd)/docs/screenshot-live.png"
QT_QPA_PLATFORM=xcb ZELVAN_SCREENSHOT="$out" xvfb-run -a -s "-screen 0 1600x1000x24" \
  build/bin/ZelvanScopeLiveTests >/dev/null
echo "$out"
