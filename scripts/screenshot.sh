#!/usr/bin/env bash
# Takes screenshots of the main window under Xvfb, styled as a normal start (style sheet and font):
# the first start into docs/screenshot-start.png and the window streaming from the default
# simulated camera into docs/screenshot-live.png, and the playback of a real recording (from the
# shared test recordings) into docs/screenshot-playback.png, the Ethernet camera configuration
# dialog into docs/screenshot-ipconfig.png, and the DVS Setting sidebar open beside the live camera
# into docs/screenshot-settings.png, and the overlay of the simulated fusion camera's frames and
# events with the APS Setting sidebar into docs/screenshot-fusion.png.
# Usage: scripts/screenshot.sh [BUILD_DIR]
# Without BUILD_DIR the project is built in build/ first; a given BUILD_DIR must hold a build of
# ZelvanScopeLiveTests, ZelvanScopePlaybackWindowTests, ZelvanScopeIpConfigTests and
# ZelvanScopeSidebarTests and ZelvanScopeFusionWindowTests already.
set -euo pipefail
cd "$(dirname "$0")/.."
log="$(mktemp -t zelvan-screenshot.XXXXXX)"
trap 'rm -f "$log"' EXIT
if [ $# -ge 1 ]; then
  build_dir="$1"
else
  scripts/build.sh >"$log"
  build_dir=build
fi
live="$(pwd)/docs/screenshot-live.png"
start="$(pwd)/docs/screenshot-start.png"
playback="$(pwd)/docs/screenshot-playback.png"
ipconfig="$(pwd)/docs/screenshot-ipconfig.png"
settings="$(pwd)/docs/screenshot-settings.png"
fusion="$(pwd)/docs/screenshot-fusion.png"
if ! QT_QPA_PLATFORM=xcb ZELVAN_SCREENSHOT="$live" ZELVAN_SCREENSHOT_START="$start" \
     xvfb-run -a -s "-screen 0 1600x1000x24" \
     "$build_dir/bin/ZelvanScopeLiveTests" theHowToBeginHintGoesWhenACameraOpens \
     streamsRecordsAndShowsStatistics >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "screenshot.sh: the screenshot tests failed" >&2
  exit 1
fi
if ! QT_QPA_PLATFORM=xcb ZELVAN_SCREENSHOT_PLAYBACK="$playback" xvfb-run -a -s "-screen 0 1600x1000x24" \
     "$build_dir/bin/ZelvanScopePlaybackWindowTests" aRealRecordingEndToEnd >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "screenshot.sh: the playback screenshot test failed" >&2
  exit 1
fi
if ! QT_QPA_PLATFORM=xcb ZELVAN_SCREENSHOT_IPCONFIG="$ipconfig" xvfb-run -a -s "-screen 0 1600x1000x24" \
     "$build_dir/bin/ZelvanScopeIpConfigTests" endToEndFromTheMainWindow >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "screenshot.sh: the IP configuration screenshot test failed" >&2
  exit 1
fi
if ! QT_QPA_PLATFORM=xcb ZELVAN_SCREENSHOT_SIDEBAR="$settings" xvfb-run -a -s "-screen 0 1600x1000x24" \
     "$build_dir/bin/ZelvanScopeSidebarTests" thePanelsFollowTheCamera >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "screenshot.sh: the settings screenshot test failed" >&2
  exit 1
fi
if ! QT_QPA_PLATFORM=xcb ZELVAN_SCREENSHOT_FUSION="$fusion" xvfb-run -a -s "-screen 0 1600x1000x24" \
     "$build_dir/bin/ZelvanScopeFusionWindowTests" liveViewTypesRecordingAndPlaybackEndToEnd >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "screenshot.sh: the fusion screenshot test failed" >&2
  exit 1
fi
echo "$start"
echo "$live"
echo "$playback"
echo "$ipconfig"
echo "$settings"
echo "$fusion"
