zelvan_add_test(ZelvanVideoTests
  SOURCES VideoConverterTests.cpp ExtractExportTests.cpp
  LIBS ZelvanDriver)
