# What `cmake --install` puts under the prefix for programs that build against Zelvan:
#   lib/libZelvan{Base,Hal,Driver}.so*       the shared libraries (SONAME libZelvanX.so.0.MINOR while
#                                            the major version is 0, then libZelvanX.so.MAJOR)
#   include/zelvan/                          their public headers
#   lib/cmake/Zelvan/                        find_package(Zelvan): Zelvan::Base, Zelvan::Hal, Zelvan::Driver
#   lib/pkgconfig/zelvan.pc                  the same libraries for pkg-config
# The programs (zelvan-raw, ZelvanScope) install themselves where they are defined. Tests, their
# helpers (ZelvanHal/testing) and benchmarks are never installed.
include(CMakePackageConfigHelpers)

set(ZELVAN_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Zelvan CACHE STRING
    "Where the CMake package files go, relative to the prefix")
mark_as_advanced(ZELVAN_INSTALL_CMAKEDIR)

install(TARGETS ZelvanBase ZelvanHal ZelvanDriver EXPORT ZelvanTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Every header under a library's include/ is public and includes only other public headers and
# the standard library (no FFmpeg, no nlohmann-json), so the package needs no dependency but Threads.
foreach(lib ZelvanBase ZelvanHal ZelvanDriver)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${lib}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
          FILES_MATCHING PATTERN "*.h")
endforeach()

install(EXPORT ZelvanTargets NAMESPACE Zelvan:: FILE ZelvanTargets.cmake DESTINATION ${ZELVAN_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ZelvanConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/ZelvanConfig.cmake
                              INSTALL_DESTINATION ${ZELVAN_INSTALL_CMAKEDIR})
# 0.x releases keep their interface within one minor version.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ZelvanConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ZelvanConfig.cmake ${PROJECT_BINARY_DIR}/ZelvanConfigVersion.cmake
        DESTINATION ${ZELVAN_INSTALL_CMAKEDIR})

# zelvan.pc names the prefix the tree is installed into, which `cmake --install --prefix` and
# CPack's staging choose only at install time: the file is written then.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(ZELVAN_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(ZELVAN_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(ZELVAN_PC_PREFIX "@ZELVAN_PC_PREFIX@")
configure_file(${PROJECT_SOURCE_DIR}/cmake/zelvan.pc.in ${PROJECT_BINARY_DIR}/zelvan.pc.in @ONLY)
install(CODE "
  set(ZELVAN_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/zelvan.pc.in\" \"${PROJECT_BINARY_DIR}/zelvan.pc\" @ONLY)
")
install(FILES ${PROJECT_BINARY_DIR}/zelvan.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
