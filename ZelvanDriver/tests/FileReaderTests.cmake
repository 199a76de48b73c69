zelvan_add_test(ZelvanFileReaderTests
  SOURCES FileReaderTests.cpp
  LIBS ZelvanDriver)
target_include_directories(ZelvanFileReaderTests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../src)
