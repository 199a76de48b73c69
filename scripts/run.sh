#!/usr/bin/env bash
# Sets up, builds and runs the main program. Until the viewer lands this generates a synthetic
# recording of the simulated scene and shows what zelvan-raw reads from it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
mkdir -p build/demo
build/bin/zelvan-raw generate build/demo/synthetic.raw --seconds 2 --rate 1000000
build/bin/zelvan-raw info build/demo/synthetic.raw
