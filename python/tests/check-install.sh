#!/bin/sh
# Installs the build tree BUILD_DIR into a temporary prefix and imports the installed module there
# with PYTHON: it must load the installed libraries, not those of the build tree.
# Usage: check-install.sh BUILD_DIR PYTHON LIBDIR
set -eu
build=$1
python=$2
libdir=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
cd "$prefix"  # not the build folder, which holds the built module
PYTHONPATH="$prefix/$libdir/python3/dist-packages" "$python" - "$prefix" <<'PY'
import sys
import zelvan

prefix = sys.argv[1]
assert zelvan.__file__.startswith(prefix), zelvan.__file__
maps = open("/proc/self/maps").read()
libraries = {line.split()[-1] for line in maps.splitlines() if "libZelvanDriver" in line}
assert libraries and all(path.startswith(prefix) for path in libraries), libraries
print("installed module", zelvan.__version__, "with", len(zelvan.list_cameras()), "cameras")
PY
