#!/usr/bin/env bash
# Sets up, builds and starts the viewer, ZelvanScope. On a machine without camera hardware the
# simulated cameras appear in Device > Open Camera. Without a display, run it with
# QT_QPA_PLATFORM=offscreen (headless) or under xvfb-run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
exec build/bin/ZelvanScope "$@"
