#!/bin/sh
# Installs the build tree BUILD_DIR into a temporary prefix and imports the installed module there
# with PYTHON: it must load the installed libraries, not those of the build tree. The module's folder
# PYDIR (relative to the prefix) must be one PYTHON searches for the configured prefix PREFIX
# (checked where PYTHON searches anything under PREFIX, as for /usr and /usr/local on Debian); the
# temporary prefix itself is not searched, so PYTHONPATH stands in for it.
# Usage: check-install.sh BUILD_DIR PYTHON PYDIR PREFIX
set -eu
build=$1
python=$2
pydir=$3
configured=$4
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
cd "$prefix"  # not the build folder, which holds the built module
env -u PYTHONPATH "$python" - "$configured" "$pydir" <<'PY'
import os
import sys

prefix, pydir = sys.argv[1], sys.argv[2]
target = os.path.normpath(os.path.join(prefix, pydir))
root = prefix.rstrip("/") + "/"
under = [p for p in sys.path if p.startswith(root) and p.endswith(("dist-packages", "site-packages"))]
if under:
    assert target in sys.path, f"{target} is not searched; under {prefix} the interpreter searches {under}"
    print("searched", target)
PY
PYTHONPATH="$prefix/$pydir" "$python" - "$prefix" <<'PY'
import sys
import zelvan

prefix = sys.argv[1]
assert zelvan.__file__.startswith(prefix), zelvan.__file__
maps = open("/proc/self/maps").read()
libraries = {line.split()[-1] for line in maps.splitlines() if "libZelvanDriver" in line}
assert libraries and all(path.startswith(prefix) for path in libraries), libraries
print("installed module", zelvan.__version__, "with", len(zelvan.list_cameras()), "cameras")
PY
