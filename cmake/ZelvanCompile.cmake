# Warnings and sanitizers for the project's own targets.
function(zelvan_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(ZELVAN_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=${ZELVAN_SANITIZE} -fno-omit-frame-pointer
                                             -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=${ZELVAN_SANITIZE})
  endif()
endfunction()

# A GoogleTest program registered with CTest. LABELS threads marks programs that exercise threads;
# they also run under ThreadSanitizer and are built by the target threaded_tests.
function(zelvan_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  zelvan_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE ZELVAN_TESTDATA_DIR="${ZELVAN_TESTDATA_DIR}"
                                             ZELVAN_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if("threads" IN_LIST ARG_LABELS)
    add_dependencies(threaded_tests ${name})
  endif()
  if(ARG_LABELS)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 600)
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
  endif()
endfunction()

# One of the SDK's shared libraries: versioned files (libX.so.VERSION, SONAME libX.so.MAJOR, or
# libX.so.0.MINOR while the major version is 0: those releases keep their interface within one minor
# version only),
# exported as Zelvan::NAME (with an alias of that name inside the tree), and once installed it
# finds the other libraries in its own folder.
function(zelvan_sdk_library target name)
  if(PROJECT_VERSION_MAJOR EQUAL 0)
    set(soversion ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
  else()
    set(soversion ${PROJECT_VERSION_MAJOR})
  endif()
  set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${soversion}
                                             EXPORT_NAME ${name} INSTALL_RPATH "$ORIGIN")
  add_library(Zelvan::${name} ALIAS ${target})
endfunction()
