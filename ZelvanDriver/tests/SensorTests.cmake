zelvan_add_test(ZelvanSensorTests
  SOURCES SensorTests.cpp ToolTests.cpp
  LIBS ZelvanDriver
  LABELS threads)
target_include_directories(ZelvanSensorTests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../src)
