#!/usr/bin/env bash
# Sets up, builds and runs the main program. Until the viewer lands this lists the cameras found
# (simulated ones on a machine without camera hardware), records three seconds from the first one
# and shows what zelvan-raw reads from the recording.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
mkdir -p build/demo
build/bin/zelvan-raw list
build/bin/zelvan-raw record - 3 build/demo/recording.raw
build/bin/zelvan-raw info build/demo/recording.raw
