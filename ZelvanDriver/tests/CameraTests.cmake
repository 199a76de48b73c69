zelvan_add_test(ZelvanCameraTests
  SOURCES DvsCameraEngineTests.cpp CameraManagerTests.cpp CameraSoundnessTests.cpp
  LIBS ZelvanDriver
  LABELS threads)
target_include_directories(ZelvanCameraTests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../src)
