zelvan_add_test(ZelvanVideoTests
  SOURCES VideoConverterTests.cpp ExtractExportTests.cpp
  LIBS ZelvanDriver)
# The reference decoder of the hardware layer reads cuts the way other tools do.
target_include_directories(ZelvanVideoTests PRIVATE ${PROJECT_SOURCE_DIR}/ZelvanHal)
