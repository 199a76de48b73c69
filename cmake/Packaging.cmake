# `cpack -G DEB` in a build folder packs what `cmake --install` installs into one Debian package,
# zelvan, under /usr. dpkg-shlibdeps works out the Depends line from the libraries the programs and
# libraries link; it finds our own libraries in the package itself (their SONAMEs and the programs'
# RUNPATH), and the shlibs file generated for the package declares them to packages built on it.
set(CPACK_PACKAGE_NAME zelvan)
set(CPACK_PACKAGE_VENDOR "Zelvan")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Event camera SDK, command-line tools and viewer")
set(CPACK_PACKAGE_DESCRIPTION
    "Zelvan finds and streams event cameras (dynamic vision sensors), decodes their EVT 3.0 \
streams and records and reads raw event files. The package holds the shared libraries with their \
headers, CMake package and pkg-config file, the command-line tool zelvan-raw and the viewer \
ZelvanScope. Simulated cameras are built in, so no hardware is needed.")
set(CPACK_PACKAGE_CONTACT "Zelvan maintainers <maintainers@zelvan.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
# Programs and libraries without their debugging sections, as Debian ships them.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The shlibs file declares libZelvanX.so.0.MINOR (see zelvan_sdk_library): a package built on this
# one needs this version or a later one of the same minor version, which keeps that SONAME.
set(zelvan_depends "")
if(ZELVAN_BUILD_VIEWER)
  # The viewer's icons are SVG, drawn by Qt's SVG plugins, which no program links directly.
  list(APPEND zelvan_depends "libqt6svg6")
endif()
if(ZELVAN_PYTHON_DEB_DEPENDS)
  # The Python module: built for one interpreter version, it imports numpy (python/CMakeLists.txt).
  list(APPEND zelvan_depends ${ZELVAN_PYTHON_DEB_DEPENDS})
endif()
list(JOIN zelvan_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
# The viewer's font (it falls back to Qt's default without it).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-noto-cjk)
include(CPack)
