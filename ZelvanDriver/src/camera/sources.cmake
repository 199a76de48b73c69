target_sources(ZelvanDriver PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/DvsCameraPrivate.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DvsEventCamera.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DvsCameraManager.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DvsCameraTools.cpp
    ${CMAKE_CURRENT_LIST_DIR}/CameraConfigFile.cpp
)
find_package(nlohmann_json 3 REQUIRED)
target_link_libraries(ZelvanDriver PRIVATE nlohmann_json::nlohmann_json)
