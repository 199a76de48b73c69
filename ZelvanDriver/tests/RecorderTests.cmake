zelvan_add_test(ZelvanRecorderTests
  SOURCES DvsFileRecorderTests.cpp
  LIBS ZelvanDriver
  LABELS threads)
target_include_directories(ZelvanRecorderTests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../src)
