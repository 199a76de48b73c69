#!/usr/bin/env bash
# scripts/check-install.sh BUILD_DIR
# Checks what BUILD_DIR installs, the way a user of the SDK meets it:
#  1. `cmake --install` into a temporary prefix: libraries with their SONAMEs, public headers that
#     compile on their own prefix (no header reaches for one that is not installed), the CMake
#     package and zelvan.pc, the programs, nothing of the tests or benchmarks;
#  2. examples/count_events configured with find_package(Zelvan) against that prefix, built and run
#     (it streams a simulated camera for two seconds); the installed zelvan-raw runs without help
#     (its RUNPATH finds the installed libraries);
#  3. a one-file program built with `pkg-config --cflags --libs zelvan` and run;
#  4. `cpack -G DEB`: the package's contents and control fields (a Depends line, our libraries,
#     headers, CMake package, zelvan.pc, programs), then the package unpacked into a scratch root
#     (never into the system) and the example built against that root; the package's Python module
#     lies where the interpreter searches and imports with the package's libraries.
# Every failed step prints what went wrong and exits non-zero.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" 2>/dev/null && pwd) || { echo "check-install: no build folder $1" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  if [ -n "${step_start:-}" ]; then echo "failed"; fi
  echo "check-install: $*" >&2
  exit 1
}
# Each step prints its name and, once it has passed, the seconds it took.
step() {
  printf 'check-install: %-62s' "$1"
  step_start=${EPOCHREALTIME/./}
}
done_step() {
  local ms=$(((${EPOCHREALTIME/./} - step_start) / 1000))
  printf '%3d.%d s\n' $((ms / 1000)) $((ms % 1000 / 100))
  step_start=
}

# Files every installation of the SDK holds, relative to its prefix (lib is CMAKE_INSTALL_LIBDIR).
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
[ -n "$libdir" ] || fail "$build is not a configured build folder"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
major=${version%%.*}
# The SONAME's version: MAJOR.MINOR while the major version is 0 (one interface per minor version),
# else MAJOR.
if [ "$major" = 0 ]; then
  minor=${version#*.}
  soversion=$major.${minor%%.*}
else
  soversion=$major
fi
# The Python module, where the build has it (relative to the prefix).
pydir=
if [ -n "$(find "$build/python" -maxdepth 1 -name 'zelvan.*.so' 2>/dev/null)" ]; then
  pydir=$(sed -n 's/^ZELVAN_PYTHON_INSTALL_DIR:STRING=//p' "$build/CMakeCache.txt")
  python=$(sed -n 's/^Python3_EXECUTABLE:FILEPATH=//p' "$build/CMakeCache.txt")
  [ -n "$pydir" ] && [ -n "$python" ] || fail "$build builds the Python module but names no install folder for it"
fi
expected=(
  "$libdir/libZelvanBase.so.$version" "$libdir/libZelvanHal.so.$version" "$libdir/libZelvanDriver.so.$version"
  "$libdir/libZelvanBase.so.$soversion" "$libdir/libZelvanHal.so.$soversion" "$libdir/libZelvanDriver.so.$soversion"
  "$libdir/libZelvanBase.so" "$libdir/libZelvanHal.so" "$libdir/libZelvanDriver.so"
  include/zelvan/Types.h include/zelvan/EVT3Decoder.h include/zelvan/DvsCameraManager.h
  "$libdir/cmake/Zelvan/ZelvanConfig.cmake" "$libdir/cmake/Zelvan/ZelvanConfigVersion.cmake"
  "$libdir/cmake/Zelvan/ZelvanTargets.cmake" "$libdir/pkgconfig/zelvan.pc"
  bin/zelvan-raw bin/ZelvanScope share/zelvan/config/dvs_default_config.json
)

# --- 1. cmake --install into a temporary prefix ---------------------------------------------------
step "install into a temporary prefix"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "cmake --install $build failed"; }
for f in "${expected[@]}"; do
  [ -e "$prefix/$f" ] || fail "the installation lacks $f"
done
for lib in ZelvanBase ZelvanHal ZelvanDriver; do
  soname=$(objdump -p "$prefix/$libdir/lib$lib.so" | awk '$1 == "SONAME" { print $2 }')
  [ "$soname" = "lib$lib.so.$soversion" ] || fail "lib$lib.so has the SONAME '$soname', not lib$lib.so.$soversion"
done
# Test helpers, tests and benchmarks stay in the build tree.
unwanted=$(cd "$prefix" && find . \( -name '*Tests' -o -name '*Bench' -o -name '*_fuzzer' -o -path '*testing*' \
  -o -name 'ReferenceEvt3Decoder.h' -o -name '*.a' \) -print)
[ -z "$unwanted" ] || fail "the installation holds test or benchmark files: $unwanted"
done_step

step "public headers include only installed headers"
for header in $(cd "$prefix/include" && find . -name '*.h' | sed 's|^\./||' | sort); do
  for inc in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$prefix/include/$header"); do
    [ -e "$prefix/include/$inc" ] || fail "installed header $header includes \"$inc\", which is not installed"
  done
  echo "#include \"$header\""
done >"$work/all_headers.cpp"
# One translation unit of every header, seeing nothing but the prefix and the system.
c++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I"$prefix/include" "$work/all_headers.cpp" ||
  fail "the installed headers do not compile on their own"
done_step

# --- 2. find_package(Zelvan): the example ----------------------------------------------------------
step "examples/count_events against the prefix (find_package)"
cmake -S "$root/examples/count_events" -B "$work/example" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/example.log" 2>&1 &&
  cmake --build "$work/example" >>"$work/example.log" 2>&1 ||
  { cat "$work/example.log" >&2; fail "examples/count_events does not build against the installation"; }
# Built against the prefix, not the build tree.
grep -q "Zelvan_DIR:PATH=$prefix/$libdir/cmake/Zelvan" "$work/example/CMakeCache.txt" ||
  fail "examples/count_events found a Zelvan package outside the installation"
done_step
step "run count_events (a simulated camera, 2 s)"
out=$("$work/example/count_events") || fail "count_events failed: $out"
done_step
echo "check-install:   $out"
step "run the installed programs without LD_LIBRARY_PATH"
env -u LD_LIBRARY_PATH "$prefix/bin/zelvan-raw" list >"$work/list.txt" ||
  fail "the installed zelvan-raw does not run"
[ -s "$work/list.txt" ] || fail "the installed zelvan-raw lists no camera"
for program in zelvan-raw ZelvanScope; do
  resolved=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/$program" | awk '$1 ~ /^libZelvan/ { print $3 }')
  [ -n "$resolved" ] || fail "$program does not link the Zelvan libraries"
  for path in $resolved; do
    case $(realpath "$path") in
      "$prefix/$libdir/"*) ;;
      *) fail "the installed $program loads $path instead of the installed library" ;;
    esac
  done
done
done_step

# --- 3. pkg-config ----------------------------------------------------------------------------------
step "a one-file program through pkg-config"
cat >"$work/version.cpp" <<'EOF'
#include <cstdio>
#include <cstring>

#include "zelvan/EVT3Decoder.h"
#include "zelvan/Version.h"

int main() {
    zelvan::EVT3Decoder decoder(1280, 720);
    std::printf("zelvan %s\n", zelvan::driverVersion());
    return std::strlen(zelvan::driverVersion()) > 0 ? 0 : 1;
}
EOF
pc_flags=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs zelvan) ||
  fail "pkg-config does not find zelvan.pc in the installation"
# shellcheck disable=SC2086 # the flags are words
c++ -std=c++20 -o "$work/version" "$work/version.cpp" $pc_flags -Wl,-rpath,"$prefix/$libdir" ||
  fail "a program does not build with the flags of zelvan.pc: $pc_flags"
[ "$("$work/version")" = "zelvan $version" ] || fail "the pkg-config program does not print the version"
done_step

# --- 4. the Debian package --------------------------------------------------------------------------
step "cpack -G DEB"
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb") >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
deb=$(find "$work/deb" -maxdepth 1 -name 'zelvan_*.deb')
[ -n "$deb" ] && [ "$(echo "$deb" | wc -l)" -eq 1 ] || fail "cpack made no single zelvan_*.deb"
done_step
step "the package's control fields and contents"
dpkg-deb -I "$deb" >"$work/control.txt" || fail "dpkg-deb cannot read $deb"
grep -q '^ Package: zelvan$' "$work/control.txt" || fail "the package is not named zelvan"
grep -q "^ Version: $version" "$work/control.txt" || fail "the package's version is not $version"
depends=$(sed -n 's/^ Depends: //p' "$work/control.txt")
[ -n "$depends" ] || fail "the package declares no dependencies (dpkg-shlibdeps)"
for dep in libc6 libstdc++6 libavcodec libqt6widgets6; do
  echo "$depends" | grep -q "$dep" || fail "the package's Depends lacks $dep: $depends"
done
if echo "$depends" | grep -qi zelvan; then fail "the package depends on itself: $depends"; fi
# Packages built on this one get their dependency on it from its shlibs file.
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./shlibs >"$work/shlibs" 2>/dev/null || fail "the package has no shlibs file"
for lib in ZelvanBase ZelvanHal ZelvanDriver; do
  grep -q "^lib$lib $soversion zelvan (>= $version)" "$work/shlibs" ||
    fail "the package's shlibs file does not declare lib$lib.so.$soversion as zelvan (>= $version)"
done
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./||' >"$work/contents.txt"
pkg_prefix=$(sed -n 's/^set(CPACK_PACKAGING_INSTALL_PREFIX "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[ -n "$pkg_prefix" ] || fail "$build/CPackConfig.cmake names no install prefix for the package"
for f in "${expected[@]}"; do
  grep -qx "${pkg_prefix#/}/$f" "$work/contents.txt" || fail "the package lacks $pkg_prefix/$f"
done
if [ -n "$pydir" ]; then
  grep -qx "${pkg_prefix#/}/$pydir/zelvan\..*\.so" "$work/contents.txt" ||
    fail "the package lacks the Python module in $pkg_prefix/$pydir"
  for dep in python3-numpy 'python3 (>= ' 'python3 (<< '; do
    echo "$depends" | grep -qF "$dep" || fail "the package's Depends lacks $dep (the Python module): $depends"
  done
fi
done_step
echo "check-install:   Depends: $depends"

step "the package unpacked into a scratch root, example built on it"
scratch=$work/root
dpkg -x "$deb" "$scratch"
cmake -S "$root/examples/count_events" -B "$work/example-deb" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$scratch$pkg_prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/example-deb.log" 2>&1 &&
  cmake --build "$work/example-deb" >>"$work/example-deb.log" 2>&1 ||
  { cat "$work/example-deb.log" >&2; fail "examples/count_events does not build against the unpacked package"; }
grep -q "Zelvan_DIR:PATH=$scratch$pkg_prefix/$libdir/cmake/Zelvan" "$work/example-deb/CMakeCache.txt" ||
  fail "the example found a Zelvan package outside the unpacked package"
# zelvan.pc names /usr; a sysroot moves its paths into the scratch root.
pc_flags=$(PKG_CONFIG_SYSROOT_DIR="$scratch" PKG_CONFIG_LIBDIR="$scratch$pkg_prefix/$libdir/pkgconfig" \
  pkg-config --cflags --libs zelvan) || fail "pkg-config does not read the package's zelvan.pc"
echo "$pc_flags" | grep -q -- "-I$scratch$pkg_prefix/include" ||
  fail "the package's zelvan.pc does not name $pkg_prefix/include: $pc_flags"
done_step
step "run count_events from the unpacked package"
out=$("$work/example-deb/count_events") || fail "count_events on the unpacked package failed: $out"
done_step
if [ -n "$pydir" ]; then
  step "the Python module of the unpacked package"
  # The folder is one the interpreter searches once the package is installed under $pkg_prefix; here
  # PYTHONPATH stands in for it. The module loads the package's libraries, not the build tree's.
  out=$(cd "$work" && env -u LD_LIBRARY_PATH PYTHONPATH="$scratch$pkg_prefix/$pydir" "$python" - \
    "$pkg_prefix/$pydir" "$scratch" 2>&1 <<'PY'
import sys

searched, scratch = sys.argv[1], sys.argv[2]
assert searched in sys.path, f"{searched} is not searched by this interpreter: {sys.path}"
import zelvan

assert zelvan.__file__.startswith(scratch), zelvan.__file__
maps = open("/proc/self/maps").read()
libraries = {line.split()[-1] for line in maps.splitlines() if "libZelvanDriver" in line}
assert libraries and all(path.startswith(scratch) for path in libraries), libraries
print("module", zelvan.__version__, "with", len(zelvan.list_cameras()), "cameras")
PY
  ) || fail "the package's Python module: $out"
  done_step
  echo "check-install:   $out"
fi
echo "check-install: the installation, the CMake package, zelvan.pc and the Debian package work"
